#include "rm_file.h"

#include <sys/wait.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>

#include "engine/core/ffmpeg_ptr.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/log.h>
}

namespace velmora::encoder::rmtest {

std::uint16_t be16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] << 8 | p[1]);
}
std::uint32_t be32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) << 24 | static_cast<std::uint32_t>(p[1]) << 16 |
           static_cast<std::uint32_t>(p[2]) << 8 | p[3];
}

namespace {

class Cursor {
  public:
    Cursor(const std::vector<std::uint8_t>& b, std::size_t pos, std::size_t end)
        : b_(b), pos_(pos), end_(end) {}
    bool has(std::size_t n) const { return pos_ + n <= end_; }
    std::uint8_t u8() { return has(1) ? b_[pos_++] : (ok_ = false, 0); }
    std::uint16_t u16() {
        if (!has(2)) return ok_ = false, 0;
        pos_ += 2;
        return be16(&b_[pos_ - 2]);
    }
    std::uint32_t u32() {
        if (!has(4)) return ok_ = false, 0;
        pos_ += 4;
        return be32(&b_[pos_ - 4]);
    }
    std::string str(std::size_t n) {
        if (!has(n)) return ok_ = false, std::string();
        pos_ += n;
        return std::string(b_.begin() + static_cast<std::ptrdiff_t>(pos_ - n),
                           b_.begin() + static_cast<std::ptrdiff_t>(pos_));
    }
    std::vector<std::uint8_t> bytes(std::size_t n) {
        if (!has(n)) return ok_ = false, std::vector<std::uint8_t>();
        pos_ += n;
        return {b_.begin() + static_cast<std::ptrdiff_t>(pos_ - n),
                b_.begin() + static_cast<std::ptrdiff_t>(pos_)};
    }
    bool ok() const { return ok_; }

  private:
    const std::vector<std::uint8_t>& b_;
    std::size_t pos_;
    std::size_t end_;
    bool ok_ = true;
};

}  // namespace

ParsedFile parseFile(const std::string& path) {
    ParsedFile f;
    std::ifstream in(path, std::ios::binary);
    f.bytes.assign(std::istreambuf_iterator<char>(in), {});
    const auto& b = f.bytes;
    std::size_t pos = 0;
    std::size_t dataStart = 0;
    while (pos + 10 <= b.size()) {
        Chunk c{std::string(b.begin() + static_cast<std::ptrdiff_t>(pos),
                            b.begin() + static_cast<std::ptrdiff_t>(pos + 4)),
                pos, be32(&b[pos + 4])};
        f.chunks.push_back(c);
        if (c.tag == "DATA") {
            dataStart = pos;
            break;
        }
        if (c.size < 10) {
            f.error = "chunk " + c.tag + " too small";
            return f;
        }
        Cursor r(b, pos + 10, std::min<std::size_t>(b.size(), pos + c.size));
        if (c.tag == ".RMF") {
            r.u32();
            f.numHeaders = r.u32();
        } else if (c.tag == "PROP") {
            f.maxBitRate = r.u32();
            f.avgBitRate = r.u32();
            f.maxPacketSize = r.u32();
            f.avgPacketSize = r.u32();
            f.numPackets = r.u32();
            f.durationMs = r.u32();
            f.prerollMs = r.u32();
            f.indexOffset = r.u32();
            f.dataOffset = r.u32();
            f.numStreams = r.u16();
            f.flags = r.u16();
        } else if (c.tag == "CONT") {
            f.title = r.str(r.u16());
            f.author = r.str(r.u16());
            f.copyright = r.str(r.u16());
            f.comment = r.str(r.u16());
        } else if (c.tag == "MDPR") {
            MediaProps m;
            m.number = r.u16();
            m.maxBitRate = r.u32();
            m.avgBitRate = r.u32();
            m.maxPacketSize = r.u32();
            m.avgPacketSize = r.u32();
            m.startTimeMs = r.u32();
            m.prerollMs = r.u32();
            m.durationMs = r.u32();
            m.name = r.str(r.u8());
            m.mimeType = r.str(r.u8());
            m.typeSpecific = r.bytes(r.u32());
            f.streams.push_back(std::move(m));
        }
        if (!r.ok()) {
            f.error = "chunk " + c.tag + " ends early";
            return f;
        }
        pos += c.size;
    }
    if (dataStart == 0 || dataStart + 18 > b.size()) {
        f.error = "no DATA chunk";
        return f;
    }
    f.dataChunkSize = be32(&b[dataStart + 4]);
    f.dataPacketCount = be32(&b[dataStart + 10]);

    // Packets run to the first thing that is not one: the index, or the end.
    pos = dataStart + 18;
    while (pos + 12 <= b.size()) {
        const std::uint16_t length = be16(&b[pos + 2]);
        if (be16(&b[pos]) != 0 || length < 12 || pos + length > b.size()) break;
        Packet p;
        p.offset = pos;
        p.length = length;
        p.stream = be16(&b[pos + 4]);
        p.timestampMs = be32(&b[pos + 6]);
        p.flags = b[pos + 11];
        p.payload.assign(b.begin() + static_cast<std::ptrdiff_t>(pos + 12),
                         b.begin() + static_cast<std::ptrdiff_t>(pos + length));
        f.packets.push_back(std::move(p));
        pos += length;
    }

    std::size_t at = f.indexOffset;
    while (at && at + 20 <= b.size() && f.indexChain.size() < 64) {
        Cursor r(b, at, b.size());
        if (r.str(4) != "INDX") break;
        IndexChunkInfo info;
        info.offset = at;
        info.size = r.u32();
        r.u16();
        info.records = r.u32();
        info.stream = r.u16();
        info.next = r.u32();
        if (at > dataStart) f.chunks.push_back({"INDX", at, info.size});
        auto& records = at > dataStart ? f.index[info.stream] : f.headerIndex;
        for (std::uint32_t i = 0; i < info.records && r.has(14); ++i) {
            r.u16();
            IndexRecord rec;
            rec.timestampMs = r.u32();
            rec.offset = r.u32();
            rec.packetNumber = r.u32();
            records.push_back(rec);
        }
        f.indexChain.push_back(info);
        at = info.next;
    }
    return f;
}

