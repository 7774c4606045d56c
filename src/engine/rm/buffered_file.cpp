#include "engine/rm/buffered_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "engine/core/regular_file.h"
#include "engine/core/system_error.h"
#include "texts/encoder_texts.h"

namespace velmora::encoder::rm {

OutputFile::~OutputFile() {
    if (fd_ >= 0) ::close(fd_);
}

Status OutputFile::open(const std::string& path) {
    OwnedDescriptor file;
    if (Status s = openForWriting(path, file); !s) return s;
    fd_ = file.release();
    buffer_.reserve(kBufferSize);
    size_ = 0;
    return Status::ok();
}

Status OutputFile::append(const std::uint8_t* data, std::size_t size) {
    if (fd_ < 0) return Status::fail(ErrorKind::Internal, text::kWriteFailed);
    if (buffer_.size() + size > kBufferSize) {
        if (Status s = flush(); !s) return s;
    }
    if (size >= kBufferSize) {
        if (Status s = writeAll(data, size); !s) return s;
    } else {
        buffer_.insert(buffer_.end(), data, data + size);
    }
    size_ += size;
    return Status::ok();
}

Status OutputFile::flush() {
    if (buffer_.empty()) return Status::ok();
    Status s = writeAll(buffer_.data(), buffer_.size());
    buffer_.clear();
    return s;
}

Status OutputFile::writeAll(const std::uint8_t* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd_, data, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return systemFailure(text::kWriteFailed, errno, ErrorKind::WriteFailed);
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return Status::ok();
}

Status OutputFile::writeAt(std::uint64_t offset, const std::vector<std::uint8_t>& data) {
    if (fd_ < 0) return Status::fail(ErrorKind::Internal, text::kWriteFailed);
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::pwrite(fd_, data.data() + done, data.size() - done,
                                   static_cast<off_t>(offset + done));
        if (n < 0) {
            if (errno == EINTR) continue;
            return systemFailure(text::kWriteFailed, errno, ErrorKind::WriteFailed);
        }
        done += static_cast<std::size_t>(n);
    }
    return Status::ok();
}

Status OutputFile::close() {
    if (fd_ < 0) return Status::ok();
    Status flushed = flush();
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0 && flushed)
        return systemFailure(text::kCloseFailed, errno, ErrorKind::WriteFailed);
    return flushed;
}

}  // namespace velmora::encoder::rm
