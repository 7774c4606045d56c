#include "engine/core/bounded_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace velmora::encoder {
namespace {

TEST(BoundedQueue, DeliversInOrderThenEndsAfterClose) {
    BoundedQueue<int> q(2);
    std::thread producer([&] {
        for (int i = 0; i < 100; ++i) ASSERT_TRUE(q.push(i));
        q.close();
    });
    for (int i = 0; i < 100; ++i) EXPECT_EQ(q.pop(), i);
    EXPECT_EQ(q.pop(), std::nullopt);
    producer.join();
}

TEST(BoundedQueue, AbortWakesABlockedProducerAndConsumer) {
    BoundedQueue<int> full(1);
    ASSERT_TRUE(full.push(1));
    std::atomic<bool> pushed{true};
    std::thread producer([&] { pushed = full.push(2); });
    BoundedQueue<int> empty(1);
    std::optional<int> popped = 7;
    std::thread consumer([&] { popped = empty.pop(); });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    full.abort();
    empty.abort();
    producer.join();
    consumer.join();
    EXPECT_FALSE(pushed);
    EXPECT_EQ(popped, std::nullopt);
    EXPECT_EQ(full.pop(), std::nullopt);  // aborted items are dropped
}

TEST(BoundedQueue, CloseStillHandsOverWhatWasQueued) {
    BoundedQueue<int> q(1000);
    for (int i = 0; i < 1000; ++i) ASSERT_TRUE(q.push(i));  // never blocks below capacity
    q.close();
    for (int i = 0; i < 1000; ++i) ASSERT_EQ(q.pop(), i);
    EXPECT_EQ(q.pop(), std::nullopt);
}

}  // namespace
}  // namespace velmora::encoder
