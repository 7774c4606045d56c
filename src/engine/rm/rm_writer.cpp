#include "engine/rm/rm_writer.h"

#include <algorithm>
#include <limits>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/mathematics.h>
}

#include "engine/rm/buffered_file.h"
#include "engine/rm/rate_meter.h"
#include "engine/rm/rm_format.h"
#include "texts/encoder_texts.h"

namespace velmora::encoder {

namespace {

using rm::Bytes;

constexpr std::size_t kMaxStreams = 16;
// Key frames listed in the index kept inside the header, which also holds
// one entry for the end (see buildHeader()).
constexpr std::size_t kHeaderIndexEntries = 16;
constexpr std::uint64_t kMaxFileSize = std::numeric_limits<std::uint32_t>::max();

enum class Kind { Video, Audio144, Ac3 };

struct Stream {
    Kind kind = Kind::Video;
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
    rm::RateMeter rate;
    std::vector<rm::IndexEntry> index;
    std::uint8_t pictureNumber = 0;

    // 14.4 frames waiting to fill a packet.
    Bytes pending;
    std::uint32_t pendingMs = 0;
    std::uint32_t pendingEndMs = 0;
    int pendingFrames = 0;
};

std::int64_t toMs(std::int64_t ts, int num, int den) {
    if (ts == AV_NOPTS_VALUE) return 0;
    return av_rescale_q_rnd(ts, AVRational{num, den}, AVRational{1, 1000},
                            static_cast<AVRounding>(AV_ROUND_NEAR_INF));
}

class RealMediaWriter final : public MediaWriter {
  public:
    explicit RealMediaWriter(const RealMediaWriterOptions& options) : options_(options) {
        options_.audio144FramesPerPacket = std::clamp(
            options_.audio144FramesPerPacket, 1,
            static_cast<int>((rm::kMaxPacketSize - rm::kPacketHeaderSize) / rm::k144FrameBytes));
        options_.maxPacketSize =
            std::clamp<std::size_t>(options_.maxPacketSize, 64, rm::kMaxPacketSize);
    }

    ~RealMediaWriter() override {
        // Abandoned mid-way: leave what was written readable, without an index.
        if (file_.isOpen() && !failed_) {
            (void)flushPendingAudio();
            (void)checkpoint();
        }
    }

    Status addStream(const AVCodecParameters& params, int timeBaseNum, int timeBaseDen,
                     int& index) override {
        if (begun_) return Status::fail(text::kWrongOrder);
        if (streams_.size() >= kMaxStreams) return Status::fail(text::kTooManyStreams);
        if (timeBaseNum <= 0 || timeBaseDen <= 0) return Status::fail(text::kBadStreamSettings);

        Stream s;
        s.timeBaseNum = timeBaseNum;
        s.timeBaseDen = timeBaseDen;
        s.declaredBitRate = params.bit_rate;
        switch (params.codec_id) {
            case AV_CODEC_ID_RV10:
            case AV_CODEC_ID_RV20:
                if (params.width <= 0 || params.height <= 0 || params.width > 0xFFFF ||
                    params.height > 0xFFFF)
                    return Status::fail(text::kBadStreamSettings);
                s.kind = Kind::Video;
                s.rv10 = params.codec_id == AV_CODEC_ID_RV10;
                s.width = params.width;
                s.height = params.height;
                // The decoders need the sub-format and version words; FFmpeg's
                // encoders leave them to the container.
                if (params.extradata_size >= 8)
                    s.codecData.assign(params.extradata, params.extradata + params.extradata_size);
                else
                    s.codecData = defaultRealVideoCodecData(s.rv10);
                break;
            case AV_CODEC_ID_RA_144:
                if (params.sample_rate != rm::k144SampleRate || params.ch_layout.nb_channels != 1)
                    return Status::fail(text::kBadStreamSettings);
                s.kind = Kind::Audio144;
                s.sampleRate = params.sample_rate;
                s.channels = 1;
                break;
            case AV_CODEC_ID_AC3:
                if (params.sample_rate <= 0 || params.sample_rate > 0xFFFF ||
                    params.ch_layout.nb_channels <= 0 || params.ch_layout.nb_channels > 6)
                    return Status::fail(text::kBadStreamSettings);
                s.kind = Kind::Ac3;
                s.sampleRate = params.sample_rate;
                s.channels = params.ch_layout.nb_channels;
                break;
            default:
                return Status::fail(text::kUnsupportedCodec);
        }
        index = static_cast<int>(streams_.size());
        streams_.push_back(std::move(s));
        return Status::ok();
    }

