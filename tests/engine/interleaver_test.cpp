#include "engine/output/interleaver.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "engine/core/bounded_queue.h"
#include "engine/core/latest_slot.h"

namespace velmora::encoder {
namespace {

using namespace std::chrono_literals;

TEST(Interleaver, HandsOutTheEarliestHeadTiesToTheLowerStream) {
    Interleaver<int> in(2, 8);
    ASSERT_TRUE(in.push(0, 0, 10));
    ASSERT_TRUE(in.push(0, 40, 11));
    ASSERT_TRUE(in.push(1, 0, 20));
    ASSERT_TRUE(in.push(1, 23, 21));
    in.close(0);
    in.close(1);
    std::vector<int> order;
    while (auto item = in.pop()) order.push_back(item->second);
    EXPECT_EQ(order, (std::vector<int>{10, 20, 21, 11}));
}

TEST(Interleaver, WaitsForTheStreamThatIsBehindAndEndsWhenAllClose) {
    Interleaver<int> in(2, 8);
    std::vector<int> order;
    std::thread writer([&] {
        while (auto item = in.pop()) order.push_back(item->second);
    });
    ASSERT_TRUE(in.push(0, 0, 10));
    ASSERT_TRUE(in.push(0, 40, 11));
    std::this_thread::sleep_for(10ms);  // the writer must not take 10 before stream 1 says
    ASSERT_TRUE(in.push(1, 0, 20));
    ASSERT_TRUE(in.push(1, 23, 21));
    in.close(1);
    in.close(0);
    writer.join();
    EXPECT_EQ(order, (std::vector<int>{10, 20, 21, 11}));
}

// One stream stored far from the other in the source: the idle stream's
// bypass would otherwise queue the busy stream's packets without limit.
TEST(Interleaver, PastTheByteLimitTheWriterStopsWaitingForAnEmptyStream) {
    Interleaver<int> in(2, 2, 1000);
    in.idle(1, true);  // stream 1's encoder waits for input that is far away
    for (int i = 0; i < 4; ++i) ASSERT_TRUE(in.push(0, i, i, 300));  // 1,200 bytes
    auto first = in.pop();  // would wait for stream 1 for ever under the limit
    ASSERT_TRUE(first);
    EXPECT_EQ(first->second, 0);
    ASSERT_TRUE(in.push(1, 0, 100));  // stream 1 arrives: back to strict order
    EXPECT_EQ(in.pop()->second, 100);
    in.close(1);
    EXPECT_EQ(in.pop()->second, 1);
}

TEST(Interleaver, AFullStreamWaitsWhileTheWriterCanGoOn) {
    Interleaver<int> in(2, 2);
    ASSERT_TRUE(in.push(0, 0, 0));
    ASSERT_TRUE(in.push(0, 1, 1));
    ASSERT_TRUE(in.push(1, 5, 100));
    std::atomic<bool> pushed{false};
    std::thread producer([&] { pushed = in.push(0, 2, 2); });
    std::this_thread::sleep_for(30ms);
    EXPECT_FALSE(pushed) << "both streams have packets, so the full one must wait";
    EXPECT_EQ(in.pop()->second, 0);
    producer.join();
    EXPECT_TRUE(pushed);
    EXPECT_EQ(in.size(0), 2u);
}

TEST(Interleaver, AFullStreamWaitsForABusyEmptyStreamButNotForAnIdleOne) {
    Interleaver<int> in(2, 4);
    in.idle(1, false);  // stream 1's encoder is working on a frame
    for (int i = 0; i < 4; ++i) ASSERT_TRUE(in.push(0, i, i));
    std::atomic<bool> pushed{false};
    std::thread producer([&] {
        // Stream 1 waiting for input, as when the reader is far from its data:
        // blocking here would stall every thread.
        for (int i = 4; i < 1000; ++i) ASSERT_TRUE(in.push(0, i, i));
        pushed = true;
    });
    std::this_thread::sleep_for(30ms);
    EXPECT_FALSE(pushed) << "a busy encoder will bring a packet soon";
    in.idle(1, true);
    producer.join();
    EXPECT_EQ(in.size(0), 1000u);
    ASSERT_TRUE(in.push(1, 0, -1));
    in.close(1);
    EXPECT_EQ(in.pop()->second, 0);
    EXPECT_EQ(in.pop()->second, -1);
}

TEST(Interleaver, AbortWakesPushersAndTheWriter) {
    Interleaver<int> in(2, 1);
    ASSERT_TRUE(in.push(0, 0, 0));
    ASSERT_TRUE(in.push(1, 0, 0));
    std::atomic<bool> pushed{true};
    std::thread producer([&] { pushed = in.push(0, 1, 1); });
    Interleaver<int> starved(2, 1);
    std::optional<std::pair<std::size_t, int>> popped{{0, 0}};
    std::thread writer([&] { popped = starved.pop(); });
    std::this_thread::sleep_for(20ms);
    in.abort();
    starved.abort();
    producer.join();
    writer.join();
    EXPECT_FALSE(pushed);
    EXPECT_EQ(popped, std::nullopt);
}

// The job's shape: one reader feeding two encoders through bounded frame
// queues, the encoders feeding the interleaver, one writer. The source stores
// all of stream 0 before stream 1, the worst interleaving there is.
TEST(Interleaver, APipelineOverAStreamsApartSourceFinishesInOrder) {
    constexpr int kItems = 2000;
    Interleaver<int> packets(2, 8);
    BoundedQueue<int> frames0(4), frames1(4);
    std::thread reader([&] {
        for (int i = 0; i < kItems; ++i) ASSERT_TRUE(frames0.push(i));
        for (int i = 0; i < kItems; ++i) ASSERT_TRUE(frames1.push(i));
        frames0.close();
        frames1.close();
    });
    const auto encoder = [&](BoundedQueue<int>& frames, std::size_t stream) {
        for (;;) {
            packets.idle(stream, true);
            auto f = frames.pop();
            packets.idle(stream, false);
            if (!f) break;
            ASSERT_TRUE(packets.push(stream, *f, *f));
        }
        packets.close(stream);
    };
    std::thread encoder0(encoder, std::ref(frames0), 0);
    std::thread encoder1(encoder, std::ref(frames1), 1);
    std::int64_t last = -1;
    int count = 0;
    bool ordered = true;
    while (auto item = packets.pop()) {
        ordered = ordered && item->second >= last;
        last = item->second;
        ++count;
    }
    reader.join();
    encoder0.join();
    encoder1.join();
    EXPECT_EQ(count, 2 * kItems);
    EXPECT_TRUE(ordered);
}

// Streams that arrive side by side stay within the bound.
TEST(Interleaver, InterleavedStreamsStayWithinTheBound) {
    constexpr std::size_t kCapacity = 6;
    Interleaver<int> packets(2, kCapacity);
    packets.idle(0, false);  // never short of input
    packets.idle(1, false);
    const auto encoder = [&](std::size_t stream, int step) {
        for (int t = 0; t < 3000; t += step) ASSERT_TRUE(packets.push(stream, t, t));
        packets.close(stream);
    };
    std::thread fast(encoder, 0, 1), slow(encoder, 1, 7);
    std::size_t most = 0;
    while (packets.pop()) most = std::max({most, packets.size(0), packets.size(1)});
    fast.join();
    slow.join();
    EXPECT_LE(most, kCapacity);
}

TEST(LatestSlot, KeepsOnlyTheNewestAndEmptiesOnTake) {
    LatestSlot<std::unique_ptr<int>> slot;
    EXPECT_EQ(slot.take(), std::nullopt);
    slot.put(std::make_unique<int>(1));
    slot.put(std::make_unique<int>(2));
    auto taken = slot.take();
    ASSERT_TRUE(taken);
    EXPECT_EQ(**taken, 2);
    EXPECT_EQ(slot.take(), std::nullopt);
}

}  // namespace
}  // namespace velmora::encoder
