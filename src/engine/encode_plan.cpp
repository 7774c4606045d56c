#include "engine/encode_plan.h"

#include <algorithm>
#include <cmath>

#include "engine/picture_rules.h"
#include "engine/real_audio_packets.h"

// Each rule below keeps one line of why; the measurements behind it are in
// docs/encoding-rules.md, under the heading in brackets.

namespace velmora::encoder {

namespace {

using enum AudioCodec;
using picture::kSizes;

constexpr double kMaxBufferKbits = kMaxVideoBufferBits / 1000.0;

// A group of pictures is this long at every audience [The audience table].
constexpr int kKeyFrameIntervalSeconds = 10;

// Container overhead of each video frame, kbit [Container costs].
constexpr double kVideoFrameCost = 0.152;
// The file's header and index, spread over the source's length or over
// kAssumedSeconds when it is unknown [Container costs].
constexpr double kHeaderKbit = 12;
constexpr double kAssumedSeconds = 30;
// High motion at 256K came out 0.3 kbps over without it [Container costs].
constexpr double kContainerMargin = 0.99;

// A line's kbps is this much video payload, the rest packet headers, and the
// rate control spends up to kRateControlOvershoot times its target [Spare bits].
constexpr double kVideoPayloadShare = 0.98;
constexpr double kRateControlOvershoot = 1.03;
// The rate control overshoots more as the target grows: gains keep a margin.
constexpr double kSpareGainMargin = 0.9;
// The rate control's target at most this part of the share [Spare bits].
constexpr double kRateControlShare = 0.96;
// A slide show's larger frame per key frame ran over at the table's rate.
constexpr double kSlideShowRate = 0.9;
// Never less video than this, kbps.
constexpr double kLeastVideoKbps = 4;

// Shorter sources than the table's clips pay the first key frame's excess
// (bits per pixel) over fewer seconds [Short sources].
constexpr double kKeyFrameExcessBitsPerPixel = 0.5;
constexpr double kTableClipSeconds = 30;

// Up to this budget key frames get the same quantiser as the frames around
// them: a finer first key frame ate the first seconds [Key frames' quantiser].
constexpr int kEvenKeyFramesUpToKbps = 150;
// A still under heavier noise than this (key frame bits per pixel at the
// finest quantiser) keeps refining it: no cap, no spending the share
// [Still pictures].
constexpr double kNoisyKeyBitsPerPixel = 4;
// A still picture at the finest quantiser still leaves the line room.
constexpr int kStillQuantiserFloor = 2;

// Up to this frame rate each frame's quantiser is its own (qblur 0), and up
// to this budget there it follows each frame's difficulty less closely
// [Few frames a second].
constexpr int kOwnFrameQuantiserUpToFps = 8;
constexpr int kEvenQuantiserUpToKbps = 45;

// The rate control's first estimate is in bits per macroblock of 16x16 pixels.
constexpr int kPixelsPerMacroblock = 256;

// Speech needs little: mono at half the rate, at least this much, and this
// sample rate; the bits go to the picture.
constexpr int kLeastVoiceKbps = 32;
constexpr int kVoiceSampleRate = 32000;
// Music is stereo from this rate on.
constexpr int kStereoMusicFromKbps = 64;

// The frame rate the source shows on average, whole frames, at least 1.
int sourceFrameRate(const SourceShape& source) {
    if (source.frameRate <= 0) return 0;
    return std::max(1, static_cast<int>(std::floor(source.frameRate + 0.01)));
}

AudioPlan planAudio(const AudienceProfile& p, std::int32_t content, int sourceChannels) {
    if (p.audioCodec == Real144) return {Real144, kReal144BitRate, kReal144SampleRate, 1};
    AudioPlan a{Ac3, p.audioKbps * 1000, p.audioRate, 2};
    switch (content) {
        case VoiceOnly:
            a.channels = 1;
            a.bitRate = std::max(kLeastVoiceKbps, p.audioKbps / 2) * 1000;
            a.sampleRate = kVoiceSampleRate;
            break;
        case VoiceAndMusic:
            a.channels = 1;
            break;
        case Music:
            a.channels = p.audioKbps >= kStereoMusicFromKbps ? 2 : 1;
            break;
        default:  // stereo music
            a.channels = 2;
            break;
    }
    a.channels = std::clamp(sourceChannels, 1, a.channels);
    return a;
}

}  // namespace

double audioCostKbps(const AudioPlan& audio) {
    const double samplesPerPacket = audio.codec == Real144
                                        ? kReal144SamplesPerFrame * kReal144FramesPerPacket
                                        : kAc3SamplesPerFrame;
    return audio.bitRate / 1000.0 +
           audio.sampleRate / samplesPerPacket * kRealMediaPacketHeaderBytes * 8 / 1000.0;
}

EncodePlan planEncode(AudienceSet audiences, std::int32_t audioContent, std::int32_t videoQuality,
                      const SourceShape& source) {
    EncodePlan plan;
    plan.audience = slowestAudience(audiences).value_or(Audience::Dsl256K);
    const AudienceProfile& p = profileOf(plan.audience);
    plan.budgetKbps = p.budgetKbps;

    const AudioPlan tableAudio = planAudio(p, VoiceAndMusic, 2);
    if (source.hasAudio && audioContent != NoAudio)
        plan.audio = planAudio(p, audioContent, source.channels);
    if (!source.hasVideo || videoQuality == NoVideo) return plan;

    int size = picture::sizeIndex(p.width, p.height);
    int fps = p.fps;
    double scale = 1.0;
    // Never more frames than the source has: a repeated frame adds no
    // motion, and its bits are better spent on a finer picture.
    const int sourceFps = sourceFrameRate(source);
    const auto capped = [sourceFps](int rate) {
        return sourceFps > 0 ? std::min(rate, sourceFps) : rate;
    };
    switch (videoQuality) {
        case SmoothMotion:
            fps = capped(p.fps * 2);
            // A smaller picture pays for the extra frames, when there are any.
            if (fps * 2 >= p.fps * 3) size = std::max(0, size - 1);
            break;
        case SharpImage:
            size = std::min<int>(kSizes.size() - 1, size + 1);
            fps = capped(std::max(1, p.fps / 2));
            break;
        case SlideShow:
            size = std::min<int>(kSizes.size() - 1, size + 1);
            fps = 1;
            scale = kSlideShowRate;
            break;
        default:
            fps = capped(fps);
            break;
    }

    const double audioCost = plan.audio ? audioCostKbps(*plan.audio) : 0.0;
    const double seconds = source.durationMs / 1000.0;
    // What the line carries for the picture at `rate` frames a second, less
    // the file's header and index and a margin for the container's packet
    // headers on large frames.
    const auto shareAt = [&](int rate) {
        return std::max(1.0, kContainerMargin * (p.budgetKbps - audioCost - kVideoFrameCost * rate -
                                                 kHeaderKbit / (seconds > 0 ? std::max(1.0, seconds)
                                                                            : kAssumedSeconds)));
    };
    // Bits the audio choice or frame rate frees (or costs) go to the picture.
    const auto videoKbpsAt = [&](int rate) {
        double spare = (audioCostKbps(tableAudio) - audioCost + kVideoFrameCost * (p.fps - rate)) /
                       kRateControlOvershoot * kVideoPayloadShare;
        if (spare > 0) spare *= kSpareGainMargin;
        return (p.videoKbps + spare) * scale;
    };
    const auto targetAt = [&](int rate) {
        return std::min(videoKbpsAt(rate), shareAt(rate) * kRateControlShare);
    };
    // Frames beyond the table's rate only where the line carries them, judged
    // by the look's own coarsest cost [Smooth motion's extra frames].
    if (fps > capped(p.fps) && !picture::holdable(source, 0, fps, targetAt(fps), 1.0)) {
        fps = capped(p.fps);
        size = picture::sizeIndex(p.width, p.height);
    }
    double videoKbps = videoKbpsAt(fps);
    const double shareKbps = shareAt(fps);
    const double targetKbps = std::min(videoKbps, shareKbps * kRateControlShare);
    size = picture::largestHoldableSize(source, size, fps, targetKbps);
    size = picture::largestAffordableSize(source, size, fps, targetKbps,
                                          std::min<double>(kMaxBufferKbits, p.bufferKbits));
    VideoPlan v;
    fitFrame(source, kSizes[size][0], kSizes[size][1], v.width, v.height);
    const bool still = picture::isStill(source);
    const bool cleanStill = still && source.keyBitsPerPixel <= kNoisyKeyBitsPerPixel;
    // A still's key frames may spend the share the table keeps back for hard
    // pictures [Its key frames may spend the share].
    if (cleanStill) videoKbps = std::max(videoKbps, shareKbps * kRateControlShare);
    if (seconds > 0 && seconds < kTableClipSeconds) {
        const double keyFrameKbit = kKeyFrameExcessBitsPerPixel * v.width * v.height / 1000.0;
        videoKbps = std::max(videoKbps / 2,
                             videoKbps - keyFrameKbit * (1 / seconds - 1 / kTableClipSeconds));
    }
    videoKbps = std::max(kLeastVideoKbps, videoKbps);
    const double ratio = videoKbps / p.videoKbps;

    v.fps = fps;
    v.bitRate = static_cast<int>(videoKbps * 1000);
    v.maxRate = static_cast<int>(p.maxKbps * ratio * 1000);
    v.bufferSize =
        static_cast<int>(std::min<double>(kMaxBufferKbits, p.bufferKbits * ratio) * 1000);
    v.gop = fps * kKeyFrameIntervalSeconds;
    v.qmin = still ? kStillQuantiserFloor : p.qmin;
    // A still lives on its key frames, so they stay finer [Key frames' quantiser].
    if (p.budgetKbps <= kEvenKeyFramesUpToKbps && !still) v.keyQuantFactor = 1.0f;
    v.initialComplexity =
        static_cast<int>(std::lround(source.nextBitsPerPixel * kPixelsPerMacroblock));
    v.steadyQuantiser = picture::isBusy(source);
    v.ownFrameQuantiser = fps <= kOwnFrameQuantiserUpToFps && !still;
    v.evenQuantiser =
        v.steadyQuantiser || (v.ownFrameQuantiser && p.budgetKbps <= kEvenQuantiserUpToKbps);
    // A still is coded a slide at a time at any frame rate, on every line:
    // the one-pass rate control wears it down between cuts, and carries a
    // new slide its cut test missed on a predicted frame it never refines
    // [Coded in groups].
    v.groupQuantiser = picture::codedInGroups(fps) || still;
    v.picture = pictureConversion(source.colour, source.fields, source.width, source.height);

    if (videoKbps > shareKbps * kRateControlShare) {
        const double cut = shareKbps * kRateControlShare / videoKbps;
        videoKbps *= cut;
        v.bitRate = static_cast<int>(videoKbps * 1000);
        v.maxRate = static_cast<int>(v.maxRate * cut);
        v.bufferSize = static_cast<int>(v.bufferSize * cut);
    }
    // The guard lets the picture run ahead of its share by the rate control's
    // buffer (the first key frame may take half of it), and never past the
    // share of the whole length.
    v.ceilingRate = static_cast<int>(shareKbps * 1000);
    v.allowanceBits = v.bufferSize;
    v.wholeBits = static_cast<std::int64_t>(shareKbps * 1000 * seconds);
    plan.video = v;
    return plan;
}

}  // namespace velmora::encoder
