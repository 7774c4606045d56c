#pragma once
// Every name we open for a check or for writing goes through here, and is
// opened as what it is: a link at the name is never followed, a FIFO or a
// device is never opened (nothing waits on one, nothing acts on one), and
// only a regular file is kept open. Header only: our RealMedia writer,
// which links nothing of the engine, opens its file the same way.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <utility>

#include "engine/core/status.h"
#include "engine/core/system_error.h"
#include "texts/encoder_texts.h"

namespace velmora::encoder {

// A descriptor the engine opened itself, closed with it.
class OwnedDescriptor {
  public:
    OwnedDescriptor() = default;
    explicit OwnedDescriptor(int fd) : fd_(fd) {}
    OwnedDescriptor(OwnedDescriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    OwnedDescriptor& operator=(OwnedDescriptor&& other) noexcept {
        if (this != &other) {
            reset();
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }
    OwnedDescriptor(const OwnedDescriptor&) = delete;
    OwnedDescriptor& operator=(const OwnedDescriptor&) = delete;
    ~OwnedDescriptor() { reset(); }

    int get() const { return fd_; }
    bool open() const { return fd_ >= 0; }
    // Hands the descriptor on; it is no longer closed here.
    int release() { return std::exchange(fd_, -1); }
    void reset() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

  private:
    int fd_ = -1;
};

// What a name holds, seen without following a link.
enum class NameHolds { Nothing, RegularFile, Link, Folder, Other, Unknown };

struct OpenedName {
    NameHolds holds = NameHolds::Unknown;
    OwnedDescriptor fd;  // open only on a regular file
    struct stat st {};   // the opened file's (by its descriptor), else the name's own
    int error = 0;       // why a regular file there, or a new one, was not opened
};

// Opens `name` (in the folder `folder`, or a path with AT_FDCWD) with
// `flags` (O_RDONLY, O_PATH to look at it, O_WRONLY | O_CREAT | O_EXCL to
// make it, ...) and O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC. Only a regular
// file is opened and kept; what is found first is looked at, not opened,
// and what was opened is checked again by its descriptor, so a name changed
// in between never gets a blocking or a device's open.
inline OpenedName openRegularFile(int folder, const char* name, int flags, mode_t mode = 0666) {
    OpenedName out;
    const auto kindOf = [](mode_t m) {
        return S_ISREG(m)   ? NameHolds::RegularFile
               : S_ISLNK(m) ? NameHolds::Link
               : S_ISDIR(m) ? NameHolds::Folder
                            : NameHolds::Other;
    };
    if (::fstatat(folder, name, &out.st, AT_SYMLINK_NOFOLLOW) == 0) {
        out.holds = kindOf(out.st.st_mode);
        if (out.holds != NameHolds::RegularFile) return out;
    } else {
        out.error = errno;
        out.holds = errno == ENOENT ? NameHolds::Nothing : NameHolds::Unknown;
        if (errno != ENOENT || !(flags & O_CREAT)) return out;
    }
    const int fd = ::openat(folder, name, flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, mode);
    if (fd < 0) {
        out.error = errno;
        if (errno == ELOOP) out.holds = NameHolds::Link;
        return out;
    }
    OwnedDescriptor opened(fd);
    if (::fstat(fd, &out.st) != 0) {
        out.error = errno;
        out.holds = NameHolds::Unknown;
        return out;
    }
    out.error = 0;
    out.holds = kindOf(out.st.st_mode);
    if (out.holds != NameHolds::RegularFile) return out;
    // A regular file never blocks; whoever it is handed to expects plain writes.
    if (!(flags & O_PATH)) ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    out.fd = std::move(opened);
    return out;
}

// Why a name that holds no regular file is not opened: a sentence, or
// nullptr for a regular file and for nothing at all.
inline const char* notRegularCause(NameHolds holds) {
    switch (holds) {
        case NameHolds::Link:
            return text::kCauseIsLink;
        case NameHolds::Folder:
            return text::kCauseIsFolder;
        case NameHolds::Other:
            return text::kCauseNotRegular;
        default:
            return nullptr;
    }
}

// "what：path。cause" for a name refused for what it holds ("what。cause"
// where the path is said already).
inline Status refusedName(const char* what, const std::string& path, NameHolds holds) {
    std::string message = path.empty() ? std::string(what) : text::withSubject(what, path);
    if (const char* cause = notRegularCause(holds)) message = text::withCause(message, cause);
    return Status::fail(ErrorKind::DestinationRefused, std::move(message));
}

// The file a writer writes, created or emptied: a regular file only, never
// reached through a link. Its failure in the user's words.
inline Status openForWriting(const std::string& path, OwnedDescriptor& fd) {
    OpenedName file = openRegularFile(AT_FDCWD, path.c_str(), O_WRONLY | O_CREAT | O_TRUNC);
    if (file.fd.open()) {
        fd = std::move(file.fd);
        return Status::ok();
    }
    if (const char* cause = notRegularCause(file.holds))
        return Status::fail(ErrorKind::DestinationRefused,
                            text::withSubject(text::kCreateFailed, cause));
    return systemFailure(text::kCreateFailed, file.error, ErrorKind::DestinationRefused);
}

// An earlier output of ours, or any RealMedia file: its first four bytes.
inline bool isRealMedia(int fd) {
    char magic[4] = {};
    return ::pread(fd, magic, sizeof magic, 0) == sizeof magic && magic[0] == '.' &&
           magic[1] == 'R' && magic[2] == 'M' && magic[3] == 'F';
}

// What a file beside the named one may be for a job to replace it: an
// earlier RealMedia file, or an empty one, which is what a batch killed
// between claiming its names and filling them leaves, and which holds
// nothing to lose. `found` was opened for reading.
inline bool replaceableBeside(const OpenedName& found) {
    return found.holds == NameHolds::RegularFile && found.fd.open() &&
           (found.st.st_size == 0 || isRealMedia(found.fd.get()));
}

}  // namespace velmora::encoder
