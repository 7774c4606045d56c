#pragma once
// The byte layout of a RealMedia file: chunk headers, packet headers and the
// codec-specific data each reader expects. Pure functions over byte vectors,
// so every field can be checked without writing a file. All numbers are
// big-endian; four-character codes are written as they read.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/core/media_writer.h"
#include "engine/core/real_audio_packets.h"
#include "engine/core/real_video_codec_data.h"

namespace velmora::encoder::rm {

using Bytes = std::vector<std::uint8_t>;

// Appends big-endian fields to a byte vector.
class ByteWriter {
  public:
    explicit ByteWriter(Bytes& out) : out_(out) {}

    void u8(std::uint32_t v) { out_.push_back(static_cast<std::uint8_t>(v)); }
    void u16(std::uint32_t v);
    void u32(std::uint32_t v);
    void tag(std::string_view fourcc);  // exactly four characters
    void bytes(const std::uint8_t* data, std::size_t size) {
        out_.insert(out_.end(), data, data + size);
    }
    void bytes(const Bytes& data) { bytes(data.data(), data.size()); }
    // Length-prefixed strings; longer texts are cut at a UTF-8 character boundary.
    void str8(std::string_view s);
    void str16(std::string_view s);

  private:
    Bytes& out_;
};

inline constexpr std::size_t kPacketHeaderSize = kRealMediaPacketHeaderBytes;
inline constexpr std::size_t kMaxPacketSize = 0xFFFF;  // the length field is 16 bits
// Offsets in PROP and the index chunks are 32 bits, so nothing may end past this.
inline constexpr std::uint64_t kMaxFileSize = 0xFFFFFFFF;
inline constexpr std::size_t kFileHeaderSize = 18;
inline constexpr std::size_t kPropChunkSize = 50;
inline constexpr std::size_t kDataHeaderSize = 18;
inline constexpr std::size_t kIndexHeaderSize = 20;
inline constexpr std::size_t kIndexEntrySize = 14;

// Packet flags.
inline constexpr std::uint8_t kFlagKeyFrame = 0x02;

// PROP flags.
inline constexpr std::uint16_t kPropSaveEnabled = 0x0001;
inline constexpr std::uint16_t kPropPerfectPlay = 0x0002;

struct FileProperties {
    std::uint32_t maxBitRate = 0;
    std::uint32_t avgBitRate = 0;
    std::uint32_t maxPacketSize = 0;
    std::uint32_t avgPacketSize = 0;
    std::uint32_t numPackets = 0;
    std::uint32_t durationMs = 0;
    std::uint32_t prerollMs = 0;
    std::uint32_t indexOffset = 0;  // 0: no index (yet)
    std::uint32_t dataOffset = 0;
    std::uint16_t numStreams = 0;
    std::uint16_t flags = kPropSaveEnabled | kPropPerfectPlay;
};

struct StreamProperties {
    std::uint16_t number = 0;
    std::uint32_t maxBitRate = 0;
    std::uint32_t avgBitRate = 0;
    std::uint32_t maxPacketSize = 0;
    std::uint32_t avgPacketSize = 0;
    std::uint32_t startTimeMs = 0;
    std::uint32_t prerollMs = 0;
    std::uint32_t durationMs = 0;
    std::string name;
    std::string mimeType;
    Bytes typeSpecific;
};

struct ContentDescription {
    std::string title;
    std::string author;
    std::string copyright;
    std::string comment;
};

struct IndexEntry {
    std::uint32_t timestampMs = 0;
    std::uint32_t offset = 0;        // of the packet, from the start of the file
    std::uint32_t packetNumber = 0;  // packets before it in the file
};

Bytes fileHeaderChunk(std::uint32_t numHeaders);
Bytes propChunk(const FileProperties& p);
Bytes contChunk(const ContentDescription& c);
Bytes mdprChunk(const StreamProperties& s);
// `chunkSize` counts the 18-byte header and every packet after it.
Bytes dataChunkHeader(std::uint32_t chunkSize, std::uint32_t numPackets);
Bytes indexChunk(std::uint16_t streamNumber, const std::vector<IndexEntry>& entries,
                 std::uint32_t nextIndexOffset);

// The 12-byte header in front of every packet; `packetSize` includes it.
Bytes packetHeader(std::uint16_t streamNumber, std::uint32_t timestampMs, std::uint8_t flags,
                   std::uint16_t packetSize);

// --- RealVideo -------------------------------------------------------------

// The MDPR type-specific data of a video stream: "VIDO" + the codec, frame
// size, 12 bits per pixel, the frame rate as 16.16 fixed point, then the
// codec data.
Bytes realVideoTypeSpecific(bool rv10, std::uint16_t width, std::uint16_t height,
                            std::uint32_t frameRate16_16, const Bytes& codecData);

// Frame rate of a 1/fps time base (num/den) as 16.16 fixed point.
std::uint32_t frameRateFixed(int timeBaseNum, int timeBaseDen);

// One video frame travels in one packet or, when it does not fit, in two:
// FFmpeg's RealVideo decoder joins at most two fragments of a single slice,
// and its encoder writes every frame as one slice.
struct VideoFragment {
    std::size_t offset = 0;
    std::size_t size = 0;
};
inline constexpr std::size_t kMaxFragmentsPerFrame = 2;
// Header bytes in front of a fragment, at most.
inline constexpr std::size_t kFragmentHeaderMax = 11;
inline constexpr std::size_t kWholeFrameHeaderSize = 2;

// Splits a frame of `frameSize` bytes for packets of at most `maxPacketSize`
// bytes (clamped to the format's 65,535). Empty when the frame cannot be
// carried even in two packets of the largest size.
std::vector<VideoFragment> splitVideoFrame(std::size_t frameSize, std::size_t maxPacketSize);

// The header in front of the data of a frame that fills its packet alone.
Bytes wholeFrameHeader();
// The header in front of fragment `index` of `count` (count >= 2): the frame's
// total length, the fragment's offset (its length, for the last), and the
// frame's picture number.
Bytes fragmentHeader(std::size_t count, std::size_t index, std::size_t frameSize,
                     const VideoFragment& fragment, std::uint8_t pictureNumber);

// --- RealAudio -------------------------------------------------------------

inline constexpr std::size_t k144FrameBytes = kReal144FrameBytes;
inline constexpr int k144FrameSamples = kReal144SamplesPerFrame;
inline constexpr int k144SampleRate = kReal144SampleRate;

// The version-3 ".ra\xfd" header of RealAudio 1.0 (14.4, "lpcJ"), the form
// every reader knows for this codec.
Bytes realAudio144TypeSpecific(std::uint32_t dataSize);

// Samples in one AC-3 frame at every rate; each packet carries one frame.
inline constexpr int kAc3FrameSamples = kAc3SamplesPerFrame;

struct DolbyNetParams {
    int sampleRate = 0;
    int channels = 0;
    std::uint32_t frameBytes = 0;  // coded bytes per AC-3 frame
    std::uint32_t bytesPerMinute = 0;
    std::uint32_t dataSize = 0;
};
// The version-4 ".ra\xfd" header of AC-3 ("dnet", interleaver "Int0").
Bytes dolbyNetTypeSpecific(const DolbyNetParams& p);

// AC-3 travels with the two bytes of every 16-bit word swapped; an odd last
// byte stays where it is.
void swapBytePairs(std::uint8_t* data, std::size_t size);

}  // namespace velmora::encoder::rm
