#include "engine/media_source.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <thread>

#include "engine/source_look.h"
#include "texts/encoder_texts.h"

namespace velmora::encoder {

namespace {

bool decodable(const AVStream* st) {
    return avcodec_find_decoder(st->codecpar->codec_id) != nullptr;
}

Status unreadable(const std::string& path, int code) {
    return Status::fail(
        text::withCause(text::withSubject(text::kSourceUnreadable, path), describeError(code)));
}

// A FIFO, a socket or a device may have nothing to say for a long time; a
// plain open() and read() of one would block where no stop reaches. Such a
// source is opened without blocking and handed to FFmpeg as a pipe, whose
// reads then wait in steps that check the stop flag. Returns the URL to
// open, or "" with `status` set.
std::string pipeUrl(const std::string& path, const SourceInterrupt* interrupt, Status& status) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        status = unreadable(path, AVERROR(errno));
        return {};
    }
    // A FIFO with no writer yet reads as empty, not as its end: wait for
    // the first bytes (or for a writer that leaves without sending any).
    for (int waited = 0;; waited += 100) {
        if (interrupt && (*interrupt)()) {
            ::close(fd);
            status = Status::fail(text::kStoppedWhileOpening);
            return {};
        }
        if (waited >= kFirstDataTimeoutSeconds * 1000) {
            ::close(fd);
            status = Status::fail(text::withCause(text::withSubject(text::kSourceUnreadable, path),
                                                  text::kCauseNoData));
            return {};
        }
        pollfd p{fd, POLLIN, 0};
        const int ready = ::poll(&p, 1, 100);
        if (ready < 0 && errno != EINTR) {
            ::close(fd);
            status = unreadable(path, AVERROR(errno));
            return {};
        }
        if (ready > 0) break;
    }
    return "pipe:" + std::to_string(fd);
}

// The other streams' length, for a video stream whose timestamps cannot be
// believed. AVI counts every stream in its own units (samples, blocks), so
// there the count times the unit is the length even without a duration.
double otherStreamsSeconds(const AVFormatContext& format, int videoIndex) {
    const bool avi = format.iformat && std::strcmp(format.iformat->name, "avi") == 0;
    double seconds = 0;
    for (unsigned i = 0; i < format.nb_streams; ++i) {
        if (static_cast<int>(i) == videoIndex) continue;
        const AVStream* st = format.streams[i];
        if (st->codecpar->codec_type != AVMEDIA_TYPE_AUDIO) continue;
        double s = 0;
        if (st->duration > 0)
            s = st->duration * av_q2d(st->time_base);
        else if (avi && st->nb_frames > 0)
            s = st->nb_frames * av_q2d(st->time_base);
        seconds = std::max(seconds, s);
    }
    return seconds;
}

