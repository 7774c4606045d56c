#include "engine/stages/source_look.h"

#include <algorithm>
#include <ctime>

#include "engine/source/picture_filter.h"
#include "engine/stages/key_frames.h"
#include "engine/stages/video_stage.h"

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
// finest quantiser) are a moving or grainy picture; a still one costs a
// tenth of it.
constexpr double kMovingBitsPerPixel = 0.2;
// The finest quantiser the audiences use, and the coarsest any uses.
constexpr int kFinestQuantiser = 2;
constexpr int kCoarsestQuantiser = 31;

class Look {
  public:
    Look(MediaSource& source, const SourceInterrupt* interrupt)
        : source_(source), interrupt_(interrupt) {}

    bool open(const std::string& path) {
        format_ = reopenSourceFile(path, interrupt_);
        if (!format_) return false;
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
        scaler_ = VideoScaler(source_.orientation);
        return finest_.open(width_, height_) && coarse_.open(width_, height_);
    }

    // Codes a key frame and the two frames after it at one place in the file.
    bool place(std::int64_t atUs) {
        const std::int64_t ts = av_rescale_q(atUs, AV_TIME_BASE_Q, stream_->time_base);
        if (av_seek_frame(format_.get(), stream_->index, ts, AVSEEK_FLAG_BACKWARD) < 0)
            return false;
        avcodec_flush_buffers(decoder_.get());
        FramePtr pictures[3];
        int got = 0;
        PacketPtr packet = makePacket();
        FramePtr decoded = makeFrame();
        if (!packet || !decoded) return false;
        // The key frame and the two pictures shown right after it, in the
        // order the decoder shows them: with B-frames the next one comes a
        // few packets after the next coded one, which lies several frames on.
        bool keySent = false, drained = false;
        for (int packets = 0; got < 3;) {
            const int ret = avcodec_receive_frame(decoder_.get(), decoded.get());
            if (ret >= 0) {
                if (!scaler_.scale(*decoded, width_, height_, pictures[got])) return false;
                combing_.add(*decoded, got == 0);
                if (got == 0) addPictureFacts(*decoded, source_.shape.colour);
                av_frame_unref(decoded.get());
                ++got;
                continue;
            }
            if (ret != AVERROR(EAGAIN) || drained || (interrupt_ && (*interrupt_)())) break;
            if (packets++ >= kMaxPacketsPerPlace ||
                av_read_frame(format_.get(), packet.get()) < 0) {
                avcodec_send_packet(decoder_.get(), nullptr);
                drained = true;
                continue;
            }
            // From the key frame on; a packet the decoder refuses is skipped.
            // On one thread a packet is decoded as it is sent: what the
            // pictures after the key frame cost is timed there.
            if (packet->stream_index == stream_->index &&
                (keySent || (packet->flags & AV_PKT_FLAG_KEY))) {
                const double before = threadSeconds();
                const bool sent = avcodec_send_packet(decoder_.get(), packet.get()) >= 0;
                if (sent && keySent) {
                    decodeSeconds_ += threadSeconds() - before;
                    ++decoded_;
                }
                keySent = keySent || sent;
            }
            av_packet_unref(packet.get());
        }
        if (got < 3) return false;
        cuts_ += cutFinder_.choose(*pictures[0]) && places_ > 0;
        const int keyBits = finest_.code(*pictures[0], true, kFinestQuantiser);
        const int nextBits = finest_.code(*pictures[1], false, kFinestQuantiser);
        // The same pictures at the coarsest quantiser: the least the rate
        // control can bring a moving picture down to. The second frame
        // after the key frame counts: the first still refines what the
        // coarse key frame left out (a still costs next to nothing after
        // that, as in a whole encode), and grain that quantiser drops from
        // the key frame is not there to be followed.
        int coarseBits = -1;
        if (coarse_.code(*pictures[0], true, kCoarsestQuantiser) >= 0 &&
            coarse_.code(*pictures[1], false, kCoarsestQuantiser) >= 0)
            coarseBits = coarse_.code(*pictures[2], false, kCoarsestQuantiser);
        if (keyBits < 0 || nextBits < 0 || coarseBits < 0) return false;
        keyBits_ += keyBits;
        nextBits_ += nextBits;
        coarseBits_ += coarseBits;
        ++places_;
        return true;
    }

