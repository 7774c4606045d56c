#pragma once
// The planner's rules for the picture: what the first look says of it (a
// still, a busy picture) and how large a picture the line carries, on a
// ladder of frame sizes. Why each rule holds is in docs/encoding-rules.md.

#include <array>
#include <cstddef>

#include "engine/plan/encode_plan.h"

namespace velmora::encoder::picture {

// Frame sizes for "one size smaller/larger", smallest first.
inline constexpr std::array<std::array<int, 2>, 8> kSizes{{
    {128, 96},
    {160, 120},
    {176, 144},
    {240, 180},
    {320, 240},
    {384, 288},
    {480, 360},
    {640, 480},
}};

// 320x240: where a size off the ladder starts (the audience table's sizes
// are all on it).
inline constexpr int kFallbackSize = 4;

// WxH's place on the ladder, -1 when it has none.
constexpr int ladderIndex(int width, int height) {
    for (std::size_t i = 0; i < kSizes.size(); ++i)
        if (kSizes[i][0] == width && kSizes[i][1] == height) return static_cast<int>(i);
    return -1;
}

// WxH's place on the ladder, kFallbackSize when it has none.
int sizeIndex(int width, int height);

// A still picture: a slide show, a still with sound.
bool isStill(const SourceShape& source);
// A fast-moving picture, whose frames keep meeting the coarsest quantiser.
bool isBusy(const SourceShape& source);
// Whether the engine codes each group of frames at one quantiser (GroupQuantiser).
bool codedInGroups(int fps);

// A whole encode at the coarsest quantiser pays this many times what the
// look's second frame after a key frame cost there.
inline constexpr double kCoarseUnderstatement = 1.6;

// Whether the rate control can hold a picture of ladder size `size` at
// `fps` to `targetKbps`; `understatement` scales the look's coarsest cost.
bool holdable(const SourceShape& source, int size, int fps, double targetKbps,
              double understatement = kCoarseUnderstatement);

// From `size` down, the first size that can be held (128x96 at the least).
int largestHoldableSize(const SourceShape& source, int size, int fps, double targetKbps);

// From `size` up, the largest size the line still carries at the finest
// quantiser, no larger than the source.
int largestAffordableSize(const SourceShape& source, int size, int fps, double targetKbps,
                          double bufferKbit);

}  // namespace velmora::encoder::picture
