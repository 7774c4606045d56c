#include "engine/encode_plan.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <type_traits>

#include "texts/encoder_texts.h"

namespace velmora::encoder {

namespace {

using enum Audience;
using enum AudioCodec;

// Measured on detailed 30 s clips; totals came out 2-4 % under budget.
// Video: size@fps, bitrate/maxrate/buffer (kbps, kbit), qmin. GOP is 10 s.
// 56K and ISDN got most of the 4 kbps that packing the 14.4 frames saves.
// 28K is held by the coarsest quantiser on most pictures and by repeated
// frames on the hardest; its rate is what clean pictures can use. The low
// audiences' quantiser floor is 2 now that key frames are no finer than the
// frames around them (see keyQuantFactor); 28K keeps 10 and dual ISDN 4, as
// lower floors ran over on short clean clips there.
constexpr std::array<AudienceProfile, kAudienceCount> kTable{{
    {Modem28K, text::kAudience28K, "28k", 20, 128, 96, 3, 8, 10, 32, 10, Real144, 8, 8000},
    {Modem56K, text::kAudience56K, "56k", 34, 160, 120, 6, 22, 26, 88, 2, Real144, 8, 8000},
    {SingleIsdn, text::kAudienceSingleIsdn, "isdn", 45, 176, 144, 8, 32, 38, 128, 2, Real144, 8,
     8000},
    {DualIsdn, text::kAudienceDualIsdn, "dual-isdn", 80, 176, 144, 10, 42, 50, 168, 4, Ac3, 32,
     32000},
    {Lan, text::kAudienceLan, "lan", 150, 240, 180, 12, 77, 92, 308, 2, Ac3, 64, 44100},
    {Dsl256K, text::kAudience256K, "256k", 225, 320, 240, 15, 117, 140, 468, 3, Ac3, 96, 44100},
    {Dsl384K, text::kAudience384K, "384k", 350, 320, 240, 20, 205, 246, 480, 2, Ac3, 128, 44100},
    {Dsl512K, text::kAudience512K, "512k", 450, 384, 288, 25, 300, 360, 480, 2, Ac3, 128, 44100},
}};

// Frame sizes for "one size smaller/larger".
constexpr std::array<std::array<int, 2>, 8> kSizes{{
    {128, 96},
    {160, 120},
    {176, 144},
    {240, 180},
    {320, 240},
    {384, 288},
    {480, 360},
    {640, 480},
}};

constexpr double kMaxBufferKbits = kMaxVideoBufferBits / 1000.0;

// Each video frame costs about this much container overhead (kbit).
constexpr double kVideoFrameCost = 0.152;

// The first key frame costs about this much more than the rate allows
// (bits per pixel); the table was measured on 30 s clips, shorter sources
// pay for it over fewer seconds and get that much less per second.
constexpr double kKeyFrameExcessBitsPerPixel = 0.5;
constexpr double kTableClipSeconds = 30;

// Up to this budget key frames get the same quantiser as the frames around them.
constexpr int kEvenKeyFramesUpToKbps = 150;
// The first look's frames after a key frame cost less than this (bits per
// pixel at the finest quantiser) on a still picture; motion and grain cost
// ten times more.
constexpr double kStillBitsPerPixel = 0.1;

// A still picture's frames are coded no coarser than this, unless its key
// frame costs more than this at the finest quantiser (bits per pixel): a
// slide show's detail costs 1.9, a still under heavy noise 6.5.
constexpr int kStillCoarsestQuantiser = 6;
constexpr double kNoisyKeyBitsPerPixel = 4;

// Frames after a key frame that cost more than this at the finest quantiser
// (bits per pixel) are a fast-moving picture; gentle motion under grain
// costs half as much.
constexpr double kBusyBitsPerPixel = 0.5;

// Up to this frame rate each frame's quantiser is its own: a frame is an
// eighth of a second or more, and averaging its quantiser with the frames
// before it carried their difficulty into it (0.003-0.004 SSIM-Y on detail
// under grain at 5-6 fps, on any line). From 10 fps FFmpeg's averaging did
// better, and so it did on a still picture, whose frames between cuts cost
// next to nothing. Up to this budget the quantiser also follows each frame's
// difficulty less closely; faster lines lost 0.002-0.007 with that.
constexpr int kOwnFrameQuantiserUpToFps = 8;
constexpr int kEvenQuantiserUpToKbps = 45;

// Up to this frame rate each frame is a second or half a second of the
// line, and a group from one key frame to the next is a handful of small
// pictures: FFmpeg's rate control, which sees one frame at a time, swung
// the quantiser from 5 to 14 and back within a group there. One quantiser
// for the whole group, chosen by coding it first, holds it.
constexpr int kGroupQuantiserUpToFps = 2;
// There a still's key frames may cost up to this many times the line at the
// finest quantiser: the group's quantiser brings a slide within the line,
// and the larger picture still shows more of it. On the slide show at 1 fps
// (SSIM-Y against the source itself): 56K 240x180 0.864 -> 320x240 0.882,
// ISDN 240x180 0.868 -> 384x288 0.902, dual ISDN 320x240 0.895 -> 480x360
// 0.928, LAN 384x288 0.916 -> 640x480 0.981. Three times went a size further
// at 56K and ISDN for 0.01 more, at a cost in trial codings that took the
// job to within 1.3 times the two-pass recipe's time; at 28K every size from
// 160x120 to 384x288 scored the same.
constexpr double kGroupKeyReach = 2.5;
// Up to this budget a still is coded in groups at any frame rate, a group
// being a slide from its cut to the next. The one-pass rate control gave a
// slide's key frame 1.4 to 3.6 KB at 28K where its share was 5 KB, spent
// the line on refining bursts in the middle of a slide at dual ISDN and
// then left the last slide coarse. On both slide shows, 标准 at 28K to LAN,
// SSIM-Y went from 0.978-0.996 to 0.990-0.996 (-0.001 to +0.015 a case), at
// or above the two-pass recipe's everywhere; at 256K and up the rate control
// already ties it.
constexpr int kStillGroupsUpToKbps = 150;

// The file's header and index take about one and a half kilobytes; spread over this
// when the source does not say how long it is.
constexpr double kHeaderKbit = 12;
constexpr double kAssumedSeconds = 30;
// High motion at 256K came out 0.3 kbps over without it.
constexpr double kContainerMargin = 0.99;
// A moving picture's frames at the coarsest quantiser cost 1.4 to 1.8 times
// what the first look's second frame after a key frame costs there: in a
// whole encode each frame refers to one as coarse as itself, and the rate
// control's own frames lie further apart. Measured on a fast pan at every
// audience with an unlimited motion search; kept within the vectors' reach,
// 128x96 pays 0.95 to 1.35 times, so this now errs towards smaller pictures.
constexpr double kCoarseUnderstatement = 1.6;
// The rate control's target at most this part of the share (it overshoots by up to 3 %).
constexpr double kRateControlShare = 0.96;

// The frame rate the source shows on average, whole frames, at least 1.
int sourceFrameRate(const SourceShape& source) {
    if (source.frameRate <= 0) return 0;
    return std::max(1, static_cast<int>(std::floor(source.frameRate + 0.01)));
}

int sizeIndex(int width, int height) {
    for (std::size_t i = 0; i < kSizes.size(); ++i)
        if (kSizes[i][0] == width && kSizes[i][1] == height) return static_cast<int>(i);
    return 4;
}

AudioPlan planAudio(const AudienceProfile& p, std::int32_t content, int sourceChannels) {
    if (p.audioCodec == Real144) return {Real144, 8000, 8000, 1};
    AudioPlan a{Ac3, p.audioKbps * 1000, p.audioRate, 2};
    switch (content) {
        case VoiceOnly:
            // Speech needs little: mono, half the rate, the bits go to the picture.
            a.channels = 1;
            a.bitRate = std::max(32, p.audioKbps / 2) * 1000;
            a.sampleRate = 32000;
            break;
        case VoiceAndMusic:
            a.channels = 1;
            break;
        case Music:
            a.channels = p.audioKbps >= 64 ? 2 : 1;
            break;
        default:  // stereo music
            a.channels = 2;
            break;
    }
    a.channels = std::clamp(sourceChannels, 1, a.channels);
    return a;
}

// Whether the look found a still picture: a slide show, a still with sound.
bool isStill(const SourceShape& source) {
    return source.keyBitsPerPixel > 0 && source.nextBitsPerPixel < kStillBitsPerPixel;
}

// Whether the engine codes each group of frames at one quantiser (GroupQuantiser).
bool codedInGroups(int fps) {
    return fps <= kGroupQuantiserUpToFps;
}

// How much more a frame after another costs at `fps` than the look's frames,
// which lie one source frame apart: frames further apart differ more, by the
// square root of the source frames between them.
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
// least the rate control can bring a moving picture down to. `understatement`
// scales the look's own figure up to what a whole encode pays.
double coarsestKbps(const SourceShape& source, int width, int height, int fps,
                    double understatement) {
    return understatement * width * height * source.coarseBitsPerPixel * fps *
           apartFactor(source, fps) / 1000;
}

// Whether the rate control can hold a picture of size `size` at `fps` to
// `targetKbps`. One it cannot sits at the coarsest quantiser throughout and
// still runs over, so the rate guard repeats every few frames. Only a busy
// picture is judged: grain over a calm one costs the look more than the
// encode, which scales the grain down with the picture and holds it at
// quantiser 18 where the look's cost said 31 would not do.
bool holdable(const SourceShape& source, int size, int fps, double targetKbps,
              double understatement = kCoarseUnderstatement) {
    if (source.nextBitsPerPixel <= kBusyBitsPerPixel) return true;
    int width = 0, height = 0;
    fitFrame(source, kSizes[size][0], kSizes[size][1], width, height);
    return coarsestKbps(source, width, height, fps, understatement) <= targetKbps;
}

// From `size` down, the first size that can be held (128x96 at the least):
// a smaller picture coded finer looks better than repeated frames.
int largestHoldableSize(const SourceShape& source, int size, int fps, double targetKbps) {
    while (size > 0 && !holdable(source, size, fps, targetKbps)) --size;
    return size;
}

// From the table's size up, the largest size whose picture at the finest
// quantiser still fits `targetKbps` (a still or a slide show leaves the line
// half used at the table's size) and that is no larger than the source.
//
// A still's frames between cuts refine its key frame and then cost next to
// nothing: what the look's second frame costs at the finest quantiser is the
// source's own noise, which the rate control's quantiser drops. Its key
// frames alone have to fit the line, however large: one the buffer cannot
// hold comes out coarse and the still frames after it refine it within the
// time to the next cut. On the slide show that took the picture from
// 384x288 to its own 640x480 at 384K and 512K, SSIM-Y against the source
// from 0.92 to 0.99, within the same share of the line.
int largestAffordableSize(const SourceShape& source, int size, int fps, double targetKbps,
                          double bufferKbit) {
    if (source.keyBitsPerPixel <= 0 || source.width <= 0 || source.height <= 0) return size;
    const double sar = source.sarNum > 0 && source.sarDen > 0
                           ? static_cast<double>(source.sarNum) / source.sarDen
                           : 1.0;
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
            // A moving picture's coarse key frame is not refined: the frames
            // after it follow the motion and spend the line on that.
            if (keyKbit > bufferKbit / 2) break;
        }
        ++size;
    }
    return size;
}

}  // namespace

