#include "engine/stages/rate_guard.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace velmora::encoder {
namespace {

// Runs 120 frames through a guard of 10 kbit/s at 10 fps with a 5 kbit
// allowance, on a source said to last 100 of them. Every `keyEvery` frames a
// cut asks for a key frame of `keyBits`; a cut left out passes its key frame
// on to the next frame let through, as the engine does. Other frames cost
// `bits`, or on a refining still twice what the one before cost, from `bits`
// up to 4 kbit and then from `bits` again. A frame left out costs nothing.
struct GuardRun {
    int dropped = 0;
    int keys = 0;  // key frames let through
    double worstLead = 0;
    double sentInLength = 0;  // bits sent for the first 100 frames
    int afterLength = 0;      // frames let through after them
};

GuardRun run(int bits, int keyEvery = 0, int keyBits = 0, bool refiningStill = false) {
    RateGuard guard(10000, 10, 5000, 100000);
    GuardRun r;
    double sent = 0;
    bool keyDue = false;
    int cost = bits;
    for (int i = 0; i < 120; ++i) {
        keyDue = keyDue || (keyEvery > 0 && i % keyEvery == 0);
        if (!guard.admit(keyDue, refiningStill && !keyDue)) {
            ++r.dropped;
        } else {
            AVPacket packet{};
            packet.size = (keyDue ? keyBits : cost) / 8;
            if (refiningStill && !keyDue) cost = cost >= 4000 ? bits : 2 * cost;
            packet.flags = keyDue ? AV_PKT_FLAG_KEY : 0;
            r.keys += keyDue;
            r.afterLength += i >= 100;
            keyDue = false;
            guard.account(packet);
            sent += packet.size * 8;
        }
        r.worstLead = std::max(r.worstLead, sent - 1000.0 * (i + 1));
        if (i == 99) r.sentInLength = sent;
    }
    EXPECT_EQ(guard.dropped(), r.dropped);
    return r;
}

TEST(RateGuard, LeavesFramesOutOnlyWhileThePictureRunsAheadOfTheLine) {
    struct Case {
        int bits, keyEvery, keyBits;
        bool refiningStill;
        int minDropped, maxDropped;  // out of 120
        int keys;                    // let through
        double maxLead;
    };
    const Case cases[] = {
        {800, 0, 0, false, 0, 0, 0, 5000},         // under the line: never
        {950, 0, 0, false, 0, 0, 0, 5000},         // just under it
        {2000, 0, 0, false, 58, 62, 0, 5000},      // twice over: every other frame
        {10000, 0, 0, false, 106, 110, 0, 10000},  // ten times over: nine in ten
        // A cut every 20 frames over a picture twice the line: the key
        // frames all go in, the frames between wait; a cut may overrun the
        // allowance by its own key frame.
        {2000, 20, 4000, false, 58, 68, 6, 9000},
        // A still refining in ever larger frames: the budget keeps room for
        // the next one (at what the last cost, it ran 2 % over).
        {300, 0, 0, true, 50, 60, 0, 6000},
        // A key frame larger than the whole allowance still goes in, late.
        {500, 25, 12000, false, 1, 70, 5, 12000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.bits << " bits, key " << c.keyBits);
        const GuardRun r = run(c.bits, c.keyEvery, c.keyBits, c.refiningStill);
        EXPECT_GE(r.dropped, c.minDropped);
        EXPECT_LE(r.dropped, c.maxDropped);
        EXPECT_EQ(r.keys, c.keys);
        EXPECT_LE(r.worstLead, c.maxLead);
        // The source's length gets no more than its share; past it, the
        // picture goes on at the line's rate.
        EXPECT_LE(r.sentInLength, 100000);
        EXPECT_GE(r.afterLength, c.maxDropped > 0 ? 1 : 20);
    }
}

TEST(RateGuard, ARateOfNothingLetsEveryFrameThrough) {
    RateGuard guard(0, 10, 0, 0);
    AVPacket packet{};
    packet.size = 1 << 20;
    for (int i = 0; i < 10; ++i) {
        EXPECT_TRUE(guard.admit(i == 0, false));
        guard.account(packet);
    }
}

}  // namespace
}  // namespace velmora::encoder
