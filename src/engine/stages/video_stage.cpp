#include "engine/stages/video_stage.h"

#include <algorithm>
#include <cmath>

#include "engine/source/media_source.h"
#include "texts/encoder_texts.h"

extern "C" {
#include <libavutil/dict.h>
#include <libavutil/imgutils.h>
}

namespace velmora::encoder {

namespace {

// The encoder's options that buy quality per bit, all from the plan. The
// rates stay at the plan's for what FFmpeg checks of them when it opens.
void setEncoderOptions(const VideoPlan& plan, EncoderUse use, AVCodecContext& ctx,
                       AVDictionary*& options) {
    ctx.bit_rate = plan.bitRate;
    // The engine puts key frames at cuts and where the picture moves; the
    // encoder's own interval only backs that up, so a still picture goes
    // without.
    ctx.gop_size = std::min(kMaxGopSize, plan.gop * 3);
    ctx.max_b_frames = 0;
    ctx.qmin = plan.qmin;
    ctx.qmax = plan.qmax;
    // Each frame brings its quantiser; FFmpeg's buffer check would otherwise
    // recode a frame at a coarser one behind the look-ahead's back.
    ctx.flags |= AV_CODEC_FLAG_QSCALE;
    ctx.global_quality = FF_QP2LAMBDA * plan.qmin;
    if (use == EncoderUse::FirstPass) ctx.flags |= AV_CODEC_FLAG_PASS1;
    for (const auto& [name, value] : videoEncoderOptions(plan)) {
        // Four to six times the cost for bits a few percent fewer on every
        // frame alike: the look-ahead learns that share from the frames coded.
        if (use == EncoderUse::FirstPass &&
            (name == "trellis" || name == "mpv_flags" || name == "last_pred" || name == "dia_size"))
            continue;
        av_dict_set(&options, name.c_str(), value.c_str(), 0);
    }
}

}  // namespace

Status openVideoEncoder(const VideoPlan& plan, CodecContextPtr& encoder, EncoderUse use) {
    const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_RV20);
    if (!codec)
        return Status::fail(ErrorKind::Internal, text::withReason(text::kEncodeFailed, "rv20"));
    CodecContextPtr ctx(avcodec_alloc_context3(codec));
    if (!ctx) return Status::fail(ErrorKind::OutOfMemory, text::kOutOfMemory);
    ctx->width = plan.width;
    ctx->height = plan.height;
    ctx->pix_fmt = AV_PIX_FMT_YUV420P;
    ctx->time_base = {1, plan.fps};
    ctx->framerate = {plan.fps, 1};
    ctx->sample_aspect_ratio = {1, 1};
    ctx->thread_count = 1;  // rv20 has no threading
    AVDictionary* options = nullptr;
    setEncoderOptions(plan, use, *ctx, options);
    const int ret = avcodec_open2(ctx.get(), codec, &options);
    av_dict_free(&options);
    if (ret < 0) return ffmpegFailure(text::kEncodeFailed, ret, ErrorKind::Internal);
    encoder = std::move(ctx);
    return Status::ok();
}

Status codeTrialFrame(AVCodecContext& encoder, AVFrame& frame, bool key, int lambda,
                      PacketPtr& packet) {
    const AVPictureType type = frame.pict_type;
    const int quality = frame.quality;
    frame.pict_type = key ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
    frame.quality = lambda;
    int ret = avcodec_send_frame(&encoder, &frame);
    frame.pict_type = type;
    frame.quality = quality;
    if (ret < 0) return ffmpegFailure(text::kEncodeFailed, ret, ErrorKind::Internal);
    packet = makePacket();
    if (!packet) return Status::fail(ErrorKind::OutOfMemory, text::kOutOfMemory);
    ret = avcodec_receive_packet(&encoder, packet.get());
    if (ret < 0) return ffmpegFailure(text::kEncodeFailed, ret, ErrorKind::Internal);
    return Status::ok();
}

