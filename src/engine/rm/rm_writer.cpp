#include "engine/rm/rm_writer.h"

#include <algorithm>
#include <limits>
#include <optional>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/mathematics.h>
}

#include "engine/rm/buffered_file.h"
#include "engine/rm/rate_meter.h"
#include "engine/rm/rm_format.h"
#include "engine/rm/rm_header.h"
#include "engine/rm/rm_index.h"
#include "engine/rm/written_stream.h"
#include "texts/encoder_texts.h"

namespace velmora::encoder {

namespace {

using rm::Bytes;

constexpr std::size_t kMaxStreams = 16;

using Kind = rm::StreamKind;
using Stream = rm::WrittenStream;

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
        if (begun_) return Status::fail(ErrorKind::Internal, text::kWrongOrder);
        if (streams_.size() >= kMaxStreams)
            return Status::fail(ErrorKind::Internal, text::kTooManyStreams);
        if (timeBaseNum <= 0 || timeBaseDen <= 0)
            return Status::fail(ErrorKind::Internal, text::kBadStreamSettings);

        Stream s;
        if (Status d = rm::describeStream(params, timeBaseNum, timeBaseDen, s); !d) return d;
        index = static_cast<int>(streams_.size());
        streams_.push_back(std::move(s));
        return Status::ok();
    }

    Status begin(const std::string& path, const MediaMetadata& metadata) override {
        if (begun_ || streams_.empty())
            return fail(Status::fail(ErrorKind::Internal, text::kWrongOrder));
        begun_ = true;
        // Seeks go to the picture's key frames when there is a picture.
        for (std::size_t i = 0; i < streams_.size(); ++i) {
            if (streams_[i].kind == Kind::Video) {
                seekStream_ = static_cast<std::uint16_t>(i);
                break;
            }
        }
        content_ = {metadata.title, metadata.author, metadata.copyright, metadata.comment};
        if (Status s = file_.open(path); !s) return fail(s);

        const Bytes header = buildHeader();
        dataOffset_ = static_cast<std::uint32_t>(header.size() - rm::kDataHeaderSize);
        // The data offset sits in the header itself; build it again with it known.
        const Bytes final = buildHeader();
        if (Status s = file_.append(final); !s) return fail(s);
        if (Status s = file_.flush(); !s) return fail(s);
        headerSize_ = final.size();
        return Status::ok();
    }

    Status writePacket(int index, const AVPacket& packet) override {
        if (failed_) return failure_;
        if (!begun_ || finished_) return fail(Status::fail(ErrorKind::Internal, text::kWrongOrder));
        if (index < 0 || static_cast<std::size_t>(index) >= streams_.size())
            return fail(Status::fail(ErrorKind::Internal, text::kUnknownStream));
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
        if (!written) return fail(written);

        if (mediaEndMs() >= lastCheckpointMs_ + options_.checkpointMs ||
            file_.size() >= lastCheckpointBytes_ + options_.checkpointBytes) {
            if (Status c = checkpoint(); !c) return fail(c);
        }
        return Status::ok();
    }

    Status finish() override {
        if (finished_) return failed_ ? failure_ : Status::ok();
        finished_ = true;
        if (failed_ || !begun_) {
            (void)file_.close();
            return failed_ ? failure_ : Status::fail(ErrorKind::Internal, text::kWrongOrder);
        }
        Status s = completeFile();
        Status closed = file_.close();
        if (!s) return fail(s);
        if (!closed) return fail(closed);
        return Status::ok();
    }

    std::int64_t bytesWritten() const override { return static_cast<std::int64_t>(file_.size()); }

    std::uint32_t prerollMs() const override { return prerollMs_; }

  private:
    Status fail(const Status& failure) {
        if (!failed_) {
            failed_ = true;
            failure_ = failure;
        }
        return failure_;
    }

    // A time in the file: milliseconds from the origin, never below zero.
    std::uint32_t mediaMs(const Stream& s, std::int64_t ts) const {
        const std::int64_t ms = toMs(ts, s.timeBaseNum, s.timeBaseDen) - originMs_;
        return static_cast<std::uint32_t>(
            std::clamp<std::int64_t>(ms, 0, std::numeric_limits<std::uint32_t>::max()));
    }

    std::uint32_t mediaEndMs() const { return rm::mediaEndMs(streams_); }

    std::uint32_t packetCount() const { return rm::packetCount(streams_); }

    // --- packets -----------------------------------------------------------

