#pragma once
// The codec data a RealVideo decoder needs before the first picture: our
// RealMedia writer puts it in the file's header for players, and the preview
// hands it to FFmpeg's decoder, since FFmpeg's encoder supplies none.

#include <cstdint>
#include <vector>

namespace velmora::encoder {

// The 8 opaque bytes the RealVideo 1.0/2.0 decoders read, two big-endian
// words: the sub-format (8), then the codec version: basic H.263 for RV10;
// for RV20 version 2.1, whose frame header carries the 8-bit sequence number
// FFmpeg's encoder writes, without reference-picture resampling.
inline std::vector<std::uint8_t> defaultRealVideoCodecData(bool rv10) {
    const std::uint32_t words[] = {0x00000008, rv10 ? 0x10000000u : 0x20103001u};
    std::vector<std::uint8_t> out;
    for (std::uint32_t word : words)
        for (int shift = 24; shift >= 0; shift -= 8)
            out.push_back(static_cast<std::uint8_t>(word >> shift));
    return out;
}

}  // namespace velmora::encoder
