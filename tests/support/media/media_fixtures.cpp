#include "media_fixtures.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <vector>

#include "engine/core/ffmpeg_ptr.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/hash.h>
}

namespace velmora::testing::media {

namespace fs = std::filesystem;

namespace {

std::string quoted(const std::string& s) {
    std::string out = "'";
    for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

using encoder::CodecContextPtr;
using encoder::FramePtr;
using encoder::InputContextPtr;
using encoder::PacketPtr;

struct HashFree {
    void operator()(AVHashContext* h) const { av_hash_freep(&h); }
};

}  // namespace

ScratchDir::ScratchDir() {
    std::string pattern = (fs::temp_directory_path() / "velmora-test-XXXXXX").string();
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (::mkdtemp(buf.data())) path_ = buf.data();
}

ScratchDir::~ScratchDir() {
    if (path_.empty() || std::getenv("VELMORA_KEEP_TEST_FILES")) return;  // to look at by hand
    std::error_code ec;
    // Restore rights a test may have taken away, so everything can go.
    for (auto it = fs::recursive_directory_iterator(path_, ec); !ec && it != fs::end(it);
         it.increment(ec))
        if (it->is_directory(ec))
            fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(path_, ec);
}

bool makeClip(const std::string& path, const ClipShape& shape) {
    std::ostringstream cmd;
    cmd << "ffmpeg -nostdin -v error -y";
    if (shape.video) {
        const std::string size = std::to_string(shape.width) + "x" + std::to_string(shape.height);
        // Slides: the Mandelbrot set at a new depth every few seconds, each a still.
        cmd << " -f lavfi -i "
            << quoted(shape.slides
                          ? "mandelbrot=size=" + size + ":rate=1/" +
                                std::to_string(shape.slideSeconds) + ":end_scale=0.001:end_pts=10"
                          : "testsrc2=size=" + size + ":rate=" + std::to_string(shape.fps));
    }
    if (shape.audio) {
        // A tone with noise under it: closer to music than a pure sine.
        cmd << " -f lavfi -i "
            << quoted("anoisesrc=color=pink:amplitude=0.08:sample_rate=" +
                      std::to_string(shape.sampleRate));
        cmd << " -f lavfi -i "
            << quoted("sine=frequency=330:sample_rate=" + std::to_string(shape.sampleRate));
    }
    std::string filters;
    // A jump keeps the clip's length by trimming before it: -t counts the jump.
    const std::string jump = shape.clockJumpSeconds > 0
                                 ? "setpts='PTS+gte(T\\," + std::to_string(shape.clockJumpAt) +
                                       ")*" + std::to_string(shape.clockJumpSeconds) + "/TB',"
                                 : "";
    const std::string length = std::to_string(shape.seconds);
    if (shape.video) {
        std::string v = "[0:v]";
        if (!jump.empty()) v += "trim=duration=" + length + "," + jump;
        if (shape.slides) v += "fps=" + std::to_string(shape.fps) + ",";
        if (shape.stillGrain)
            v += "noise=alls=100:allf=u,";
        else if (shape.grain)
            v += "noise=alls=24:allf=t+u,";
        if (shape.variableFrameRate)
            // Intervals of 55, 55 and 10 ms: 25 fps on average, never constant.
            v += "settb=1/1000,setpts='(N*40+mod(N\\,3)*15)/1000/TB',";
        v += "format=yuv420p[v]";
        filters += v;
    }
    if (shape.audio) {
        const int a = shape.video ? 1 : 0;
        if (!filters.empty()) filters += ";";
        filters += "[" + std::to_string(a) + ":a][" + std::to_string(a + 1) +
                   ":a]amix=inputs=2,aformat=channel_layouts=" + shape.channelLayout;
        if (shape.soundPauseSeconds > 0)
            filters += ",aselect='not(between(t\\," + std::to_string(shape.soundPauseAt) + "\\," +
                       std::to_string(shape.soundPauseAt + shape.soundPauseSeconds) + "))'";
        if (!jump.empty()) {
            filters += ",atrim=duration=" + length + ",a" + jump;
            filters.pop_back();  // the comma after the last filter
        }
        if (shape.audioStartSeconds > 0)
            filters += ",asetpts=PTS+" + std::to_string(shape.audioStartSeconds) + "/TB";
        filters += "[a]";
    }
    cmd << " -filter_complex " << quoted(filters);
    if (shape.video)
        cmd << " -map '[v]' "
            << (shape.videoCodec ? shape.videoCodec
                                 : "-c:v libx264 -preset ultrafast -crf 20 -g 50");
    if (shape.variableFrameRate) cmd << " -fps_mode passthrough -enc_time_base:v 1:1000";
    if (shape.audio)
        cmd << " -map '[a]' -c:a " << (std::string(shape.extension) == "mkv" ? "flac" : "aac");
    if (shape.audioAheadSeconds > 0)
        cmd << " -max_interleave_delta 0 -audio_preload "
            << static_cast<long long>(shape.audioAheadSeconds * 1e6);
    if (jump.empty()) cmd << " -t " << shape.seconds;
    cmd << " " << quoted(path) << " 2>&1";
    return std::system(cmd.str().c_str()) == 0 && fileExists(path);
}

const std::string& cachedClip(const std::string& name, const ClipShape& shape) {
    static std::mutex mutex;
    static ScratchDir dir;
    static std::map<std::string, std::string> clips;
    std::lock_guard lock(mutex);
    auto it = clips.find(name);
    if (it != clips.end()) return it->second;
    std::string path = dir.file(name + "." + shape.extension);
    if (!makeClip(path, shape)) path.clear();
    return clips.emplace(name, path).first->second;
}

double MediaInfo::playSeconds() const {
    if (durationSeconds > 0) return durationSeconds;
    return audio ? audio->decodedSeconds : 0;
}

MediaInfo probe(const std::string& path) {
    MediaInfo info;
    AVFormatContext* raw = nullptr;
    int ret = avformat_open_input(&raw, ("file:" + path).c_str(), nullptr, nullptr);
    if (ret < 0) {
        info.error = "cannot open " + path;
        return info;
    }
    InputContextPtr format(raw);
    if (avformat_find_stream_info(format.get(), nullptr) < 0) {
        info.error = "no stream info";
        return info;
    }
    info.opened = true;
    info.durationSeconds = format->duration > 0 ? format->duration / double(AV_TIME_BASE) : 0;
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) info.fileBytes = st.st_size;

