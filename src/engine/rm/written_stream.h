#pragma once
// What our RealMedia writer knows of each stream and has written of it so
// far: the codec's settings, the tallies the header states, the stream's
// index, and 14.4 frames waiting to fill a packet.

#include <algorithm>
#include <cstdint>
#include <vector>

#include "engine/core/status.h"
#include "engine/rm/rate_meter.h"
#include "engine/rm/rm_format.h"

extern "C" {
#include <libavcodec/codec_par.h>
}

namespace velmora::encoder::rm {

enum class StreamKind { Video, Audio144, Ac3 };

struct WrittenStream {
    StreamKind kind = StreamKind::Video;
    bool rv10 = false;
    int timeBaseNum = 1;
    int timeBaseDen = 1;
    int width = 0;
    int height = 0;
    int sampleRate = 0;
    int channels = 0;
    std::int64_t declaredBitRate = 0;
    Bytes codecData;

    std::uint32_t packets = 0;
    std::uint32_t maxPacket = 0;
    std::uint32_t endMs = 0;         // end of the last media written
    std::uint64_t payloadBytes = 0;  // codec bytes, without packet headers
    std::uint32_t firstPayload = 0;  // size of the first packet's payload
    RateMeter rate;
    std::vector<IndexEntry> index;
    std::uint8_t pictureNumber = 0;

    // 14.4 frames waiting to fill a packet.
    Bytes pending;
    std::uint32_t pendingMs = 0;
    std::uint32_t pendingEndMs = 0;
    int pendingFrames = 0;
};

// A stream's settings from its codec's parameters; refuses a codec or a
// setting the file cannot state.
Status describeStream(const AVCodecParameters& params, int timeBaseNum, int timeBaseDen,
                      WrittenStream& stream);

// The end of the media written so far, of whichever stream reaches furthest.
inline std::uint32_t mediaEndMs(const std::vector<WrittenStream>& streams) {
    std::uint32_t end = 0;
    for (const WrittenStream& s : streams) end = std::max(end, s.endMs);
    return end;
}

inline std::uint32_t packetCount(const std::vector<WrittenStream>& streams) {
    std::uint32_t n = 0;
    for (const WrittenStream& s : streams) n += s.packets;
    return n;
}

}  // namespace velmora::encoder::rm
