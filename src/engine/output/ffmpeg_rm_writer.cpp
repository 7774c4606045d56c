// The MediaWriter over FFmpeg's "rm" muxer.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "engine/core/ffmpeg_ptr.h"
#include "engine/core/media_writer.h"
#include "engine/core/real_audio_packets.h"
#include "engine/core/regular_file.h"
#include "texts/encoder_texts.h"

extern "C" {
#include <libavutil/dict.h>
}

namespace velmora::encoder {

namespace {

// The muxer writes through a descriptor we opened (openForWriting), never
// by the file's name: FFmpeg's file protocol would follow a link there.
constexpr int kWriteBufferBytes = 64 * 1024;

int writeToFile(void* opaque, std::uint8_t* data, int size) {
    const int fd = *static_cast<const int*>(opaque);
    for (int done = 0; done < size;) {
        const ssize_t n = ::write(fd, data + done, static_cast<std::size_t>(size - done));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return AVERROR(errno);
        done += static_cast<int>(n);
    }
    return size;
}

std::int64_t seekInFile(void* opaque, std::int64_t offset, int whence) {
    const int fd = *static_cast<const int*>(opaque);
    if (whence & AVSEEK_SIZE) {
        struct stat st {};
        return ::fstat(fd, &st) == 0 ? st.st_size : AVERROR(errno);
    }
    const off_t at = ::lseek(fd, offset, whence & ~AVSEEK_FORCE);
    return at < 0 ? AVERROR(errno) : at;
}

// Frees a context of ours and its buffer; what was buffered is flushed first.
void closeFileWriter(AVIOContext*& pb) {
    if (!pb) return;
    avio_flush(pb);
    av_freep(&pb->buffer);
    avio_context_free(&pb);
}

struct OutputContextFree {
    void operator()(AVFormatContext* c) const {
        closeFileWriter(c->pb);
        avformat_free_context(c);
    }
};
using OutputContextPtr = std::unique_ptr<AVFormatContext, OutputContextFree>;

// Joins consecutive small packets of one stream into one.
class PacketPacker {
  public:
    explicit PacketPacker(int count) : count_(count) {}

    // The packet to pass on, or null while collecting.
    Status add(const AVPacket& packet, PacketPtr& out) {
        if (!pending_) {
            pending_ = makePacket();
            if (!pending_ || av_packet_ref(pending_.get(), &packet) < 0 ||
                av_packet_make_writable(pending_.get()) < 0)
                return Status::fail(ErrorKind::OutOfMemory, text::kOutOfMemory);
            pending_->duration = std::max<std::int64_t>(pending_->duration, 0);
            collected_ = 1;
        } else {
            const int offset = pending_->size;
            if (av_grow_packet(pending_.get(), packet.size) < 0)
                return Status::fail(ErrorKind::OutOfMemory, text::kOutOfMemory);
            std::memcpy(pending_->data + offset, packet.data, packet.size);
            pending_->duration += std::max<std::int64_t>(packet.duration, 0);
            ++collected_;
        }
        if (collected_ == count_) out = std::move(pending_);
        return Status::ok();
    }

    PacketPtr rest() { return std::move(pending_); }

  private:
    int count_;
    int collected_ = 0;
    PacketPtr pending_;
};

Status writeFailure(int ret) {
    return ffmpegFailure(text::kWriteFailed, ret, ErrorKind::WriteFailed);
}

class FfmpegRmWriter final : public MediaWriter {
  public:
    Status addStream(const AVCodecParameters& params, int timeBaseNum, int timeBaseDen,
                     int& index) override {
        if (!context_) {
            AVFormatContext* raw = nullptr;
            const int ret = avformat_alloc_output_context2(&raw, nullptr, "rm", nullptr);
            if (ret < 0 || !raw) return writeFailure(ret);
            context_.reset(raw);
        }
        AVStream* st = avformat_new_stream(context_.get(), nullptr);
        if (!st) return Status::fail(ErrorKind::OutOfMemory, text::kOutOfMemory);
        const int ret = avcodec_parameters_copy(st->codecpar, &params);
        if (ret < 0) return writeFailure(ret);
        st->codecpar->codec_tag = 0;
        st->time_base = {timeBaseNum, timeBaseDen};
        packetTimeBases_.push_back(st->time_base);
        packers_.push_back(params.codec_id == AV_CODEC_ID_RA_144
                               ? std::make_unique<PacketPacker>(kReal144FramesPerPacket)
                               : nullptr);
        index = st->index;
        return Status::ok();
    }

