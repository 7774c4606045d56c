#include "engine/temp_output.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <vector>

#include "texts/encoder_texts.h"

namespace velmora::encoder {

namespace fs = std::filesystem;

namespace {

std::string folderOf(const std::string& path) {
    const fs::path parent = fs::path(path).parent_path();
    return parent.empty() ? std::string(".") : parent.string();
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
    const fs::path dest(destination);
    // Appended piece by piece: GCC 12 at -O3 takes the chained operator+
    // for an overlapping copy (a false -Wrestrict).
    std::string name = ".";
    name += dest.filename().string();
    name += ".velmora-XXXXXX";
    const std::string pattern = (fs::path(folderOf(destination)) / name).string();
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    const int fd = ::mkstemp(buf.data());
    if (fd < 0) return Status::fail(text::withSubject(text::kTempFileFailed, std::strerror(errno)));
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
        return Status::fail(text::withSubject(text::kRenameFailed, std::strerror(errno)));
    path_.clear();
    return Status::ok();
}

void TempOutput::discard() {
    if (path_.empty()) return;
    ::unlink(path_.c_str());
    path_.clear();
}

}  // namespace velmora::encoder