Status VideoConverter::open(const AVStream& stream, AVRational timeBase, std::vector<int> rates,
                            std::int64_t originUs, int decoderThreads,
                            const std::atomic<bool>* stop, const std::string& deinterlace) {
    if (rates.empty()) return Status::fail(ErrorKind::Internal, text::kEncodeFailed);
    decoded_ = makeFrame();
    if (!decoded_) return Status::fail(ErrorKind::OutOfMemory, text::kOutOfMemory);
    AVRational rate = stream.avg_frame_rate.num > 0 ? stream.avg_frame_rate : stream.r_frame_rate;
    const double fps = rate.num > 0 && rate.den > 0 ? av_q2d(rate) : 0;
    if (Status s = openDecoder(stream, decoderThreads, decoder_); !s) return s;
    stream_ = &stream;
    threads_ = decoderThreads;
    nextThreads_ = -1;
    next_.reset();
    heldBack_.clear();
    afterSwitch_ = false;

    deinterlacer_ = PictureFilter(deinterlace);
    outputs_.clear();
    for (int r : rates) outputs_.push_back({r, 0});
    stop_ = stop;
    streamTimeBase_ = timeBase.num > 0 && timeBase.den > 0 ? timeBase : stream.time_base;
    originSeconds_ = originUs / 1e6;
    defaultDuration_ = plausibleFps(fps) ? 1.0 / fps
                       : av_cmp_q(streamTimeBase_, stream.time_base) != 0
                           ? av_q2d(streamTimeBase_)  // frame counters at a replaced rate
                           : 1.0 / *std::max_element(rates.begin(), rates.end());
    return Status::ok();
}

bool VideoConverter::fillsASlot(const AVPacket& packet) const {
    if (packet.pts == AV_NOPTS_VALUE) return true;
    // A frame shows in the slots whose middle falls after its time and up to
    // the next frame's; a little slack keeps rounding on the safe side.
    constexpr double kSlack = 0.002;
    const double time = packet.pts * av_q2d(streamTimeBase_) - originSeconds_;
    const double duration =
        packet.duration > 0 ? packet.duration * av_q2d(streamTimeBase_) : defaultDuration_;
    for (const Output& out : outputs_) {
        if (out.nextSlot == 0) return true;
        const double firstMiddle = std::ceil((time - kSlack) * out.fps - 0.5);
        if ((firstMiddle + 0.5) / out.fps <= time + duration + kSlack) return true;
    }
    return false;
}

Status VideoConverter::sendPacket(const AVPacket& packet, std::span<const FrameSink> sinks) {
    // A frame no slot shows and no other frame refers to need not be decoded
    // at all: at low output rates that is a third of the decoding.
    const AVDiscard skip = fillsASlot(packet) ? AVDISCARD_DEFAULT : AVDISCARD_NONREF;
    decoder_->skip_frame = skip;
    if (switching() && !next_ && (packet.flags & AV_PKT_FLAG_KEY) && packet.pts != AV_NOPTS_VALUE) {
        if (Status s = startSwitch(packet); !s) return s;
    }
    if (next_) {
        // Both decoders take the packets until the old one shows the key
        // frame's picture: every picture before it has come out by then.
        next_->skip_frame = skip;
        if (Status s = send(*next_, &packet); !s) return s;
        if (Status s = receiveFrom(*next_, false, sinks); !s) return s;
        ++overlapPackets_;
    }
    if (Status s = send(*decoder_, &packet); !s) return s;
    if (Status s = receiveFrom(*decoder_, static_cast<bool>(next_), sinks); !s) return s;
    // A stream whose old decoder never shows the key frame (a damaged one)
    // changes over after a few seconds' packets all the same.
    constexpr int kLongestOverlap = 120;
    if (next_ && overlapPackets_ > kLongestOverlap) return endSwitch(sinks);
    return Status::ok();
}

Status VideoConverter::send(AVCodecContext& decoder, const AVPacket* packet) {
    const int ret = avcodec_send_packet(&decoder, packet);
    if (ret == AVERROR(ENOMEM)) return Status::fail(ErrorKind::OutOfMemory, text::kOutOfMemory);
    if (!packet) {
        if (ret < 0 && ret != AVERROR_EOF)
            return ffmpegFailure(text::kDecodeFailed, ret, ErrorKind::SourceUnreadable);
        return Status::ok();
    }
    // A damaged packet costs its own time, not the job: the ffmpeg CLI
    // decodes on as well, whatever the decoder's reason. (While the
    // decoders change over, the old one's count stands for both.)
    if (ret < 0 && ret != AVERROR(EAGAIN) && &decoder == decoder_.get()) {
        damagedSeconds_ += packet->duration > 0
                               ? std::min(packet->duration * av_q2d(streamTimeBase_), kLongestFrame)
                               : defaultDuration_;
    }
    return Status::ok();
}

bool VideoConverter::switchThreads(int threads) {
    if (switching() || !stream_ || threads == threads_) return false;
    nextThreads_ = threads;
    return true;
}