std::span<const AudienceProfile> audienceTable() {
    return kTable;
}

const AudienceProfile& profileOf(Audience audience) {
    return kTable[static_cast<std::size_t>(audience)];
}

std::optional<Audience> audienceForKey(std::string_view key) {
    for (const auto& p : kTable)
        if (p.key == key) return p.audience;
    return std::nullopt;
}

std::optional<Audience> slowestAudience(AudienceSet audiences) {
    for (const auto& p : kTable)  // the table runs slowest first
        if (audiences.test(static_cast<std::size_t>(p.audience))) return p.audience;
    return std::nullopt;
}

double audioCostKbps(const AudioPlan& audio) {
    // 14.4 goes ten 160-sample frames a packet, ac3 one 1536-sample frame.
    const double samplesPerPacket = audio.codec == Real144 ? 1600.0 : 1536.0;
    return audio.bitRate / 1000.0 + audio.sampleRate / samplesPerPacket * 12 * 8 / 1000.0;
}

void fitFrame(const SourceShape& source, int boxWidth, int boxHeight, int& width, int& height) {
    width = boxWidth;
    height = boxHeight;
    if (source.width <= 0 || source.height <= 0) return;
    double sar = source.sarNum > 0 && source.sarDen > 0
                     ? static_cast<double>(source.sarNum) / source.sarDen
                     : 1.0;
    const double aspect = source.width * sar / source.height;
    const auto round4 = [](double v) {
        return std::max(16, static_cast<int>(std::lround(v / 4)) * 4);
    };
    if (aspect > static_cast<double>(boxWidth) / boxHeight)
        height = std::min(boxHeight, round4(boxWidth / aspect));
    else
        width = std::min(boxWidth, round4(boxHeight * aspect));
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

    int size = sizeIndex(p.width, p.height);
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
            scale = 0.9;  // a larger frame per key frame; without this it ran over
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
                       1.03 * 0.98;
        // The rate control overshoots more as the target grows; keep a margin on gains.
        if (spare > 0) spare *= 0.9;
        return (p.videoKbps + spare) * scale;
    };
    const auto targetAt = [&](int rate) {
        return std::min(videoKbpsAt(rate), shareAt(rate) * kRateControlShare);
    };
    // Frames beyond the table's rate only where the line carries them. When
    // the smallest picture at that rate costs more than the line even by the
    // look's own figure for the coarsest quantiser (a whole encode pays 0.95
    // to 1.35 times that, as far as the motion between frames stays within
    // the vectors' reach), the rate guard would repeat every third frame or
    // so: the table's rate moves more evenly.
    if (fps > capped(p.fps) && !holdable(source, 0, fps, targetAt(fps), 1.0)) {
        fps = capped(p.fps);
        size = sizeIndex(p.width, p.height);
    }
    double videoKbps = videoKbpsAt(fps);
    const double shareKbps = shareAt(fps);
    const double targetKbps = std::min(videoKbps, shareKbps * kRateControlShare);
    size = largestHoldableSize(source, size, fps, targetKbps);
    size = largestAffordableSize(source, size, fps, targetKbps,
                                 std::min<double>(kMaxBufferKbits, p.bufferKbits));
    VideoPlan v;
    fitFrame(source, kSizes[size][0], kSizes[size][1], v.width, v.height);
    // A still's frames between cuts cost next to nothing, so the rate the
    // table keeps back for hard pictures would go unused: its key frames
    // may spend the share (at 28K that is a quarter more). Not a still
    // under heavy noise, whose frames keep refining the noise: without
    // sound it ran 2 % over the budget at dual ISDN and 384K.
    if (isStill(source) && source.keyBitsPerPixel <= kNoisyKeyBitsPerPixel)
        videoKbps = std::max(videoKbps, shareKbps * kRateControlShare);
    if (seconds > 0 && seconds < kTableClipSeconds) {
        const double keyFrameKbit = kKeyFrameExcessBitsPerPixel * v.width * v.height / 1000.0;
        videoKbps = std::max(videoKbps / 2,
                             videoKbps - keyFrameKbit * (1 / seconds - 1 / kTableClipSeconds));
    }
    videoKbps = std::max(4.0, videoKbps);
    const double ratio = videoKbps / p.videoKbps;

    v.fps = fps;
    v.bitRate = static_cast<int>(videoKbps * 1000);
    v.maxRate = static_cast<int>(p.maxKbps * ratio * 1000);
    v.bufferSize =
        static_cast<int>(std::min<double>(kMaxBufferKbits, p.bufferKbits * ratio) * 1000);
    v.gop = fps * 10;
    // A still picture at the finest quantiser still leaves the line room.
    const bool still = isStill(source);
    v.qmin = still ? 2 : p.qmin;
    // A still picture lives on its key frames: finer ones cost fewer bits
    // than the frames after them would spend refining a coarse one.
    if (p.budgetKbps <= kEvenKeyFramesUpToKbps && !still) v.keyQuantFactor = 1.0f;
    v.initialComplexity = static_cast<int>(std::lround(source.nextBitsPerPixel * 256));
    v.steadyQuantiser = source.nextBitsPerPixel > kBusyBitsPerPixel;
    v.ownFrameQuantiser = fps <= kOwnFrameQuantiserUpToFps && !still;
    v.evenQuantiser =
        v.steadyQuantiser || (v.ownFrameQuantiser && p.budgetKbps <= kEvenQuantiserUpToKbps);
    v.groupQuantiser = codedInGroups(fps) || (still && p.budgetKbps <= kStillGroupsUpToKbps);
    // The one-pass rate control swings the quantiser after a still's key
    // frame (3.8, then 16, 6, 3, 16 again), and the frames coded coarse wear
    // the picture down: on the slide show's last slide at LAN 平滑 the luma
    // fell from 41 to 35 dB in 3 s where two passes at quantiser 2 held 45.
    // Held to 6, all 23 slide-show cases the rate control codes gained
    // (0.0001 to 0.014 SSIM-Y), 21 of them with the same bits or fewer. A
    // frame the buffer cannot hold at 6 is still coded coarser: FFmpeg then
    // recodes it past the ceiling. Not on a still under heavy noise: its
    // frames need the whole range (the noisy stills at LAN ran 0.3 % over
    // with the cap). A group's quantiser is chosen whole.
    if (still && source.keyBitsPerPixel <= kNoisyKeyBitsPerPixel && !v.groupQuantiser)
        v.qmax = kStillCoarsestQuantiser;

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

