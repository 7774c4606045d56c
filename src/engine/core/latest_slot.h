#pragma once
// A hand-over where only the newest value matters: put() replaces whatever
// the reader has not taken yet, so a slow reader never holds the writer up
// and nothing piles up.

#include <mutex>
#include <optional>
#include <utility>

namespace velmora::encoder {

template <typename T>
class LatestSlot {
  public:
    void put(T value) {
        std::optional<T> old;  // dropped outside the lock
        std::lock_guard lock(mutex_);
        old.swap(value_);
        value_.emplace(std::move(value));
    }

    // The newest value, or nullopt when nothing new came since the last take().
    std::optional<T> take() {
        std::lock_guard lock(mutex_);
        return std::exchange(value_, std::nullopt);
    }

  private:
    std::mutex mutex_;
    std::optional<T> value_;
};

}  // namespace velmora::encoder
