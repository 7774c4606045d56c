#include "engine/key_frames.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <vector>

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

}  // namespace
}  // namespace velmora::encoder
