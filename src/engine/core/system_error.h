#pragma once
// Why a system call failed, in the user's words. Header only: our RealMedia
// writer, which links nothing of the engine, tells its failures the same way.

#include <cerrno>
#include <cstring>
#include <string>

#include "engine/core/status.h"
#include "texts/encoder_texts.h"

namespace velmora::encoder {

// Our sentence for an errno value a user meets; nullptr for the rest.
inline const char* knownCause(int error) {
    switch (error) {
        case ENOENT:
            return text::kCauseNoSuchFile;
        case EACCES:
        case EPERM:
        case EROFS:
            return text::kCauseNoPermission;
        case ENOSPC:
        case EDQUOT:
            return text::kCauseDiskFull;
        case EFBIG:
            return text::kCauseTooBig;
        case ENAMETOOLONG:
            return text::kCauseNameTooLong;
        case EISDIR:
            return text::kCauseIsFolder;
        case EEXIST:
            return text::kCauseExists;
        case EIO:
            return text::kCauseDeviceError;
        case EMFILE:
        case ENFILE:
            return text::kCauseTooManyFiles;
        case ENOMEM:
            return text::kOutOfMemory;
        default:
            return nullptr;
    }
}

// Ours, or "cause unknown" with the system's English in brackets after it.
inline std::string describeErrno(int error) {
    if (const char* cause = knownCause(error)) return cause;
    return text::withReason(text::kCauseUnknown, std::strerror(error));
}

// The kind of failure an errno value is; `otherwise` for those that say
// nothing a caller could act on by themselves.
inline ErrorKind errnoKind(int error, ErrorKind otherwise) {
    switch (error) {
        case EACCES:
        case EPERM:
        case EROFS:
            return ErrorKind::Permission;
        case ENOSPC:
        case EDQUOT:
            return ErrorKind::DiskFull;
        case EFBIG:
            return ErrorKind::FileTooLarge;
        case ENAMETOOLONG:
            return ErrorKind::NameTooLong;
        case ENOMEM:
            return ErrorKind::OutOfMemory;
        default:
            return otherwise;
    }
}

// A failed system call as the user reads it: what failed, and why.
inline Status systemFailure(const char* what, int error, ErrorKind otherwise) {
    return Status::fail(errnoKind(error, otherwise), text::withSubject(what, describeErrno(error)));
}

}  // namespace velmora::encoder
