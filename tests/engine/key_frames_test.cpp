#include "engine/stages/key_frames.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <numbers>
#include <numeric>
#include <utility>
#include <vector>

#include "engine/stages/lookahead.h"
#include "engine/stages/video_stage.h"

extern "C" {
#include <libavutil/frame.h>
}

namespace velmora::encoder {
namespace {

enum class Picture { Waves, Checker };

// A 160x120 picture: smooth waves (a photo-like scene) moved `shift` pixels
// to the left, or a coarse checkerboard (another scene altogether).
FramePtr picture(Picture kind, int shift) {
    FramePtr frame = makeFrame();
    frame->format = AV_PIX_FMT_YUV420P;
    frame->width = 160;
    frame->height = 120;
    EXPECT_GE(av_frame_get_buffer(frame.get(), 0), 0);
    constexpr double kTau = 2 * std::numbers::pi;
    for (int y = 0; y < frame->height; ++y)
        for (int x = 0; x < frame->width; ++x) {
            const int u = x + shift;
            const double v = kind == Picture::Waves
                                 ? 128 + 90 * std::sin(kTau * u / 64) * std::sin(kTau * y / 48)
                                 : ((u / 40 + y / 40) % 2 ? 235 : 20);
            frame->data[0][y * frame->linesize[0] + x] = static_cast<std::uint8_t>(v);
        }
    return frame;
}

// Frame `i` of a calm picture under light grain for `calm` frames, then a
// busy one (heavy grain over a fast pan); a key frame first.
FramePtr calmThenBusy(int i, int calm) {
    FramePtr frame = picture(Picture::Waves, i < calm ? i : calm + 4 * (i - calm));
    const int grain = i < calm ? 2 : 12;
    std::uint32_t seed = 2654435761u * static_cast<std::uint32_t>(i + 1);
    for (int y = 0; y < frame->height; ++y)
        for (int x = 0; x < frame->width; ++x) {
            seed = seed * 1664525u + 1013904223u;
            std::uint8_t& p = frame->data[0][y * frame->linesize[0] + x];
            const int g = static_cast<int>(seed >> 16) % (2 * grain + 1) - grain;
            p = static_cast<std::uint8_t>(std::clamp(p + g, 0, 255));
        }
    std::fill_n(frame->data[1], frame->linesize[1] * 60, 128);
    std::fill_n(frame->data[2], frame->linesize[2] * 60, 128);
    frame->pts = i;
    frame->pict_type = i == 0 ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
    return frame;
}

TEST(KeyFrameChooser, KeyFramesAtCutsAndOnMovingPicturesOnly) {
    struct Step {
        Picture kind;
        int count;
    };
    struct Case {
        const char* what;
        std::vector<Step> steps;
        bool moving;  // the picture moves 3 px a frame
        std::vector<int> keys;
        int stills;  // frames that show the one before them again
    };
    const Case cases[] = {
        {"a still picture past the interval", {{Picture::Waves, 25}}, false, {0}, 24},
        {"a pan past the interval", {{Picture::Waves, 25}}, true, {0, 10, 20}, 0},
        {"a cut between stills", {{Picture::Waves, 5}, {Picture::Checker, 7}}, false, {0, 5}, 10},
        {"a cut back", {{Picture::Checker, 3}, {Picture::Waves, 3}}, false, {0, 3}, 4},
    };
    for (const Case& c : cases) {
        KeyFrameChooser chooser(10);
        std::vector<int> keys;
        int stills = 0;
        int index = 0;
        for (const Step& step : c.steps)
            for (int i = 0; i < step.count; ++i, ++index) {
                FramePtr frame = picture(step.kind, c.moving ? 3 * index : 0);
                if (chooser.choose(*frame)) keys.push_back(index);
                stills += chooser.still();
            }
        EXPECT_EQ(keys, c.keys) << c.what;
        EXPECT_EQ(stills, c.stills) << c.what;
    }
}

// The pictures' size at 25 fps and 400 kbps, coded in groups.
VideoPlan groupedPlan() {
    VideoPlan plan;
    plan.width = 160;
    plan.height = 120;
    plan.fps = 25;
    plan.gop = 100;
    plan.bitRate = 400'000;
    plan.groupQuantiser = true;
    return plan;
}

// A slide whose key frame the buffer cannot hold at the finest quantiser:
// the key frame comes out coarser, and the frames after it refine the slide
// as far as the group's share allows, not one step; coded as chosen, the
// group keeps to its share and to the buffer.
TEST(GroupQuantiser, TheFramesAfterAKeyFramePastTheBufferRefineItFully) {
    VideoPlan plan = groupedPlan();
    // Each frame's bits, at the frames' own quantisers or all at the finest.
    const auto codedBits = [&](std::vector<FramePtr>& frames, bool atFinest) {
        CodecContextPtr encoder;
        EXPECT_TRUE(openVideoEncoder(plan, encoder));
        std::vector<double> bits;
        for (std::size_t i = 0; i < frames.size(); ++i) {
            frames[i]->pts = static_cast<std::int64_t>(i);
            if (atFinest) frames[i]->quality = FF_QP2LAMBDA * plan.qmin;
            EXPECT_GE(avcodec_send_frame(encoder.get(), frames[i].get()), 0);
            PacketPtr packet = makePacket();
            EXPECT_GE(avcodec_receive_packet(encoder.get(), packet.get()), 0);
            bits.push_back(packet->size * 8.0);
        }
        return bits;
    };
    const auto slide = [](std::size_t frames) {
        std::vector<FramePtr> group;
        for (std::size_t i = 0; i < frames; ++i) {
            group.push_back(picture(Picture::Waves, 0));
            std::fill_n(group.back()->data[1], group.back()->linesize[1] * 60, 128);
            std::fill_n(group.back()->data[2], group.back()->linesize[2] * 60, 128);
            group.back()->pict_type = i == 0 ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
        }
        return group;
    };
    // The buffer holds two thirds of the key frame at the finest quantiser.
    std::vector<FramePtr> once = slide(1);
    plan.bufferSize = static_cast<int>(codedBits(once, true)[0] * 2 / 3);

    std::vector<FramePtr> group = slide(50);
    std::vector<bool> repeats(group.size(), true);
    repeats[0] = false;
    GroupQuantiser quantiser;
    ASSERT_TRUE(quantiser.open(plan));
    ASSERT_TRUE(quantiser.choose(group, repeats, nullptr));
    const int key = group[0]->quality / FF_QP2LAMBDA;
    const int rest = group[1]->quality / FF_QP2LAMBDA;
    EXPECT_GT(key, plan.qmin);
    EXPECT_EQ(rest, plan.qmin) << "key frame at " << key;
    for (std::size_t i = 2; i < group.size(); ++i) EXPECT_EQ(group[i]->quality, group[1]->quality);

    const std::vector<double> bits = codedBits(group, false);
    double total = 0;
    for (double b : bits) total += b;
    EXPECT_LE(total, static_cast<double>(plan.bitRate) / plan.fps * group.size());
    EXPECT_LE(*std::max_element(bits.begin(), bits.end()), plan.bufferSize);
}

// Given up, as at a stop, the trials end at once and set no quality: the
// lane codes a shorter group of its own instead.
TEST(GroupQuantiser, GivenUpItChoosesNothing) {
    VideoPlan plan = groupedPlan();
    std::vector<FramePtr> group;
    for (int i = 0; i < 20; ++i) group.push_back(picture(Picture::Waves, i));
    group[0]->pict_type = AV_PICTURE_TYPE_I;
    GroupQuantiser quantiser;
    ASSERT_TRUE(quantiser.open(plan));
    const std::atomic<bool> stopped{true};
    ASSERT_TRUE(quantiser.choose(group, std::vector<bool>(group.size()), nullptr, &stopped));
    for (const FramePtr& frame : group) EXPECT_EQ(frame->quality, 0);
    const std::atomic<bool> going{false};
    ASSERT_TRUE(quantiser.choose(group, std::vector<bool>(group.size()), nullptr, &going));
    for (const FramePtr& frame : group) EXPECT_GE(frame->quality, FF_QP2LAMBDA * plan.qmin);
}

// A 160x120 plan at `fps`, `perFrame` bits a frame on a line a fifth above
// it, for `frames` frames (0: the length unknown, as on a pipe).
VideoPlan lookaheadPlan(int fps, double perFrame, std::int64_t bufferBits, int frames) {
    VideoPlan plan;
    plan.width = 160;
    plan.height = 120;
    plan.fps = fps;
    plan.gop = 10 * fps;
    plan.bitRate = static_cast<std::int64_t>(perFrame) * fps;
    plan.ceilingRate = plan.bitRate * 6 / 5;
    plan.bufferSize = plan.allowanceBits = bufferBits;
    plan.wholeBits = std::int64_t{plan.ceilingRate} * frames / fps;
    return plan;
}

// Frames 0 to `frames` - 1 of calmThenBusy through the first pass into the
// look-ahead, as the lane drives them: `takeOldest` takes each frame the
// window lets go, and the rest once the source has ended.
template <typename TakeOldest>
void feedLookahead(const VideoPlan& plan, Lookahead& lookahead, int frames, int calm,
                   TakeOldest takeOldest) {
    FirstPass firstPass;
    ASSERT_TRUE(firstPass.open(plan));
    for (int i = 0; i < frames; ++i) {
        FramePtr frame = calmThenBusy(i, calm);
        FrameMeasure measure;
        ASSERT_TRUE(firstPass.measure(*frame, i == 0, measure));
        lookahead.add(std::move(frame), false, measure);
        while (lookahead.held() > lookahead.window()) takeOldest();
    }
    lookahead.end();
    while (lookahead.held() > 0) takeOldest();
}

// A calm picture for four seconds, then a busy one (grain over a fast pan)
// for four, through the look-ahead as the lane drives it: every frame goes
// on once, in order; what the calm stretch leaves goes to the busy one,
// which a one-pass rate control spends at once; and the bits keep to the
// line's share within the plan's buffer, with the source's length known or
// not (a pipe).
TEST(Lookahead, TheCalmStretchSavesForTheBusyOneWithinTheLine) {
    constexpr int kFrames = 200, kCalm = 100;
    // At 3 fps, as at 28K, the first second is three frames.
    for (const auto& [fps, lengthKnown] :
         {std::pair{25, true}, std::pair{25, false}, std::pair{3, true}}) {
        SCOPED_TRACE(testing::Message()
                     << fps << " fps, length " << (lengthKnown ? "known" : "unknown"));
        const VideoPlan plan = lookaheadPlan(fps, 2'400, 3'600 * fps, lengthKnown ? kFrames : 0);
        CodecContextPtr encoder;
        ASSERT_TRUE(openVideoEncoder(plan, encoder));
        Lookahead lookahead;
        ASSERT_TRUE(lookahead.open(plan));
        std::vector<std::int64_t> order;
        std::vector<double> bits;
        const auto codeOldest = [&] {
            FramePtr frame = lookahead.take(lookahead.frontIsKey());
            order.push_back(frame->pts);
            ASSERT_GE(avcodec_send_frame(encoder.get(), frame.get()), 0);
            PacketPtr packet = makePacket();
            ASSERT_GE(avcodec_receive_packet(encoder.get(), packet.get()), 0);
            bits.push_back(packet->size * 8.0);
            lookahead.account(bits.back());
        };
        feedLookahead(plan, lookahead, kFrames, kCalm, codeOldest);

        ASSERT_EQ(order.size(), static_cast<std::size_t>(kFrames));
        for (int i = 0; i < kFrames; ++i) EXPECT_EQ(order[i], i);
        const double perFrame = static_cast<double>(plan.bitRate) / plan.fps;
        const double line = static_cast<double>(plan.ceilingRate) / plan.fps;
        double spent = 0, calm = 0, ahead = 0;
        for (int i = 0; i < kFrames; ++i) {
            spent += bits[i];
            if (i < kCalm) calm += bits[i];
            ahead = std::max(ahead, spent - (i + 1) * line);
        }
        EXPECT_LE(ahead, plan.allowanceBits) << "ahead of the line";
        EXPECT_NEAR(spent, perFrame * kFrames, 0.15 * perFrame * kFrames);
        // Saving for the busy stretch from the calm one's start needs a
        // window that sees the busy one from there (not at 3 fps).
        if (kCalm <= Lookahead::kWindowSeconds * fps) {
            EXPECT_GE(spent - calm, 1.15 * perFrame * (kFrames - kCalm))
                << "the calm stretch took " << calm / (perFrame * kCalm) << " of its share";
        }
        // The first second after the key frame is the calm stretch like the
        // rest of it: not coded coarse to pay for key frames to come.
        const double firstSecond =
            std::accumulate(bits.begin() + 1, bits.begin() + plan.fps, 0.0) / (plan.fps - 1);
        const double restOfCalm =
            std::accumulate(bits.begin() + plan.fps, bits.begin() + kCalm, 0.0) /
            (kCalm - plan.fps);
        EXPECT_GE(firstSecond, 0.4 * restOfCalm);
    }
}

// A calm picture whose frames leave the plan's rate unspent even at the
// finest quantiser: while some of the source is beyond the window it keeps
// a step from the finest (it cannot know the rest is as calm), until the
// plan's buffer is kept back; once the window holds the source's end, or
// the source has ended, it spends.
TEST(Lookahead, ARateTheCalmCannotFillIsKeptForWhatIsUnseen) {
    constexpr int kFrames = 120, kFps = 6;
    constexpr double kPerFrame = 60'000, kCost = 2'000;  // what each calm frame is taken to cost
    struct Case {
        bool lengthKnown;
        double buffer;  // frames' worth of what one keeps back
    };
    for (const Case c : {Case{true, 60}, Case{false, 60}, Case{true, 20}}) {
        SCOPED_TRACE(testing::Message() << "length " << (c.lengthKnown ? "known" : "unknown")
                                        << ", buffer " << c.buffer);
        const VideoPlan plan = lookaheadPlan(
            kFps, kPerFrame, static_cast<std::int64_t>(c.buffer * (kPerFrame - kCost)),
            c.lengthKnown ? kFrames : 0);
        Lookahead lookahead;
        ASSERT_TRUE(lookahead.open(plan));
        std::vector<double> quantisers;
        const auto takeOldest = [&] {
            FramePtr frame = lookahead.take(lookahead.frontIsKey());
            quantisers.push_back(static_cast<double>(frame->quality) / FF_QP2LAMBDA);
            lookahead.account(kCost);
        };
        feedLookahead(plan, lookahead, kFrames, kFrames, takeOldest);
        ASSERT_EQ(quantisers.size(), static_cast<std::size_t>(kFrames));
        // The window holds 10 s, 60 frames: the first 50 are taken before it
        // reaches the end.
        for (int i = 1; i < 50; ++i) {
            if (i < c.buffer) {
                EXPECT_GE(quantisers[i], 2.99) << "frame " << i;
            } else if (i > c.buffer) {
                EXPECT_LE(quantisers[i], 2.01) << "frame " << i << ", the buffer kept back";
            }
        }
        EXPECT_LE(*std::min_element(quantisers.end() - 10, quantisers.end()), 2.01);
    }
}

// A cut at a key frame: from the second frame after it the first pass
// measures the busy scene no finer than about where it settles on it, not
// at an average with the calm scene's (the look-ahead cannot plan a frame
// much finer than it was measured, so a frame measured fine took all it
// had saved).
TEST(FirstPass, AfterACutItMeasuresAtTheNewScenesQuantiser) {
    constexpr int kCalm = 20, kFrames = 40;
    VideoPlan plan;
    plan.width = 160;
    plan.height = 120;
    plan.fps = 6;
    plan.gop = 60;
    plan.bitRate = 3'600 * plan.fps;
    FirstPass firstPass;
    ASSERT_TRUE(firstPass.open(plan));
    std::vector<double> quantisers;
    for (int i = 0; i < kFrames; ++i) {
        FramePtr frame = calmThenBusy(i, kCalm);
        FrameMeasure measure;
        ASSERT_TRUE(firstPass.measure(*frame, i == 0 || i == kCalm, measure));
        quantisers.push_back(measure.quantiser);
    }
    // Where it settles on the busy scene: the median of its last ten frames
    // (grain swings them by a third either way).
    std::vector<double> last(quantisers.end() - 10, quantisers.end());
    std::nth_element(last.begin(), last.begin() + 5, last.end());
    const double settled = last[5];
    ASSERT_GT(settled, 2 * quantisers[kCalm - 1]) << "the busy scene is not harder";
    EXPECT_GT(quantisers[kCalm + 2], settled / 1.5);
}

}  // namespace
}  // namespace velmora::encoder
