#include "engine/source_timeline.h"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace velmora::encoder
