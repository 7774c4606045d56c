#pragma once
// The header of our RealMedia files: everything from the start of the file to
// the first packet, built from what has been written so far.

#include <cstdint>
#include <vector>

#include "engine/rm/rate_meter.h"
#include "engine/rm/rm_format.h"
#include "engine/rm/rm_index.h"
#include "engine/rm/written_stream.h"

namespace velmora::encoder::rm {

// What the header states besides the streams and the file's rate.
struct HeaderState {
    const ContentDescription& content;
    const HeaderIndex& seekIndex;
    std::uint16_t seekStream = 0;    // the stream whose index the header carries
    std::uint32_t dataOffset = 0;    // 0 until the header's size is known
    std::uint32_t indexOffset = 0;   // 0 until the full index is written
    std::uint64_t headerSize = 0;    // 0 before the first header is written
    std::uint64_t writtenBytes = 0;  // the whole file so far
};

struct Header {
    Bytes bytes;
    std::uint32_t prerollMs = 0;  // as the header states it
};

// The header for the packets written so far. Its size never changes once the
// streams are known, so it can be rewritten in place. The rate meters only
// keep their running peaks.
Header buildHeader(std::vector<WrittenStream>& streams, RateMeter& fileRate,
                   const HeaderState& state);

}  // namespace velmora::encoder::rm
