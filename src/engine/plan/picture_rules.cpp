#include "engine/plan/picture_rules.h"

#include <algorithm>
#include <cmath>

// The measurements behind each rule are in docs/encoding-rules.md, under the
// heading in brackets.

namespace velmora::encoder {

namespace picture {

namespace {

// Frames after a key frame cost less than this on a still picture (bits per
// pixel at the finest quantiser); motion and grain cost ten times more.
constexpr double kStillBitsPerPixel = 0.1;
// ...and more than this on a fast-moving one; gentle motion under grain
// costs half as much.
constexpr double kBusyBitsPerPixel = 0.5;

// Up to this frame rate a group of frames gets one quantiser: FFmpeg's rate
// control swung it within a group [Coded in groups].
constexpr int kGroupQuantiserUpToFps = 2;
// There a still's key frames may cost up to this many times the line at the
// finest quantiser: the group's quantiser brings them within it.
constexpr double kGroupKeyReach = 2.5;

double sampleAspect(const SourceShape& source) {
    return source.sarNum > 0 && source.sarDen > 0
               ? static_cast<double>(source.sarNum) / source.sarDen
               : 1.0;
}

// How much more a frame after another costs at `fps` than the look's frames,
// which lie one source frame apart [Smaller, when the line cannot hold it].
double apartFactor(const SourceShape& source, int fps) {
    return source.frameRate > fps ? std::sqrt(source.frameRate / fps) : 1.0;
}

// Video kbps a picture of WxH at `fps` takes at the finest quantiser, from
// what the first look measured.
double finestKbps(const SourceShape& source, int width, int height, int fps) {
    const double bitsPerPixel = source.keyBitsPerPixel * source.keysPerSecond +
                                source.nextBitsPerPixel * fps * apartFactor(source, fps);
    return width * height * bitsPerPixel / 1000;
}

// Video kbps a picture of WxH at `fps` takes at the coarsest quantiser: the
// least the rate control can bring a moving picture down to.
double coarsestKbps(const SourceShape& source, int width, int height, int fps,
                    double understatement) {
    return understatement * width * height * source.coarseBitsPerPixel * fps *
           apartFactor(source, fps) / 1000;
}

}  // namespace

int sizeIndex(int width, int height) {
    const int index = ladderIndex(width, height);
    return index >= 0 ? index : kFallbackSize;
}

bool isStill(const SourceShape& source) {
    return source.keyBitsPerPixel > 0 && source.nextBitsPerPixel < kStillBitsPerPixel;
}

bool isBusy(const SourceShape& source) {
    return source.nextBitsPerPixel > kBusyBitsPerPixel;
}

bool codedInGroups(int fps) {
    return fps <= kGroupQuantiserUpToFps;
}

// Only a busy picture is judged: grain over a calm one costs the look more
// than the encode [Smaller, when the line cannot hold it].
bool holdable(const SourceShape& source, int size, int fps, double targetKbps,
              double understatement) {
    if (!isBusy(source)) return true;
    int width = 0, height = 0;
    fitFrame(source, kSizes[size][0], kSizes[size][1], width, height);
    return coarsestKbps(source, width, height, fps, understatement) <= targetKbps;
}

// A smaller picture coded finer looks better than repeated frames.
int largestHoldableSize(const SourceShape& source, int size, int fps, double targetKbps) {
    while (size > 0 && !holdable(source, size, fps, targetKbps)) --size;
    return size;
}

// A still's key frames alone have to fit the line; a moving picture's key
// frame half the buffer [Larger, when the line leaves room].
int largestAffordableSize(const SourceShape& source, int size, int fps, double targetKbps,
                          double bufferKbit) {
    if (source.keyBitsPerPixel <= 0 || source.width <= 0 || source.height <= 0) return size;
    const double sar = sampleAspect(source);
    const bool still = isStill(source);
    // What a still's key frames may cost a second at the finest quantiser.
    const double keysKbps = targetKbps * (codedInGroups(fps) ? kGroupKeyReach : 1);
    while (size + 1 < static_cast<int>(kSizes.size())) {
        int width = 0, height = 0;
        fitFrame(source, kSizes[size + 1][0], kSizes[size + 1][1], width, height);
        if (width > source.width * sar + 0.5 || height > source.height) break;
        const double keyKbit = source.keyBitsPerPixel * width * height / 1000;
        if (still) {
            if (keyKbit * source.keysPerSecond > keysKbps) break;
        } else {
            if (finestKbps(source, width, height, fps) > targetKbps) break;
            if (keyKbit > bufferKbit / 2) break;
        }
        ++size;
    }
    return size;
}

}  // namespace picture

void fitFrame(const SourceShape& source, int boxWidth, int boxHeight, int& width, int& height) {
    width = boxWidth;
    height = boxHeight;
    if (source.width <= 0 || source.height <= 0) return;
    // A picture a thousand times wider than high is no shape to fit; held
    // there, the sizes below stay within an int.
    constexpr double kWidestAspect = 1000;
    const double aspect = std::clamp(source.width * picture::sampleAspect(source) / source.height,
                                     1 / kWidestAspect, kWidestAspect);
    const auto round4 = [](double v) {
        return std::max(16, static_cast<int>(std::lround(v / 4)) * 4);
    };
    if (aspect > static_cast<double>(boxWidth) / boxHeight)
        height = std::min(boxHeight, round4(boxWidth / aspect));
    else
        width = std::min(boxWidth, round4(boxHeight * aspect));
}

}  // namespace velmora::encoder