    Status begin(const std::string& path, const MediaMetadata& metadata) override {
        if (!context_) return Status::fail(ErrorKind::Internal, text::kEncodeFailed);
        if (Status s = openForWriting(path, file_); !s) return s;
        auto* buffer = static_cast<std::uint8_t*>(av_malloc(kWriteBufferBytes));
        fd_ = file_.get();
        context_->pb = buffer ? avio_alloc_context(buffer, kWriteBufferBytes, 1, &fd_, nullptr,
                                                   writeToFile, seekInFile)
                              : nullptr;
        if (!context_->pb) {
            av_free(buffer);
            return Status::fail(ErrorKind::OutOfMemory, text::kOutOfMemory);
        }
        int ret = 0;
        const std::pair<const char*, const std::string*> tags[] = {
            {"title", &metadata.title},
            {"author", &metadata.author},
            {"copyright", &metadata.copyright},
            {"comment", &metadata.comment}};
        for (const auto& [key, value] : tags)
            if (!value->empty()) av_dict_set(&context_->metadata, key, value->c_str(), 0);
        ret = avformat_write_header(context_.get(), nullptr);
        if (ret < 0) return writeFailure(ret);
        headerWritten_ = true;
        return Status::ok();
    }

    Status writePacket(int index, const AVPacket& packet) override {
        if (!headerWritten_ || index < 0 || index >= static_cast<int>(packetTimeBases_.size()))
            return Status::fail(ErrorKind::Internal, text::kEncodeFailed);
        if (packet.size <= 0) return Status::ok();  // the muxer states no length to extend
        if (PacketPacker* packer = packers_[index].get()) {
            PacketPtr packed;
            if (Status s = packer->add(packet, packed); !s) return s;
            return packed ? write(index, *packed) : Status::ok();
        }
        return write(index, packet);
    }

    Status finish() override {
        if (!context_) return Status::ok();
        Status flushed = Status::ok();
        if (headerWritten_) {
            for (std::size_t i = 0; i < packers_.size(); ++i)
                if (PacketPtr rest = packers_[i] ? packers_[i]->rest() : nullptr; rest && flushed)
                    flushed = write(static_cast<int>(i), *rest);
        }
        Status closed = close();
        return flushed ? closed : flushed;
    }

    std::int64_t bytesWritten() const override {
        return context_ && context_->pb ? avio_tell(context_->pb) : bytes_;
    }

  private:
    Status write(int index, const AVPacket& packet) {
        PacketPtr copy = makePacket();
        if (!copy) return Status::fail(ErrorKind::OutOfMemory, text::kOutOfMemory);
        int ret = av_packet_ref(copy.get(), &packet);
        if (ret < 0) return Status::fail(ErrorKind::OutOfMemory, text::kOutOfMemory);
        copy->stream_index = index;
        av_packet_rescale_ts(copy.get(), packetTimeBases_[index],
                             context_->streams[index]->time_base);
        ret = av_interleaved_write_frame(context_.get(), copy.get());
        if (ret < 0) return writeFailure(ret);
        return Status::ok();
    }

    Status close() {
        int ret = 0;
        if (headerWritten_) {
            headerWritten_ = false;
            ret = av_write_trailer(context_.get());
        }
        if (context_->pb) {
            bytes_ = avio_tell(context_->pb);
            avio_flush(context_->pb);
            if (ret >= 0 && context_->pb->error < 0) ret = context_->pb->error;
            closeFileWriter(context_->pb);
        }
        context_.reset();
        const int fd = file_.release();
        if (fd >= 0 && ::close(fd) != 0 && ret >= 0) ret = AVERROR(errno);
        return ret < 0 ? writeFailure(ret) : Status::ok();
    }

    // The file outlives the context, which flushes into it as it goes.
    OwnedDescriptor file_;
    int fd_ = -1;  // what the context's callbacks write to
    OutputContextPtr context_;
    std::vector<AVRational> packetTimeBases_;
    std::vector<std::unique_ptr<PacketPacker>> packers_;
    bool headerWritten_ = false;
    std::int64_t bytes_ = 0;
};

}  // namespace

std::unique_ptr<MediaWriter> makeFfmpegRmWriter() {
    return std::make_unique<FfmpegRmWriter>();
}

}  // namespace velmora::encoder
