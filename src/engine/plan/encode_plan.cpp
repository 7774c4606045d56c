#include "engine/plan/encode_plan.h"

#include <algorithm>
#include <cmath>

#include "engine/core/real_audio_packets.h"
#include "engine/plan/picture_rules.h"

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

// What the line carries for the picture at an audience, at a frame rate:
// the audio's cost and the frames' container cost come off, and bits the
// audio choice or a lower rate frees go to the picture.
struct VideoLine {
    VideoLine(const AudienceProfile& profile, const std::optional<AudioPlan>& audio,
              std::int64_t durationMs, std::int32_t videoQuality)
        : p(profile),
          tableAudioCost(audioCostKbps(planAudio(profile, VoiceAndMusic, 2))),
          audioCost(audio ? audioCostKbps(*audio) : 0.0),
          seconds(durationMs / 1000.0),
          scale(videoQuality == SlideShow ? kSlideShowRate : 1.0) {}

    // The picture's share at `rate` frames a second, less the file's header
    // and index and a margin for the container's packet headers on large frames.
    double shareAt(int rate) const {
        return std::max(1.0, kContainerMargin * (p.budgetKbps - audioCost - kVideoFrameCost * rate -
                                                 kHeaderKbit / (seconds > 0 ? std::max(1.0, seconds)
                                                                            : kAssumedSeconds)));
    }
    // The table's video rate with what the audio choice or frame rate frees
    // (or costs).
    double videoKbpsAt(int rate) const {
        double spare = (tableAudioCost - audioCost + kVideoFrameCost * (p.fps - rate)) /
                       kRateControlOvershoot * kVideoPayloadShare;
        if (spare > 0) spare *= kSpareGainMargin;
        return (p.videoKbps + spare) * scale;
    }
    // What the rate control aims at: the video rate, within its part of the share.
    double targetAt(int rate) const {
        return std::min(videoKbpsAt(rate), shareAt(rate) * kRateControlShare);
    }

    const AudienceProfile& p;
    const double tableAudioCost, audioCost;
    const double seconds;  // the source's length; 0 when unknown
    const double scale;    // of the table's video rate
};

// The picture's place on the ladder of sizes and its frame rate.
struct FrameChoice {
    int size = 0;
    int fps = 0;
};

// The frame rate and size the quality asks of the audience's row, each
// chosen once: never more frames than the source has (a repeated frame adds
// no motion, and its bits are better spent on a finer picture), frames
// beyond the table's rate only where the line carries them, and the largest
// size the line holds and affords at that rate.
FrameChoice chooseFrame(const AudienceProfile& p, std::int32_t videoQuality,
                        const SourceShape& source, const VideoLine& line) {
    const int tableSize = picture::sizeIndex(p.width, p.height);
    const int sourceFps = sourceFrameRate(source);
    const auto capped = [sourceFps](int rate) {
        return sourceFps > 0 ? std::min(rate, sourceFps) : rate;
    };
    FrameChoice f{tableSize, capped(p.fps)};
    switch (videoQuality) {
        case SmoothMotion:
            f.fps = capped(p.fps * 2);
            // A smaller picture pays for the extra frames, when there are any.
            if (f.fps * 2 >= p.fps * 3) f.size = std::max(0, tableSize - 1);
            break;
        case SharpImage:
            f.size = std::min<int>(kSizes.size() - 1, tableSize + 1);
            f.fps = capped(std::max(1, p.fps / 2));
            break;
        case SlideShow:
            f.size = std::min<int>(kSizes.size() - 1, tableSize + 1);
            f.fps = 1;
            break;
        default:
            break;
    }
    // Judged by the look's own coarsest cost [Smooth motion's extra frames].
    if (f.fps > capped(p.fps) && !picture::holdable(source, 0, f.fps, line.targetAt(f.fps), 1.0))
        f = {tableSize, capped(p.fps)};
    const double targetKbps = line.targetAt(f.fps);
    f.size = picture::largestHoldableSize(source, f.size, f.fps, targetKbps);
    f.size = picture::largestAffordableSize(source, f.size, f.fps, targetKbps,
                                            std::min<double>(kMaxBufferKbits, p.bufferKbits));
    return f;
}

