#include "clip.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/frame.h>
}

namespace velmora::encoder::rmtest {

namespace {

using ContextPtr = CodecContextPtr;

void check(int rc, const char* what) {
    if (rc < 0) throw std::runtime_error(std::string(what) + " failed: " + std::to_string(rc));
}

void drain(AVCodecContext* ctx, const AVFrame* frame, EncodedStream& out) {
    check(avcodec_send_frame(ctx, frame), "avcodec_send_frame");
    for (;;) {
        PacketPtr pkt(av_packet_alloc());
        const int rc = avcodec_receive_packet(ctx, pkt.get());
        if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) return;
        check(rc, "avcodec_receive_packet");
        out.packets.push_back(std::move(pkt));
    }
}

EncodedStream finishStream(AVCodecContext* ctx) {
    EncodedStream out;
    out.params.reset(avcodec_parameters_alloc());
    check(avcodec_parameters_from_context(out.params.get(), ctx),
          "avcodec_parameters_from_context");
    out.timeBaseNum = ctx->time_base.num;
    out.timeBaseDen = ctx->time_base.den;
    return out;
}

// A small deterministic generator, so clips are the same on every run.
std::uint32_t nextRandom(std::uint32_t& state) {
    state = state * 1664525u + 1013904223u;
    return state >> 24;
}

}  // namespace

EncodedStream encodeVideo(const VideoSettings& settings) {
    const AVCodec* codec = avcodec_find_encoder(settings.codec);
    if (!codec) throw std::runtime_error("no video encoder");
    ContextPtr ctx(avcodec_alloc_context3(codec));
    ctx->width = settings.width;
    ctx->height = settings.height;
    ctx->pix_fmt = AV_PIX_FMT_YUV420P;
    ctx->time_base = AVRational{1, settings.fps};
    ctx->framerate = AVRational{settings.fps, 1};
    ctx->gop_size = settings.gop;
    ctx->max_b_frames = 0;
    ctx->bit_rate = settings.bitRate;
    ctx->bit_rate_tolerance = static_cast<int>(settings.bitRate);
    ctx->qmin = settings.qmin;
    check(avcodec_open2(ctx.get(), codec, nullptr), "open video encoder");
    EncodedStream out = finishStream(ctx.get());

    FramePtr frame(av_frame_alloc());
    frame->format = AV_PIX_FMT_YUV420P;
    frame->width = settings.width;
    frame->height = settings.height;
    check(av_frame_get_buffer(frame.get(), 0), "av_frame_get_buffer");
    std::uint32_t seed = 12345;
    const int frames = static_cast<int>(std::lround(settings.seconds * settings.fps));
    for (int n = 0; n < frames; ++n) {
        check(av_frame_make_writable(frame.get()), "av_frame_make_writable");
        for (int y = 0; y < settings.height; ++y) {
            std::uint8_t* row = frame->data[0] + y * frame->linesize[0];
            for (int x = 0; x < settings.width; ++x) {
                const int noise = settings.noisy ? static_cast<int>(nextRandom(seed) % 48) - 24 : 0;
                row[x] = static_cast<std::uint8_t>(
                    std::clamp((x * 2 + y + n * 5) % 220 + 16 + noise, 0, 255));
            }
        }
        for (int p = 1; p <= 2; ++p) {
            for (int y = 0; y < settings.height / 2; ++y) {
                std::uint8_t* row = frame->data[p] + y * frame->linesize[p];
                for (int x = 0; x < settings.width / 2; ++x)
                    row[x] = static_cast<std::uint8_t>(128 + ((p == 1 ? x : y) + n * 3) % 64 - 32);
            }
        }
        frame->pts = n;
        drain(ctx.get(), frame.get(), out);
    }
    drain(ctx.get(), nullptr, out);
    return out;
}

