#include "engine/source/source_opening.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <utility>

#include "engine/source/source_reader.h"
#include "texts/encoder_texts.h"

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

constexpr const char* kFileUrl = "file:";

// The regular file `path` opened for reading through the layer of
// source_reader; null with `error` set when it cannot be.
AVIOContext* openFileReader(const std::string& path, const AVIOInterruptCB& interrupt, int& error) {
    auto file = std::make_unique<SourceFile>();
    error = file->open(path, interrupt);
    if (error < 0) return nullptr;
    if (!file->regular()) {
        error = AVERROR(EINVAL);
        return nullptr;
    }
    return openSourceFileReader(std::move(file), error);
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
    // The file read as the source is: on a thread of its own.
    if (std::strncmp(url, kFileUrl, std::strlen(kFileUrl)) == 0) {
        int error = 0;
        *pb = openFileReader(url + std::strlen(kFileUrl), s->interrupt_callback, error);
        return *pb ? 0 : error;
    }
    AVDictionary* opts = nullptr;
    if (options) av_dict_copy(&opts, *options, 0);
    av_dict_set(&opts, "protocol_whitelist", s->protocol_whitelist, 0);
    const int ret = avio_open2(pb, url, flags, &s->interrupt_callback, &opts);
    av_dict_free(&opts);
    return ret;
}

// What openOnlyTheSource opened, closed by its kind.
int closeOpened(AVFormatContext*, AVIOContext* pb) {
    if (isSourceFileReader(pb)) {
        closeCustomReader(pb);
        return 0;
    }
    return avio_close(pb);
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
bool probesAsReaching(const std::string& path, const AVIOInterruptCB& interrupt) {
    int error = 0;
    AVIOContext* pb = openFileReader(path, interrupt, error);
    if (!pb) return false;
    const AVInputFormat* format = nullptr;
    const std::string url = kFileUrl + path;
    const bool reaching =
        av_probe_input_buffer2(pb, &format, url.c_str(), nullptr, 0, 0) >= 0 && reachesOut(format);
    closeCustomReader(pb);
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

}  // namespace

bool refusedAnotherFile() {
    return std::exchange(reachedOut, false);
}

int openOneFile(AVFormatContext*& raw, const std::string& url, std::unique_ptr<SourceFile> file,
                bool& refused) {
    const AVIOInterruptCB interrupt = raw->interrupt_callback;
    raw->opaque = const_cast<char*>(&kOneFile);
    raw->io_open = openOnlyTheSource;
    raw->io_close2 = closeOpened;
    const bool pipe = !file;
    AVDictionary* opts = nullptr;
    av_dict_set(&opts, "protocol_whitelist", pipe ? "pipe" : "file", 0);
    av_dict_set(&opts, "format_whitelist", allowedDemuxers().c_str(), 0);
    // An image's name is its name, not a pattern for its neighbours.
    av_dict_set(&opts, "pattern_type", "none", 0);
    // The demuxer reads the source through the layer of source_reader;
    // FFmpeg's own checks of the name and the format hold all the same.
    int ret = 0;
    AVIOContext* reader = pipe ? openAttachmentHidingStream(url, interrupt, opts)
                               : openSourceFileReader(std::move(file), ret);
    if (!reader && !pipe) {
        av_dict_free(&opts);
        avformat_free_context(raw);
        raw = nullptr;
        refused = false;
        return ret;
    }
    raw->pb = reader;
    reachedOut = false;
    ret = avformat_open_input(&raw, url.c_str(), nullptr, &opts);
    av_dict_free(&opts);
    if (ret < 0) closeCustomReader(reader);
    refused = reachedOut;
    reachedOut = false;
    // Not on the list: say why when it is one of ours to refuse (a pipe
    // cannot be read twice; it gets FFmpeg's word).
    if (ret == AVERROR(EINVAL) && !pipe)
        refused = probesAsReaching(url.substr(std::strlen(kFileUrl)), interrupt);
    if (refused && ret >= 0) {
        InputContextFree{}(raw);
        raw = nullptr;
        ret = AVERROR(EPERM);
    }
    if (ret >= 0) dropAttachments(*raw);
    return ret;
}

Status unreadableSource(const std::string& path, int code) {
    const ErrorKind kind = code == AVERROR(ENOENT) ? ErrorKind::SourceMissing
                                                   : errorKindOf(code, ErrorKind::SourceUnreadable);
    return Status::fail(kind, text::withCause(text::withSubject(text::kSourceUnreadable, path),
                                              describeError(code)));
}

std::string pipeUrl(const std::string& path, const SourceInterrupt* interrupt, Status& status,
                    OwnedDescriptor& owned) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        status = unreadableSource(path, AVERROR(errno));
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
            status = unreadableSource(path, AVERROR(errno));
            return {};
        }
        if (ready > 0) break;
    }
    owned = OwnedDescriptor(fd);
    return "pipe:" + std::to_string(fd);
}

AVIOInterruptCB interruptCallback(const SourceInterrupt* interrupt) {
    const auto asked = [](void* opaque) {
        return (*static_cast<const SourceInterrupt*>(opaque))() ? 1 : 0;
    };
    if (!interrupt) return {nullptr, nullptr};
    return {+asked, const_cast<SourceInterrupt*>(interrupt)};
}

InputContextPtr reopenSourceFile(const std::string& path, const SourceInterrupt* interrupt) {
    const AVIOInterruptCB callback = interruptCallback(interrupt);
    auto file = std::make_unique<SourceFile>();
    if (file->open(path, callback) < 0 || !file->regular()) return nullptr;
    AVFormatContext* raw = avformat_alloc_context();
    if (!raw) return nullptr;
    raw->interrupt_callback = callback;
    bool refused = false;
    if (openOneFile(raw, kFileUrl + path, std::move(file), refused) < 0) return nullptr;
    return InputContextPtr(raw);
}

}  // namespace velmora::encoder