// The video's kbps at `fps` for a picture of `pixels`: a clean still may
// spend the share, a short source pays its first key frame's excess.
double videoRate(const SourceShape& source, const VideoLine& line, int fps, int pixels) {
    double videoKbps = line.videoKbpsAt(fps);
    const double shareKbps = line.shareAt(fps);
    const bool cleanStill =
        picture::isStill(source) && source.keyBitsPerPixel <= kNoisyKeyBitsPerPixel;
    // A still's key frames may spend the share the table keeps back for hard
    // pictures [Its key frames may spend the share].
    if (cleanStill) videoKbps = std::max(videoKbps, shareKbps * kRateControlShare);
    const double seconds = line.seconds;
    if (seconds > 0 && seconds < kTableClipSeconds) {
        const double keyFrameKbit = kKeyFrameExcessBitsPerPixel * pixels / 1000.0;
        videoKbps = std::max(videoKbps / 2,
                             videoKbps - keyFrameKbit * (1 / seconds - 1 / kTableClipSeconds));
    }
    return std::max(kLeastVideoKbps, videoKbps);
}

// The rate control's figures: the table's, scaled as the video rate was.
void setRateControl(VideoPlan& v, const AudienceProfile& p, double videoKbps) {
    const double ratio = videoKbps / p.videoKbps;
    v.bitRate = static_cast<int>(videoKbps * 1000);
    v.maxRate = static_cast<int>(p.maxKbps * ratio * 1000);
    v.bufferSize =
        static_cast<int>(std::min<double>(kMaxBufferKbits, p.bufferKbits * ratio) * 1000);
    v.gop = v.fps * kKeyFrameIntervalSeconds;
}

// How each frame's quantiser is chosen, from the picture's rate and what the
// look saw.
void setQuantisers(VideoPlan& v, const AudienceProfile& p, const SourceShape& source) {
    const bool still = picture::isStill(source);
    v.qmin = still ? kStillQuantiserFloor : p.qmin;
    // A still lives on its key frames, so they stay finer [Key frames' quantiser].
    if (p.budgetKbps <= kEvenKeyFramesUpToKbps && !still) v.keyQuantFactor = 1.0f;
    v.initialComplexity =
        static_cast<int>(std::lround(source.nextBitsPerPixel * kPixelsPerMacroblock));
    v.steadyQuantiser = picture::isBusy(source);
    v.ownFrameQuantiser = v.fps <= kOwnFrameQuantiserUpToFps && !still;
    v.evenQuantiser =
        v.steadyQuantiser || (v.ownFrameQuantiser && p.budgetKbps <= kEvenQuantiserUpToKbps);
    // A still is coded a slide at a time at any frame rate, on every line:
    // the one-pass rate control wears it down between cuts, and carries a
    // new slide its cut test missed on a predicted frame it never refines
    // [Coded in groups].
    v.groupQuantiser = picture::codedInGroups(v.fps) || still;
}

// The rate control held within the picture's share, and the guard's
// figures: the picture may run ahead of its share by the rate control's
// buffer (the first key frame may take half of it), and never past the
// share of the whole length.
void holdToShare(VideoPlan& v, double videoKbps, double shareKbps, double seconds) {
    if (videoKbps > shareKbps * kRateControlShare) {
        const double cut = shareKbps * kRateControlShare / videoKbps;
        videoKbps *= cut;
        v.bitRate = static_cast<int>(videoKbps * 1000);
        v.maxRate = static_cast<int>(v.maxRate * cut);
        v.bufferSize = static_cast<int>(v.bufferSize * cut);
    }
    v.ceilingRate = static_cast<int>(shareKbps * 1000);
    v.allowanceBits = v.bufferSize;
    v.wholeBits = static_cast<std::int64_t>(shareKbps * 1000 * seconds);
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
    if (source.hasAudio && audioContent != NoAudio)
        plan.audio = planAudio(p, audioContent, source.channels);
    if (!source.hasVideo || videoQuality == NoVideo) return plan;

    const VideoLine line(p, plan.audio, source.durationMs, videoQuality);
    const FrameChoice frame = chooseFrame(p, videoQuality, source, line);
    VideoPlan v;
    fitFrame(source, kSizes[frame.size][0], kSizes[frame.size][1], v.width, v.height);
    v.fps = frame.fps;
    const double shareKbps = line.shareAt(frame.fps);
    const double videoKbps = videoRate(source, line, frame.fps, v.width * v.height);
    setRateControl(v, p, videoKbps);
    setQuantisers(v, p, source);
    v.picture = pictureConversion(source.colour, source.fields, source.width, source.height);
    holdToShare(v, videoKbps, shareKbps, line.seconds);
    plan.video = v;
    return plan;
}

}  // namespace velmora::encoder