// --- FFmpeg ------------------------------------------------------------------

namespace {

// Decoders report damaged data through the log even when the call succeeds.
std::atomic<int> g_errorLogs{0};

void countErrors(void* avcl, int level, const char* fmt, va_list vl) {
    // Only the decoders': the demuxer rightly complains about a cut-off packet.
    if (level <= AV_LOG_ERROR && avcl && av_default_get_category(avcl) == AV_CLASS_CATEGORY_DECODER)
        ++g_errorLogs;
    if (level <= AV_LOG_WARNING) av_log_default_callback(avcl, level, fmt, vl);
}

}  // namespace

FfmpegReport readWithFfmpeg(const std::string& path) {
    FfmpegReport report;
    av_log_set_callback(countErrors);
    g_errorLogs = 0;
    AVFormatContext* raw = nullptr;
    if (avformat_open_input(&raw, path.c_str(), nullptr, nullptr) < 0) {
        report.error = "open failed";
        av_log_set_callback(av_log_default_callback);
        return report;
    }
    InputContextPtr input(raw);
    report.opened = true;
    avformat_find_stream_info(input.get(), nullptr);
    if (input->duration != AV_NOPTS_VALUE)
        report.durationSec = input->duration / double(AV_TIME_BASE);
    const AVDictionaryEntry* e = nullptr;
    while ((e = av_dict_get(input->metadata, "", e, AV_DICT_IGNORE_SUFFIX)))
        report.metadata[e->key] = e->value;

    std::vector<CodecContextPtr> decoders;
    for (unsigned i = 0; i < input->nb_streams; ++i) {
        const AVStream* st = input->streams[i];
        FfmpegStream s;
        s.type = av_get_media_type_string(st->codecpar->codec_type)
                     ? av_get_media_type_string(st->codecpar->codec_type)
                     : "";
        s.codec = avcodec_get_name(st->codecpar->codec_id);
        s.width = st->codecpar->width;
        s.height = st->codecpar->height;
        s.sampleRate = st->codecpar->sample_rate;
        s.channels = st->codecpar->ch_layout.nb_channels;
        s.frameRate = st->avg_frame_rate.den ? av_q2d(st->avg_frame_rate) : 0;
        if (st->duration != AV_NOPTS_VALUE) s.durationSec = st->duration * av_q2d(st->time_base);
        report.streams.push_back(s);
        const AVCodec* codec = avcodec_find_decoder(st->codecpar->codec_id);
        CodecContextPtr ctx(codec ? avcodec_alloc_context3(codec) : nullptr);
        if (ctx && (avcodec_parameters_to_context(ctx.get(), st->codecpar) < 0 ||
                    avcodec_open2(ctx.get(), codec, nullptr) < 0)) {
            ++report.decodeErrors;
            ctx.reset();
        }
        decoders.push_back(std::move(ctx));
    }

    PacketPtr pkt(av_packet_alloc());
    FramePtr frame(av_frame_alloc());
    auto receive = [&](std::size_t i) {
        for (;;) {
            const int rc = avcodec_receive_frame(decoders[i].get(), frame.get());
            if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) return;
            if (rc < 0) {
                ++report.decodeErrors;
                return;
            }
            if (report.streams[i].type == "video")
                ++report.streams[i].frames;
            else
                report.streams[i].samples += frame->nb_samples;
            av_frame_unref(frame.get());
        }
    };
    while (av_read_frame(input.get(), pkt.get()) >= 0) {
        const std::size_t i = static_cast<std::size_t>(pkt->stream_index);
        FfmpegStream& s = report.streams[i];
        if (pkt->flags & AV_PKT_FLAG_CORRUPT) {
            // The piece of a packet cut off by the end of a truncated file.
            ++report.corruptPackets;
            av_packet_unref(pkt.get());
            continue;
        }
        ++s.packets;
        if (pkt->pts != AV_NOPTS_VALUE)
            s.lastPts = std::max(s.lastPts, pkt->pts * av_q2d(input->streams[i]->time_base));
        if (decoders[i]) {
            if (avcodec_send_packet(decoders[i].get(), pkt.get()) < 0) ++report.decodeErrors;
            receive(i);
        }
        av_packet_unref(pkt.get());
    }
    for (std::size_t i = 0; i < decoders.size(); ++i) {
        if (!decoders[i]) continue;
        avcodec_send_packet(decoders[i].get(), nullptr);
        receive(i);
    }
    report.decodeErrors += g_errorLogs;
    av_log_set_callback(av_log_default_callback);
    return report;
}

