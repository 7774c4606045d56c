#include "engine/source_look.h"

#include <algorithm>

#include "engine/key_frames.h"
#include "engine/video_stage.h"

namespace velmora::encoder {

namespace {

// The pictures are coded at this size (the middle of the audiences' table):
// bits per pixel fall as pictures grow, so a smaller one would overstate
// what the large sizes cost.
constexpr int kLookWidth = 320, kLookHeight = 240;
// A place gives up after this many packets without two pictures.
constexpr int kMaxPacketsPerPlace = 60;
// Shorter sources are not worth a look: their plan is the table's.
constexpr std::int64_t kShortestLookMs = 4000;
// Frames after a key frame that cost more than this (bits per pixel at the
// finest quantiser) are a moving or grainy picture.
constexpr double kBusyBitsPerPixel = 0.5;
// The finest quantiser the audiences use.
constexpr int kLookQuantiser = 2;

class Look {
  public:
    Look(MediaSource& source, const SourceInterrupt* interrupt)
        : source_(source), interrupt_(interrupt) {}

    bool open(const std::string& path) {
        AVFormatContext* raw = avformat_alloc_context();
        if (!raw) return false;
        raw->interrupt_callback = interruptCallback(interrupt_);
        if (avformat_open_input(&raw, ("file:" + path).c_str(), nullptr, nullptr) < 0) return false;
        format_.reset(raw);
        // The same file through the same demuxer numbers its streams alike;
        // where it does not (streams found only by probing), no look.
        const AVStream* main = source_.format->streams[source_.videoIndex];
        if (source_.videoIndex >= static_cast<int>(format_->nb_streams)) return false;
        stream_ = format_->streams[source_.videoIndex];
        if (stream_->codecpar->codec_id != main->codecpar->codec_id) return false;
        if (!openDecoder(*main, 1, decoder_)) return false;
        decoder_->pkt_timebase = stream_->time_base;
        // Blocking filter off: a third of the decoding, and the look needs
        // only what the pictures cost, not their finish.
        decoder_->skip_loop_filter = AVDISCARD_ALL;

        fitFrame(source_.shape, kLookWidth, kLookHeight, width_, height_);
        VideoPlan plan;
        plan.width = width_;
        plan.height = height_;
        plan.fps = 25;
        plan.qmin = kLookQuantiser;
        return openFixedEncoder(plan);
    }

    // Codes a key frame and the frame after it at one place in the file.
    bool place(std::int64_t atUs) {
        const std::int64_t ts = av_rescale_q(atUs, AV_TIME_BASE_Q, stream_->time_base);
        if (av_seek_frame(format_.get(), stream_->index, ts, AVSEEK_FLAG_BACKWARD) < 0)
            return false;
        avcodec_flush_buffers(decoder_.get());
        FramePtr pictures[2];
        int got = 0;
        PacketPtr packet = makePacket();
        FramePtr decoded = makeFrame();
        if (!packet || !decoded) return false;
        // The key frame and the picture coded after it, then the decoder
        // drains: no waiting for the frames shown between (B-frames), which
        // would double the decoding. That picture may lie a few frames
        // later, which overstates motion a little, never understates it.
        for (int sent = 0, packets = 0; sent < 2 && packets < kMaxPacketsPerPlace; ++packets) {
            if (av_read_frame(format_.get(), packet.get()) < 0) break;
            if (packet->stream_index == stream_->index &&
                (sent > 0 || (packet->flags & AV_PKT_FLAG_KEY)) &&
                avcodec_send_packet(decoder_.get(), packet.get()) >= 0)
                ++sent;
            av_packet_unref(packet.get());
        }
        avcodec_send_packet(decoder_.get(), nullptr);
        while (got < 2 && avcodec_receive_frame(decoder_.get(), decoded.get()) >= 0) {
            if (!scaler_.scale(*decoded, width_, height_, pictures[got])) return false;
            av_frame_unref(decoded.get());
            ++got;
        }
        if (got < 2) return false;
        cuts_ += cutFinder_.choose(*pictures[0]) && places_ > 0;
        const int keyBits = code(*pictures[0], true);
        const int nextBits = code(*pictures[1], false);
        if (keyBits < 0 || nextBits < 0) return false;
        keyBits_ += keyBits;
        nextBits_ += nextBits;
        ++places_;
        return true;
    }

