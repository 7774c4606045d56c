#include "engine/rm/rm_format.h"

#include <algorithm>
#include <utility>

namespace velmora::encoder::rm {

void ByteWriter::u16(std::uint32_t v) {
    u8(v >> 8);
    u8(v);
}

void ByteWriter::u32(std::uint32_t v) {
    u8(v >> 24);
    u8(v >> 16);
    u8(v >> 8);
    u8(v);
}

void ByteWriter::tag(std::string_view fourcc) {
    for (std::size_t i = 0; i < 4; ++i)
        u8(i < fourcc.size() ? static_cast<unsigned char>(fourcc[i]) : ' ');
}

void ByteWriter::str8(std::string_view s) {
    const std::string_view clipped = clipUtf8(s, 0xFF);
    u8(static_cast<std::uint32_t>(clipped.size()));
    bytes(reinterpret_cast<const std::uint8_t*>(clipped.data()), clipped.size());
}

void ByteWriter::str16(std::string_view s) {
    const std::string_view clipped = clipUtf8(s, kMaxTextBytes);
    u16(static_cast<std::uint32_t>(clipped.size()));
    bytes(reinterpret_cast<const std::uint8_t*>(clipped.data()), clipped.size());
}

namespace {

// A chunk: tag, 32-bit size of the whole chunk, 16-bit object version 0.
void beginChunk(ByteWriter& w, std::string_view tag, std::size_t size) {
    w.tag(tag);
    w.u32(static_cast<std::uint32_t>(size));
    w.u16(0);
}

}  // namespace

Bytes fileHeaderChunk(std::uint32_t numHeaders) {
    Bytes out;
    ByteWriter w(out);
    beginChunk(w, ".RMF", kFileHeaderSize);
    w.u32(0);  // file version
    w.u32(numHeaders);
    return out;
}

Bytes propChunk(const FileProperties& p) {
    Bytes out;
    ByteWriter w(out);
    beginChunk(w, "PROP", kPropChunkSize);
    w.u32(p.maxBitRate);
    w.u32(p.avgBitRate);
    w.u32(p.maxPacketSize);
    w.u32(p.avgPacketSize);
    w.u32(p.numPackets);
    w.u32(p.durationMs);
    w.u32(p.prerollMs);
    w.u32(p.indexOffset);
    w.u32(p.dataOffset);
    w.u16(p.numStreams);
    w.u16(p.flags);
    return out;
}

Bytes contChunk(const ContentDescription& c) {
    Bytes body;
    ByteWriter b(body);
    b.str16(c.title);
    b.str16(c.author);
    b.str16(c.copyright);
    b.str16(c.comment);

    Bytes out;
    ByteWriter w(out);
    beginChunk(w, "CONT", 10 + body.size());
    w.bytes(body);
    return out;
}

Bytes mdprChunk(const StreamProperties& s) {
    Bytes body;
    ByteWriter b(body);
    b.u16(s.number);
    b.u32(s.maxBitRate);
    b.u32(s.avgBitRate);
    b.u32(s.maxPacketSize);
    b.u32(s.avgPacketSize);
    b.u32(s.startTimeMs);
    b.u32(s.prerollMs);
    b.u32(s.durationMs);
    b.str8(s.name);
    b.str8(s.mimeType);
    b.u32(static_cast<std::uint32_t>(s.typeSpecific.size()));
    b.bytes(s.typeSpecific);

    Bytes out;
    ByteWriter w(out);
    beginChunk(w, "MDPR", 10 + body.size());
    w.bytes(body);
    return out;
}

Bytes dataChunkHeader(std::uint32_t chunkSize, std::uint32_t numPackets) {
    Bytes out;
    ByteWriter w(out);
    beginChunk(w, "DATA", chunkSize);
    w.u32(numPackets);
    w.u32(0);  // no further DATA chunk
    return out;
}

Bytes indexChunk(std::uint16_t streamNumber, const std::vector<IndexEntry>& entries,
                 std::uint32_t nextIndexOffset) {
    Bytes out;
    ByteWriter w(out);
    beginChunk(w, "INDX", kIndexHeaderSize + kIndexEntrySize * entries.size());
    w.u32(static_cast<std::uint32_t>(entries.size()));
    w.u16(streamNumber);
    w.u32(nextIndexOffset);
    for (const IndexEntry& e : entries) {
        w.u16(0);  // record version
        w.u32(e.timestampMs);
        w.u32(e.offset);
        w.u32(e.packetNumber);
    }
    return out;
}

Bytes packetHeader(std::uint16_t streamNumber, std::uint32_t timestampMs, std::uint8_t flags,
                   std::uint16_t packetSize) {
    Bytes out;
    ByteWriter w(out);
    w.u16(0);  // packet version
    w.u16(packetSize);
    w.u16(streamNumber);
    w.u32(timestampMs);
    w.u8(0);  // packet group
    w.u8(flags);
    return out;
}

Bytes realVideoTypeSpecific(bool rv10, std::uint16_t width, std::uint16_t height,
                            std::uint32_t frameRate16_16, const Bytes& codecData) {
    Bytes out;
    ByteWriter w(out);
    w.u32(static_cast<std::uint32_t>(26 + codecData.size()));
    w.tag("VIDO");
    w.tag(rv10 ? "RV10" : "RV20");
    w.u16(width);
    w.u16(height);
    w.u16(12);  // bits per pixel (4:2:0)
    w.u16(0);   // padding width
    w.u16(0);   // padding height
    w.u32(frameRate16_16);
    w.bytes(codecData);
    return out;
}

std::uint32_t frameRateFixed(int timeBaseNum, int timeBaseDen) {
    if (timeBaseNum <= 0 || timeBaseDen <= 0) return 0;
    const std::uint64_t fixed =
        (static_cast<std::uint64_t>(timeBaseDen) << 16) / static_cast<std::uint64_t>(timeBaseNum);
    return static_cast<std::uint32_t>(std::min<std::uint64_t>(fixed, 0xFFFFFFFFu));
}

std::vector<VideoFragment> splitVideoFrame(std::size_t frameSize, std::size_t maxPacketSize) {
    const std::size_t limit = std::min(maxPacketSize, kMaxPacketSize);
    if (frameSize + kPacketHeaderSize + kWholeFrameHeaderSize <= limit) return {{0, frameSize}};

    // Two halves; each may exceed the asked size but never the format's own limit.
    const std::size_t hardPayload = kMaxPacketSize - kPacketHeaderSize - kFragmentHeaderMax;
    if (frameSize > kMaxFragmentsPerFrame * hardPayload) return {};
    const std::size_t first = (frameSize + 1) / 2;
    return {{0, first}, {first, frameSize - first}};
}

Bytes wholeFrameHeader() {
    // Type 01 (whole frame); the second byte says "packet 1 of 1".
    return {0x40, 0x81};
}

namespace {

// 14-bit numbers take two bytes with bit 14 set; larger ones take four with
// the top two bits clear.
void putFrameNumber(ByteWriter& w, std::size_t v) {
    if (v < 0x4000) {
        w.u16(0x4000 | static_cast<std::uint32_t>(v));
    } else {
        w.u32(static_cast<std::uint32_t>(v) & 0x3FFFFFFF);
    }
}

}  // namespace

Bytes fragmentHeader(std::size_t count, std::size_t index, std::size_t frameSize,
                     const VideoFragment& fragment, std::uint8_t pictureNumber) {
    const bool last = index + 1 == count;
    Bytes out;
    ByteWriter w(out);
    // Type 00 (a fragment) or 10 (the last fragment); the packet count is
    // split over the low six bits here and the top bit of the next byte.
    w.u8((last ? 0x80 : 0x00) | ((count >> 1) & 0x3F));
    w.u8(((count & 1) << 7) | ((index + 1) & 0x7F));
    putFrameNumber(w, frameSize);
    putFrameNumber(w, last ? fragment.size : fragment.offset);
    w.u8(pictureNumber);
    return out;
}

Bytes realAudio144TypeSpecific(std::uint32_t dataSize) {
    Bytes rest;  // everything after the header-size field
    ByteWriter r(rest);
    r.u16(1);  // channels
    r.u16(0);
    r.u16(0);
    r.u16(0);
    r.u16(static_cast<std::uint32_t>(k144FrameBytes * 50 * 60));  // bytes per minute
    r.u32(dataSize);
    // Title, author, copyright and comment live in CONT: readers that take
    // these too would repeat or blank them.
    for (int i = 0; i < 4; ++i) r.str8("");
    // The codec's name: VLC finds no codec without it, and xine reads its
    // four letters from the fifth-last byte of the header on, hence the byte
    // after it. (MediaInfo reads a four-byte length here and so loses the
    // name; it still lists the stream.)
    r.u8(0);
    r.str8("lpcJ");
    r.u8(0);

    Bytes out;
    ByteWriter w(out);
    w.u8('.');
    w.u8('r');
    w.u8('a');
    w.u8(0xFD);
    w.u16(3);
    w.u16(static_cast<std::uint32_t>(rest.size()));
    w.bytes(rest);
    return out;
}

namespace {

// The "flavor" field of dnet streams, as existing files carry it: a code for
// the sample-rate family.
std::uint16_t dolbyNetRateCode(int sampleRate) {
    switch (sampleRate) {
        case 48000:
        case 24000:
        case 12000:
            return 1;
        case 32000:
        case 16000:
        case 8000:
            return 3;
        default:
            return 2;
    }
}

}  // namespace

Bytes dolbyNetTypeSpecific(const DolbyNetParams& p) {
    Bytes out;
    ByteWriter w(out);
    w.u8('.');
    w.u8('r');
    w.u8('a');
    w.u8(0xFD);
    w.u16(4);  // version
    w.u16(0);
    w.tag(".ra4");
    w.u32(p.dataSize);
    w.u16(4);   // version again
    w.u32(57);  // bytes from the second version field to the end
    w.u16(dolbyNetRateCode(p.sampleRate));
    w.u32(p.frameBytes);  // coded frame size
    w.u32(0);
    w.u32(p.bytesPerMinute);
    w.u32(0);
    w.u16(1);             // sub-packets per block: no interleaving
    w.u16(p.frameBytes);  // frame size
    w.u16(0);             // sub-packet size
    w.u16(0);
    w.u16(static_cast<std::uint32_t>(p.sampleRate));
    w.u16(0);
    w.u16(16);  // bits per sample
    w.u16(static_cast<std::uint32_t>(p.channels));
    w.str8("Int0");
    w.str8("dnet");
    w.u8(0);
    w.u8(0);
    w.u8(0);
    w.u32(0);  // no codec data
    return out;
}

void swapBytePairs(std::uint8_t* data, std::size_t size) {
    for (std::size_t i = 0; i + 1 < size; i += 2) std::swap(data[i], data[i + 1]);
}

}  // namespace velmora::encoder::rm
