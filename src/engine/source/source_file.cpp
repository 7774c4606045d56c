#include "engine/source/source_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

namespace velmora::encoder {

namespace {

enum Call { kNone, kOpen, kRead, kSize };

// The most one read asks of the thread: FFmpeg's reads are 32 KB.
constexpr int kMostBytesPerRead = 64 * 1024;

std::atomic<int> heldThreads{0};
std::atomic<SourceFile::Pread> preadForTests{nullptr};

ssize_t readAt(int fd, void* data, std::size_t size, off_t offset) {
    const SourceFile::Pread hook = preadForTests.load();
    for (;;) {
        const ssize_t got = hook ? hook(fd, data, size, offset) : ::pread(fd, data, size, offset);
        if (got >= 0 || errno != EINTR) return got;
    }
}

}  // namespace

// What the caller and the thread share; the thread keeps it alive, so that
// one let go can end on its own.
struct SourceFile::Shared {
    std::mutex mutex;
    std::condition_variable changed;
    int call = kNone;  // asked and not answered yet
    std::int64_t offset = 0;
    int size = 0;
    std::int64_t result = 0;
    bool answered = false;
    bool givenUp = false;  // the caller gave up on the call under way
    bool leaving = false;  // the caller is gone
    // The thread's alone while a call runs; the caller's once it is answered.
    std::string path;
    std::vector<std::uint8_t> bytes = std::vector<std::uint8_t>(kMostBytesPerRead);
    struct stat status {};
    int fd = -1;

    void serve() {
        std::unique_lock lock(mutex);
        for (;;) {
            changed.wait(lock, [&] { return call != kNone || leaving; });
            if (call == kNone) break;
            const int what = call;
            lock.unlock();
            const std::int64_t r = perform(what);
            lock.lock();
            call = kNone;
            result = r;
            answered = true;
            if (givenUp) {
                --heldThreads;
                break;
            }
            changed.notify_all();
        }
        lock.unlock();
        if (fd >= 0) ::close(fd);
    }

    // On the thread, without the lock: the calls the kernel may hold.
    std::int64_t perform(int what) {
        switch (what) {
            case kOpen:
                return openFile();
            case kRead: {
                const ssize_t got = readAt(fd, bytes.data(), static_cast<std::size_t>(size),
                                           static_cast<off_t>(offset));
                return got < 0 ? AVERROR(errno) : got;
            }
            case kSize: {
                struct stat now {};
                return ::fstat(fd, &now) != 0 ? AVERROR(errno) : now.st_size;
            }
            default:
                return AVERROR(EINVAL);
        }
    }

    int openFile() {
        if (::stat(path.c_str(), &status) != 0) return AVERROR(errno);
        if (!S_ISREG(status.st_mode)) return 0;
        // Without blocking, in case a FIFO took the name since: opening one
        // waits for a writer.
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
        if (fd < 0) return AVERROR(errno);
        if (::fstat(fd, &status) != 0) return AVERROR(errno);
        if (!S_ISREG(status.st_mode)) {
            ::close(fd);
            fd = -1;
            return 0;
        }
        // Its reads then wait as any file's do (a regular file that answers
        // only when it has something, /proc/kmsg, would otherwise fail them).
        const int flags = ::fcntl(fd, F_GETFL);
        if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) return AVERROR(errno);
        return 0;
    }
};

SourceFile::~SourceFile() {
    if (!shared_) return;
    {
        std::lock_guard lock(shared_->mutex);
        shared_->leaving = true;
        shared_->changed.notify_all();
    }
    // A thread the kernel holds closes the file once its call returns.
    if (givenUp_)
        thread_.detach();
    else
        thread_.join();
}

int SourceFile::open(const std::string& path, const AVIOInterruptCB& interrupt) {
    if (shared_) return AVERROR(EINVAL);
    if (heldThreads.load() >= kMostHeldCalls) return kHeldCallsRefusal;
    interrupt_ = interrupt;
    try {
        auto shared = std::make_shared<Shared>();
        shared->path = path;
        thread_ = std::thread([shared] { shared->serve(); });
        shared_ = std::move(shared);
    } catch (const std::bad_alloc&) {
        return AVERROR(ENOMEM);
    } catch (const std::system_error&) {
        return AVERROR(EAGAIN);  // no thread to be had
    }
    const auto r = static_cast<int>(call(kOpen, 0, 0));
    if (r == 0) status_ = shared_->status;
    return r;
}

int SourceFile::read(std::int64_t offset, std::uint8_t* data, int size) {
    if (size <= 0) return 0;
    size = std::min(size, kMostBytesPerRead);
    const std::int64_t got = call(kRead, offset, size);
    // Answered: the thread waits for the next call and leaves the bytes be.
    if (got > 0) std::memcpy(data, shared_->bytes.data(), static_cast<std::size_t>(got));
    return static_cast<int>(got);
}

std::int64_t SourceFile::size() {
    return call(kSize, 0, 0);
}

std::int64_t SourceFile::call(int what, std::int64_t offset, int size) {
    if (!shared_ || givenUp_) return AVERROR_EXIT;
    // Asked before each call too, as FFmpeg's own file reading does: a stop
    // ends a run of quick reads as well.
    if (interrupt_.callback && interrupt_.callback(interrupt_.opaque)) return AVERROR_EXIT;
    Shared& s = *shared_;
    std::unique_lock lock(s.mutex);
    s.call = what;
    s.offset = offset;
    s.size = size;
    s.answered = false;
    s.changed.notify_all();
    const auto answered = [&] { return s.answered; };
    if (!interrupt_.callback) {
        s.changed.wait(lock, answered);
        return s.result;
    }
    while (!s.changed.wait_for(lock, std::chrono::milliseconds(kInterruptStepMs), answered)) {
        // Asked without the lock: the interrupt is the caller's own code.
        lock.unlock();
        const bool stop = interrupt_.callback(interrupt_.opaque) != 0;
        lock.lock();
        if (stop && !s.answered) {
            s.givenUp = true;
            givenUp_ = true;
            ++heldThreads;
            return AVERROR_EXIT;
        }
    }
    return s.result;
}

int SourceFile::heldCalls() {
    return heldThreads.load();
}

void SourceFile::setPreadForTests(Pread pread) {
    preadForTests.store(pread);
}

}  // namespace velmora::encoder