    Status begin(const std::string& path, const MediaMetadata& metadata) override {
        if (begun_ || streams_.empty()) return fail(text::kWrongOrder);
        begun_ = true;
        // Seeks go to the picture's key frames when there is a picture.
        for (std::size_t i = 0; i < streams_.size(); ++i) {
            if (streams_[i].kind == Kind::Video) {
                seekStream_ = static_cast<std::uint16_t>(i);
                break;
            }
        }
        content_ = {metadata.title, metadata.author, metadata.copyright, metadata.comment};
        if (Status s = file_.open(path); !s) return fail(s.message());

        const Bytes header = buildHeader();
        dataOffset_ = static_cast<std::uint32_t>(header.size() - rm::kDataHeaderSize);
        // The data offset sits in the header itself; build it again with it known.
        const Bytes final = buildHeader();
        if (Status s = file_.append(final); !s) return fail(s.message());
        if (Status s = file_.flush(); !s) return fail(s.message());
        headerSize_ = final.size();
        return Status::ok();
    }

    Status writePacket(int index, const AVPacket& packet) override {
        if (failed_) return Status::fail(failure_);
        if (!begun_ || finished_) return fail(text::kWrongOrder);
        if (index < 0 || static_cast<std::size_t>(index) >= streams_.size())
            return fail(text::kUnknownStream);
        Stream& s = streams_[static_cast<std::size_t>(index)];
        const std::int64_t ts = packet.pts != AV_NOPTS_VALUE ? packet.pts : packet.dts;
        if (!originSet_) {
            // Packets come in time order, so the first is the earliest. Audio
            // encoders start a frame or so before zero (their priming); moving
            // everything later by that much keeps RealMedia's unsigned times
            // and the streams' sync.
            originMs_ = std::min<std::int64_t>(0, toMs(ts, s.timeBaseNum, s.timeBaseDen));
            originSet_ = true;
        }
        const std::uint32_t ms = mediaMs(s, ts);

        Status written = Status::ok();
        switch (s.kind) {
            case Kind::Video:
                written = writeVideo(static_cast<std::uint16_t>(index), s, packet, ms);
                break;
            case Kind::Audio144:
                written = queue144(static_cast<std::uint16_t>(index), s, packet, ms);
                break;
            case Kind::Ac3:
                written = writeAc3(static_cast<std::uint16_t>(index), s, packet, ms);
                break;
        }
        if (!written) return fail(written.message());

        if (mediaEndMs() >= lastCheckpointMs_ + options_.checkpointMs ||
            file_.size() >= lastCheckpointBytes_ + options_.checkpointBytes) {
            if (Status c = checkpoint(); !c) return fail(c.message());
        }
        return Status::ok();
    }

    Status finish() override {
        if (finished_) return failed_ ? Status::fail(failure_) : Status::ok();
        finished_ = true;
        if (failed_ || !begun_) {
            (void)file_.close();
            return Status::fail(failed_ ? failure_ : text::kWrongOrder);
        }
        Status s = completeFile();
        Status closed = file_.close();
        if (!s) return fail(s.message());
        if (!closed) return fail(closed.message());
        return Status::ok();
    }

    std::int64_t bytesWritten() const override { return static_cast<std::int64_t>(file_.size()); }

    std::uint32_t prerollMs() const override { return prerollMs_; }

  private:
    Status fail(const std::string& message) {
        if (!failed_) {
            failed_ = true;
            failure_ = message;
        }
        return Status::fail(failure_);
    }

    // A time in the file: milliseconds from the origin, never below zero.
    std::uint32_t mediaMs(const Stream& s, std::int64_t ts) const {
        const std::int64_t ms = toMs(ts, s.timeBaseNum, s.timeBaseDen) - originMs_;
        return static_cast<std::uint32_t>(
            std::clamp<std::int64_t>(ms, 0, std::numeric_limits<std::uint32_t>::max()));
    }

