#pragma once
// Shared by the media tests: the clips they encode and an observer that
// lets a test wait for a job's progress or its end.

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <vector>

#include "engine/engine.h"
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

}  // namespace velmora::encoder::testing
