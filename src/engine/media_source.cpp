#include "engine/media_source.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <thread>

#include "engine/source_look.h"
#include "engine/source_reader.h"
#include "texts/encoder_texts.h"

extern "C" {
#include <libavutil/display.h>
}

namespace velmora::encoder {

namespace {

// Demuxers whose files name further files or network addresses to read:
// playlists, manifests, lists to concatenate, session descriptions.
constexpr const char* kReachingDemuxers[] = {"hls", "dash", "concat", "imf", "sdp", "rtsp", "rtp"};

bool reachesOut(const AVInputFormat* format) {
    if (!format) return false;
    for (const char* name : kReachingDemuxers)
        if (std::strcmp(format->name, name) == 0) return true;
    return false;
}

// Marks a context opened by openOneFile; contexts a demuxer opens inside it
// do not carry it.
constexpr char kOneFile = 0;
// Set when the opening on this thread was refused another file.
thread_local bool reachedOut = false;

// A source is the one file the user named: every other file or address a
// demuxer asks for (a playlist's segments, a list's entries, a manifest's
// pieces) is refused, whatever protocol or path it names.
int openOnlyTheSource(AVFormatContext* s, AVIOContext** pb, const char* url, int flags,
                      AVDictionary** options) {
    if (s->opaque != &kOneFile || !url || !s->url || std::strcmp(url, s->url) != 0 ||
        (flags & AVIO_FLAG_WRITE)) {
        reachedOut = true;
        return AVERROR(EPERM);
    }
    AVDictionary* opts = nullptr;
    if (options) av_dict_copy(&opts, *options, 0);
    av_dict_set(&opts, "protocol_whitelist", s->protocol_whitelist, 0);
    const int ret = avio_open2(pb, url, flags, &s->interrupt_callback, &opts);
    av_dict_free(&opts);
    return ret;
}

// Every demuxer but those: FFmpeg refuses the others when it probes the
// source, before any of them reads a line of it (a list's demuxer opens
// the files it names while it reads its header).
const std::string& allowedDemuxers() {
    static const std::string list = [] {
        std::string names;
        void* it = nullptr;
        while (const AVInputFormat* format = av_demuxer_iterate(&it)) {
            if (reachesOut(format)) continue;
            if (!names.empty()) names += ',';
            names += format->name;  // itself a list of names for some
        }
        return names;
    }();
    return list;
}

// What FFmpeg would take a refused file for, from its first bytes.
bool probesAsReaching(const std::string& url, const AVIOInterruptCB& interrupt) {
    AVDictionary* opts = nullptr;
    av_dict_set(&opts, "protocol_whitelist", "file", 0);
    AVIOContext* pb = nullptr;
    const int ret = avio_open2(&pb, url.c_str(), AVIO_FLAG_READ, &interrupt, &opts);
    av_dict_free(&opts);
    if (ret < 0) return false;
    const AVInputFormat* format = nullptr;
    const bool reaching =
        av_probe_input_buffer2(pb, &format, url.c_str(), nullptr, 0, 0) >= 0 && reachesOut(format);
    avio_closep(&pb);
    return reaching;
}

// Fonts and other files attached to a container are not media. Matroska
// keeps them in its header, where the reading layer hides them from the
// demuxer; one the layer cannot hide is read: this copy of each goes at
// once, before the stream analysis copies it again. (The demuxer keeps
// its own while the source is open.)
void dropAttachments(AVFormatContext& format) {
    for (unsigned i = 0; i < format.nb_streams; ++i) {
        AVStream* stream = format.streams[i];
        if (stream->codecpar->codec_type != AVMEDIA_TYPE_ATTACHMENT) continue;
        stream->discard = AVDISCARD_ALL;
        av_freep(&stream->codecpar->extradata);
        stream->codecpar->extradata_size = 0;
    }
}

// avformat_open_input for `url` ("file:..." or "pipe:N") that reads that
// one file and nothing else. Fails with `refused` set when the source is a
// playlist or list of other files.
int openOneFile(AVFormatContext*& raw, const std::string& url, bool& refused) {
    const AVIOInterruptCB interrupt = raw->interrupt_callback;
    raw->opaque = const_cast<char*>(&kOneFile);
    raw->io_open = openOnlyTheSource;
    const bool pipe = url.rfind("pipe:", 0) == 0;
    AVDictionary* opts = nullptr;
    av_dict_set(&opts, "protocol_whitelist", pipe ? "pipe" : "file", 0);
    av_dict_set(&opts, "format_whitelist", allowedDemuxers().c_str(), 0);
    // An image's name is its name, not a pattern for its neighbours.
    av_dict_set(&opts, "pattern_type", "none", 0);
    // The demuxer reads the source through a layer that hides its
    // attachments; FFmpeg's own checks of the name and the format hold
    // all the same.
    AVIOContext* reader = pipe ? openAttachmentHidingStream(url, interrupt, opts)
                               : openAttachmentHidingReader(url, interrupt, opts);
    raw->pb = reader;
    reachedOut = false;
    int ret = avformat_open_input(&raw, url.c_str(), nullptr, &opts);
    av_dict_free(&opts);
    if (ret < 0) closeCustomReader(reader);
    refused = reachedOut;
    reachedOut = false;
    // Not on the list: say why when it is one of ours to refuse (a pipe
    // cannot be read twice; it gets FFmpeg's word).
    if (ret == AVERROR(EINVAL) && !pipe) refused = probesAsReaching(url, interrupt);
    if (refused && ret >= 0) {
        InputContextFree{}(raw);
        raw = nullptr;
        ret = AVERROR(EPERM);
    }
    if (ret >= 0) dropAttachments(*raw);
    return ret;
}

bool decodable(const AVStream* st) {
    return avcodec_find_decoder(st->codecpar->codec_id) != nullptr;
}

Status unreadable(const std::string& path, int code) {
    const ErrorKind kind = code == AVERROR(ENOENT) ? ErrorKind::SourceMissing
                                                   : errorKindOf(code, ErrorKind::SourceUnreadable);
    return Status::fail(kind, text::withCause(text::withSubject(text::kSourceUnreadable, path),
                                              describeError(code)));
}

// A FIFO, a socket or a device may have nothing to say for a long time; a
// plain open() and read() of one would block where no stop reaches. Such a
// source is opened without blocking and handed to FFmpeg as a pipe, whose
// reads then wait in steps that check the stop flag. Returns the URL to
// open, or "" with `status` set.
std::string pipeUrl(const std::string& path, const SourceInterrupt* interrupt, Status& status,
                    OwnedDescriptor& owned) {
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
            status = Status::fail(ErrorKind::Interrupted, text::kStoppedWhileOpening);
            return {};
        }
        if (waited >= kFirstDataTimeoutSeconds * 1000) {
            ::close(fd);
            status = Status::fail(ErrorKind::SourceUnreadable,
                                  text::withCause(text::withSubject(text::kSourceUnreadable, path),
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
    owned = OwnedDescriptor(fd);
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

namespace {

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

}  // namespace

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
    // Some demuxers (an image's) open the file only when they read it.
    if (::stat(path.c_str(), &st) != 0) return unreadable(path, AVERROR(errno));
    if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) {
        Status status = Status::ok();
        url = pipeUrl(path, interrupt, status, source.pipe);
        if (url.empty()) return status;
    }
    AVFormatContext* raw = avformat_alloc_context();
    if (!raw) return Status::fail(ErrorKind::OutOfMemory, text::kOutOfMemory);
    raw->interrupt_callback = interruptCallback(interrupt);
    bool refused = false;
    int ret = openOneFile(raw, url, refused);
    if (ret < 0) {
        source.pipe.reset();
        if (refused)
            return Status::fail(ErrorKind::SourceRefused,
                                text::withSubject(text::kSourceReachesOut, path));
        if (ret == AVERROR_EXIT)
            return Status::fail(ErrorKind::Interrupted, text::kStoppedWhileOpening);
        return unreadable(path, ret);
    }
    InputContextPtr format(raw);
    ret = avformat_find_stream_info(format.get(), nullptr);
    if (ret == AVERROR_EXIT)
        return Status::fail(ErrorKind::Interrupted, text::kStoppedWhileOpening);
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
            source.orientation = orientationOf(*s);
            if (source.orientation.transpose) {
                std::swap(source.shape.width, source.shape.height);
                std::swap(source.shape.sarNum, source.shape.sarDen);
            }
            source.shape.frameRate = averageFrameRate(*s);
        } else if (par->codec_type == AVMEDIA_TYPE_AUDIO && source.audioIndex < 0 &&
                   par->ch_layout.nb_channels > 0 && decodable(s)) {
            source.audioIndex = static_cast<int>(i);
            source.shape.hasAudio = true;
            source.shape.channels = par->ch_layout.nb_channels;
        }
    }
    if (source.videoIndex < 0 && source.audioIndex < 0)
        return Status::fail(ErrorKind::SourceDamaged, text::kSourceNoMedia);
    // A stream the analysis could not decode a frame of, beside one that
    // decodes: when a longer try decodes nothing either, the intact stream
    // is kept alone rather than the whole source lost with it.
    if (S_ISREG(st.st_mode) && source.videoIndex >= 0 && source.audioIndex >= 0) {
        const AVCodecParameters* video = format->streams[source.videoIndex]->codecpar;
        const AVCodecParameters* audio = format->streams[source.audioIndex]->codecpar;
        const bool videoDoubtful = video->format < 0, audioDoubtful = audio->format < 0;
        if (videoDoubtful != audioDoubtful) {
            int& doubtful = videoDoubtful ? source.videoIndex : source.audioIndex;
            if (!decodesAFrame(path, doubtful, interrupt)) {
                (videoDoubtful ? source.videoLeftOut : source.audioLeftOut) = true;
                (videoDoubtful ? source.shape.hasVideo : source.shape.hasAudio) = false;
                doubtful = -1;
            }
        }
    }

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
    if (S_ISREG(st.st_mode)) {
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
    bool refused = false;
    if (openOneFile(raw, "file:" + path, refused) < 0) return nullptr;
    return InputContextPtr(raw);
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
