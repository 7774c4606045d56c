// The source opened (source_opening) and analysed: which streams to encode,
// how the picture is turned, how long the source lasts and at what rate.

#include "engine/source/media_source.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "engine/source/picture_filter.h"
#include "engine/source/source_file.h"
#include "engine/source/source_opening.h"
#include "texts/encoder_texts.h"

extern "C" {
#include <libavutil/display.h>
}

namespace velmora::encoder {

namespace {

bool decodable(const AVStream* st) {
    return avcodec_find_decoder(st->codecpar->codec_id) != nullptr;
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

// Whether any frame of stream `index` decodes within the first thousand of
// its packets (a stream cut mid-way decodes from its next key frame on).
bool decodesAFrame(const std::string& path, int index, const SourceInterrupt* interrupt) {
    constexpr int kMostPackets = 1000;
    InputContextPtr format = reopenSourceFile(path, interrupt);
    if (!format || index >= static_cast<int>(format->nb_streams)) return true;
    CodecContextPtr decoder;
    if (!openDecoder(*format->streams[index], 1, decoder)) return false;
    PacketPtr packet = makePacket();
    FramePtr frame = makeFrame();
    if (!packet || !frame) return true;
    for (int sent = 0; sent < kMostPackets && av_read_frame(format.get(), packet.get()) >= 0;) {
        if (packet->stream_index == index) {
            ++sent;
            avcodec_send_packet(decoder.get(), packet.get());
            if (avcodec_receive_frame(decoder.get(), frame.get()) >= 0) return true;
        }
        av_packet_unref(packet.get());
        if (interrupt && (*interrupt)()) return true;
    }
    avcodec_send_packet(decoder.get(), nullptr);
    return avcodec_receive_frame(decoder.get(), frame.get()) >= 0;
}

// The first video stream (cover pictures aside) and the first audio stream
// that can be decoded, and the shape of the upright picture.
void chooseStreams(AVFormatContext& format, MediaSource& source) {
    for (unsigned i = 0; i < format.nb_streams; ++i) {
        const AVStream* s = format.streams[i];
        const AVCodecParameters* par = s->codecpar;
        if (par->codec_type == AVMEDIA_TYPE_VIDEO && source.videoIndex < 0 &&
            !(s->disposition & AV_DISPOSITION_ATTACHED_PIC) && par->width > 0 && decodable(s)) {
            source.videoIndex = static_cast<int>(i);
            source.shape.hasVideo = true;
            source.shape.width = par->width;
            source.shape.height = par->height;
            const AVRational sar =
                av_guess_sample_aspect_ratio(&format, format.streams[i], nullptr);
            source.shape.sarNum = sar.num;
            source.shape.sarDen = sar.den;
            source.orientation = orientationOf(*s);
            if (source.orientation.transpose) {
                std::swap(source.shape.width, source.shape.height);
                std::swap(source.shape.sarNum, source.shape.sarDen);
            }
            source.shape.frameRate = averageFrameRate(*s);
            source.shape.colour = colourOf(*s);
            source.shape.fields.stated = fieldOrderOf(*s);
        } else if (par->codec_type == AVMEDIA_TYPE_AUDIO && source.audioIndex < 0 &&
                   par->ch_layout.nb_channels > 0 && decodable(s)) {
            source.audioIndex = static_cast<int>(i);
            source.shape.hasAudio = true;
            source.shape.channels = par->ch_layout.nb_channels;
        }
    }
}

// A stream the analysis could not decode a frame of, beside one that
// decodes: when a longer try decodes nothing either, the intact stream
// is kept alone rather than the whole source lost with it.
void leaveOutUndecodable(const std::string& path, const AVFormatContext& format,
                         MediaSource& source, const SourceInterrupt* interrupt) {
    const AVCodecParameters* video = format.streams[source.videoIndex]->codecpar;
    const AVCodecParameters* audio = format.streams[source.audioIndex]->codecpar;
    const bool videoDoubtful = video->format < 0, audioDoubtful = audio->format < 0;
    if (videoDoubtful == audioDoubtful) return;
    int& doubtful = videoDoubtful ? source.videoIndex : source.audioIndex;
    if (!decodesAFrame(path, doubtful, interrupt)) {
        (videoDoubtful ? source.videoLeftOut : source.audioLeftOut) = true;
        (videoDoubtful ? source.shape.hasVideo : source.shape.hasAudio) = false;
        doubtful = -1;
    }
}

// The length the header gives: the container's, else the longest of the
// chosen streams'; 0 when it gives none.
std::int64_t declaredLength(const AVFormatContext& format, const MediaSource& source) {
    if (format.duration > 0) return std::min(format.duration / 1000, kLongestMs);
    std::int64_t ms = 0;
    for (int index : {source.videoIndex, source.audioIndex}) {
        if (index < 0) continue;
        const AVStream* s = format.streams[index];
        // INT64_MIN when it overflows.
        const std::int64_t stated = av_rescale_q(s->duration, s->time_base, {1, 1000});
        if (s->duration > 0) ms = std::max(ms, stated == INT64_MIN ? kLongestMs : stated);
    }
    return std::min(ms, kLongestMs);
}

// The picture's shape as a plan can use it: a sample aspect no screen
// shows (a hundredfold stretch) is no aspect at all, and the average rate
// stays a number a file's header can hold.
void holdShape(SourceShape& shape) {
    const double sar = shape.sarDen > 0 ? static_cast<double>(shape.sarNum) / shape.sarDen : 0;
    constexpr double kWidestSampleAspect = 100;
    if (!(sar >= 1 / kWidestSampleAspect && sar <= kWidestSampleAspect)) {
        shape.sarNum = 0;
        shape.sarDen = 1;
    }
    if (!(shape.frameRate > 0)) shape.frameRate = 0;
    shape.frameRate = std::min(shape.frameRate, kFastestFrameRate);
}

// The source opened and its streams found: looked up, and a regular file
// opened, where a stalled mount holds up no one (a stop gives the wait up);
// a pipe or a device through `pipe`, which it leaves set.
Status openFormat(const std::string& path, const SourceInterrupt* interrupt, OwnedDescriptor& pipe,
                  InputContextPtr& format, bool& regular) {
    const AVIOInterruptCB callback = interruptCallback(interrupt);
    const auto stopped = [interrupt] { return interrupt && (*interrupt)(); };
    const Status interrupted = Status::fail(ErrorKind::Interrupted, text::kStoppedWhileOpening);
    auto file = std::make_unique<SourceFile>();
    if (const int ret = file->open(path, callback); ret < 0)
        return ret == AVERROR_EXIT ? interrupted : unreadableSource(path, ret);
    if (S_ISDIR(file->status().st_mode))
        return Status::fail(ErrorKind::SourceUnreadable,
                            text::withSubject(text::kSourceNotFile, path));
    regular = file->regular();
    // "file:" keeps names with a colon from being taken for a protocol.
    std::string url = "file:" + path;
    if (!regular) {
        file.reset();
        Status status = Status::ok();
        url = pipeUrl(path, interrupt, status, pipe);
        if (url.empty()) return status;
    }
    AVFormatContext* raw = avformat_alloc_context();
    if (!raw) return Status::fail(ErrorKind::OutOfMemory, text::kOutOfMemory);
    raw->interrupt_callback = callback;
    bool refused = false;
    int ret = openOneFile(raw, url, std::move(file), refused);
    if (ret < 0) {
        pipe.reset();
        if (refused)
            return Status::fail(ErrorKind::SourceRefused,
                                text::withSubject(text::kSourceReachesOut, path));
        // A read given up on fails as anything FFmpeg makes of it.
        if (ret == AVERROR_EXIT || stopped()) return interrupted;
        return unreadableSource(path, ret);
    }
    format.reset(raw);
    ret = avformat_find_stream_info(format.get(), nullptr);
    if (ret == AVERROR_EXIT || (ret < 0 && stopped())) return interrupted;
    // A demuxer that does without the file it asked for reads on.
    if (const bool reachedOut = refusedAnotherFile(); ret < 0 && reachedOut)
        return Status::fail(ErrorKind::SourceRefused,
                            text::withSubject(text::kSourceReachesOut, path));
    if (ret < 0) return unreadableSource(path, ret);
    return Status::ok();
}

// How long the source lasts, at what rate and from when, as far as its
// header and its streams can be believed.
void trustTiming(const AVFormatContext& format, MediaSource& source) {
    source.declaredMs = declaredLength(format, source);
    source.durationMs = source.declaredMs;
    if (source.videoIndex >= 0) {
        if (const double seconds = trustVideoRate(format, source); seconds > 0)
            source.durationMs = clampedMs(seconds);
        // The plan never asks for more frames than the source has: its
        // rate is the one the timeline will use, not an implausible claim.
        if (source.trustedFps > 0) source.shape.frameRate = source.trustedFps;
    }
    holdShape(source.shape);
    source.shape.durationMs = source.durationMs;
    if (format.start_time != AV_NOPTS_VALUE)
        source.startUs = std::clamp(format.start_time, -kFurthestStartUs, kFurthestStartUs);
    if (source.declaredFps > 0) source.startUs = 0;  // from the same unbelievable clock
}

}  // namespace

void leaveOutPictureless(const std::string& path, MediaSource& source,
                         const SourceInterrupt* interrupt) {
    if (!source.regularFile || source.videoIndex < 0 || source.audioIndex < 0 ||
        source.shape.keyBitsPerPixel > 0 || decodesAFrame(path, source.videoIndex, interrupt))
        return;
    source.videoLeftOut = true;
    source.shape.hasVideo = false;
    source.videoIndex = -1;
}

std::int64_t clampedMs(double seconds) {
    if (!(seconds > 0)) return 0;
    if (seconds >= kLongestMs / 1000.0) return kLongestMs;
    return static_cast<std::int64_t>(seconds * 1000);
}

Orientation orientationOf(const AVStream& stream) {
    const auto* matrix = reinterpret_cast<const std::int32_t*>(
        av_stream_get_side_data(&stream, AV_PKT_DATA_DISPLAYMATRIX, nullptr));
    if (!matrix) return {};
    const double angle = av_display_rotation_get(matrix);
    if (!std::isfinite(angle)) return {};
    // Clockwise degrees in [0, 360), as the CLI reckons them.
    double theta = -std::round(angle);
    theta -= 360 * std::floor(theta / 360 + 0.9 / 360);
    const auto near = [&](double degrees) { return std::fabs(theta - degrees) < 1.0; };
    Orientation o;
    if (near(90)) {
        // A quarter turn clockwise, or a plain transpose when mirrored as well.
        o.transpose = true;
        o.flipY = matrix[3] <= 0;
    } else if (near(180)) {
        o.flipX = matrix[0] < 0;
        o.flipY = matrix[4] < 0;
    } else if (near(270)) {
        o.transpose = true;
        o.flipX = true;
        o.flipY = matrix[3] < 0;
    } else if (near(0) || near(360)) {
        o.flipY = matrix[4] < 0;
    }
    return o;
}

Status openMediaSource(const std::string& path, MediaSource& source,
                       const SourceInterrupt* interrupt) {
    bool regular = false;
    InputContextPtr format;
    if (Status s = openFormat(path, interrupt, source.pipe, format, regular); !s) return s;
    // What an earlier open of this source left goes; the pipe being read stays.
    OwnedDescriptor pipe = std::move(source.pipe);
    source = MediaSource{};
    source.pipe = std::move(pipe);
    source.regularFile = regular;
    chooseStreams(*format, source);
    if (source.videoIndex < 0 && source.audioIndex < 0)
        return Status::fail(ErrorKind::SourceDamaged, text::kSourceNoMedia);
    if (regular && source.videoIndex >= 0 && source.audioIndex >= 0)
        leaveOutUndecodable(path, *format, source, interrupt);
    trustTiming(*format, source);
    source.format = std::move(format);
    return Status::ok();
}

Status openDecoder(const AVStream& stream, int threadCount, CodecContextPtr& decoder) {
    const AVCodec* codec = avcodec_find_decoder(stream.codecpar->codec_id);
    if (!codec) return Status::fail(ErrorKind::SourceUnreadable, text::kDecodeFailed);
    decoder.reset(avcodec_alloc_context3(codec));
    if (!decoder) return Status::fail(ErrorKind::OutOfMemory, text::kOutOfMemory);
    int ret = avcodec_parameters_to_context(decoder.get(), stream.codecpar);
    if (ret < 0) return ffmpegFailure(text::kDecodeFailed, ret, ErrorKind::SourceUnreadable);
    decoder->pkt_timebase = stream.time_base;
    decoder->thread_count = threadCount;
    ret = avcodec_open2(decoder.get(), codec, nullptr);
    if (ret < 0) return ffmpegFailure(text::kDecodeFailed, ret, ErrorKind::SourceUnreadable);
    return Status::ok();
}

}  // namespace velmora::encoder