    int videoIndex = -1, audioIndex = -1;
    CodecContextPtr audioDecoder;
    for (unsigned i = 0; i < format->nb_streams; ++i) {
        const AVStream* s = format->streams[i];
        const AVCodecParameters* par = s->codecpar;
        StreamInfo si;
        si.codec = avcodec_get_name(par->codec_id);
        if (par->codec_type == AVMEDIA_TYPE_VIDEO && videoIndex < 0) {
            videoIndex = static_cast<int>(i);
            si.width = par->width;
            si.height = par->height;
            si.frameRate = av_q2d(s->r_frame_rate);
            info.video = si;
        } else if (par->codec_type == AVMEDIA_TYPE_AUDIO && audioIndex < 0) {
            audioIndex = static_cast<int>(i);
            si.channels = par->ch_layout.nb_channels;
            si.sampleRate = par->sample_rate;
            info.audio = si;
            if (const AVCodec* codec = avcodec_find_decoder(par->codec_id)) {
                audioDecoder.reset(avcodec_alloc_context3(codec));
                if (avcodec_parameters_to_context(audioDecoder.get(), par) < 0 ||
                    avcodec_open2(audioDecoder.get(), codec, nullptr) < 0)
                    audioDecoder.reset();
            }
        }
    }

    PacketPtr packet(av_packet_alloc());
    FramePtr frame(av_frame_alloc());
    std::int64_t samples = 0;
    const auto drainAudio = [&] {
        while (avcodec_receive_frame(audioDecoder.get(), frame.get()) >= 0) {
            samples += frame->nb_samples;
            av_frame_unref(frame.get());
        }
    };
    while (av_read_frame(format.get(), packet.get()) >= 0) {
        if (packet->stream_index == videoIndex) ++info.video->packets;
        if (packet->stream_index == audioIndex) {
            ++info.audio->packets;
            if (audioDecoder && avcodec_send_packet(audioDecoder.get(), packet.get()) >= 0)
                drainAudio();
        }
        av_packet_unref(packet.get());
    }
    if (audioDecoder) {
        avcodec_send_packet(audioDecoder.get(), nullptr);
        drainAudio();
        if (audioDecoder->sample_rate > 0)
            info.audio->decodedSeconds = double(samples) / audioDecoder->sample_rate;
    }
    return info;
}

std::string fileDigest(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return {};
    AVHashContext* raw = nullptr;
    if (av_hash_alloc(&raw, "SHA256") < 0) return {};
    std::unique_ptr<AVHashContext, HashFree> hash(raw);
    av_hash_init(hash.get());
    std::vector<char> buf(1 << 16);
    while (in.read(buf.data(), buf.size()) || in.gcount() > 0)
        av_hash_update(hash.get(), reinterpret_cast<const uint8_t*>(buf.data()),
                       static_cast<int>(in.gcount()));
    char hex[2 * AV_HASH_MAX_SIZE + 1] = {};
    av_hash_final_hex(hash.get(), reinterpret_cast<uint8_t*>(hex), sizeof hex);
    return hex;
}

bool fileExists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

bool makeOlder(const std::string& path, int seconds) {
    const timespec times[2] = {{0, UTIME_OMIT}, {::time(nullptr) - seconds, 0}};
    return ::utimensat(AT_FDCWD, path.c_str(), times, 0) == 0;
}

int hiddenFileCount(const std::string& folder) {
    int n = 0;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(folder, ec))
        if (e.path().filename().string().starts_with(".")) ++n;
    return n;
}

}  // namespace velmora::testing::media
