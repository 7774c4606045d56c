#pragma once
// From the user's choices (audiences, audio content, video quality) and the
// shape of the source to concrete encoder settings. Pure functions, so the
// table can be tuned and tested without encoding anything; the measurements
// behind the rules are in docs/encoding-rules.md.

#include <bitset>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/core/choices.h"
#include "engine/plan/audience_table.h"
#include "engine/plan/picture_conversion.h"

namespace velmora::encoder {

// How long a source of a single picture is shown.
inline constexpr double kStillPictureSeconds = 5.0;

// The rate control's buffer at most, in bits: rm frames stay well under the
// muxer's 65,512-byte packet limit with this.
inline constexpr int kMaxVideoBufferBits = 480'000;

struct VideoPlan {
    int width = 0, height = 0, fps = 0;
    int bitRate = 0, maxRate = 0, bufferSize = 0;  // bits per second / bits
    int gop = 0, qmin = 2, qmax = 31;
    // Key frames' quantiser against the frames around them: FFmpeg's -0.8
    // (finer key frames) suits the high rates; at the low ones an equal
    // quantiser keeps the first key frame from eating the first seconds.
    float keyQuantFactor = -0.8f;
    // What a frame after a key frame costs at the finest quantiser, in bits
    // per macroblock, from the first look; 0 without one. The rate control
    // starts from it instead of from nothing, which on a busy picture spent
    // a second's bits on the first few frames.
    int initialComplexity = 0;
    // On a busy picture, the rate control squeezes its choice into the range,
    // follows each frame's difficulty less closely and starts with half a
    // second of the rate in hand ("Busy pictures").
    bool steadyQuantiser = false;
    // At a few frames a second, each frame's quantiser follows that frame's
    // own difficulty instead of a running average of the last few (FFmpeg's
    // qblur)...
    bool ownFrameQuantiser = false;
    // ...and on a slow line follows it less closely (qcomp), as it does on a
    // busy picture.
    bool evenQuantiser = false;
    // At a frame or two a second the engine codes each group of frames from
    // one key frame to the next at the quantiser that fits the group's share
    // of the line, found by coding it once on the side (GroupQuantiser),
    // instead of FFmpeg's rate control deciding frame by frame.
    bool groupQuantiser = false;
    // The line's share for the picture (bits per second in packets), how far
    // ahead of it the picture may run before frames are left out, and that
    // share over the source's length (0 when it is unknown).
    int ceilingRate = 0, allowanceBits = 0;
    std::int64_t wholeBits = 0;
    // What the picture goes through besides the scaler: colours to what
    // players show, fields to frames.
    PictureConversion picture;
};

struct AudioPlan {
    AudioCodec codec = AudioCodec::Real144;
    int bitRate = 0, sampleRate = 0, channels = 1;
    bool operator==(const AudioPlan&) const = default;
};

// What the encoder needs to know of the source.
struct SourceShape {
    bool hasVideo = false;
    bool hasAudio = false;
    int width = 0, height = 0;
    int sarNum = 1, sarDen = 1;  // sample aspect ratio; 0/x means unknown (square)
    int channels = 0;
    std::int64_t durationMs = 0;  // 0 when unknown
    double frameRate = 0;         // frames a second over the whole file; 0 when unknown
    // From a first look at a few places in the file, all 0 without one: bits
    // per pixel of a key frame and of the frame after it at the finest
    // quantiser, of the second frame after a key frame all at the coarsest,
    // and how many key frames a second the cuts seen need.
    double keyBitsPerPixel = 0, nextBitsPerPixel = 0, coarseBitsPerPixel = 0, keysPerSecond = 0;
    // How the picture is coded: its stream's word, and the look's measure of
    // its combing.
    SourceColour colour{};
    SourceFields fields{};
};

struct EncodePlan {
    Audience audience = Audience::Dsl256K;
    int budgetKbps = 0;
    std::optional<VideoPlan> video;
    std::optional<AudioPlan> audio;
};

// Audio bits the rm container spends per second, headers included: each
// packet carries 12 bytes of header (14.4 frames go ten to a packet).
double audioCostKbps(const AudioPlan& audio);

// Largest frame of the source's display aspect that fits box WxH, both
// sides multiples of 4 (what rv20 accepts).
void fitFrame(const SourceShape& source, int boxWidth, int boxHeight, int& width, int& height);

// Needs at least one audience. A plan without video and audio means the
// choices left nothing to encode.
EncodePlan planEncode(AudienceSet audiences, std::int32_t audioContent, std::int32_t videoQuality,
                      const SourceShape& source);

// The rv20 encoder's options beyond sizes and rates, by their FFmpeg names.
// The engine and ffmpegOutputArguments both take them from here, so the
// CLI encodes exactly as we do. Trellis quantisation gave +0.004 to +0.015
// SSIM at equal rate for about a tenth more time; the coded-block choice by
// rate and distortion, a third motion predictor and a wider diamond up to
// +0.003 more. (-mbd rd and +qp_rd break rv20 streams in FFmpeg 5.1.)
std::vector<std::pair<std::string, std::string>> videoEncoderOptions(const VideoPlan& video);

// The ffmpeg CLI's output options that ask for the same codecs, size, rate and
// bitrates, so benchmarks compare like with like.
std::vector<std::string> ffmpegOutputArguments(const EncodePlan& plan);

}  // namespace velmora::encoder
