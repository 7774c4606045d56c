#pragma once
// The source's name looked up, and a regular file opened and read, on a
// thread of its own. A call the kernel holds (a file on a network mount that
// stopped answering) cannot be cut short; its caller waits for it in short
// steps that ask the interrupt, and when that says stop, gives the call up
// and goes on as after a failed read. The thread is left to end once the
// kernel lets the call return. Few may be left so at a time: beyond
// kMostHeldCalls a new source is refused rather than one more thread left
// behind, and none of them holds up the end of the program.

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "engine/core/ffmpeg_ptr.h"

namespace velmora::encoder {

// Calls given up on whose threads the kernel still holds, at most; a source
// opened beyond it fails with kHeldCallsRefusal.
inline constexpr int kMostHeldCalls = 8;

// How often a waiting caller asks its interrupt.
inline constexpr int kInterruptStepMs = 20;

class SourceFile {
  public:
    SourceFile() = default;
    ~SourceFile();  // a thread held in the kernel is let go
    SourceFile(const SourceFile&) = delete;
    SourceFile& operator=(const SourceFile&) = delete;

    // Looks `path` up (a link is followed) and opens it read-only when it is
    // a regular file; anything else is only looked up (status() tells what
    // it is). 0 or a negative AVERROR: AVERROR_EXIT when `interrupt` gave up.
    int open(const std::string& path, const AVIOInterruptCB& interrupt);
    // What the name is, once open() has returned 0.
    const struct stat& status() const { return status_; }
    bool regular() const { return S_ISREG(status_.st_mode); }

    // Up to `size` bytes at `offset`: how many, 0 at the end, or a negative
    // AVERROR (AVERROR_EXIT when the interrupt gave up on the read).
    int read(std::int64_t offset, std::uint8_t* data, int size);
    // The file's length now (a file still being written grows).
    std::int64_t size();

    // Threads whose call was given up on and that the kernel still holds.
    static int heldCalls();

    // For tests: what the thread calls in place of pread(2), to hold a read
    // as a stalled mount does; null restores pread. The function outlives
    // every thread that may call it.
    using Pread = ssize_t (*)(int fd, void* data, std::size_t size, off_t offset);
    static void setPreadForTests(Pread pread);

  private:
    struct Shared;
    std::int64_t call(int what, std::int64_t offset, int size);

    std::shared_ptr<Shared> shared_;
    std::thread thread_;
    AVIOInterruptCB interrupt_{nullptr, nullptr};
    struct stat status_ {};
    bool givenUp_ = false;  // a call was given up on: the thread is not ours any more
};

}  // namespace velmora::encoder
