#include "engine/rate_guard.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace velmora::encoder {
namespace {

// Runs `frames` frames through a guard of 10 kbit/s at 10 fps with a 5 kbit
// allowance; each frame costs `bits` unless it repeats (then 100 bits).
// Returns how many repeated and the worst lead over the line.
struct GuardRun {
    int repeated = 0;
    double worstLead = 0;
};

GuardRun run(int frames, int bits) {
    RateGuard guard(10000, 10, 5000);
    GuardRun r;
    double sent = 0;
    for (int i = 0; i < frames; ++i) {
        FramePtr frame = makeFrame();
        frame->format = AV_PIX_FMT_YUV420P;
        frame->width = frame->height = 16;
        EXPECT_GE(av_frame_get_buffer(frame.get(), 0), 0);
        frame->pts = i;
        frame->opaque = reinterpret_cast<void*>(static_cast<std::intptr_t>(i + 1));
        EXPECT_TRUE(guard.pass(frame));
        EXPECT_EQ(frame->pts, i);  // a repeat keeps its own time
        const bool repeat =
            frame->opaque != reinterpret_cast<void*>(static_cast<std::intptr_t>(i + 1));
        r.repeated += repeat;
        AVPacket packet{};
        packet.size = (repeat ? 100 : bits) / 8;
        guard.account(packet);
        sent += packet.size * 8;
        r.worstLead = std::max(r.worstLead, sent - 1000.0 * (i + 1));
    }
    return r;
}

TEST(RateGuard, RepeatsOnlyWhileThePictureRunsAheadOfTheLine) {
    struct Case {
        int bits;         // each frame's own cost
        int minRepeated;  // out of 100
        int maxRepeated;
    };
    const Case cases[] = {
        {800, 0, 0},      // under the line: never
        {1000, 0, 0},     // on it
        {2000, 40, 55},   // twice over: about every other frame
        {10000, 85, 92},  // ten times over: most of them
    };
    for (const Case& c : cases) {
        const GuardRun r = run(100, c.bits);
        EXPECT_GE(r.repeated, c.minRepeated) << c.bits;
        EXPECT_LE(r.repeated, c.maxRepeated) << c.bits;
        // Never more than the allowance plus one frame ahead.
        EXPECT_LE(r.worstLead, 5000 + c.bits) << c.bits;
    }
}

}  // namespace
}  // namespace velmora::encoder
