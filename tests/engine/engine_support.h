#pragma once
// Shared by the media tests: the clips they encode, an observer that lets a
// test wait for a job's progress or its end, and reads held as a stalled
// network mount holds them.

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "engine/job/engine.h"
#include "engine/source/source_file.h"
#include "support/media/media_fixtures.h"

namespace velmora::encoder::testing {

namespace media = velmora::testing::media;

// The clip every audience is measured on: grain over a moving pattern,
// pink noise under a tone, 8 s so the first key frame does not dominate.
inline media::ClipShape detailedClip() {
    return {};
}

inline media::ClipShape longClip() {
    media::ClipShape shape;
    shape.seconds = 20;
    shape.width = 320;
    shape.height = 240;
    return shape;
}

class WaitingObserver : public JobObserver {
  public:
    void jobProgress(const JobProgress& p) override {
        std::lock_guard lock(mutex_);
        progress_.push_back(p);
        changed_.notify_all();
    }
    void jobFinished(const JobResult& r) override {
        std::lock_guard lock(mutex_);
        result_ = r;
        changed_.notify_all();
    }

    std::optional<JobResult> waitResult(std::chrono::seconds limit = std::chrono::seconds(60)) {
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, limit, [&] { return result_.has_value(); });
        return result_;
    }
    bool waitPercent(int percent, std::chrono::seconds limit = std::chrono::seconds(60)) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, limit, [&] {
            return result_ || (!progress_.empty() && progress_.back().percent >= percent);
        }) && !result_;
    }
    std::vector<JobProgress> progress() {
        std::lock_guard lock(mutex_);
        return progress_;
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<JobProgress> progress_;
    std::optional<JobResult> result_;
};

// While one lives, a read of a source whose name ends in ".stalled" is
// held, while hold() is on (or holdReopenings()), as a network mount that
// stopped answering holds it: until release() or the helper's end (or a
// minute, so that a test that waits for it fails instead of hanging).
// Other files read as usual.
class StalledReads {
  public:
    StalledReads() {
        hold(true);
        SourceFile::setPreadForTests(&read);
    }
    ~StalledReads() {
        release();
        SourceFile::setPreadForTests(nullptr);
    }
    StalledReads(const StalledReads&) = delete;
    StalledReads& operator=(const StalledReads&) = delete;

    static void hold(bool on) {
        if (on) state().released = false;
        state().reopenings = false;
        state().holding = on;
    }
    // Holds the reads of every opening but the first to read: the first
    // look's and the stages' timing, not the job's own.
    static void holdReopenings() {
        state().firstFd = -1;
        state().released = false;
        state().reopenings = true;
        state().holding = true;
    }
    static void release() {
        state().holding = false;
        state().released = true;
    }
    // Reads held now.
    static int held() { return state().held; }
    static bool waitHeld(int count, std::chrono::seconds limit = std::chrono::seconds(60)) {
        const auto giveUp = std::chrono::steady_clock::now() + limit;
        while (held() < count && std::chrono::steady_clock::now() < giveUp)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        return held() >= count;
    }

  private:
    struct State {
        std::atomic<bool> holding{true}, released{false}, reopenings{false};
        std::atomic<int> held{0}, firstFd{-1};
    };
    static State& state() {
        static State s;
        return s;
    }
    static bool stalled(int fd) {
        char name[4096];
        const std::string link = "/proc/self/fd/" + std::to_string(fd);
        const ssize_t n = ::readlink(link.c_str(), name, sizeof name);
        return n > 0 && std::string_view(name, static_cast<std::size_t>(n)).ends_with(".stalled");
    }
    static ssize_t read(int fd, void* data, std::size_t size, off_t offset) {
        int first = -1;
        if (state().holding && stalled(fd) &&
            !(state().reopenings &&
              (state().firstFd.compare_exchange_strong(first, fd) || first == fd))) {
            ++state().held;
            const auto giveUp = std::chrono::steady_clock::now() + std::chrono::minutes(1);
            while (!state().released && std::chrono::steady_clock::now() < giveUp)
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            --state().held;
        }
        return ::pread(fd, data, size, offset);
    }
};

// An FFmpeg call that fails once, as when memory runs out, at the call
// failAfter() names; the definitions in failing_calls.cpp take the
// library's place in the media tests.
struct FailingCall {
    std::atomic<long> calls{0}, failing{-1};
    bool failsNow() { return calls.fetch_add(1) == failing.load(); }
    void failAfter(long more) { failing = calls.load() + more; }
    void never() { failing = -1; }
};
extern FailingCall failingPacketClone;  // av_packet_clone
extern FailingCall failingPacketRead;   // av_read_frame: AVERROR(ENOMEM)

}  // namespace velmora::encoder::testing