    std::uint32_t mediaEndMs() const {
        std::uint32_t end = 0;
        for (const Stream& s : streams_) end = std::max(end, s.endMs);
        return end;
    }

    std::uint32_t packetCount() const {
        std::uint32_t n = 0;
        for (const Stream& s : streams_) n += s.packets;
        return n;
    }

    // --- packets -----------------------------------------------------------

    Status emit(std::uint16_t number, Stream& s, std::uint32_t ms, std::uint32_t endMs, bool key,
                const Bytes& prefix, const std::uint8_t* payload, std::size_t size, bool indexIt) {
        const std::size_t total = rm::kPacketHeaderSize + prefix.size() + size;
        if (total > rm::kMaxPacketSize) return Status::fail(text::kFrameTooLarge);
        if (file_.size() + total > kMaxFileSize) return Status::fail(text::kFileTooLarge);

        if (indexIt) {
            s.index.push_back({ms, static_cast<std::uint32_t>(file_.size()), packetCount()});
            if (number == seekStream_) addHeaderIndexEntry(s.index.back());
        }
        const Bytes header = rm::packetHeader(number, ms, key ? rm::kFlagKeyFrame : 0,
                                              static_cast<std::uint16_t>(total));
        if (Status st = file_.append(header); !st) return st;
        if (Status st = file_.append(prefix); !st) return st;
        if (Status st = file_.append(payload, size); !st) return st;

        if (s.packets == 0) s.firstPayload = static_cast<std::uint32_t>(size);
        ++s.packets;
        s.maxPacket = std::max(s.maxPacket, static_cast<std::uint32_t>(total));
        s.payloadBytes += size;
        s.endMs = std::max(s.endMs, endMs);
        s.rate.add(ms, static_cast<std::uint32_t>(total));
        fileRate_.add(ms, static_cast<std::uint32_t>(total));
        return Status::ok();
    }

    Status writeVideo(std::uint16_t number, Stream& s, const AVPacket& packet, std::uint32_t ms) {
        const std::int64_t duration = packet.duration > 0 ? packet.duration : 1;
        const std::uint32_t endMs = std::max(
            ms, mediaMs(s, (packet.pts != AV_NOPTS_VALUE ? packet.pts : packet.dts) + duration));
        if (packet.size <= 0) {
            // A frame left out carries nothing, but the picture before it
            // shows on until it ends.
            if (s.packets > 0) s.endMs = std::max(s.endMs, endMs);
            return Status::ok();
        }
        const std::size_t size = static_cast<std::size_t>(packet.size);
        const bool key = (packet.flags & AV_PKT_FLAG_KEY) != 0;

        const std::vector<rm::VideoFragment> fragments =
            rm::splitVideoFrame(size, options_.maxPacketSize);
        if (fragments.empty()) return Status::fail(text::kFrameTooLarge);
        const std::uint8_t picture = s.pictureNumber++;
        for (std::size_t i = 0; i < fragments.size(); ++i) {
            const Bytes prefix =
                fragments.size() == 1
                    ? rm::wholeFrameHeader()
                    : rm::fragmentHeader(fragments.size(), i, size, fragments[i], picture);
            if (Status st =
                    emit(number, s, ms, endMs, key, prefix, packet.data + fragments[i].offset,
                         fragments[i].size, key && i == 0);
                !st)
                return st;
        }
        return Status::ok();
    }

    Status queue144(std::uint16_t number, Stream& s, const AVPacket& packet, std::uint32_t ms) {
        if (packet.size <= 0) return Status::ok();
        if (packet.size % static_cast<int>(rm::k144FrameBytes) != 0)
            return Status::fail(text::kBadAudioPacket);
        const int frames = packet.size / static_cast<int>(rm::k144FrameBytes);
        for (int i = 0; i < frames; ++i) {
            const std::uint32_t frameMs =
                ms +
                static_cast<std::uint32_t>(i * rm::k144FrameSamples * 1000 / rm::k144SampleRate);
            if (s.pendingFrames == 0) s.pendingMs = frameMs;
            const std::uint8_t* frame = packet.data + i * rm::k144FrameBytes;
            s.pending.insert(s.pending.end(), frame, frame + rm::k144FrameBytes);
            s.pendingEndMs = frameMs + rm::k144FrameSamples * 1000 / rm::k144SampleRate;
            if (++s.pendingFrames >= options_.audio144FramesPerPacket) {
                if (Status st = flush144(number, s); !st) return st;
            }
        }
        return Status::ok();
    }

