#include "engine/temp_output.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <string_view>
#include <vector>

#include "engine/system_error.h"
#include "texts/encoder_texts.h"

namespace velmora::encoder {

namespace fs = std::filesystem;

std::string folderOf(const std::string& path) {
    const fs::path parent = fs::path(path).parent_path();
    return parent.empty() ? std::string(".") : parent.string();
}

namespace {

constexpr std::string_view kTempMark = ".velmora-";

// The pid in one of our temporary names (".name.velmora-PID-XXXXXX"), or 0.
pid_t ownerOf(std::string_view name) {
    if (name.size() < 2 || name[0] != '.') return 0;
    const std::size_t mark = name.rfind(kTempMark);
    if (mark == std::string_view::npos) return 0;
    std::string_view rest = name.substr(mark + kTempMark.size());
    const std::size_t dash = rest.find('-');
    if (dash == 0 || dash == std::string_view::npos || rest.size() - dash - 1 != 6) return 0;
    long pid = 0;
    for (char c : rest.substr(0, dash)) {
        if (c < '0' || c > '9' || pid > 100'000'000) return 0;
        pid = pid * 10 + (c - '0');
    }
    return static_cast<pid_t>(pid);
}

// Temporary files left by jobs that were killed (or lost their terminal)
// would stay beside the destination for ever; whoever writes into the
// folder next removes those whose process no longer runs.
void removeStaleTemps(const std::string& folder) {
    DIR* dir = ::opendir(folder.c_str());
    if (!dir) return;
    while (const dirent* entry = ::readdir(dir)) {
        const pid_t pid = ownerOf(entry->d_name);
        if (pid <= 0 || pid == ::getpid()) continue;
        if (::kill(pid, 0) == 0 || errno != ESRCH) continue;  // alive, or not ours to judge
        const std::string path = (fs::path(folder) / entry->d_name).string();
        struct stat st {};
        if (::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) ::unlink(path.c_str());
    }
    ::closedir(dir);
}

// At most `bytes` of `name`, cut where no UTF-8 character is split.
std::string shortened(const std::string& name, std::size_t bytes) {
    if (name.size() <= bytes) return name;
    std::size_t cut = bytes;
    while (cut > 0 && (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80) --cut;
    return name.substr(0, cut);
}

}  // namespace

Status checkDestination(const std::string& source, const std::string& destination) {
    if (destination.empty()) return Status::fail(text::kNoDestination);
    const std::string folder = folderOf(destination);
    struct stat st {};
    if (::stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return Status::fail(text::withSubject(text::kDestinationFolderMissing, folder));
    if (::access(folder.c_str(), W_OK | X_OK) != 0)
        return Status::fail(text::withSubject(text::kDestinationFolderReadOnly, folder));

    struct stat dst {};
    if (::stat(destination.c_str(), &dst) == 0) {
        if (S_ISDIR(dst.st_mode))
            return Status::fail(text::withSubject(text::kDestinationIsFolder, destination));
        // A device, FIFO or socket is never replaced by a file. A symbolic
        // link is: the rename replaces the link itself, as mv does.
        struct stat link {};
        if (::lstat(destination.c_str(), &link) == 0 && !S_ISLNK(link.st_mode) &&
            !S_ISREG(link.st_mode))
            return Status::fail(text::withSubject(text::kDestinationNotFile, destination));
        struct stat src {};
        if (::stat(source.c_str(), &src) == 0 && src.st_dev == dst.st_dev &&
            src.st_ino == dst.st_ino)
            return Status::fail(text::kDestinationIsSource);
    } else {
        std::error_code ec1, ec2;
        const fs::path a = fs::weakly_canonical(fs::path(source), ec1);
        const fs::path b = fs::weakly_canonical(fs::path(destination), ec2);
        if (!ec1 && !ec2 && a == b) return Status::fail(text::kDestinationIsSource);
    }
    return Status::ok();
}

Status TempOutput::create(const std::string& destination) {
    discard();
    const std::string folder = folderOf(destination);
    removeStaleTemps(folder);
    // The pid tells a later job whether the file's owner still runs; the
    // name is shortened so the whole fits the file system's name limit.
    // Appended piece by piece: GCC 12 at -O3 takes the chained operator+
    // for an overlapping copy (a false -Wrestrict).
    std::string suffix(kTempMark);
    suffix += std::to_string(::getpid());
    suffix += "-XXXXXX";
    long limit = ::pathconf(folder.c_str(), _PC_NAME_MAX);
    if (limit <= 0) limit = NAME_MAX;
    const std::size_t room = static_cast<std::size_t>(limit) > suffix.size() + 1
                                 ? static_cast<std::size_t>(limit) - suffix.size() - 1
                                 : 0;
    std::string name = ".";
    name += shortened(fs::path(destination).filename().string(), room);
    name += suffix;
    const std::string pattern = (fs::path(folder) / name).string();
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    const int fd = ::mkstemp(buf.data());
    if (fd < 0) return systemFailure(text::kTempFileFailed, errno);
    // mkstemp makes it private; the finished file should read like any other.
    ::fchmod(fd, 0644);
    ::close(fd);
    path_ = buf.data();
    destination_ = destination;
    return Status::ok();
}

Status TempOutput::commit() {
    if (path_.empty()) return Status::fail(text::kRenameFailed);
    if (::rename(path_.c_str(), destination_.c_str()) != 0)
        return systemFailure(text::kRenameFailed, errno);
    path_.clear();
    return Status::ok();
}

Status TempOutput::commitAs(const std::string& destination) {
    destination_ = destination;
    return commit();
}

void TempOutput::discard() {
    if (path_.empty()) return;
    ::unlink(path_.c_str());
    path_.clear();
}

}  // namespace velmora::encoder