std::vector<std::pair<std::string, std::string>> videoEncoderOptions(const VideoPlan& video) {
    char keyFactor[16];
    std::snprintf(keyFactor, sizeof keyFactor, "%g", static_cast<double>(video.keyQuantFactor));
    // rv20 codes motion vectors of up to 16 pixels (32 half pixels) and
    // FFmpeg searches further unless told: a block whose best match lies
    // beyond is then coded whole instead of from the best match in reach.
    std::vector<std::pair<std::string, std::string>> options{
        {"trellis", "1"},  {"mpv_flags", "+cbp_rd"}, {"last_pred", "3"},
        {"dia_size", "2"}, {"me_range", "32"},       {"i_qfactor", keyFactor}};
    if (video.initialComplexity > 0)
        options.emplace_back("rc_init_cplx", std::to_string(video.initialComplexity));
    if (video.steadyQuantiser) {
        options.emplace_back("qsquish", "1");
        options.emplace_back("rc_init_occupancy", std::to_string(video.bitRate / 2));
    }
    if (video.evenQuantiser) options.emplace_back("qcomp", "0.7");
    if (video.ownFrameQuantiser) options.emplace_back("qblur", "0");
    return options;
}

std::vector<std::string> ffmpegOutputArguments(const EncodePlan& plan) {
    std::vector<std::string> args;
    const auto add = [&](std::string option, auto value) {
        args.push_back(std::move(option));
        if constexpr (std::is_arithmetic_v<decltype(value)>)
            args.push_back(std::to_string(value));
        else
            args.emplace_back(value);
    };
    if (plan.video) {
        const VideoPlan& v = *plan.video;
        add("-c:v", "rv20");
        add("-s", std::to_string(v.width) + "x" + std::to_string(v.height));
        add("-sws_flags", "bicubic");
        add("-pix_fmt", "yuv420p");
        add("-r", v.fps);
        add("-b:v", v.bitRate);
        add("-bt", v.bitRate);
        add("-maxrate", v.maxRate);
        add("-bufsize", v.bufferSize);
        add("-g", v.gop);
        add("-bf", 0);
        add("-qmin", v.qmin);
        add("-qmax", v.qmax);
        for (const auto& [option, value] : videoEncoderOptions(v)) add("-" + option, value);
    } else {
        args.emplace_back("-vn");
    }
    if (plan.audio) {
        const AudioPlan& a = *plan.audio;
        add("-c:a", a.codec == Real144 ? "real_144" : "ac3");
        if (a.codec == Ac3) add("-b:a", a.bitRate);
        add("-ar", a.sampleRate);
        add("-ac", a.channels);
    } else {
        args.emplace_back("-an");
    }
    return args;
}

}  // namespace velmora::encoder