    Status flush144(std::uint16_t number, Stream& s) {
        if (s.pendingFrames == 0) return Status::ok();
        Status st = emit(number, s, s.pendingMs, s.pendingEndMs, true, {}, s.pending.data(),
                         s.pending.size(), wantsAudioIndex(s, s.pendingMs));
        s.pending.clear();
        s.pendingFrames = 0;
        return st;
    }

    Status writeAc3(std::uint16_t number, Stream& s, const AVPacket& packet, std::uint32_t ms) {
        if (packet.size <= 0) return Status::ok();
        Bytes swapped(packet.data, packet.data + packet.size);
        rm::swapBytePairs(swapped.data(), swapped.size());
        const std::int64_t ts = packet.pts != AV_NOPTS_VALUE ? packet.pts : packet.dts;
        const std::int64_t duration = packet.duration > 0
                                          ? packet.duration
                                          : av_rescale_q(1536, AVRational{1, s.sampleRate},
                                                         AVRational{s.timeBaseNum, s.timeBaseDen});
        const std::uint32_t endMs = std::max(ms, mediaMs(s, ts + duration));
        return emit(number, s, ms, endMs, true, {}, swapped.data(), swapped.size(),
                    wantsAudioIndex(s, ms));
    }

    // Keeps every n-th index entry of the seek stream, at most
    // kHeaderIndexEntries of them: when full, every other one goes and n doubles.
    void addHeaderIndexEntry(const rm::IndexEntry& entry) {
        const std::size_t ordinal = seekStreamEntries_++;
        if (ordinal % headerIndexEvery_ != 0) return;
        if (headerIndex_.size() == kHeaderIndexEntries) {
            std::vector<rm::IndexEntry> kept;
            for (std::size_t i = 0; i < headerIndex_.size(); i += 2)
                kept.push_back(headerIndex_[i]);
            headerIndex_ = std::move(kept);
            headerIndexEvery_ *= 2;
            if (ordinal % headerIndexEvery_ != 0) return;
        }
        headerIndex_.push_back(entry);
    }

    bool wantsAudioIndex(const Stream& s, std::uint32_t ms) const {
        return s.index.empty() || ms >= s.index.back().timestampMs + options_.audioIndexIntervalMs;
    }

    // --- header ------------------------------------------------------------

    std::uint32_t streamDuration(const Stream& s) const { return s.packets ? s.endMs : 0; }

    rm::StreamProperties streamProperties(std::size_t i) {
        Stream& s = streams_[i];
        rm::StreamProperties p;
        p.number = static_cast<std::uint16_t>(i);
        p.durationMs = streamDuration(s);
        p.startTimeMs = 0;
        p.avgBitRate = rm::bitRate(s.rate.totalBytes(), p.durationMs);
        p.maxBitRate = s.rate.maxBitRate(p.avgBitRate);
        p.maxPacketSize = s.maxPacket;
        p.avgPacketSize =
            s.packets ? static_cast<std::uint32_t>(s.rate.totalBytes() / s.packets) : 0;
        const std::uint32_t payloadRate = rm::bitRate(s.payloadBytes, p.durationMs);
        switch (s.kind) {
            case Kind::Video:
                p.name = "Video Stream";
                p.mimeType = "video/x-pn-realvideo";
                p.typeSpecific = rm::realVideoTypeSpecific(
                    s.rv10, static_cast<std::uint16_t>(s.width),
                    static_cast<std::uint16_t>(s.height),
                    rm::frameRateFixed(s.timeBaseNum, s.timeBaseDen), s.codecData);
                break;
            case Kind::Audio144:
                p.name = "Audio Stream";
                p.mimeType = "audio/x-pn-realaudio";
                p.typeSpecific =
                    rm::realAudio144TypeSpecific(static_cast<std::uint32_t>(s.payloadBytes));
                break;
            case Kind::Ac3: {
                p.name = "Audio Stream";
                p.mimeType = "audio/x-pn-realaudio";
                rm::DolbyNetParams d;
                d.sampleRate = s.sampleRate;
                d.channels = s.channels;
                // The nominal frame size comes from the declared rate; without
                // one, from the first frame written.
                d.frameBytes = s.declaredBitRate > 0
                                   ? static_cast<std::uint32_t>(s.declaredBitRate * 1536 /
                                                                (8LL * s.sampleRate))
                                   : s.firstPayload;
                const std::uint64_t bitsPerSecond =
                    s.declaredBitRate > 0 ? static_cast<std::uint64_t>(s.declaredBitRate)
                                          : payloadRate;
                d.bytesPerMinute = static_cast<std::uint32_t>(bitsPerSecond * 60 / 8);
                d.dataSize = static_cast<std::uint32_t>(s.payloadBytes);
                p.typeSpecific = rm::dolbyNetTypeSpecific(d);
                break;
            }
        }
        return p;
    }