Status VideoConverter::startSwitch(const AVPacket& packet) {
    if (Status s = openDecoder(*stream_, nextThreads_, next_); !s) {
        // The job goes on with the decoder it has.
        next_.reset();
        nextThreads_ = -1;
        return Status::ok();
    }
    switchPts_ = packet.pts;
    overlapPackets_ = 0;
    heldBack_.clear();
    afterSwitch_ = true;
    return Status::ok();
}

// The new decoder takes over; its pictures held back go out.
Status VideoConverter::endSwitch(std::span<const FrameSink> sinks) {
    decoder_ = std::move(next_);
    threads_ = nextThreads_;
    nextThreads_ = -1;
    std::vector<FramePtr> held = std::move(heldBack_);
    heldBack_.clear();
    for (FramePtr& frame : held) {
        if (failedEmit_) break;
        ++framesDecoded_;
        if (Status s = deliver(*frame, sinks); !s) return s;
    }
    return Status::ok();
}

// During a change: the old decoder's pictures before the key frame go out,
// the new one's from it on wait for the old one to finish, and the new
// one's leading pictures (which may miss what they refer to) are dropped
// until it shows the key frame's. Past that nothing is dropped: a clock
// that steps back later loses no picture.
VideoConverter::Take VideoConverter::route(const AVFrame& frame, bool old) {
    const bool before = frame.pts != AV_NOPTS_VALUE && frame.pts < switchPts_;
    if (old) return before ? Take::Deliver : Take::Drop;
    if (afterSwitch_) {
        if (before) return Take::Drop;
        afterSwitch_ = false;
    }
    return next_ ? Take::Hold : Take::Deliver;
}

Status VideoConverter::drain(std::span<const FrameSink> sinks) {
    if (next_) {
        // The source ended during a change: the old decoder's last pictures, then the new one's.
        if (Status s = send(*decoder_, nullptr); !s) return s;
        if (Status s = receiveFrom(*decoder_, true, sinks); !s) return s;
        if (next_) {
            if (Status s = endSwitch(sinks); !s) return s;
        }
    }
    nextThreads_ = -1;
    if (Status s = send(*decoder_, nullptr); !s) return s;
    if (Status s = receiveFrames(sinks); !s) return s;
    if (!deinterlacer_.empty()) {
        // The deinterlacer holds a frame back to see the one after it.
        if (Status s = deinterlacer_.filter(nullptr, streamTimeBase_,
                                            [&](FramePtr f) { return accept(*f, sinks); });
            !s)
            return s;
    }
    // A photo or a one-frame clip is shown for a while, not for the
    // fraction of a second its one frame claims (less than a slot at the
    // slow lines' rates: an empty file).
    if (framesDecoded_ == 1 && held_) lastDuration_ = std::max(lastDuration_, kStillSeconds);
    return finish(sinks);
}

Status VideoConverter::finish(std::span<const FrameSink> sinks) {
    Status s =
        held_ ? emitUntil(lastTime_ + std::min(lastDuration_, kLongestFrame), sinks) : Status::ok();
    held_.reset();
    return s;
}

Status VideoConverter::receiveFrames(std::span<const FrameSink> sinks) {
    return receiveFrom(*decoder_, false, sinks);
}

// `old`: the decoder being replaced, while both take the packets. Not
// receiveDecoded: while the decoders change over, a picture may be held or
// end the old decoder's turn, and only the pictures delivered count.
Status VideoConverter::receiveFrom(AVCodecContext& decoder, bool old,
                                   std::span<const FrameSink> sinks) {
    while (!failedEmit_) {
        const int ret = avcodec_receive_frame(&decoder, decoded_.get());
        if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF) break;
        if (ret == AVERROR(ENOMEM)) return Status::fail(ErrorKind::OutOfMemory, text::kOutOfMemory);
        if (ret < 0) {
            damagedSeconds_ += defaultDuration_;
            continue;
        }
        const Take take = next_ || afterSwitch_ ? route(*decoded_, old) : Take::Deliver;
        Status s = Status::ok();
        if (take == Take::Deliver) {
            ++framesDecoded_;
            s = deliver(*decoded_, sinks);
        } else if (take == Take::Hold) {
            FramePtr kept = makeFrame();
            if (!kept || av_frame_ref(kept.get(), decoded_.get()) < 0)
                s = Status::fail(ErrorKind::OutOfMemory, text::kOutOfMemory);
            else
                heldBack_.push_back(std::move(kept));
        } else if (old && next_) {
            // The key frame's own picture, or one after it: the old
            // decoder has given every picture before the key frame.
            av_frame_unref(decoded_.get());
            return endSwitch(sinks);
        }
        av_frame_unref(decoded_.get());
        if (!s) return s;
    }
    return Status::ok();
}