    // One place of motion or grain settles it: at the finest quantiser such
    // a picture fills any line at the table's size, and the rest of the look
    // would only cost its decoding (a third of a second on a detailed
    // 640x480 source).
    bool settled() const {
        return places_ >= 1 &&
               nextBits_ / (static_cast<double>(width_) * height_ * places_) > kMovingBitsPerPixel;
    }

    void finish(double seconds) {
        source_.shape.fields.measured = combing_.counts();
        if (decoded_ > 0) source_.lookDecodeMs = decodeSeconds_ * 1000 / decoded_;
        if (places_ < 1) return;
        const double pixels = static_cast<double>(width_) * height_ * places_;
        SourceShape& shape = source_.shape;
        shape.keyBitsPerPixel = keyBits_ / pixels;
        shape.nextBitsPerPixel = nextBits_ / pixels;
        shape.coarseBitsPerPixel = coarseBits_ / pixels;
        // A cut between two places means at least one; cuts closer than the
        // places are not seen, so never fewer than one key frame in 10 s.
        shape.keysPerSecond = std::max(0.1, (cuts_ + 1) / seconds);
    }

  private:
    static double threadSeconds() {
        timespec t{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
        return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
    }

    // rv20 at a quantiser chosen per picture.
    class Coder {
      public:
        bool open(int width, int height) {
            const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_RV20);
            if (!codec) return false;
            encoder_.reset(avcodec_alloc_context3(codec));
            if (!encoder_) return false;
            encoder_->width = width;
            encoder_->height = height;
            encoder_->pix_fmt = AV_PIX_FMT_YUV420P;
            encoder_->time_base = {1, 25};
            encoder_->framerate = {25, 1};
            encoder_->gop_size = kMaxGopSize;
            encoder_->max_b_frames = 0;
            encoder_->flags |= AV_CODEC_FLAG_QSCALE;
            encoder_->global_quality = FF_QP2LAMBDA * kFinestQuantiser;
            // Without trellis quantisation: twice as fast, and its few per
            // cent more bits only make the look cautious.
            return avcodec_open2(encoder_.get(), codec, nullptr) >= 0;
        }

        // Bits of one coded picture; -1 on failure.
        int code(AVFrame& picture, bool key, int quantiser) {
            picture.pts = pts_++;
            picture.pict_type = key ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
            picture.quality = FF_QP2LAMBDA * quantiser;
            if (avcodec_send_frame(encoder_.get(), &picture) < 0) return -1;
            PacketPtr packet = makePacket();
            if (!packet || avcodec_receive_packet(encoder_.get(), packet.get()) < 0) return -1;
            return packet->size * 8;
        }

      private:
        CodecContextPtr encoder_;
        std::int64_t pts_ = 0;
    };

    MediaSource& source_;
    const SourceInterrupt* interrupt_;
    InputContextPtr format_;
    AVStream* stream_ = nullptr;
    CodecContextPtr decoder_;
    Coder finest_, coarse_;
    VideoScaler scaler_;
    KeyFrameChooser cutFinder_{1 << 30};
    CombingCount combing_;
    int width_ = 0, height_ = 0;
    double keyBits_ = 0, nextBits_ = 0, coarseBits_ = 0;
    int places_ = 0, cuts_ = 0;
    double decodeSeconds_ = 0;  // CPU time decoding the pictures after key frames
    int decoded_ = 0;           // those pictures
};

}  // namespace

void lookAtSource(const std::string& path, MediaSource& source, const SourceInterrupt* interrupt) {
    // A pipe's data is read once; timestamps at a replaced rate would send
    // the seeks astray.
    if (!source.regularFile || source.videoIndex < 0 || !source.format || source.declaredFps > 0 ||
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

void takeFirstLook(const std::string& path, MediaSource& source, const SourceInterrupt* interrupt) {
    lookAtSource(path, source, interrupt);
    leaveOutPictureless(path, source, interrupt);
}

}  // namespace velmora::encoder