    // Everything from the start of the file to the first packet. Its size
    // never changes once the streams are known, so it can be rewritten in place.
    //
    // CONT follows the MDPRs so that its texts win over the (empty) ones of
    // the 14.4 header in FFmpeg. PROP points at an index chunk inside the
    // header, chained to the full index once that exists: FFmpeg's demuxer
    // loses its place in a truncated file whose index offset lies past the
    // end, and a first index inside the file keeps that from happening. VLC
    // reads only that first chunk, so it carries the seek stream's entries
    // (thinned to kHeaderIndexEntries), brought up to date at every
    // checkpoint: VLC seeks in a whole file, and every reader in a file
    // whose job never finished. Its size never changes: the places after
    // the entries, one at least, hold the end of the media at the last
    // entry's place (the first packet before there is one). VLC seeks to
    // the entry before the first one later than the time asked and gives
    // up when there is none, so without the end a time after the last key
    // frame plays from the start. The end points at that key frame, not
    // past it: FFmpeg bisects between index entries and would find no key
    // frame between the last one and the end of the data.
    Bytes buildHeader() {
        const std::uint32_t duration = mediaEndMs();
        const std::uint32_t packets = packetCount();
        const std::uint64_t total = fileRate_.totalBytes();

        std::vector<Bytes> mdprs;
        std::size_t mdprBytes = 0;
        for (std::size_t i = 0; i < streams_.size(); ++i) {
            mdprs.push_back(rm::mdprChunk(streamProperties(i)));
            mdprBytes += mdprs.back().size();
        }
        const Bytes cont = rm::contChunk(content_);
        const std::size_t stubOffset =
            rm::kFileHeaderSize + rm::kPropChunkSize + mdprBytes + cont.size();

        rm::FileProperties prop;
        prop.avgBitRate = rm::bitRate(total, duration);
        prop.maxBitRate = fileRate_.maxBitRate(prop.avgBitRate);
        for (const Stream& s : streams_)
            prop.maxPacketSize = std::max(prop.maxPacketSize, s.maxPacket);
        prop.avgPacketSize = packets ? static_cast<std::uint32_t>(total / packets) : 0;
        prop.numPackets = packets;
        prop.durationMs = duration;
        prop.prerollMs = fileRate_.prerollMs(prop.avgBitRate, headerSize_);
        prerollMs_ = prop.prerollMs;
        prop.indexOffset = static_cast<std::uint32_t>(stubOffset);
        prop.dataOffset = dataOffset_;
        prop.numStreams = static_cast<std::uint16_t>(streams_.size());

        // PROP, the MDPRs, CONT, the stub index, DATA, and once written one INDX per stream.
        const std::uint32_t numHeaders =
            static_cast<std::uint32_t>(4 + streams_.size() * (indexOffset_ ? 2 : 1));
        Bytes out = rm::fileHeaderChunk(numHeaders);
        auto add = [&out](const Bytes& b) { out.insert(out.end(), b.begin(), b.end()); };
        add(rm::propChunk(prop));
        for (const Bytes& m : mdprs) add(m);
        add(cont);
        std::vector<rm::IndexEntry> headerIndex = headerIndex_;
        rm::IndexEntry end =
            headerIndex.empty()
                ? rm::IndexEntry{0, static_cast<std::uint32_t>(dataOffset_ + rm::kDataHeaderSize),
                                 0}
                : headerIndex.back();
        if (!headerIndex.empty()) end.timestampMs = duration;
        headerIndex.resize(kHeaderIndexEntries + 1, end);
        add(rm::indexChunk(seekStream_, headerIndex, indexOffset_));
        // The index, once written, follows the data and is not part of it.
        const std::uint64_t dataEnd = indexOffset_ ? indexOffset_ : file_.size();
        const std::uint64_t dataBytes = dataEnd > headerSize_ ? dataEnd - headerSize_ : 0;
        add(rm::dataChunkHeader(static_cast<std::uint32_t>(rm::kDataHeaderSize + dataBytes),
                                packets));
        return out;
    }

