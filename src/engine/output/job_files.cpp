#include "engine/output/job_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>

#include "engine/core/regular_file.h"
#include "engine/core/system_error.h"
#include "engine/output/temp_output.h"
#include "texts/encoder_texts.h"

namespace velmora::encoder {

namespace fs = std::filesystem;

namespace {

// Beyond the budget over the whole length: the per-packet headers and the
// index, generously (a second of index entries is 14 bytes per stream); the
// header and the index's own headers, with room; and the picture's lead over
// its share of the line, which the rate guard lets run as far as the rate
// control's buffer (docs/encoding-rules.md, [A file's largest size]).
constexpr double kOverheadShare = 0.05;
constexpr std::int64_t kHeaderBytes = 4 * 1024;

}  // namespace

std::vector<JobFile> jobFiles(const std::string& destination, AudienceSet audiences) {
    std::vector<JobFile> files;
    const fs::path named(destination);
    // The suffix goes before the extension; a leading dot starts a name, not one.
    const std::string name = named.filename().string();
    const std::size_t dot = name.rfind('.');
    const bool hasExtension = dot != std::string::npos && dot > 0;
    const std::string stem = hasExtension ? name.substr(0, dot) : name;
    const std::string extension = hasExtension ? name.substr(dot) : std::string();
    for (const AudienceProfile& profile : audienceTable()) {  // slowest first
        if (!audiences.test(static_cast<std::size_t>(profile.audience))) continue;
        JobFile file{profile.audience, destination};
        if (!files.empty()) {
            std::string beside = stem;
            beside += '-';
            beside += profile.key;
            beside += extension;
            file.destination = (named.parent_path() / beside).string();
        }
        files.push_back(std::move(file));
    }
    return files;
}

Status checkJobFiles(const std::string& source, const std::vector<JobFile>& files) {
    for (std::size_t i = 0; i < files.size(); ++i) {
        const std::string& path = files[i].destination;
        if (Status s = checkDestination(source, path); !s) return s;
        if (fs::path(path).filename().string().size() > nameLimit(folderOf(path)))
            return Status::fail(ErrorKind::NameTooLong,
                                text::withSubject(text::kDestinationNameTooLong, path));
        // The user confirmed the named file in the save dialog, not the ones
        // beside it: only an earlier RealMedia file (or an empty one) is
        // replaced there, and a link is not followed to find one.
        if (i == 0) continue;
        const OpenedName found = openRegularFile(AT_FDCWD, path.c_str(), O_RDONLY);
        if (found.holds != NameHolds::Nothing && !replaceableBeside(found))
            return refusedName(text::kDestinationStranger, path, found.holds);
    }
    return Status::ok();
}

Status claimJobFiles(const std::vector<JobFile>& files, bool& taken) {
    taken = false;
    for (std::size_t i = 0; i < files.size(); ++i) {
        const std::string& path = files[i].destination;
        // The file put over the claim keeps the claim's mode: what the umask
        // leaves, as for any new file.
        const OpenedName claim =
            openRegularFile(AT_FDCWD, path.c_str(), O_WRONLY | O_CREAT | O_EXCL);
        if (claim.fd.open()) continue;
        // Anything already there, a link or a FIFO too, is taken.
        const int error = claim.error ? claim.error : EEXIST;
        for (std::size_t k = 0; k < i; ++k) releaseClaim(files[k].destination);
        if (error == EEXIST) {
            taken = true;
            return Status::ok();
        }
        return Status::fail(
            errnoKind(error, ErrorKind::DestinationRefused),
            text::withCause(text::withSubject(text::kCreateFailed, path), describeErrno(error)));
    }
    return Status::ok();
}

void releaseClaim(const std::string& path) {
    const OpenedName claim = openRegularFile(AT_FDCWD, path.c_str(), O_PATH);
    if (claim.fd.open() && claim.st.st_size == 0) ::unlink(path.c_str());
}

std::int64_t largestFileBytes(const EncodePlan& plan, std::int64_t durationMs) {
    if (durationMs <= 0) return 0;
    const std::int64_t lead = plan.video ? plan.video->bufferSize / 8 : 0;
    return static_cast<std::int64_t>(plan.budgetKbps * 1000.0 / 8 * (durationMs / 1000.0) *
                                     (1 + kOverheadShare)) +
           kHeaderBytes + lead;
}

std::int64_t freeBytesBeside(const std::string& destination) {
    struct statvfs vfs {};
    if (::statvfs(folderOf(destination).c_str(), &vfs) != 0) return -1;
    return static_cast<std::int64_t>(vfs.f_bavail) * static_cast<std::int64_t>(vfs.f_frsize);
}

}  // namespace velmora::encoder