    // One place of motion or grain settles it: at the finest quantiser such
    // a picture fills any line at the table's size, and the rest of the look
    // would only cost its decoding.
    bool settled() const {
        return places_ >= 1 &&
               nextBits_ / (static_cast<double>(width_) * height_ * places_) > kBusyBitsPerPixel;
    }

    void finish(double seconds) {
        if (places_ < 1) return;
        const double pixels = static_cast<double>(width_) * height_ * places_;
        SourceShape& shape = source_.shape;
        shape.keyBitsPerPixel = keyBits_ / pixels;
        shape.nextBitsPerPixel = nextBits_ / pixels;
        // A cut between two places means at least one; cuts closer than the
        // places are not seen, so never fewer than one key frame in 10 s.
        shape.keysPerSecond = std::max(0.1, (cuts_ + 1) / seconds);
    }

  private:
    bool openFixedEncoder(const VideoPlan& plan) {
        const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_RV20);
        if (!codec) return false;
        encoder_.reset(avcodec_alloc_context3(codec));
        if (!encoder_) return false;
        encoder_->width = plan.width;
        encoder_->height = plan.height;
        encoder_->pix_fmt = AV_PIX_FMT_YUV420P;
        encoder_->time_base = {1, plan.fps};
        encoder_->framerate = {plan.fps, 1};
        encoder_->gop_size = 600;
        encoder_->max_b_frames = 0;
        encoder_->flags |= AV_CODEC_FLAG_QSCALE;
        encoder_->global_quality = FF_QP2LAMBDA * kLookQuantiser;
        // Without trellis quantisation: twice as fast, and its few per cent
        // more bits only make the look cautious.
        return avcodec_open2(encoder_.get(), codec, nullptr) >= 0;
    }

    // Bits of one coded picture; -1 on failure.
    int code(AVFrame& picture, bool key) {
        picture.pts = pts_++;
        picture.pict_type = key ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
        picture.quality = encoder_->global_quality;
        if (avcodec_send_frame(encoder_.get(), &picture) < 0) return -1;
        PacketPtr packet = makePacket();
        if (!packet || avcodec_receive_packet(encoder_.get(), packet.get()) < 0) return -1;
        return packet->size * 8;
    }

    MediaSource& source_;
    const SourceInterrupt* interrupt_;
    InputContextPtr format_;
    AVStream* stream_ = nullptr;
    CodecContextPtr decoder_, encoder_;
    VideoScaler scaler_;
    KeyFrameChooser cutFinder_{1 << 30};
    int width_ = 0, height_ = 0;
    std::int64_t pts_ = 0;
    double keyBits_ = 0, nextBits_ = 0;
    int places_ = 0, cuts_ = 0;
};

}  // namespace

void lookAtSource(const std::string& path, MediaSource& source, const SourceInterrupt* interrupt) {
    // Timestamps at a replaced rate would send the seeks astray.
    if (source.videoIndex < 0 || !source.format || source.declaredFps > 0 ||
        source.durationMs < kShortestLookMs)
        return;
    Look look(source, interrupt);
    if (!look.open(path)) return;
    for (int i = 0; i < kLookPlaces; ++i) {
        if (interrupt && (*interrupt)()) return;
        const std::int64_t at =
            source.startUs + source.durationMs * 1000 * (2 * i + 1) / (2 * kLookPlaces);
        look.place(at);
        if (look.settled()) break;
    }
    look.finish(source.durationMs / 1000.0);
}

}  // namespace velmora::encoder
