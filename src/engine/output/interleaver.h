#pragma once
// Where the encoders' packets meet before the writer: one queue per stream,
// and pop() hands out the earliest head once every open stream has one.
//
// Each queue holds at most `capacity` items, so a fast encoder waits for a
// slow one and memory stays flat however long the source is. One exception
// keeps the threads from stalling each other: when the writer waits for a
// stream whose producer is idle (waiting for input), a push to a full queue
// goes through. The reader may be far from that stream's data in a source
// that stores its streams far apart, blocked on the very queue whose
// encoder would wait here.
//
// That exception is bounded too: once the queues hold more than
// `maxBytes`, the writer stops waiting for the empty stream and takes the
// earliest item it has. The file's streams then interleave less finely
// (each stream's own order is kept), and memory stays flat even when the
// source stores one stream minutes away from the other.

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

namespace velmora::encoder {

template <typename T>
class Interleaver {
  public:
    Interleaver(std::size_t streams, std::size_t capacity, std::size_t maxBytes = 0)
        : lanes_(streams), capacity_(capacity), maxBytes_(maxBytes) {}

    // `time` orders items across streams (any common unit, e.g. microseconds);
    // `bytes` is what the item weighs. False when aborted; the item is
    // dropped then.
    bool push(std::size_t stream, std::int64_t time, T item, std::size_t bytes = 0) {
        std::unique_lock lock(mutex_);
        ++waitingPushers_;
        notFull_.wait(lock, [&] { return aborted_ || !mustWait(stream); });
        --waitingPushers_;
        if (aborted_) return false;
        auto& items = lanes_[stream].items;
        items.push_back({time, bytes, std::move(item)});
        bytes_ += bytes;
        // Only a first item can be what the writer waits for; waking it for
        // the others costs a context switch each for nothing.
        if ((items.size() == 1 || overflowing()) && writerWaiting_) notEmpty_.notify_one();
        return true;
    }

    // Whether `stream`'s producer waits for input (true from the start) or
    // is working on something that will become an item.
    void idle(std::size_t stream, bool idle) {
        std::lock_guard lock(mutex_);
        lanes_[stream].idle = idle;
        if (idle && waitingPushers_ > 0) notFull_.notify_all();
    }

    // The stream will send nothing more.
    void close(std::size_t stream) {
        std::lock_guard lock(mutex_);
        lanes_[stream].closed = true;
        notEmpty_.notify_all();
        notFull_.notify_all();
    }

    void abort() {
        std::lock_guard lock(mutex_);
        aborted_ = true;
        for (Lane& lane : lanes_) lane.items.clear();
        bytes_ = 0;
        notEmpty_.notify_all();
        notFull_.notify_all();
    }

    // The earliest item among the streams (the lower stream on a tie), once
    // every stream has an item or is closed; nullopt when all are closed and
    // drained, or aborted.
    std::optional<std::pair<std::size_t, T>> pop() {
        std::unique_lock lock(mutex_);
        writerWaiting_ = true;
        notEmpty_.wait(lock, [&] { return aborted_ || starvingLane() < 0 || overflowing(); });
        writerWaiting_ = false;
        if (aborted_) return std::nullopt;
        int next = -1;
        for (std::size_t i = 0; i < lanes_.size(); ++i) {
            if (lanes_[i].items.empty()) continue;
            if (next < 0 || lanes_[i].items.front().time < lanes_[next].items.front().time)
                next = static_cast<int>(i);
        }
        if (next < 0) return std::nullopt;
        auto& items = lanes_[next].items;
        std::pair<std::size_t, T> out{static_cast<std::size_t>(next),
                                      std::move(items.front().item)};
        bytes_ -= items.front().bytes;
        items.pop_front();
        if (waitingPushers_ > 0) notFull_.notify_all();
        return out;
    }

    // Items held for `stream` now; for tests and figures.
    std::size_t size(std::size_t stream) {
        std::lock_guard lock(mutex_);
        return lanes_[stream].items.size();
    }

  private:
    struct Entry {
        std::int64_t time;
        std::size_t bytes;
        T item;
    };
    struct Lane {
        std::deque<Entry> items;
        bool closed = false;
        bool idle = true;
    };

    // An open stream with nothing queued holds the writer up.
    int starvingLane() const {
        for (std::size_t i = 0; i < lanes_.size(); ++i)
            if (!lanes_[i].closed && lanes_[i].items.empty()) return static_cast<int>(i);
        return -1;
    }

    bool overflowing() const { return maxBytes_ > 0 && bytes_ > maxBytes_; }

    bool mustWait(std::size_t stream) const {
        if (lanes_[stream].items.size() < capacity_) return false;
        for (const Lane& lane : lanes_)
            if (!lane.closed && lane.items.empty() && lane.idle) return false;
        return true;
    }

    std::mutex mutex_;
    std::condition_variable notEmpty_, notFull_;
    std::vector<Lane> lanes_;
    std::size_t capacity_;
    std::size_t maxBytes_;
    std::size_t bytes_ = 0;
    int waitingPushers_ = 0;
    bool writerWaiting_ = false;
    bool aborted_ = false;
};

}  // namespace velmora::encoder
