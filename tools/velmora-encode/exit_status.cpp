#include "exit_status.h"

#include <algorithm>
#include <iterator>

namespace velmora::tool {

// Every kind is named here, without a default: a new kind fails the build
// until it is given its status.
int exitStatusOf(ErrorKind kind) {
    switch (kind) {
        case ErrorKind::None:
            return kExitOk;
        case ErrorKind::BadRequest:
            return kExitUsage;
        case ErrorKind::SourceMissing:
        case ErrorKind::SourceUnreadable:
        case ErrorKind::SourceRefused:
        case ErrorKind::SourceDamaged:
        case ErrorKind::DestinationRefused:
        case ErrorKind::FileTooLarge:
        case ErrorKind::NameTooLong:
        case ErrorKind::Permission:
        case ErrorKind::Internal:
            return kExitUnusable;
        // The same job may well succeed later, or on another machine.
        case ErrorKind::DiskFull:
        case ErrorKind::WriteFailed:
        case ErrorKind::OutOfMemory:
            return kExitRetry;
        case ErrorKind::Interrupted:
            return kExitInterrupted;
    }
    // A value no enumerator names: a failure, not one to retry for ever.
    return kExitUnusable;
}

int exitStatusOf(const JobReport& job) {
    switch (job.named().result) {
        case Result::Completed:
        case Result::AlreadyDone:
            return kExitOk;
        case Result::Stopped:
        case Result::Skipped:
            return kExitInterrupted;
        case Result::Failed:
            break;
    }
    return exitStatusOf(job.named().errorKind);
}

int mostSevere(int a, int b) {
    constexpr int kLeastSevereFirst[] = {kExitOk, kExitUsage, kExitUnusable, kExitRetry,
                                         kExitInterrupted};
    const auto rank = [&](int status) {
        return std::find(std::begin(kLeastSevereFirst), std::end(kLeastSevereFirst), status) -
               std::begin(kLeastSevereFirst);
    };
    return rank(a) >= rank(b) ? a : b;
}

}  // namespace velmora::tool
