#include "engine/rm/rm_header.h"

#include <algorithm>

namespace velmora::encoder::rm {

namespace {

std::uint32_t streamDuration(const WrittenStream& s) {
    return s.packets ? s.endMs : 0;
}

StreamProperties streamProperties(WrittenStream& s, std::size_t number) {
    StreamProperties p;
    p.number = static_cast<std::uint16_t>(number);
    p.durationMs = streamDuration(s);
    p.startTimeMs = 0;
    p.avgBitRate = bitRate(s.rate.totalBytes(), p.durationMs);
    p.maxBitRate = s.rate.maxBitRate(p.avgBitRate);
    p.maxPacketSize = s.maxPacket;
    p.avgPacketSize = s.packets ? static_cast<std::uint32_t>(s.rate.totalBytes() / s.packets) : 0;
    const std::uint32_t payloadRate = bitRate(s.payloadBytes, p.durationMs);
    switch (s.kind) {
        case StreamKind::Video:
            p.name = "Video Stream";
            p.mimeType = "video/x-pn-realvideo";
            p.typeSpecific = realVideoTypeSpecific(
                s.rv10, static_cast<std::uint16_t>(s.width), static_cast<std::uint16_t>(s.height),
                frameRateFixed(s.timeBaseNum, s.timeBaseDen), s.codecData);
            break;
        case StreamKind::Audio144:
            p.name = "Audio Stream";
            p.mimeType = "audio/x-pn-realaudio";
            p.typeSpecific = realAudio144TypeSpecific(static_cast<std::uint32_t>(s.payloadBytes));
            break;
        case StreamKind::Ac3: {
            p.name = "Audio Stream";
            p.mimeType = "audio/x-pn-realaudio";
            DolbyNetParams d;
            d.sampleRate = s.sampleRate;
            d.channels = s.channels;
            // The nominal frame size comes from the declared rate; without
            // one, from the first frame written.
            d.frameBytes = s.declaredBitRate > 0
                               ? static_cast<std::uint32_t>(s.declaredBitRate * kAc3FrameSamples /
                                                            (8LL * s.sampleRate))
                               : s.firstPayload;
            const std::uint64_t bitsPerSecond =
                s.declaredBitRate > 0 ? static_cast<std::uint64_t>(s.declaredBitRate) : payloadRate;
            d.bytesPerMinute = static_cast<std::uint32_t>(bitsPerSecond * 60 / 8);
            d.dataSize = static_cast<std::uint32_t>(s.payloadBytes);
            p.typeSpecific = dolbyNetTypeSpecific(d);
            break;
        }
    }
    return p;
}

}  // namespace

// CONT follows the MDPRs so that its texts win over the (empty) ones of the
// 14.4 header in FFmpeg. PROP points at an index chunk inside the header,
// chained to the full index once that exists: FFmpeg's demuxer loses its
// place in a truncated file whose index offset lies past the end, and a first
// index inside the file keeps that from happening. VLC reads only that first
// chunk, so it carries the seek stream's entries (thinned to
// kHeaderIndexEntries), brought up to date at every checkpoint: VLC seeks in
// a whole file, and every reader in a file whose job never finished.
Header buildHeader(std::vector<WrittenStream>& streams, RateMeter& fileRate,
                   const HeaderState& state) {
    const std::uint32_t duration = mediaEndMs(streams);
    const std::uint32_t packets = packetCount(streams);
    const std::uint64_t total = fileRate.totalBytes();

    std::vector<Bytes> mdprs;
    std::size_t mdprBytes = 0;
    for (std::size_t i = 0; i < streams.size(); ++i) {
        mdprs.push_back(mdprChunk(streamProperties(streams[i], i)));
        mdprBytes += mdprs.back().size();
    }
    const Bytes cont = contChunk(state.content);
    const std::size_t stubOffset = kFileHeaderSize + kPropChunkSize + mdprBytes + cont.size();

    FileProperties prop;
    prop.avgBitRate = bitRate(total, duration);
    prop.maxBitRate = fileRate.maxBitRate(prop.avgBitRate);
    for (const WrittenStream& s : streams)
        prop.maxPacketSize = std::max(prop.maxPacketSize, s.maxPacket);
    prop.avgPacketSize = packets ? static_cast<std::uint32_t>(total / packets) : 0;
    prop.numPackets = packets;
    prop.durationMs = duration;
    prop.prerollMs = fileRate.prerollMs(prop.avgBitRate, state.headerSize);
    prop.indexOffset = static_cast<std::uint32_t>(stubOffset);
    prop.dataOffset = state.dataOffset;
    prop.numStreams = static_cast<std::uint16_t>(streams.size());

    // PROP, the MDPRs, CONT, the stub index, DATA, and once written one INDX per stream.
    const std::uint32_t numHeaders =
        static_cast<std::uint32_t>(4 + streams.size() * (state.indexOffset ? 2 : 1));
    Header header{.bytes = fileHeaderChunk(numHeaders), .prerollMs = prop.prerollMs};
    Bytes& out = header.bytes;
    auto add = [&out](const Bytes& b) { out.insert(out.end(), b.begin(), b.end()); };
    add(propChunk(prop));
    for (const Bytes& m : mdprs) add(m);
    add(cont);
    add(indexChunk(state.seekStream,
                   state.seekIndex.entries(
                       duration, static_cast<std::uint32_t>(state.dataOffset + kDataHeaderSize)),
                   state.indexOffset));
    // The index, once written, follows the data and is not part of it.
    const std::uint64_t dataEnd = state.indexOffset ? state.indexOffset : state.writtenBytes;
    const std::uint64_t dataBytes = dataEnd > state.headerSize ? dataEnd - state.headerSize : 0;
    add(dataChunkHeader(static_cast<std::uint32_t>(kDataHeaderSize + dataBytes), packets));
    return header;
}

}  // namespace velmora::encoder::rm