    Status emit(std::uint16_t number, Stream& s, std::uint32_t ms, std::uint32_t endMs, bool key,
                const Bytes& prefix, const std::uint8_t* payload, std::size_t size, bool indexIt) {
        const std::size_t total = rm::kPacketHeaderSize + prefix.size() + size;
        if (total > rm::kMaxPacketSize)
            return Status::fail(ErrorKind::Internal, text::kFrameTooLarge);
        if (file_.size() + total > rm::kMaxFileSize)
            return Status::fail(ErrorKind::FileTooLarge, text::kFileTooLarge);

        if (indexIt) {
            s.index.push_back({ms, static_cast<std::uint32_t>(file_.size()), packetCount()});
            if (number == seekStream_) headerIndex_.add(s.index.back());
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
        if (fragments.empty()) return Status::fail(ErrorKind::Internal, text::kFrameTooLarge);
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
            return Status::fail(ErrorKind::Internal, text::kBadAudioPacket);
        const int frames = packet.size / static_cast<int>(rm::k144FrameBytes);
        constexpr std::int64_t frameMs = rm::k144FrameSamples * 1000 / rm::k144SampleRate;
        // Times stop at the largest the file can hold, as mediaMs's do,
        // rather than wrap round to the start.
        const auto later = [](std::uint32_t at, std::int64_t by) {
            return static_cast<std::uint32_t>(
                std::min<std::int64_t>(at + by, std::numeric_limits<std::uint32_t>::max()));
        };
        for (int i = 0; i < frames; ++i) {
            const std::uint32_t startMs = later(ms, i * frameMs);
            if (s.pendingFrames == 0) s.pendingMs = startMs;
            const std::uint8_t* frame = packet.data + i * rm::k144FrameBytes;
            s.pending.insert(s.pending.end(), frame, frame + rm::k144FrameBytes);
            s.pendingEndMs = later(startMs, frameMs);
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
        const std::int64_t duration =
            packet.duration > 0 ? packet.duration
                                : av_rescale_q(rm::kAc3FrameSamples, AVRational{1, s.sampleRate},
                                               AVRational{s.timeBaseNum, s.timeBaseDen});
        const std::uint32_t endMs = std::max(ms, mediaMs(s, ts + duration));
        return emit(number, s, ms, endMs, true, {}, swapped.data(), swapped.size(),
                    wantsAudioIndex(s, ms));
    }

    bool wantsAudioIndex(const Stream& s, std::uint32_t ms) const {
        return s.index.empty() || ms >= s.index.back().timestampMs + options_.audioIndexIntervalMs;
    }

    // --- header and index --------------------------------------------------

    Bytes buildHeader() {
        rm::Header header = rm::buildHeader(streams_, fileRate_,
                                            {.content = content_,
                                             .seekIndex = headerIndex_,
                                             .seekStream = seekStream_,
                                             .dataOffset = dataOffset_,
                                             .indexOffset = indexOffset_,
                                             .headerSize = headerSize_,
                                             .writtenBytes = file_.size()});
        prerollMs_ = header.prerollMs;
        return std::move(header.bytes);
    }

    // Makes the file on disk describe exactly the packets written so far.
    Status checkpoint() {
        if (Status s = file_.flush(); !s) return s;
        const Bytes header = buildHeader();
        if (header.size() != headerSize_)
            return Status::fail(ErrorKind::Internal, text::kWriteFailed);
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
        const std::optional<std::vector<Bytes>> chunks = rm::indexChunks(streams_, indexStart);
        if (!chunks) return Status::fail(ErrorKind::FileTooLarge, text::kFileTooLarge);
        for (const Bytes& c : *chunks) {
            if (Status s = file_.append(c); !s) return s;
        }
        if (Status s = file_.flush(); !s) return s;
        // Only now point at the index: a file cut inside it stays one without.
        indexOffset_ = static_cast<std::uint32_t>(indexStart);
        const Bytes header = buildHeader();
        if (header.size() != headerSize_)
            return Status::fail(ErrorKind::Internal, text::kWriteFailed);
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
    rm::HeaderIndex headerIndex_;   // the seek stream's entries, thinned
    std::size_t headerSize_ = 0;
    std::uint32_t prerollMs_ = 0;  // as stated by the last header built
    std::int64_t originMs_ = 0;    // media time of the file's zero
    bool originSet_ = false;
    std::uint32_t lastCheckpointMs_ = 0;
    std::uint64_t lastCheckpointBytes_ = 0;
    bool begun_ = false;
    bool finished_ = false;
    bool failed_ = false;
    Status failure_ = Status::ok();
};

}  // namespace

std::unique_ptr<MediaWriter> makeRealMediaWriter() {
    return makeRealMediaWriter(RealMediaWriterOptions{});
}

std::unique_ptr<MediaWriter> makeRealMediaWriter(const RealMediaWriterOptions& options) {
    return std::make_unique<RealMediaWriter>(options);
}

}  // namespace velmora::encoder