Status VideoConverter::deliver(const AVFrame& decoded, std::span<const FrameSink> sinks) {
    if (deinterlacer_.empty()) return accept(decoded, sinks);
    return deinterlacer_.filter(&decoded, streamTimeBase_,
                                [&](FramePtr f) { return accept(*f, sinks); });
}

Status VideoConverter::accept(const AVFrame& decoded, std::span<const FrameSink> sinks) {
    double duration = decoded.pkt_duration > 0 ? decoded.pkt_duration * av_q2d(streamTimeBase_)
                                               : defaultDuration_;
    double time = decoded.best_effort_timestamp != AV_NOPTS_VALUE
                      ? decoded.best_effort_timestamp * av_q2d(streamTimeBase_) - originSeconds_
                      : lastTime_ + lastDuration_;
    if (held_ && time < lastTime_) {
        // Out of order: keep the clock moving forward. A step back longer
        // than a picture ever shows is no reordering but a broken clock, and
        // the broken time is the held frame's: a first frame stamped hours
        // ahead of the rest would otherwise fill every slot up to there.
        if (lastTime_ - time > kLongestFrame)
            lastTime_ = time;
        else
            time = lastTime_;
    }

    // Slots whose middle falls before this frame still show the previous one;
    // the very first frame also covers any slots before it.
    if (held_) {
        if (Status s = emitUntil(time, sinks); !s) return s;
    }
    // Scaling waits until a slot needs the frame: a low output rate uses
    // few of the source's frames, and the others cost only this reference.
    FramePtr ref = makeFrame();
    if (!ref || av_frame_ref(ref.get(), &decoded) < 0)
        return Status::fail(ErrorKind::OutOfMemory, text::kOutOfMemory);
    held_ = std::move(ref);
    lastTime_ = time;
    lastDuration_ = duration;
    return Status::ok();
}

Status VideoConverter::emitUntil(double seconds, std::span<const FrameSink> sinks) {
    // The stop flag is read per slot: one frame may fill many.
    // A frame that starts right at a slot's middle (30 to 15 frames a second:
    // every other one) leaves the slot to the frame before it, as FFmpeg's
    // fps filter does with exact times, within a rounding error of the
    // container's clock either way, so that an even motion stays even
    // [Frames on a constant rate].
    constexpr double kTieSeconds = 0.001;
    for (std::size_t i = 0; i < outputs_.size() && i < sinks.size(); ++i) {
        Output& output = outputs_[i];
        while (!failedEmit_ && !(stop_ && *stop_) &&
               (output.nextSlot + 0.5) / output.fps <= seconds + kTieSeconds) {
            // A reference per slot: the decoded picture is only read from here
            // on, and scaling happens on the encoder's thread, off the reader's path.
            FramePtr out = makeFrame();
            if (!out || av_frame_ref(out.get(), held_.get()) < 0)
                return Status::fail(ErrorKind::OutOfMemory, text::kOutOfMemory);
            out->pts = output.nextSlot++;
            out->pict_type = AV_PICTURE_TYPE_NONE;
            if (!sinks[i](std::move(out))) failedEmit_ = true;
        }
    }
    return Status::ok();
}

