#include "engine/output/temp_output.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <random>
#include <string_view>

#include "engine/core/media_writer.h"
#include "engine/core/regular_file.h"
#include "engine/core/system_error.h"
#include "texts/encoder_texts.h"

namespace velmora::encoder {

namespace fs = std::filesystem;

std::string folderOf(const std::string& path) {
    const fs::path parent = fs::path(path).parent_path();
    return parent.empty() ? std::string(".") : parent.string();
}

std::size_t nameLimit(const std::string& folder) {
    const long limit = ::pathconf(folder.c_str(), _PC_NAME_MAX);
    return static_cast<std::size_t>(limit > 0 ? limit : NAME_MAX);
}

namespace {

constexpr std::string_view kTempMark = ".velmora-";
constexpr std::string_view kNameLetters =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
constexpr std::size_t kRandomLetters = 6;
// A temporary file is left alone this long after its last write, locked or
// not: its job may be between creating and locking it.
constexpr std::time_t kStaleSeconds = 60;

// Exactly the names create() makes: ".name.velmora-PID-XXXXXX".
bool isTempName(std::string_view name) {
    if (name.empty() || name[0] != '.') return false;
    const std::size_t mark = name.rfind(kTempMark);
    if (mark == std::string_view::npos || mark == 0) return false;
    const std::string_view rest = name.substr(mark + kTempMark.size());
    const std::size_t dash = rest.find('-');
    if (dash == 0 || dash == std::string_view::npos || dash > 10) return false;
    if (rest.substr(0, dash).find_first_not_of("0123456789") != std::string_view::npos)
        return false;
    const std::string_view letters = rest.substr(dash + 1);
    return letters.size() == kRandomLetters &&
           letters.find_first_not_of(kNameLetters) == std::string_view::npos;
}

bool sameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Temporary files left by jobs that were killed (or lost their terminal)
// would stay beside the destination for ever; whoever writes into the
// folder next removes them. A job holds a lock on its file as long as it
// runs and the kernel drops the lock when the process ends, however it
// ends, so a file we can lock has no job left, whether it was written from
// another container, PID namespace or machine (where a process id would
// say nothing).
void removeStaleTemps(int folder) {
    const int listing = ::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (listing < 0) return;
    DIR* dir = ::fdopendir(listing);
    if (!dir) {
        ::close(listing);
        return;
    }
    const std::time_t now = ::time(nullptr);
    while (const dirent* entry = ::readdir(dir)) {
        if (!isTempName(entry->d_name)) continue;
        // Only regular files are opened: opening a device can act on it.
        const OpenedName found = openRegularFile(folder, entry->d_name, O_RDONLY);
        if (!found.fd.open() || now - found.st.st_mtime <= kStaleSeconds) continue;
        struct stat named {};
        if (::flock(found.fd.get(), LOCK_EX | LOCK_NB) == 0 &&
            ::fstatat(folder, entry->d_name, &named, AT_SYMLINK_NOFOLLOW) == 0 &&
            sameFile(found.st, named))
            ::unlinkat(folder, entry->d_name, 0);
    }
    ::closedir(dir);
}

std::string randomLetters() {
    static thread_local std::mt19937 pick{std::random_device{}()};
    std::uniform_int_distribution<std::size_t> letter(0, kNameLetters.size() - 1);
    std::string out;
    for (std::size_t i = 0; i < kRandomLetters; ++i) out += kNameLetters[letter(pick)];
    return out;
}

// Whether a file found at a destination may hand its permissions and owner
// on to ours: a regular file looked at by its descriptor, and the job's
// own user's, or in a folder without the sticky bit, where whoever could
// put it there could as well replace what we write. In a shared folder
// (/tmp) a stranger's file is replaced by one of ours.
bool handsOn(const OpenedName& found, int folder) {
    if (found.holds != NameHolds::RegularFile || !found.fd.open()) return false;
    struct stat dir {};
    return found.st.st_uid == ::geteuid() ||
           (::fstat(folder, &dir) == 0 && !(dir.st_mode & S_ISVTX));
}

}  // namespace

Status checkDestination(const std::string& source, const std::string& destination) {
    if (destination.empty()) return Status::fail(ErrorKind::BadRequest, text::kNoDestination);
    const std::string folder = folderOf(destination);
    struct stat st {};
    if (::stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return Status::fail(ErrorKind::DestinationRefused,
                            text::withSubject(text::kDestinationFolderMissing, folder));
    if (::access(folder.c_str(), W_OK | X_OK) != 0)
        return Status::fail(ErrorKind::DestinationRefused,
                            text::withSubject(text::kDestinationFolderReadOnly, folder));

    struct stat dst {};
    if (::stat(destination.c_str(), &dst) == 0) {
        if (S_ISDIR(dst.st_mode))
            return Status::fail(ErrorKind::DestinationRefused,
                                text::withSubject(text::kDestinationIsFolder, destination));
        // A device, FIFO or socket is never replaced by a file. A symbolic
        // link is: the rename replaces the link itself, as mv does.
        struct stat link {};
        if (::lstat(destination.c_str(), &link) == 0 && !S_ISLNK(link.st_mode) &&
            !S_ISREG(link.st_mode))
            return Status::fail(ErrorKind::DestinationRefused,
                                text::withSubject(text::kDestinationNotFile, destination));
        struct stat src {};
        if (::stat(source.c_str(), &src) == 0 && src.st_dev == dst.st_dev &&
            src.st_ino == dst.st_ino)
            return Status::fail(ErrorKind::DestinationRefused, text::kDestinationIsSource);
    } else {
        std::error_code ec1, ec2;
        const fs::path a = fs::weakly_canonical(fs::path(source), ec1);
        const fs::path b = fs::weakly_canonical(fs::path(destination), ec2);
        if (!ec1 && !ec2 && a == b)
            return Status::fail(ErrorKind::DestinationRefused, text::kDestinationIsSource);
    }
    return Status::ok();
}

Status TempOutput::create(const std::string& destination) {
    discard();
    const std::string folder = folderOf(destination);
    // Everything after this goes through the folder itself, not its name:
    // if the folder is renamed (moved) during the job, the finished file
    // lands in it where it now is, and a discarded one still goes.
    const int dir = ::open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) return systemFailure(text::kTempFileFailed, errno, ErrorKind::DestinationRefused);
    removeStaleTemps(dir);
    // The pid tells a person which process wrote the file; the name is
    // shortened so the whole fits the file system's name limit. Appended
    // piece by piece: GCC 12 at -O3 takes the chained operator+ for an
    // overlapping copy (a false -Wrestrict).
    std::string suffix(kTempMark);
    suffix += std::to_string(::getpid());
    suffix += "-";
    const std::size_t limit = nameLimit(folder);
    const std::size_t used = suffix.size() + kRandomLetters + 1;
    const std::size_t room = limit > used ? limit - used : 0;
    std::string prefix = ".";
    prefix += clipUtf8(fs::path(destination).filename().string(), room);
    prefix += suffix;

    int error = EEXIST;
    for (int attempt = 0; attempt < 100 && error == EEXIST; ++attempt) {
        std::string name = prefix + randomLetters();
        // 0666 as any program's new file: the umask (and a default ACL)
        // decide what others may read.
        OpenedName made = openRegularFile(dir, name.c_str(), O_RDWR | O_CREAT | O_EXCL);
        if (!made.fd.open()) {
            error = made.error ? made.error : EEXIST;
            continue;
        }
        const int fd = made.fd.get();
        // On a file system without working locks the file goes unlocked:
        // nothing removes it within a minute of its last write.
        ::flock(fd, LOCK_EX);
        // A sweep that took it for stale before we locked it (a clock far
        // off on a shared folder) has removed it: take another name.
        struct stat named {};
        if (::fstatat(dir, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0 ||
            !sameFile(made.st, named))
            continue;
        folder_ = dir;
        fd_ = made.fd.release();
        name_ = std::move(name);
        target_ = fs::path(destination).filename().string();
        // While the job runs the file shows no more than the one it will
        // replace (a private 0600 recording stays private), and we can write it.
        const OpenedName replaced = openRegularFile(dir, target_.c_str(), O_PATH);
        if (handsOn(replaced, dir))
            ::fchmod(fd_, (made.st.st_mode & replaced.st.st_mode & 0777) | S_IRUSR | S_IWUSR);
        path_ = (fs::path(folder) / name_).string();
        return Status::ok();
    }
    ::close(dir);
    return systemFailure(text::kTempFileFailed, error, ErrorKind::DestinationRefused);
}

std::int64_t TempOutput::size() const {
    struct stat st {};
    return fd_ >= 0 && ::fstat(fd_, &st) == 0 ? st.st_size : 0;
}

Status TempOutput::commit(Replacing what) {
    return place(what == Replacing::AnyFile ? Onto::AnyFile : Onto::RealMedia);
}

Status TempOutput::commitAs(const std::string& destination) {
    // A name in the same folder, which the folder's handle still reaches.
    target_ = fs::path(destination).filename().string();
    return place(Onto::Claim);
}

Status TempOutput::place(Onto what) {
    if (fd_ < 0) return Status::fail(ErrorKind::Internal, text::kRenameFailed);
    // On the disk before it takes the name: a power loss then leaves the
    // earlier file or this one, whole, never an empty or a partial one.
    if (::fsync(fd_) != 0) return systemFailure(text::kWriteFailed, errno, ErrorKind::WriteFailed);
    if (beforePlacing_) beforePlacing_();
    const auto renamed = [this](unsigned flags) {
        return ::renameat2(folder_, name_.c_str(), folder_, target_.c_str(), flags) == 0;
    };
    // A name freed between the two renames is tried again, a few times.
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (renamed(RENAME_NOREPLACE)) return placed();
        if (errno == EINVAL || errno == ENOSYS) return placeWithoutFlags(what);
        if (errno != EEXIST)
            return systemFailure(text::kRenameFailed, errno, ErrorKind::DestinationRefused);
        if (!renamed(RENAME_EXCHANGE)) {
            if (errno == ENOENT) continue;
            if (errno == EINVAL || errno == ENOSYS) return placeWithoutFlags(what);
            return systemFailure(text::kRenameFailed, errno, ErrorKind::DestinationRefused);
        }
        // What held the name is under ours now: removed when we may replace
        // it, else put back as it was (alone, if our file has left the name
        // meanwhile; failing that it stays under ours, which we never remove).
        const OpenedName found =
            openRegularFile(folder_, name_.c_str(), what == Onto::RealMedia ? O_RDONLY : O_PATH);
        if (Status refused = replaceable(found, what); !refused) {
            if (!renamed(RENAME_EXCHANGE) && !renamed(RENAME_NOREPLACE)) release();
            return refused;
        }
        takeOwnerAndMode(found);
        ::unlinkat(folder_, name_.c_str(), 0);
        return placed();
    }
    return Status::fail(ErrorKind::DestinationRefused,
                        text::withSubject(text::kRenameFailed, text::kCauseExists));
}

// A file system that takes neither flag (some network ones): what is there
// is checked, then replaced, in two steps.
Status TempOutput::placeWithoutFlags(Onto what) {
    const OpenedName found =
        openRegularFile(folder_, target_.c_str(), what == Onto::RealMedia ? O_RDONLY : O_PATH);
    if (found.holds != NameHolds::Nothing) {
        if (Status refused = replaceable(found, what); !refused) return refused;
        takeOwnerAndMode(found);
    }
    if (::renameat(folder_, name_.c_str(), folder_, target_.c_str()) != 0)
        return systemFailure(text::kRenameFailed, errno, ErrorKind::DestinationRefused);
    return placed();
}

Status TempOutput::replaceable(const OpenedName& found, Onto what) const {
    const bool regular = found.holds == NameHolds::RegularFile && found.fd.open();
    switch (what) {
        case Onto::AnyFile:
            if (regular || found.holds == NameHolds::Link) return Status::ok();
            if (notRegularCause(found.holds))
                return refusedName(text::kRenameFailed, {}, found.holds);
            return systemFailure(text::kRenameFailed, found.error, ErrorKind::DestinationRefused);
        case Onto::RealMedia:
            // The job names the file the message is about.
            if (replaceableBeside(found)) return Status::ok();
            return refusedName(text::kDestinationStranger, {}, found.holds);
        case Onto::Claim:
            if (regular && found.st.st_size == 0) return Status::ok();
            return Status::fail(ErrorKind::DestinationRefused,
                                text::withSubject(text::kRenameFailed, text::kCauseExists));
    }
    return Status::fail(ErrorKind::Internal, text::kRenameFailed);
}

// Only a regular file hands on what it had, and only when handsOn() says so.
void TempOutput::takeOwnerAndMode(const OpenedName& found) {
    if (!handsOn(found, folder_)) return;
    // Its owner where we may set it: as root, or as that owner (then only
    // its group can change).
    if ((::geteuid() == 0 || found.st.st_uid == ::geteuid()) &&
        ::fchown(fd_, found.st.st_uid, found.st.st_gid) != 0) {
        // A group we are not in: the file keeps ours.
    }
    ::fchmod(fd_, found.st.st_mode & 0777);
}

// The name's change on the disk too; a folder that cannot be synced (some
// file systems refuse) leaves it to the system's own writing back.
Status TempOutput::placed() {
    const int dir = ::openat(folder_, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    release();
    return Status::ok();
}

void TempOutput::discard() {
    if (fd_ < 0) return;
    // Removed while still locked, so no sweep can take it for another's.
    ::unlinkat(folder_, name_.c_str(), 0);
    release();
}

void TempOutput::release() {
    ::close(fd_);
    ::close(folder_);
    fd_ = folder_ = -1;
    path_.clear();
    name_.clear();
    target_.clear();
}

}  // namespace velmora::encoder
