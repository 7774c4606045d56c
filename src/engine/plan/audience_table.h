#pragma once
// The audiences a file is made for, slowest first: each one's budget and the
// encoder settings that met it. The measurements behind the figures are in
// docs/encoding-rules.md.

#include <optional>
#include <span>
#include <string_view>

#include "engine/core/choices.h"

namespace velmora::encoder {

enum class AudioCodec { Real144, Ac3 };

// One row per audience: the budget (total kbps in the file) and the settings
// that met it for normal motion and voice-and-music content.
struct AudienceProfile {
    Audience audience;
    std::string_view name;  // shown in the pane
    std::string_view key;   // command-line name
    int budgetKbps;
    int width, height, fps;
    int videoKbps, maxKbps, bufferKbits, qmin;
    AudioCodec audioCodec;
    int audioKbps, audioRate;
};

std::span<const AudienceProfile> audienceTable();
const AudienceProfile& profileOf(Audience audience);
std::optional<Audience> audienceForKey(std::string_view key);

// Several audiences share one file here: it is made for the slowest.
std::optional<Audience> slowestAudience(AudienceSet audiences);

}  // namespace velmora::encoder
