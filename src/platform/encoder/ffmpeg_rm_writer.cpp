// The MediaWriter over FFmpeg's "rm" muxer.
#include <string>
#include <vector>

#include "platform/encoder/ffmpeg_ptr.h"
#include "platform/encoder/media_writer.h"
#include "platform/encoder/messages.h"

extern "C" {
#include <libavutil/dict.h>
}

namespace velmora::encoder {

namespace {

struct OutputContextFree {
    void operator()(AVFormatContext* c) const {
        if (c->pb) avio_closep(&c->pb);
        avformat_free_context(c);
    }
};
using OutputContextPtr = std::unique_ptr<AVFormatContext, OutputContextFree>;

Status writeFailure(int ret) {
    return ffmpegFailure(text::kWriteFailed, ret);
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
        if (!st) return Status::fail(text::kOutOfMemory);
        const int ret = avcodec_parameters_copy(st->codecpar, &params);
        if (ret < 0) return writeFailure(ret);
        st->codecpar->codec_tag = 0;
        st->time_base = {timeBaseNum, timeBaseDen};
        packetTimeBases_.push_back(st->time_base);
        index = st->index;
        return Status::ok();
    }

    Status begin(const std::string& path, const MediaMetadata& metadata) override {
        if (!context_) return Status::fail(text::kEncodeFailed);
        int ret = avio_open(&context_->pb, ("file:" + path).c_str(), AVIO_FLAG_WRITE);
        if (ret < 0) return writeFailure(ret);
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
            return Status::fail(text::kEncodeFailed);
        PacketPtr copy = makePacket();
        if (!copy) return Status::fail(text::kOutOfMemory);
        int ret = av_packet_ref(copy.get(), &packet);
        if (ret < 0) return Status::fail(text::kOutOfMemory);
        copy->stream_index = index;
        av_packet_rescale_ts(copy.get(), packetTimeBases_[index],
                             context_->streams[index]->time_base);
        ret = av_interleaved_write_frame(context_.get(), copy.get());
        if (ret < 0) return writeFailure(ret);
        return Status::ok();
    }

    Status finish() override {
        if (!context_) return Status::ok();
        int ret = 0;
        if (headerWritten_) {
            headerWritten_ = false;
            ret = av_write_trailer(context_.get());
        }
        if (context_->pb) {
            bytes_ = avio_tell(context_->pb);
            avio_flush(context_->pb);
            if (ret >= 0 && context_->pb->error < 0) ret = context_->pb->error;
            const int closed = avio_closep(&context_->pb);
            if (ret >= 0 && closed < 0) ret = closed;
        }
        context_.reset();
        return ret < 0 ? writeFailure(ret) : Status::ok();
    }

    std::int64_t bytesWritten() const override {
        return context_ && context_->pb ? avio_tell(context_->pb) : bytes_;
    }

  private:
    OutputContextPtr context_;
    std::vector<AVRational> packetTimeBases_;
    bool headerWritten_ = false;
    std::int64_t bytes_ = 0;
};

}  // namespace

std::unique_ptr<MediaWriter> makeFfmpegRmWriter() {
    return std::make_unique<FfmpegRmWriter>();
}

}  // namespace velmora::encoder