namespace {

FramePtr pictureOf(int width, int height) {
    FramePtr picture = makeFrame();
    if (!picture) return nullptr;
    picture->width = width;
    picture->height = height;
    picture->format = AV_PIX_FMT_YUV420P;
    if (av_frame_get_buffer(picture.get(), 0) < 0) return nullptr;
    return picture;
}

int swsMatrix(ColourMatrix matrix) {
    switch (matrix) {
        case ColourMatrix::Bt709:
            return SWS_CS_ITU709;
        case ColourMatrix::Fcc:
            return SWS_CS_FCC;
        case ColourMatrix::Smpte240:
            return SWS_CS_SMPTE240M;
        case ColourMatrix::Bt2020:
            return SWS_CS_BT2020;
        default:
            return SWS_CS_ITU601;
    }
}

// The source's matrix and range to BT.601 in limited range, as the scale
// filter's in_color_matrix, out_color_matrix, in_range and out_range do it.
void setColours(SwsContext& scaler, const PictureConversion& picture) {
    int *from = nullptr, *to = nullptr;
    int fromFull = 0, toFull = 0, brightness = 0, contrast = 0, saturation = 0;
    if (sws_getColorspaceDetails(&scaler, &from, &fromFull, &to, &toFull, &brightness, &contrast,
                                 &saturation) < 0)
        return;
    sws_setColorspaceDetails(&scaler,
                             picture.matrix == ColourMatrix::NotYuv
                                 ? from
                                 : sws_getCoefficients(swsMatrix(picture.matrix)),
                             picture.fullRange ? 1 : 0, sws_getCoefficients(SWS_CS_ITU601), 0,
                             brightness, contrast, saturation);
}

// `out`'s planes from `in`'s, turned upright. On the small, scaled picture:
// a few hundred thousand bytes moved, next to what coding it costs.
void turn(const AVFrame& in, const Orientation& o, AVFrame& out) {
    for (int plane = 0; plane < 3; ++plane) {
        const int shift = plane == 0 ? 0 : 1;
        const int inWidth = AV_CEIL_RSHIFT(in.width, shift);
        const int inHeight = AV_CEIL_RSHIFT(in.height, shift);
        const int outWidth = AV_CEIL_RSHIFT(out.width, shift);
        const int outHeight = AV_CEIL_RSHIFT(out.height, shift);
        for (int y = 0; y < outHeight; ++y) {
            std::uint8_t* row =
                out.data[plane] + static_cast<std::ptrdiff_t>(y) * out.linesize[plane];
            for (int x = 0; x < outWidth; ++x) {
                int u = o.transpose ? y : x;
                int v = o.transpose ? x : y;
                if (o.flipX) u = inWidth - 1 - u;
                if (o.flipY) v = inHeight - 1 - v;
                row[x] = in.data[plane][static_cast<std::ptrdiff_t>(v) * in.linesize[plane] + u];
            }
        }
    }
}

}  // namespace

Status VideoScaler::convert(const AVFrame& decoded, int width, int height, FramePtr& out) {
    if (picture_.throughLinearLight()) {
        if (light_.empty()) light_ = PictureFilter(colourFilters(picture_, width, height));
        out.reset();
        if (Status s = light_.filter(&decoded, {1, 1},
                                     [&](FramePtr f) {
                                         out = std::move(f);
                                         return Status::ok();
                                     });
            !s)
            return s;
        return out ? Status::ok() : Status::fail(ErrorKind::SourceUnreadable, text::kDecodeFailed);
    }
    const int from[3] = {decoded.width, decoded.height, decoded.format}, to[2] = {width, height};
    if (!scaler_ || !std::equal(from, from + 3, scalerFrom_) ||
        !std::equal(to, to + 2, scalerTo_)) {
        scaler_.reset(sws_getContext(decoded.width, decoded.height,
                                     static_cast<AVPixelFormat>(decoded.format), width, height,
                                     AV_PIX_FMT_YUV420P, SWS_BICUBIC, nullptr, nullptr, nullptr));
        if (!scaler_) return Status::fail(ErrorKind::SourceUnreadable, text::kDecodeFailed);
        std::copy(from, from + 3, scalerFrom_);
        std::copy(to, to + 2, scalerTo_);
        if (picture_.changesColours()) setColours(*scaler_, picture_);
    }
    out = pictureOf(width, height);
    if (!out) return Status::fail(ErrorKind::OutOfMemory, text::kOutOfMemory);
    const int ret = sws_scale(scaler_.get(), decoded.data, decoded.linesize, 0, decoded.height,
                              out->data, out->linesize);
    if (ret < 0) return ffmpegFailure(text::kDecodeFailed, ret, ErrorKind::SourceUnreadable);
    return Status::ok();
}

Status VideoScaler::scale(const AVFrame& decoded, int width, int height, FramePtr& out) {
    // Scaled as stored, then turned: the same picture as turning first, on
    // far fewer pixels.
    const bool upright = orientation_.upright();
    const int storedWidth = orientation_.transpose ? height : width;
    const int storedHeight = orientation_.transpose ? width : height;
    FramePtr scaled;
    if (Status s = convert(decoded, storedWidth, storedHeight, scaled); !s) return s;
    if (!upright) {
        FramePtr turned = pictureOf(width, height);
        if (!turned) return Status::fail(ErrorKind::OutOfMemory, text::kOutOfMemory);
        turn(*scaled, orientation_, *turned);
        scaled = std::move(turned);
    }
    scaled->pts = decoded.pts;
    scaled->pict_type = decoded.pict_type;
    out = std::move(scaled);
    return Status::ok();
}

}  // namespace velmora::encoder
