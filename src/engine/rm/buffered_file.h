#pragma once
// The file being written: appends go through a buffer, header patches go
// straight to their place. Plain POSIX calls so a patch never moves the
// append position and nothing is buffered behind our back.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/core/status.h"

namespace velmora::encoder::rm {

class OutputFile {
  public:
    OutputFile() = default;
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;
    ~OutputFile();

    Status open(const std::string& path);
    bool isOpen() const { return fd_ >= 0; }

    Status append(const std::uint8_t* data, std::size_t size);
    Status append(const std::vector<std::uint8_t>& data) {
        return append(data.data(), data.size());
    }
    // Hands buffered bytes to the system (they survive the process).
    Status flush();
    // Overwrites bytes already flushed.
    Status writeAt(std::uint64_t offset, const std::vector<std::uint8_t>& data);
    Status close();

    // Bytes appended so far, buffered or not.
    std::uint64_t size() const { return size_; }

  private:
    Status writeAll(const std::uint8_t* data, std::size_t size);

    static constexpr std::size_t kBufferSize = 64 * 1024;
    int fd_ = -1;
    std::vector<std::uint8_t> buffer_;
    std::uint64_t size_ = 0;
};

}  // namespace velmora::encoder::rm
