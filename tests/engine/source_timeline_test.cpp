#include "engine/source/source_timeline.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace velmora::encoder {
namespace {

struct Packet {
    double start, end, shift;  // shift: what the timeline must take off
};

struct Case {
    const char* name;
    std::vector<Packet> packets;
    double closed;
    double declared = 0;  // the container's stated length
};

// Packets in file order, two streams interleaved as demuxers hand them out.
TEST(SourceTimeline, ClosesOnlyStretchesWhereNoStreamHasData) {
    const Case cases[] = {
        {"a pause of seconds is kept",
         {{0, 0.04, 0}, {0, 0.02, 0}, {0.04, 0.08, 0}, {3, 3.04, 0}},
         0},
        {"a still picture under sound is no gap",
         {{0, 0.04, 0}, {0, 3, 0}, {3, 6, 0}, {6, 9, 0}, {9, 9.04, 0}},
         0},
        {"ten hours with nothing",
         {{0, 2, 0}, {36002, 36003, 36000}, {36003, 36004, 36000}},
         36000},
        {"the other stream's last packets before the jump stay put",
         {{0, 2, 0}, {36002, 36003, 36000}, {1.9, 2.0, 0}, {36002, 36002.5, 36000}},
         36000},
        {"two gaps add up", {{0, 1, 0}, {11, 12, 10}, {112, 113, 110}, {113, 114, 110}}, 110},
        {"just under the limit is kept",
         {{0, 1, 0}, {1 + SourceTimeline::kLongestKeptGap, 7, 0}},
         0},
        {"backwards never shifts", {{100, 101, 0}, {0, 1, 0}, {101, 102, 0}}, 0},
        {"a still screen the stated length counts is kept",
         {{0, 2, 0}, {20, 20.04, 0}, {21.96, 22, 0}},
         0,
         22},
        {"a jump past the stated length is closed", {{0, 2, 0}, {20, 22, 18}}, 18, 4},
        {"ten hours are a broken clock even when counted",
         {{0, 2, 0}, {36002, 36003, 36000}},
         36000,
         36004},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SourceTimeline timeline;
        timeline.declare(c.declared);
        for (const Packet& p : c.packets)
            EXPECT_DOUBLE_EQ(timeline.shiftFor(p.start, p.end), p.shift);
        EXPECT_DOUBLE_EQ(timeline.closedSeconds(), c.closed);
    }
}

// Thousands of jumps, one a packet: each packet goes back by every gap
// before it, and one from among the last gaps by those before it only.
TEST(SourceTimeline, AClockThatJumpsAtEveryPacketIsClosedEveryTime) {
    SourceTimeline timeline;
    constexpr int kPackets = 20000;
    constexpr double kJump = 4000;
    for (int i = 0; i < kPackets; ++i) {
        const double start = i * (kJump + 1);
        ASSERT_DOUBLE_EQ(timeline.shiftFor(start, start + 1), i * kJump) << i;
    }
    const int late = kPackets - 5;
    EXPECT_DOUBLE_EQ(timeline.shiftFor(late * (kJump + 1) - 0.5, late * (kJump + 1)), late * kJump);
    EXPECT_DOUBLE_EQ(timeline.closedSeconds(), (kPackets - 1) * kJump);
}

// Timestamps in ticks go back by whole ticks; one the move would take past
// what a timestamp holds (a clock of 2^62 s) becomes none.
TEST(SourceTimeline, TimestampsMoveByWholeTicksOrBecomeNone) {
    constexpr std::int64_t kNone = INT64_MIN;
    SourceTimeline timeline;
    std::int64_t pts = 0, dts = kNone;
    timeline.close(pts, dts, 40, 0.001, 0, kNone);
    pts = 36'002'000;
    dts = 36'001'960;
    timeline.close(pts, dts, 40, 0.001, 0, kNone);
    EXPECT_EQ(pts, 40);  // right after the first packet
    EXPECT_EQ(dts, 0);
    pts = dts = std::int64_t{1} << 62;
    timeline.close(pts, dts, 1, 1.0, -1e18, kNone);
    EXPECT_EQ(pts, kNone);
    EXPECT_EQ(dts, kNone);
}

}  // namespace
}  // namespace velmora::encoder
