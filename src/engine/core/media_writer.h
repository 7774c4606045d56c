#pragma once
// Where encoded packets go: a RealMedia file writer behind a small interface
// (streams in, packets in, finish), so the engine can feed either FFmpeg's
// muxer or our own writer.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "engine/core/status.h"

extern "C" {
struct AVCodecParameters;
struct AVPacket;
}

namespace velmora::encoder {

// A RealMedia file's texts (CONT) are at most this long each: a 16-bit length.
inline constexpr std::size_t kMaxTextBytes = 0xFFFF;

// `s` cut to at most `maxBytes` without splitting a UTF-8 sequence.
inline std::string_view clipUtf8(std::string_view s, std::size_t maxBytes) {
    if (s.size() <= maxBytes) return s;
    std::size_t end = maxBytes;
    // Step back over continuation bytes (10xxxxxx) to the start of the cut character.
    while (end > 0 && (static_cast<unsigned char>(s[end]) & 0xC0) == 0x80) --end;
    return s.substr(0, end);
}

struct MediaMetadata {
    std::string title;      // UTF-8
    std::string author;     // UTF-8
    std::string copyright;  // UTF-8
    std::string comment;    // UTF-8
};

class MediaWriter {
  public:
    virtual ~MediaWriter() = default;

    // Declares a stream before begin(). `timeBaseNum/Den` is the time base
    // of the packets that will be written to it (for video exactly 1/fps).
    // On success `index` is the stream's number for writePacket().
    virtual Status addStream(const AVCodecParameters& params, int timeBaseNum, int timeBaseDen,
                             int& index) = 0;

    // Creates `path` and writes the file header.
    virtual Status begin(const std::string& path, const MediaMetadata& metadata) = 0;

    // Writes one packet, timestamps in its stream's time base. Packets of
    // different streams arrive interleaved in increasing time order. A video
    // packet without data holds no picture: the one before it shows on
    // through its time, which the stream's length takes in.
    virtual Status writePacket(int index, const AVPacket& packet) = 0;

    // Completes the file (trailer, final header) and closes it. After a
    // failed begin() or writePacket() it still closes the file.
    virtual Status finish() = 0;

    // Bytes written to the file so far.
    virtual std::int64_t bytesWritten() const = 0;

    // The preroll the file's header states, as of the last header written;
    // 0 for a writer that states none (FFmpeg's muxer).
    virtual std::uint32_t prerollMs() const { return 0; }
};

// FFmpeg's own "rm" muxer.
std::unique_ptr<MediaWriter> makeFfmpegRmWriter();

// Our own RealMedia writer (engine/rm/).
std::unique_ptr<MediaWriter> makeRealMediaWriter();

}  // namespace velmora::encoder
