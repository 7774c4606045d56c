#include "engine/job_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>

#include "engine/system_error.h"
#include "engine/temp_output.h"
#include "texts/encoder_texts.h"

namespace velmora::encoder {

namespace fs = std::filesystem;

namespace {

// An earlier output of ours, or any RealMedia file: its first four bytes.
bool isRealMedia(const std::string& path) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (!file) return false;
    char magic[4] = {};
    const bool ok = std::fread(magic, 1, sizeof magic, file) == sizeof magic;
    std::fclose(file);
    return ok && magic[0] == '.' && magic[1] == 'R' && magic[2] == 'M' && magic[3] == 'F';
}

// Beyond the budget over the whole length: the per-packet headers and the
// index, generously (a second of index entries is 14 bytes per stream); the
// header and the index's own headers, measured at 0.7 to 1.1 KB on files of
// 1 to 20 s, with room; and the picture's lead over its share of the line,
// which the rate guard lets run as far as the rate control's buffer. On a
// 1-second clip under grain at 256K that lead came to 5.7 KB, a seventh of
// the buffer.
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
        // The user confirmed the named file in the save dialog, not the ones beside it.
        struct stat st {};
        if (i > 0 && ::stat(path.c_str(), &st) == 0 && !isRealMedia(path))
            return Status::fail(ErrorKind::DestinationRefused,
                                text::withSubject(text::kDestinationStranger, path));
    }
    return Status::ok();
}

Status claimJobFiles(const std::vector<JobFile>& files, bool& taken) {
    taken = false;
    for (std::size_t i = 0; i < files.size(); ++i) {
        const std::string& path = files[i].destination;
        // The file put over the claim keeps the claim's mode: what the umask
        // leaves, as for any new file.
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) {
            ::close(fd);
            continue;
        }
        const int error = errno;
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
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size == 0)
        ::unlink(path.c_str());
}

std::int64_t largestFileBytes(const EncodePlan& plan, std::int64_t durationMs) {
    if (durationMs <= 0) return 0;
    const std::int64_t lead = plan.video ? plan.video->bufferSize / 8 : 0;
    return static_cast<std::int64_t>(plan.budgetKbps * 1000.0 / 8 * (durationMs / 1000.0) *
                                     (1 + kOverheadShare)) +
           kHeaderBytes + lead;
}

std::int64_t largestBytes(const std::vector<JobInfo::File>& files, std::int64_t durationMs) {
    std::int64_t bytes = 0;
    for (const JobInfo::File& file : files) bytes += largestFileBytes(file.plan, durationMs);
    return bytes;
}

std::int64_t freeBytesBeside(const std::string& destination) {
    struct statvfs vfs {};
    if (::statvfs(folderOf(destination).c_str(), &vfs) != 0) return -1;
    return static_cast<std::int64_t>(vfs.f_bavail) * static_cast<std::int64_t>(vfs.f_frsize);
}

}  // namespace velmora::encoder
