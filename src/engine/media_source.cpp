#include "engine/media_source.h"

#include "texts/encoder_texts.h"

namespace velmora::encoder {

namespace {

bool decodable(const AVStream* st) {
    return avcodec_find_decoder(st->codecpar->codec_id) != nullptr;
}

// Frames a second over the whole file: the frame count over the duration
// where the container keeps both, else FFmpeg's estimate from the first frames.
double averageFrameRate(const AVStream& st) {
    if (st.nb_frames > 1 && st.duration > 0) {
        const double seconds = st.duration * av_q2d(st.time_base);
        if (seconds > 0) return st.nb_frames / seconds;
    }
    if (st.avg_frame_rate.num > 0 && st.avg_frame_rate.den > 0) return av_q2d(st.avg_frame_rate);
    return 0;
}

}  // namespace

Status openMediaSource(const std::string& path, MediaSource& source) {
    AVFormatContext* raw = nullptr;
    // "file:" keeps names with a colon from being taken for a protocol; the
    // file protocol opens read-only for input.
    int ret = avformat_open_input(&raw, ("file:" + path).c_str(), nullptr, nullptr);
    if (ret < 0)
        return Status::fail(
            text::withReason(text::withSubject(text::kSourceUnreadable, path), ffmpegError(ret)));
    InputContextPtr format(raw);
    ret = avformat_find_stream_info(format.get(), nullptr);
    if (ret < 0)
        return Status::fail(
            text::withReason(text::withSubject(text::kSourceUnreadable, path), ffmpegError(ret)));

    source = MediaSource{};
    for (unsigned i = 0; i < format->nb_streams; ++i) {
        const AVStream* st = format->streams[i];
        const AVCodecParameters* par = st->codecpar;
        if (par->codec_type == AVMEDIA_TYPE_VIDEO && source.videoIndex < 0 &&
            !(st->disposition & AV_DISPOSITION_ATTACHED_PIC) && par->width > 0 && decodable(st)) {
            source.videoIndex = static_cast<int>(i);
            source.shape.hasVideo = true;
            source.shape.width = par->width;
            source.shape.height = par->height;
            const AVRational sar =
                av_guess_sample_aspect_ratio(format.get(), format->streams[i], nullptr);
            source.shape.sarNum = sar.num;
            source.shape.sarDen = sar.den;
            source.shape.frameRate = averageFrameRate(*st);
        } else if (par->codec_type == AVMEDIA_TYPE_AUDIO && source.audioIndex < 0 &&
                   par->ch_layout.nb_channels > 0 && decodable(st)) {
            source.audioIndex = static_cast<int>(i);
            source.shape.hasAudio = true;
            source.shape.channels = par->ch_layout.nb_channels;
        }
    }
    if (source.videoIndex < 0 && source.audioIndex < 0) return Status::fail(text::kSourceNoMedia);

    if (format->duration > 0) {
        source.durationMs = format->duration / 1000;
    } else {
        for (int index : {source.videoIndex, source.audioIndex}) {
            if (index < 0) continue;
            const AVStream* st = format->streams[index];
            if (st->duration > 0)
                source.durationMs = std::max<std::int64_t>(
                    source.durationMs, av_rescale_q(st->duration, st->time_base, {1, 1000}));
        }
    }
    source.shape.durationMs = source.durationMs;
    source.startUs = format->start_time != AV_NOPTS_VALUE ? format->start_time : 0;
    source.format = std::move(format);
    return Status::ok();
}

Status openDecoder(const AVStream& stream, int threadCount, CodecContextPtr& decoder) {
    const AVCodec* codec = avcodec_find_decoder(stream.codecpar->codec_id);
    if (!codec) return Status::fail(text::kDecodeFailed);
    decoder.reset(avcodec_alloc_context3(codec));
    if (!decoder) return Status::fail(text::kOutOfMemory);
    int ret = avcodec_parameters_to_context(decoder.get(), stream.codecpar);
    if (ret < 0) return ffmpegFailure(text::kDecodeFailed, ret);
    decoder->pkt_timebase = stream.time_base;
    decoder->thread_count = threadCount;
    ret = avcodec_open2(decoder.get(), codec, nullptr);
    if (ret < 0) return ffmpegFailure(text::kDecodeFailed, ret);
    return Status::ok();
}

}  // namespace velmora::encoder