namespace {

EncodedStream encodeTone(const AVCodec* codec, AVCodecContext* ctx, double seconds) {
    check(avcodec_open2(ctx, codec, nullptr), "open audio encoder");
    EncodedStream out = finishStream(ctx);
    FramePtr frame(av_frame_alloc());
    const std::int64_t total = static_cast<std::int64_t>(seconds * ctx->sample_rate);
    std::int64_t done = 0;
    while (done < total) {
        frame->nb_samples = ctx->frame_size;
        frame->format = ctx->sample_fmt;
        frame->sample_rate = ctx->sample_rate;
        check(av_channel_layout_copy(&frame->ch_layout, &ctx->ch_layout), "copy layout");
        check(av_frame_get_buffer(frame.get(), 0), "av_frame_get_buffer");
        for (int i = 0; i < ctx->frame_size; ++i) {
            const double t = static_cast<double>(done + i) / ctx->sample_rate;
            // A tone that slides in pitch, so every frame differs.
            const double v = 0.4 * std::sin(2 * M_PI * (300 + 200 * std::sin(t)) * t);
            for (int c = 0; c < ctx->ch_layout.nb_channels; ++c) {
                if (ctx->sample_fmt == AV_SAMPLE_FMT_S16)
                    reinterpret_cast<std::int16_t*>(frame->data[0])[i] =
                        static_cast<std::int16_t>(v * 32767);
                else
                    reinterpret_cast<float*>(frame->data[c])[i] = static_cast<float>(v);
            }
        }
        frame->pts = done;
        drain(ctx, frame.get(), out);
        av_frame_unref(frame.get());
        done += ctx->frame_size;
    }
    drain(ctx, nullptr, out);
    return out;
}

}  // namespace

EncodedStream encode144(double seconds) {
    const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_RA_144);
    if (!codec) throw std::runtime_error("no real_144 encoder");
    ContextPtr ctx(avcodec_alloc_context3(codec));
    ctx->sample_rate = 8000;
    ctx->sample_fmt = AV_SAMPLE_FMT_S16;
    ctx->ch_layout = AV_CHANNEL_LAYOUT_MONO;
    ctx->time_base = AVRational{1, 8000};
    return encodeTone(codec, ctx.get(), seconds);
}

EncodedStream encodeAc3(int sampleRate, int channels, std::int64_t bitRate, double seconds) {
    const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_AC3);
    if (!codec) throw std::runtime_error("no ac3 encoder");
    ContextPtr ctx(avcodec_alloc_context3(codec));
    ctx->sample_rate = sampleRate;
    ctx->sample_fmt = AV_SAMPLE_FMT_FLTP;
    av_channel_layout_default(&ctx->ch_layout, channels);
    ctx->bit_rate = bitRate;
    ctx->time_base = AVRational{1, sampleRate};
    return encodeTone(codec, ctx.get(), seconds);
}

std::vector<std::pair<int, const AVPacket*>> interleave(
    const std::vector<const EncodedStream*>& streams) {
    struct Item {
        double time;
        int stream;
        const AVPacket* packet;
    };
    std::vector<Item> items;
    for (std::size_t s = 0; s < streams.size(); ++s)
        for (const PacketPtr& p : streams[s]->packets)
            items.push_back({streams[s]->seconds(p->pts), static_cast<int>(s), p.get()});
    std::stable_sort(items.begin(), items.end(),
                     [](const Item& a, const Item& b) { return a.time < b.time; });
    std::vector<std::pair<int, const AVPacket*>> out;
    for (const Item& i : items) out.emplace_back(i.stream, i.packet);
    return out;
}

Status writeStreams(MediaWriter& writer, const std::string& path,
                    const std::vector<const EncodedStream*>& streams, const MediaMetadata& metadata,
                    std::size_t maxPackets) {
    std::vector<int> indexes;
    for (const EncodedStream* s : streams) {
        int index = -1;
        if (Status st = writer.addStream(*s->params, s->timeBaseNum, s->timeBaseDen, index); !st)
            return st;
        indexes.push_back(index);
    }
    if (Status st = writer.begin(path, metadata); !st) return st;
    std::size_t written = 0;
    for (const auto& [stream, packet] : interleave(streams)) {
        if (written++ >= maxPackets) break;
        if (Status st = writer.writePacket(indexes[static_cast<std::size_t>(stream)], *packet); !st)
            return st;
    }
    return Status::ok();
}

}  // namespace velmora::encoder::rmtest