    // Makes the file on disk describe exactly the packets written so far.
    Status checkpoint() {
        if (Status s = file_.flush(); !s) return s;
        const Bytes header = buildHeader();
        if (header.size() != headerSize_) return Status::fail(text::kWriteFailed);
        if (Status s = file_.writeAt(0, header); !s) return s;
        lastCheckpointMs_ = mediaEndMs();
        lastCheckpointBytes_ = file_.size();
        return Status::ok();
    }

    Status flushPendingAudio() {
        for (std::size_t i = 0; i < streams_.size(); ++i) {
            if (streams_[i].kind == Kind::Audio144) {
                if (Status s = flush144(static_cast<std::uint16_t>(i), streams_[i]); !s) return s;
            }
        }
        return Status::ok();
    }

    Status completeFile() {
        if (Status s = flushPendingAudio(); !s) return s;
        // A consistent file first, in case writing the index is cut short.
        if (Status s = checkpoint(); !s) return s;

        const std::uint64_t indexStart = file_.size();
        std::uint64_t at = indexStart;
        std::vector<Bytes> chunks;
        for (std::size_t i = 0; i < streams_.size(); ++i) {
            const std::uint64_t size =
                rm::kIndexHeaderSize + rm::kIndexEntrySize * streams_[i].index.size();
            const std::uint64_t next = i + 1 < streams_.size() ? at + size : 0;
            if (next > kMaxFileSize || at + size > kMaxFileSize)
                return Status::fail(text::kFileTooLarge);
            chunks.push_back(rm::indexChunk(static_cast<std::uint16_t>(i), streams_[i].index,
                                            static_cast<std::uint32_t>(next)));
            at += size;
        }
        for (const Bytes& c : chunks) {
            if (Status s = file_.append(c); !s) return s;
        }
        if (Status s = file_.flush(); !s) return s;
        // Only now point at the index: a file cut inside it stays one without.
        indexOffset_ = static_cast<std::uint32_t>(indexStart);
        const Bytes header = buildHeader();
        if (header.size() != headerSize_) return Status::fail(text::kWriteFailed);
        return file_.writeAt(0, header);
    }

    RealMediaWriterOptions options_;
    std::vector<Stream> streams_;
    rm::ContentDescription content_;
    rm::OutputFile file_;
    rm::RateMeter fileRate_;
    std::uint32_t dataOffset_ = 0;
    std::uint32_t indexOffset_ = 0;
    std::uint16_t seekStream_ = 0;  // the stream whose index the header carries
    std::vector<rm::IndexEntry> headerIndex_;
    std::size_t headerIndexEvery_ = 1;
    std::size_t seekStreamEntries_ = 0;
    std::size_t headerSize_ = 0;
    std::uint32_t prerollMs_ = 0;  // as stated by the last header built
    std::int64_t originMs_ = 0;    // media time of the file's zero
    bool originSet_ = false;
    std::uint32_t lastCheckpointMs_ = 0;
    std::uint64_t lastCheckpointBytes_ = 0;
    bool begun_ = false;
    bool finished_ = false;
    bool failed_ = false;
    std::string failure_;
};

}  // namespace

std::unique_ptr<MediaWriter> makeRealMediaWriter() {
    return makeRealMediaWriter(RealMediaWriterOptions{});
}

std::unique_ptr<MediaWriter> makeRealMediaWriter(const RealMediaWriterOptions& options) {
    return std::make_unique<RealMediaWriter>(options);
}

}  // namespace velmora::encoder