// Replaces a declared video rate nobody films at when the timestamps are
// only frame numbers at that rate (AVI, some raw streams), so they say
// nothing else. Returns the stream's length at the trusted rate, or 0.
double trustVideoRate(const AVFormatContext& format, MediaSource& source) {
    const AVStream* st = format.streams[source.videoIndex];
    source.videoTimeBase = st->time_base;
    const AVRational rate = st->avg_frame_rate.num > 0 && st->avg_frame_rate.den > 0
                                ? st->avg_frame_rate
                                : st->r_frame_rate;
    if (rate.num <= 0 || rate.den <= 0) return 0;
    const double fps = av_q2d(rate);
    if (plausibleFps(fps)) return 0;
    // Timestamps in a unit of their own already tell the real timing; only
    // frame counters inherit the claim.
    if (av_cmp_q(st->time_base, av_inv_q(rate)) != 0) return 0;

    constexpr double kCommonFps = 25;
    double trusted = kCommonFps;
    const double others = otherStreamsSeconds(format, source.videoIndex);
    if (others > 0 && st->nb_frames > 0) {
        const double fromOthers = st->nb_frames / others;
        if (plausibleFps(fromOthers)) trusted = fromOthers;
    }
    source.declaredFps = fps;
    source.trustedFps = trusted;
    source.videoTimeBase = av_d2q(1.0 / trusted, 1 << 24);
    return st->nb_frames > 0 ? st->nb_frames / trusted : others;
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

AVIOInterruptCB interruptCallback(const SourceInterrupt* interrupt) {
    const auto asked = [](void* opaque) {
        return (*static_cast<const SourceInterrupt*>(opaque))() ? 1 : 0;
    };
    if (!interrupt) return {nullptr, nullptr};
    return {+asked, const_cast<SourceInterrupt*>(interrupt)};
}

Status openMediaSource(const std::string& path, MediaSource& source,
                       const SourceInterrupt* interrupt,
                       const std::function<void(SourceShape)>& besideLook) {
    // "file:" keeps names with a colon from being taken for a protocol; the
    // file protocol opens read-only for input.
    std::string url = "file:" + path;
    struct stat st {};
    const bool known = ::stat(path.c_str(), &st) == 0;
    if (known && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) {
        Status status = Status::ok();
        url = pipeUrl(path, interrupt, status);
        if (url.empty()) return status;
    }
    AVFormatContext* raw = avformat_alloc_context();
    if (!raw) return Status::fail(text::kOutOfMemory);
    raw->interrupt_callback = interruptCallback(interrupt);
    int ret = avformat_open_input(&raw, url.c_str(), nullptr, nullptr);
    if (ret < 0) {
        // FFmpeg has closed the pipe's descriptor along with its context.
        if (ret == AVERROR_EXIT) return Status::fail(text::kStoppedWhileOpening);
        return unreadable(path, ret);
    }
    InputContextPtr format(raw);
    ret = avformat_find_stream_info(format.get(), nullptr);
    if (ret == AVERROR_EXIT) return Status::fail(text::kStoppedWhileOpening);
    if (ret < 0) return unreadable(path, ret);

    source = MediaSource{};
    for (unsigned i = 0; i < format->nb_streams; ++i) {
        const AVStream* s = format->streams[i];
        const AVCodecParameters* par = s->codecpar;
        if (par->codec_type == AVMEDIA_TYPE_VIDEO && source.videoIndex < 0 &&
            !(s->disposition & AV_DISPOSITION_ATTACHED_PIC) && par->width > 0 && decodable(s)) {
            source.videoIndex = static_cast<int>(i);
            source.shape.hasVideo = true;
            source.shape.width = par->width;
            source.shape.height = par->height;
            const AVRational sar =
                av_guess_sample_aspect_ratio(format.get(), format->streams[i], nullptr);
            source.shape.sarNum = sar.num;
            source.shape.sarDen = sar.den;
            source.shape.frameRate = averageFrameRate(*s);
        } else if (par->codec_type == AVMEDIA_TYPE_AUDIO && source.audioIndex < 0 &&
                   par->ch_layout.nb_channels > 0 && decodable(s)) {
            source.audioIndex = static_cast<int>(i);
            source.shape.hasAudio = true;
            source.shape.channels = par->ch_layout.nb_channels;
        }
    }
    if (source.videoIndex < 0 && source.audioIndex < 0) return Status::fail(text::kSourceNoMedia);

    if (format->duration > 0) {
        source.declaredMs = format->duration / 1000;
    } else {
        for (int index : {source.videoIndex, source.audioIndex}) {
            if (index < 0) continue;
            const AVStream* s = format->streams[index];
            if (s->duration > 0)
                source.declaredMs = std::max<std::int64_t>(
                    source.declaredMs, av_rescale_q(s->duration, s->time_base, {1, 1000}));
        }
    }
    source.durationMs = source.declaredMs;
    if (source.videoIndex >= 0) {
        if (const double seconds = trustVideoRate(*format, source); seconds > 0)
            source.durationMs = static_cast<std::int64_t>(seconds * 1000);
        // The plan never asks for more frames than the source has: its
        // rate is the one the timeline will use, not an implausible claim.
        if (source.trustedFps > 0) source.shape.frameRate = source.trustedFps;
    }
    source.shape.durationMs = source.durationMs;
    source.startUs = format->start_time != AV_NOPTS_VALUE ? format->start_time : 0;
    if (source.declaredFps > 0) source.startUs = 0;  // from the same unbelievable clock
    source.format = std::move(format);
    // Only a file can be looked at ahead: a pipe's data is read once.
    if (known && S_ISREG(st.st_mode)) {
        std::jthread beside;
        if (besideLook) beside = std::jthread(besideLook, source.shape);
        lookAtSource(path, source, interrupt);
    }
    return Status::ok();
}

InputContextPtr reopenSourceFile(const std::string& path, const SourceInterrupt* interrupt) {
    AVFormatContext* raw = avformat_alloc_context();
    if (!raw) return nullptr;
    raw->interrupt_callback = interruptCallback(interrupt);
    if (avformat_open_input(&raw, ("file:" + path).c_str(), nullptr, nullptr) < 0) return nullptr;
    return InputContextPtr(raw);
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