SeekResult seekWithFfmpeg(const std::string& path, int stream, double seconds) {
    SeekResult result;
    AVFormatContext* raw = nullptr;
    if (avformat_open_input(&raw, path.c_str(), nullptr, nullptr) < 0) return result;
    InputContextPtr input(raw);
    if (avformat_find_stream_info(input.get(), nullptr) < 0) return result;
    const AVStream* st = input->streams[stream];
    const std::int64_t target = static_cast<std::int64_t>(seconds / av_q2d(st->time_base));
    if (av_seek_frame(input.get(), stream, target, AVSEEK_FLAG_BACKWARD) < 0) return result;
    PacketPtr pkt(av_packet_alloc());
    while (av_read_frame(input.get(), pkt.get()) >= 0) {
        if (pkt->stream_index == stream) {
            result.ok = true;
            result.pts = pkt->pts * av_q2d(st->time_base);
            result.key = (pkt->flags & AV_PKT_FLAG_KEY) != 0;
            break;
        }
        av_packet_unref(pkt.get());
    }
    return result;
}

// --- tools -------------------------------------------------------------------

std::string shellQuote(const std::string& s) {
    std::string out = "'";
    for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

CommandResult run(const std::string& command) {
    CommandResult result;
    FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    if (!pipe) return result;
    char buf[4096];
    std::size_t n;
    while ((n = fread(buf, 1, sizeof buf, pipe)) > 0) result.output.append(buf, n);
    const int status = pclose(pipe);
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

GstReport playWithGstreamer(const std::string& path, bool video, bool audio) {
    const std::string videoRaw = path + ".video.raw";
    const std::string audioRaw = path + ".audio.raw";
    std::filesystem::remove(videoRaw);
    std::filesystem::remove(audioRaw);
    // Fixed raw formats, so sizes count frames and samples whatever was decoded.
    std::string pipeline =
        "timeout 120 gst-launch-1.0 -q filesrc location=" + shellQuote(path) + " ! rmdemux name=d";
    if (video)
        pipeline +=
            " d.video_0 ! queue ! decodebin ! videoconvert ! videoscale ! "
            "video/x-raw,format=I420,width=16,height=16 ! filesink location=" +
            shellQuote(videoRaw);
    if (audio)
        pipeline +=
            " d.audio_0 ! queue ! decodebin ! audioconvert ! audioresample ! "
            "audio/x-raw,format=S16LE,channels=1,rate=8000 ! filesink location=" +
            shellQuote(audioRaw);
    const CommandResult r = run(pipeline);
    GstReport report;
    report.exitCode = r.exitCode;
    report.output = r.output;
    std::error_code ec;
    if (video)
        report.videoFrames =
            static_cast<std::int64_t>(std::filesystem::file_size(videoRaw, ec) / (16 * 16 * 3 / 2));
    if (audio)
        report.audioSeconds =
            static_cast<double>(std::filesystem::file_size(audioRaw, ec)) / 2 / 8000;
    std::filesystem::remove(videoRaw, ec);
    std::filesystem::remove(audioRaw, ec);
    return report;
}

}  // namespace velmora::encoder::rmtest
