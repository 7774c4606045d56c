#pragma once
// Test-side views of a written file: a plain parse of its chunks and packets
// (independent of the writer's code), and what three independent readers
// make of it: FFmpeg (in process), GStreamer and MediaInfo (their tools).

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace velmora::encoder::rmtest {

struct Chunk {
    std::string tag;
    std::uint64_t offset = 0;
    std::uint32_t size = 0;
};

struct Packet {
    std::uint64_t offset = 0;
    std::uint16_t length = 0;
    std::uint16_t stream = 0;
    std::uint32_t timestampMs = 0;
    std::uint8_t flags = 0;
    std::vector<std::uint8_t> payload;
};

struct MediaProps {
    std::uint16_t number = 0;
    std::uint32_t maxBitRate = 0, avgBitRate = 0, maxPacketSize = 0, avgPacketSize = 0;
    std::uint32_t startTimeMs = 0, prerollMs = 0, durationMs = 0;
    std::string name, mimeType;
    std::vector<std::uint8_t> typeSpecific;
};

struct IndexRecord {
    std::uint32_t timestampMs = 0;
    std::uint32_t offset = 0;
    std::uint32_t packetNumber = 0;
};

struct IndexChunkInfo {
    std::uint64_t offset = 0;
    std::uint32_t size = 0;
    std::uint16_t stream = 0;
    std::uint32_t records = 0;
    std::uint32_t next = 0;
};

struct ParsedFile {
    std::vector<std::uint8_t> bytes;
    std::vector<Chunk> chunks;  // header chunks, DATA, INDX
    std::uint32_t numHeaders = 0;
    // PROP
    std::uint32_t maxBitRate = 0, avgBitRate = 0, maxPacketSize = 0, avgPacketSize = 0;
    std::uint32_t numPackets = 0, durationMs = 0, prerollMs = 0, indexOffset = 0, dataOffset = 0;
    std::uint16_t numStreams = 0, flags = 0;
    std::string title, author, copyright, comment;
    std::vector<MediaProps> streams;
    std::uint32_t dataChunkSize = 0;
    std::uint32_t dataPacketCount = 0;
    std::vector<Packet> packets;  // every complete packet after DATA, up to what is not one
    std::map<std::uint16_t, std::vector<IndexRecord>> index;  // the chunks after the data
    std::vector<IndexRecord> headerIndex;                     // the chunk inside the header
    std::vector<IndexChunkInfo> indexChain;                   // from PROP's index offset on
    std::string error;                                        // empty when the header parsed
};

ParsedFile parseFile(const std::string& path);

std::uint16_t be16(const std::uint8_t* p);
std::uint32_t be32(const std::uint8_t* p);

// --- FFmpeg ------------------------------------------------------------------

struct FfmpegStream {
    std::string type;  // "video" / "audio"
    std::string codec;
    int width = 0, height = 0, sampleRate = 0, channels = 0;
    double frameRate = 0;
    std::int64_t packets = 0;
    std::int64_t frames = 0;   // decoded video frames
    std::int64_t samples = 0;  // decoded audio samples per channel
    double lastPts = -1;       // seconds, of the last packet read
    double durationSec = -1;   // as the container states it
};

struct FfmpegReport {
    bool opened = false;
    std::string error;
    double durationSec = -1;
    std::vector<FfmpegStream> streams;
    int decodeErrors = 0;    // failed sends/receives plus decoder error logs
    int corruptPackets = 0;  // left out of decoding
    std::map<std::string, std::string> metadata;
};

FfmpegReport readWithFfmpeg(const std::string& path);

// The first packet of stream `stream` after seeking to `seconds`: its time
// and whether it is a key frame.
struct SeekResult {
    bool ok = false;
    double pts = -1;
    bool key = false;
};
SeekResult seekWithFfmpeg(const std::string& path, int stream, double seconds);

// --- tools -------------------------------------------------------------------

struct CommandResult {
    int exitCode = -1;
    std::string output;  // stdout and stderr
};
CommandResult run(const std::string& command);
std::string shellQuote(const std::string& s);

struct GstReport {
    int exitCode = -1;
    std::string output;
    std::int64_t videoFrames = 0;  // decoded
    double audioSeconds = 0;       // decoded, at 8 kHz
};
// Decodes the streams with rmdemux + decodebin into raw files and measures them.
GstReport playWithGstreamer(const std::string& path, bool video, bool audio);

}  // namespace velmora::encoder::rmtest
