#pragma once
// The user's choices as the engine takes them: the target audiences and
// the kind of content. The encoder component's properties carry these
// values. Part of the engine's public vocabulary, with status.h.

#include <bitset>
#include <cstdint>
#include <initializer_list>

namespace velmora::encoder {

enum class Audience { Modem28K, Modem56K, SingleIsdn, DualIsdn, Lan, Dsl256K, Dsl384K, Dsl512K };
inline constexpr int kAudienceCount = 8;
using AudienceSet = std::bitset<kAudienceCount>;

inline AudienceSet audienceSet(std::initializer_list<Audience> list) {
    AudienceSet set;
    for (Audience a : list) set.set(static_cast<std::size_t>(a));
    return set;
}

// Values of AudioContent.
enum AudioContent : std::int32_t {
    VoiceOnly = 0,
    VoiceAndMusic = 1,
    Music = 2,
    StereoMusic = 3,
    NoAudio = 4,  // leave the sound out: a video-only file
};

// Values of VideoQuality.
enum VideoQuality : std::int32_t {
    NormalMotion = 0,
    SmoothMotion = 1,
    SharpImage = 2,
    SlideShow = 3,
    NoVideo = 4,  // leave the picture out: an audio-only file
};

}  // namespace velmora::encoder
