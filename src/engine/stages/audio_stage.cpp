#include "engine/stages/audio_stage.h"

#include "engine/source/media_source.h"
#include "engine/stages/decoded_frames.h"
#include "texts/encoder_texts.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/samplefmt.h>
}

namespace velmora::encoder {

Status openAudioEncoder(const AudioPlan& plan, CodecContextPtr& encoder) {
    const AVCodec* codec =
        avcodec_find_encoder(plan.codec == AudioCodec::Ac3 ? AV_CODEC_ID_AC3 : AV_CODEC_ID_RA_144);
    if (!codec) return Status::fail(ErrorKind::Internal, text::kEncodeFailed);
    CodecContextPtr ctx(avcodec_alloc_context3(codec));
    if (!ctx) return Status::fail(ErrorKind::OutOfMemory, text::kOutOfMemory);
    ctx->sample_rate = plan.sampleRate;
    av_channel_layout_default(&ctx->ch_layout, plan.channels);
    ctx->sample_fmt = codec->sample_fmts ? codec->sample_fmts[0] : AV_SAMPLE_FMT_S16;
    ctx->bit_rate = plan.bitRate;
    ctx->time_base = {1, plan.sampleRate};
    const int ret = avcodec_open2(ctx.get(), codec, nullptr);
    if (ret < 0) return ffmpegFailure(text::kEncodeFailed, ret, ErrorKind::Internal);
    encoder = std::move(ctx);
    return Status::ok();
}

Status AudioConverter::open(const AVStream& stream, std::span<const AVCodecContext* const> encoders,
                            std::int64_t originUs) {
    if (encoders.empty()) return Status::fail(ErrorKind::Internal, text::kEncodeFailed);
    decoded_ = makeFrame();
    if (!decoded_) return Status::fail(ErrorKind::OutOfMemory, text::kOutOfMemory);
    if (Status s = openDecoder(stream, 1, decoder_); !s) return s;

    streamTimeBase_ = stream.time_base;
    originSeconds_ = originUs / 1e6;
    outputs_.clear();
    for (const AVCodecContext* encoder : encoders) {
        auto out = std::make_unique<Output>();
        out->outFormat = encoder->sample_fmt;
        out->outRate = encoder->sample_rate;
        if (av_channel_layout_copy(&out->outLayout, &encoder->ch_layout) < 0)
            return Status::fail(ErrorKind::OutOfMemory, text::kOutOfMemory);
        out->frameSize = encoder->frame_size > 0 ? encoder->frame_size : 1024;
        out->fifo.reset(
            av_audio_fifo_alloc(out->outFormat, out->outLayout.nb_channels, out->frameSize * 4));
        if (!out->fifo) return Status::fail(ErrorKind::OutOfMemory, text::kOutOfMemory);
        outputs_.push_back(std::move(out));
    }
    return Status::ok();
}

Status AudioConverter::sendPacket(const AVPacket& packet, std::span<const FrameSink> sinks) {
    const int ret = avcodec_send_packet(decoder_.get(), &packet);
    if (ret == AVERROR(ENOMEM)) return Status::fail(ErrorKind::OutOfMemory, text::kOutOfMemory);
    if (ret < 0 && ret != AVERROR(EAGAIN)) {
        // As the ffmpeg CLI does: skip it, whatever the decoder's reason.
        // A packet says how long it is; a damaged one may say nonsense.
        constexpr double kLongestPacket = 1.0;
        const double seconds =
            packet.duration > 0
                ? std::min(packet.duration * av_q2d(streamTimeBase_), kLongestPacket)
                : lastFrameSeconds_;
        damagedSeconds_ += seconds;
        // Before the first decoded frame the start's own silence covers it.
        if (started_) {
            for (std::size_t i = 0; i < outputs_.size(); ++i) {
                Output& out = *outputs_[i];
                const int samples = static_cast<int>(seconds * out.outRate);
                if (Status s = out.addSilence(samples, sinks[i], failedEmit_); !s) return s;
            }
        }
    }
    return receiveFrames(sinks);
}

// In frames of the encoder's size, passed on as they fill: a minute of
// silence need not sit in memory at once.
Status AudioConverter::Output::addSilence(int samples, const FrameSink& sink, bool& failedEmit) {
    if (samples <= 0) return Status::ok();
    FramePtr quiet = makeFrame();
    if (!quiet) return Status::fail(ErrorKind::OutOfMemory, text::kOutOfMemory);
    quiet->format = outFormat;
    quiet->nb_samples = frameSize;
    if (av_channel_layout_copy(&quiet->ch_layout, &outLayout) < 0 ||
        av_frame_get_buffer(quiet.get(), 0) < 0)
        return Status::fail(ErrorKind::OutOfMemory, text::kOutOfMemory);
    av_samples_set_silence(quiet->extended_data, 0, frameSize, outLayout.nb_channels, outFormat);
    while (samples > 0 && !failedEmit) {
        const int count = std::min(samples, frameSize);
        if (av_audio_fifo_write(fifo.get(), reinterpret_cast<void**>(quiet->extended_data), count) <
            count)
            return Status::fail(ErrorKind::OutOfMemory, text::kOutOfMemory);
        samples -= count;
        if (Status s = emitFrames(frameSize, sink, failedEmit); !s) return s;
    }
    return Status::ok();
}

Status AudioConverter::drain(std::span<const FrameSink> sinks) {
    const int ret = avcodec_send_packet(decoder_.get(), nullptr);
    if (ret < 0 && ret != AVERROR_EOF)
        return ffmpegFailure(text::kDecodeFailed, ret, ErrorKind::SourceUnreadable);
    if (Status s = receiveFrames(sinks); !s) return s;
    for (std::size_t i = 0; i < outputs_.size(); ++i) {
        Output& out = *outputs_[i];
        if (!out.resampler) continue;
        // What the resampler still holds.
        if (Status s = out.accept(nullptr, 0, started_, sinks[i], failedEmit_); !s) return s;
    }
    return finish(sinks);
}

Status AudioConverter::finish(std::span<const FrameSink> sinks) {
    for (std::size_t i = 0; i < outputs_.size(); ++i)
        if (Status s = outputs_[i]->emitFrames(1, sinks[i], failedEmit_); !s) return s;
    return Status::ok();
}

Status AudioConverter::receiveFrames(std::span<const FrameSink> sinks) {
    return receiveDecoded(
        *decoder_, *decoded_, failedEmit_, lastFrameSeconds_, damagedSeconds_, framesDecoded_,
        [&](AVFrame& decoded) {
            if (decoded.sample_rate > 0)
                lastFrameSeconds_ = static_cast<double>(decoded.nb_samples) / decoded.sample_rate;
            const double at =
                decoded.best_effort_timestamp != AV_NOPTS_VALUE
                    ? decoded.best_effort_timestamp * av_q2d(streamTimeBase_) - originSeconds_
                    : -1;
            Status s = Status::ok();
            for (std::size_t i = 0; s && i < outputs_.size(); ++i)
                s = outputs_[i]->accept(&decoded, at, started_, sinks[i], failedEmit_);
            started_ = true;
            return s;
        });
}

Status AudioConverter::Output::ensureResampler(const AVFrame& decoded) {
    AVChannelLayout layout{};
    if (decoded.ch_layout.order == AV_CHANNEL_ORDER_UNSPEC)
        av_channel_layout_default(&layout, decoded.ch_layout.nb_channels);
    else if (av_channel_layout_copy(&layout, &decoded.ch_layout) < 0)
        return Status::fail(ErrorKind::OutOfMemory, text::kOutOfMemory);
    const bool same = resampler && inFormat == decoded.format && inRate == decoded.sample_rate &&
                      av_channel_layout_compare(&inLayout, &layout) == 0;
    if (same) {
        av_channel_layout_uninit(&layout);
        return Status::ok();
    }
    SwrContext* raw = nullptr;
    int ret = swr_alloc_set_opts2(&raw, &outLayout, outFormat, outRate, &layout,
                                  static_cast<AVSampleFormat>(decoded.format), decoded.sample_rate,
                                  0, nullptr);
    SwrPtr swr(raw);
    av_channel_layout_uninit(&inLayout);
    inLayout = layout;  // takes ownership
    if (ret < 0 || (ret = swr_init(swr.get())) < 0)
        return ffmpegFailure(text::kDecodeFailed, ret, ErrorKind::SourceUnreadable);
    // A format change mid-stream loses the few samples the old resampler held.
    resampler = std::move(swr);
    inFormat = decoded.format;
    inRate = decoded.sample_rate;
    return Status::ok();
}

// `decoded` null: what the resampler still holds. `at`: the decoded frame's
// time in seconds from the start, when it has a timestamp.
Status AudioConverter::Output::accept(const AVFrame* decoded, double at, bool started,
                                      const FrameSink& sink, bool& failedEmit) {
    if (decoded) {
        if (Status s = ensureResampler(*decoded); !s) return s;
        // Sound that starts after the picture, or pauses while the picture
        // goes on, is made up with silence, so the two stay in step.
        if (decoded->best_effort_timestamp != AV_NOPTS_VALUE) {
            const std::int64_t queued = samplesOut + av_audio_fifo_size(fifo.get()) +
                                        swr_get_delay(resampler.get(), outRate);
            const double missing = at - static_cast<double>(queued) / outRate;
            // Timestamps of a few containers wobble by some milliseconds, and
            // a pause shorter than this is not worth a click; a minute or
            // more is a broken clock, not a pause.
            const double shortest = started ? 0.1 : 0.01;
            constexpr double kLongest = 60;
            if (missing > shortest && missing < kLongest) {
                const int samples = static_cast<int>(missing * outRate);
                if (Status s = addSilence(samples, sink, failedEmit); !s) return s;
            }
        }
    }
    const int inSamples = decoded ? decoded->nb_samples : 0;
    const int capacity = swr_get_out_samples(resampler.get(), inSamples);
    if (capacity < 0)
        return ffmpegFailure(text::kDecodeFailed, capacity, ErrorKind::SourceUnreadable);
    if (capacity == 0) return emitFrames(frameSize, sink, failedEmit);
    FramePtr converted = outputFrame(capacity);
    if (!converted) return Status::fail(ErrorKind::OutOfMemory, text::kOutOfMemory);
    const int got = swr_convert(
        resampler.get(), converted->extended_data, capacity,
        decoded ? const_cast<const uint8_t**>(decoded->extended_data) : nullptr, inSamples);
    if (got < 0) return ffmpegFailure(text::kDecodeFailed, got, ErrorKind::SourceUnreadable);
    if (got > 0 && av_audio_fifo_write(
                       fifo.get(), reinterpret_cast<void**>(converted->extended_data), got) < got)
        return Status::fail(ErrorKind::OutOfMemory, text::kOutOfMemory);
    return emitFrames(frameSize, sink, failedEmit);
}

FramePtr AudioConverter::Output::outputFrame(int samples) const {
    FramePtr frame = makeFrame();
    if (!frame) return nullptr;
    frame->format = outFormat;
    frame->nb_samples = samples;
    frame->sample_rate = outRate;
    if (av_channel_layout_copy(&frame->ch_layout, &outLayout) < 0 ||
        av_frame_get_buffer(frame.get(), 0) < 0)
        return nullptr;
    return frame;
}

Status AudioConverter::Output::emitFrames(int minimum, const FrameSink& sink, bool& failedEmit) {
    while (!failedEmit && av_audio_fifo_size(fifo.get()) >= minimum &&
           av_audio_fifo_size(fifo.get()) > 0) {
        const int count = std::min(frameSize, av_audio_fifo_size(fifo.get()));
        FramePtr frame = outputFrame(count);
        if (!frame) return Status::fail(ErrorKind::OutOfMemory, text::kOutOfMemory);
        if (av_audio_fifo_read(fifo.get(), reinterpret_cast<void**>(frame->data), count) < count)
            return Status::fail(ErrorKind::SourceUnreadable, text::kDecodeFailed);
        frame->pts = samplesOut;
        samplesOut += count;
        if (!sink(std::move(frame))) failedEmit = true;
    }
    return Status::ok();
}

}  // namespace velmora::encoder
