#pragma once
// The hand-over between pipeline stages. A producer close()s when its stream
// ends; abort() wakes everyone at once when the job fails.

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <optional>

namespace velmora::encoder {

template <typename T>
class BoundedQueue {
  public:
    explicit BoundedQueue(std::size_t capacity) : capacity_(capacity > 0 ? capacity : 1) {}

    // False when the queue was aborted; the item is dropped then.
    bool push(T item) {
        std::unique_lock lock(mutex_);
        notFull_.wait(lock, [&] { return aborted_ || items_.size() < capacity_; });
        if (aborted_) return false;
        items_.push_back(std::move(item));
        notEmpty_.notify_one();
        return true;
    }

    // Blocks until an item arrives; nullopt once closed and drained, or aborted.
    std::optional<T> pop() {
        std::unique_lock lock(mutex_);
        notEmpty_.wait(lock, [&] { return aborted_ || closed_ || !items_.empty(); });
        if (aborted_ || items_.empty()) return std::nullopt;
        T item = std::move(items_.front());
        items_.pop_front();
        notFull_.notify_one();
        return item;
    }

    void close() {
        std::lock_guard lock(mutex_);
        closed_ = true;
        notEmpty_.notify_all();
    }

    void abort() {
        std::lock_guard lock(mutex_);
        aborted_ = true;
        items_.clear();
        notEmpty_.notify_all();
        notFull_.notify_all();
    }

  private:
    std::mutex mutex_;
    std::condition_variable notEmpty_, notFull_;
    std::deque<T> items_;
    std::size_t capacity_;
    bool closed_ = false;
    bool aborted_ = false;
};

}  // namespace velmora::encoder
