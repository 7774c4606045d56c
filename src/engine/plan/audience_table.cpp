#include "engine/plan/audience_table.h"

#include <array>

#include "engine/plan/picture_rules.h"
#include "texts/encoder_texts.h"

namespace velmora::encoder {

namespace {

using enum Audience;
using enum AudioCodec;

// Measured on detailed 30 s clips; totals came out 2-4 % under budget
// (docs/encoding-rules.md, "The audience table").
// clang-format off
constexpr std::array<AudienceProfile, kAudienceCount> kTable{{
    {.audience = Modem28K,   .name = text::kAudience28K,        .key = "28k",
     .budgetKbps = 20,  .width = 128, .height = 96,  .fps = 3,
     .videoKbps = 8,   .maxKbps = 10,  .bufferKbits = 32,  .qmin = 10,
     .audioCodec = Real144, .audioKbps = 8,   .audioRate = 8000},
    {.audience = Modem56K,   .name = text::kAudience56K,        .key = "56k",
     .budgetKbps = 34,  .width = 160, .height = 120, .fps = 6,
     .videoKbps = 22,  .maxKbps = 26,  .bufferKbits = 88,  .qmin = 2,
     .audioCodec = Real144, .audioKbps = 8,   .audioRate = 8000},
    {.audience = SingleIsdn, .name = text::kAudienceSingleIsdn, .key = "isdn",
     .budgetKbps = 45,  .width = 176, .height = 144, .fps = 8,
     .videoKbps = 32,  .maxKbps = 38,  .bufferKbits = 128, .qmin = 2,
     .audioCodec = Real144, .audioKbps = 8,   .audioRate = 8000},
    {.audience = DualIsdn,   .name = text::kAudienceDualIsdn,   .key = "dual-isdn",
     .budgetKbps = 80,  .width = 176, .height = 144, .fps = 10,
     .videoKbps = 42,  .maxKbps = 50,  .bufferKbits = 168, .qmin = 4,
     .audioCodec = Ac3,     .audioKbps = 32,  .audioRate = 32000},
    {.audience = Lan,        .name = text::kAudienceLan,        .key = "lan",
     .budgetKbps = 150, .width = 240, .height = 180, .fps = 12,
     .videoKbps = 77,  .maxKbps = 92,  .bufferKbits = 308, .qmin = 2,
     .audioCodec = Ac3,     .audioKbps = 64,  .audioRate = 44100},
    {.audience = Dsl256K,    .name = text::kAudience256K,       .key = "256k",
     .budgetKbps = 225, .width = 320, .height = 240, .fps = 15,
     .videoKbps = 117, .maxKbps = 140, .bufferKbits = 468, .qmin = 3,
     .audioCodec = Ac3,     .audioKbps = 96,  .audioRate = 44100},
    {.audience = Dsl384K,    .name = text::kAudience384K,       .key = "384k",
     .budgetKbps = 350, .width = 320, .height = 240, .fps = 20,
     .videoKbps = 205, .maxKbps = 246, .bufferKbits = 480, .qmin = 2,
     .audioCodec = Ac3,     .audioKbps = 128, .audioRate = 44100},
    {.audience = Dsl512K,    .name = text::kAudience512K,       .key = "512k",
     .budgetKbps = 450, .width = 384, .height = 288, .fps = 25,
     .videoKbps = 300, .maxKbps = 360, .bufferKbits = 480, .qmin = 2,
     .audioCodec = Ac3,     .audioKbps = 128, .audioRate = 44100},
}};
// clang-format on

// Each audience in its own row (profileOf indexes by it), at a size the
// video choices can step up and down from.
constexpr bool tableHolds() {
    for (std::size_t i = 0; i < kTable.size(); ++i) {
        const AudienceProfile& p = kTable[i];
        if (static_cast<std::size_t>(p.audience) != i) return false;
        if (picture::ladderIndex(p.width, p.height) < 0) return false;
    }
    return true;
}
static_assert(tableHolds());

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

}  // namespace velmora::encoder
