#pragma once
// Our own RealMedia (.rm) writer: RealVideo 1.0/2.0, RealAudio 14.4 and AC-3
// ("dnet") streams, with true bit rates and durations, 14.4 frames packed
// several to a packet, an index per stream, and a header kept up to date
// while writing so that a file cut off at any point still plays.

#include <cstddef>
#include <cstdint>
#include <memory>

#include "engine/core/media_writer.h"
#include "engine/core/real_audio_packets.h"

namespace velmora::encoder {

struct RealMediaWriterOptions {
    // Largest packet, header included; a larger video frame is split in two.
    std::size_t maxPacketSize = 0xFFFF;
    // 20-byte 14.4 frames per packet (each packet header costs 12 bytes).
    int audio144FramesPerPacket = kReal144FramesPerPacket;
    // The header is brought up to date after this much media time ...
    std::uint32_t checkpointMs = 2000;
    // ... or this many bytes, whichever comes first.
    std::uint64_t checkpointBytes = 1024 * 1024;
    // Audio gets an index entry at most this often; video at every key frame.
    std::uint32_t audioIndexIntervalMs = 1000;
};

std::unique_ptr<MediaWriter> makeRealMediaWriter();
std::unique_ptr<MediaWriter> makeRealMediaWriter(const RealMediaWriterOptions& options);

}  // namespace velmora::encoder
