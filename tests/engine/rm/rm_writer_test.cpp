// Files written by our RealMedia writer from packets of FFmpeg's encoders,
// checked byte by byte and read back by FFmpeg, GStreamer and MediaInfo:
// whole, seeked, cut short at random points and abandoned mid-way.
#include "engine/rm/rm_writer.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>

#include "clip.h"
#include "rm_file.h"
#include "support/media/media_fixtures.h"

namespace velmora::encoder::rmtest {
namespace {

namespace fs = std::filesystem;

testing::media::ScratchDir& temp() {
    static testing::media::ScratchDir dir;
    return dir;
}

// FFmpeg's 14.4 encoder starts one frame before zero; the writer starts the file there.
constexpr std::uint32_t kAudioPrimingMs = 20;

const MediaMetadata kMetadata{"Velmora test", "Velmora", "(c) nobody", "made by the writer test"};

struct Written {
    std::string path;
    ParsedFile parsed;
};

Written writeFile(const std::string& name, const std::vector<const EncodedStream*>& streams,
                  const RealMediaWriterOptions& options = {}) {
    Written w;
    w.path = temp().file(name);
    auto writer = makeRealMediaWriter(options);
    Status s = writeStreams(*writer, w.path, streams, kMetadata);
    EXPECT_TRUE(s) << s.message();
    Status f = writer->finish();
    EXPECT_TRUE(f) << f.message();
    EXPECT_EQ(static_cast<std::uintmax_t>(writer->bytesWritten()), fs::file_size(w.path));
    w.parsed = parseFile(w.path);
    EXPECT_EQ(w.parsed.error, "");
    return w;
}

// Media time covered by `stream`'s packets in a parsed file, in ms.
std::uint32_t lastTimestamp(const ParsedFile& f, std::uint16_t stream) {
    std::uint32_t last = 0;
    for (const Packet& p : f.packets)
        if (p.stream == stream) last = std::max(last, p.timestampMs);
    return last;
}

// End of the 14.4 audio of `stream`: its last packet's time plus 20 ms a frame.
std::uint32_t audioEnd(const ParsedFile& f, std::uint16_t stream) {
    std::uint32_t end = 0;
    for (const Packet& p : f.packets)
        if (p.stream == stream)
            end = std::max<std::uint32_t>(end, p.timestampMs + p.payload.size());
    return end;
}

// The header's index holds the seek stream's key frames `keys`, then, in
// every place left, the end of the media at the last key frame's place: VLC
// needs an entry later than the time asked, and FFmpeg one no further on.
void expectHeaderIndex(const ParsedFile& f, const std::vector<IndexRecord>& keys) {
    ASSERT_EQ(f.headerIndex.size(), 17u);
    ASSERT_FALSE(keys.empty());
    ASSERT_LT(keys.size(), f.headerIndex.size()) << "no place left for the end";
    for (std::size_t i = 0; i < f.headerIndex.size(); ++i) {
        const IndexRecord& key = keys[std::min(i, keys.size() - 1)];
        EXPECT_EQ(f.headerIndex[i].timestampMs, i < keys.size() ? key.timestampMs : f.durationMs)
            << "entry " << i;
        EXPECT_EQ(f.headerIndex[i].offset, key.offset) << "entry " << i;
    }
}

std::string mediainfo(const std::string& path, const std::string& form) {
    CommandResult r = run("mediainfo --Inform=" + shellQuote(form) + " " + shellQuote(path));
    EXPECT_EQ(r.exitCode, 0) << r.output;
    while (!r.output.empty() && (r.output.back() == '\n' || r.output.back() == '\r'))
        r.output.pop_back();
    return r.output;
}

// A RealVideo 2.0 picture with packed 14.4 sound, `seconds` long, the
// default test pictures; encoded once per length and shared by the tests.
struct VideoAndAudio {
    EncodedStream video;
    EncodedStream audio;
};
const VideoAndAudio& videoAnd144(int seconds) {
    static std::map<int, VideoAndAudio> clips;
    auto [at, fresh] = clips.try_emplace(seconds);
    if (fresh) {
        VideoSettings settings;
        settings.seconds = seconds;
        at->second.video = encodeVideo(settings);
        at->second.audio = encode144(seconds);
    }
    return at->second;
}

// --- a file with RealVideo 2.0 and packed 14.4 audio --------------------------

class VideoWith144 : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        const VideoAndAudio& clip = videoAnd144(4);
        video_ = &clip.video;
        audio_ = &clip.audio;
        file_ = new Written(writeFile("v144.rm", {video_, audio_}));
    }
    static void TearDownTestSuite() { delete file_; }
    static const ParsedFile& parsed() { return file_->parsed; }
    static const std::string& path() { return file_->path; }

    static const EncodedStream* video_;
    static const EncodedStream* audio_;
    static Written* file_;
};
const EncodedStream* VideoWith144::video_ = nullptr;
const EncodedStream* VideoWith144::audio_ = nullptr;
Written* VideoWith144::file_ = nullptr;

TEST_F(VideoWith144, ChunksAndPropertiesDescribeThePackets) {
    const ParsedFile& f = parsed();
    std::vector<std::string> tags;
    for (const Chunk& c : f.chunks) tags.push_back(c.tag);
    EXPECT_EQ(tags, (std::vector<std::string>{".RMF", "PROP", "MDPR", "MDPR", "CONT", "INDX",
                                              "DATA", "INDX", "INDX"}));
    EXPECT_EQ(f.numHeaders, 8u);  // everything but .RMF itself

    std::uint64_t total = 0;
    std::uint32_t biggest = 0;
    for (const Packet& p : f.packets) {
        total += p.length;
        biggest = std::max<std::uint32_t>(biggest, p.length);
    }
    ASSERT_FALSE(f.packets.empty());
    EXPECT_EQ(f.numPackets, f.packets.size());
    EXPECT_EQ(f.dataPacketCount, f.packets.size());
    EXPECT_EQ(f.dataChunkSize, 18 + total);
    EXPECT_EQ(f.dataOffset, f.chunks[6].offset);
    // PROP points at an index in the header, chained to one per stream after
    // the data. The header's holds the video's entries and the end.
    ASSERT_EQ(f.indexChain.size(), 3u);
    EXPECT_EQ(f.indexOffset, f.chunks[5].offset);
    EXPECT_EQ(f.indexChain[0].stream, 0);
    EXPECT_EQ(f.indexChain[0].records, 17u);
    EXPECT_EQ(f.indexChain[0].next, f.dataOffset + f.dataChunkSize);
    expectHeaderIndex(f, f.index.at(0));
    EXPECT_EQ(f.indexChain[1].offset, f.chunks[7].offset);
    EXPECT_EQ(f.indexChain[1].next, f.chunks[8].offset);
    EXPECT_EQ(f.indexChain[2].next, 0u);
    EXPECT_EQ(f.chunks[8].offset + f.chunks[8].size, f.bytes.size());
    EXPECT_EQ(f.maxPacketSize, biggest);
    EXPECT_EQ(f.avgPacketSize, total / f.packets.size());
    EXPECT_EQ(f.numStreams, 2);
    EXPECT_NEAR(f.durationMs, 4000, 30);
    EXPECT_EQ(f.avgBitRate, total * 8 * 1000 / f.durationMs);
    EXPECT_GE(f.maxBitRate, f.avgBitRate);
    EXPECT_GT(f.prerollMs, 0u);
    EXPECT_LT(f.prerollMs, 4000u);
    EXPECT_EQ(f.title, kMetadata.title);
    EXPECT_EQ(f.author, kMetadata.author);
    EXPECT_EQ(f.copyright, kMetadata.copyright);
    EXPECT_EQ(f.comment, kMetadata.comment);

    ASSERT_EQ(f.streams.size(), 2u);
    EXPECT_EQ(f.streams[0].mimeType, "video/x-pn-realvideo");
    EXPECT_EQ(f.streams[1].mimeType, "audio/x-pn-realaudio");
    for (std::uint16_t s = 0; s < 2; ++s) {
        std::uint64_t bytes = 0;
        std::uint32_t maxLen = 0, count = 0;
        for (const Packet& p : f.packets) {
            if (p.stream != s) continue;
            bytes += p.length;
            maxLen = std::max<std::uint32_t>(maxLen, p.length);
            ++count;
        }
        const MediaProps& m = f.streams[s];
        EXPECT_EQ(m.number, s);
        EXPECT_NEAR(m.durationMs, 4000, 30);
        EXPECT_EQ(m.avgBitRate, bytes * 8 * 1000 / m.durationMs);
        EXPECT_GE(m.maxBitRate, m.avgBitRate);
        EXPECT_EQ(m.maxPacketSize, maxLen);
        EXPECT_EQ(m.avgPacketSize, bytes / count);
    }
}

TEST_F(VideoWith144, AudioFramesArePackedTenToAPacketWithTheirTimes) {
    const ParsedFile& f = parsed();
    std::vector<const Packet*> audio;
    for (const Packet& p : f.packets)
        if (p.stream == 1) audio.push_back(&p);
    const std::size_t frames = audio_->packets.size();
    ASSERT_EQ(audio.size(), (frames + 9) / 10);
    for (std::size_t i = 0; i < audio.size(); ++i) {
        const std::size_t expected = i + 1 < audio.size() ? 200 : (frames - 10 * i) * 20;
        EXPECT_EQ(audio[i]->payload.size(), expected) << "packet " << i;
        EXPECT_EQ(audio[i]->flags & 2, 2);
        // The encoder starts 20 ms before zero: the file starts there.
        EXPECT_EQ(audio[i]->timestampMs, 200 * i) << "packet " << i;
    }
    // The frames are the encoder's, in order.
    EXPECT_TRUE(std::equal(audio[1]->payload.begin(), audio[1]->payload.begin() + 20,
                           audio_->packets[10]->data));
}

TEST_F(VideoWith144, VideoFramesTravelWholeWithKeyFramesIndexed) {
    const ParsedFile& f = parsed();
    std::size_t n = 0;
    std::vector<std::uint32_t> keyTimes;
    for (const Packet& p : f.packets) {
        if (p.stream != 0) continue;
        ASSERT_LT(n, video_->packets.size());
        const AVPacket& src = *video_->packets[n];
        ASSERT_EQ(p.payload.size(), 2u + src.size);
        EXPECT_EQ(p.payload[0], 0x40);  // a whole frame
        EXPECT_TRUE(std::equal(p.payload.begin() + 2, p.payload.end(), src.data));
        EXPECT_EQ(p.timestampMs, src.pts * 100 + kAudioPrimingMs);
        EXPECT_EQ((p.flags & 2) != 0, (src.flags & AV_PKT_FLAG_KEY) != 0);
        if (p.flags & 2) keyTimes.push_back(p.timestampMs);
        ++n;
    }
    EXPECT_EQ(n, video_->packets.size());

    const auto& videoIndex = f.index.at(0);
    ASSERT_EQ(videoIndex.size(), keyTimes.size());
    for (std::size_t i = 0; i < videoIndex.size(); ++i) {
        EXPECT_EQ(videoIndex[i].timestampMs, keyTimes[i]);
        const auto at = std::find_if(f.packets.begin(), f.packets.end(), [&](const Packet& p) {
            return p.offset == videoIndex[i].offset;
        });
        ASSERT_NE(at, f.packets.end());
        EXPECT_EQ(at->stream, 0);
        EXPECT_EQ(at->timestampMs, videoIndex[i].timestampMs);
        EXPECT_EQ(videoIndex[i].packetNumber, static_cast<std::uint32_t>(at - f.packets.begin()));
    }
    const auto& audioIndex = f.index.at(1);
    ASSERT_GE(audioIndex.size(), 4u);
    for (std::size_t i = 1; i < audioIndex.size(); ++i)
        EXPECT_GE(audioIndex[i].timestampMs, audioIndex[i - 1].timestampMs + 1000);
}

TEST_F(VideoWith144, FfmpegDecodesEveryPacket) {
    const FfmpegReport r = readWithFfmpeg(path());
    ASSERT_TRUE(r.opened) << r.error;
    ASSERT_EQ(r.streams.size(), 2u);
    EXPECT_EQ(r.decodeErrors, 0);
    EXPECT_NEAR(r.durationSec, 4.0, 0.05);
    const FfmpegStream& v = r.streams[0];
    EXPECT_EQ(v.codec, "rv20");
    EXPECT_EQ(v.width, 176);
    EXPECT_EQ(v.height, 144);
    EXPECT_DOUBLE_EQ(v.frameRate, 10.0);
    EXPECT_EQ(v.packets, static_cast<std::int64_t>(video_->packets.size()));
    EXPECT_EQ(v.frames, v.packets);
    EXPECT_NEAR(v.lastPts, 3.9 + kAudioPrimingMs / 1000.0, 0.001);
    const FfmpegStream& a = r.streams[1];
    EXPECT_EQ(a.codec, "ra_144");
    EXPECT_EQ(a.sampleRate, 8000);
    EXPECT_EQ(a.channels, 1);
    EXPECT_EQ(a.samples, static_cast<std::int64_t>(audio_->packets.size()) * 160);
    EXPECT_EQ(r.metadata.at("title"), kMetadata.title);
    EXPECT_EQ(r.metadata.at("author"), kMetadata.author);
}

TEST_F(VideoWith144, GstreamerFindsAndPlaysBothStreams) {
    const CommandResult d = run("gst-discoverer-1.0 " + shellQuote(path()));
    EXPECT_EQ(d.exitCode, 0) << d.output;
    EXPECT_NE(d.output.find("video #"), std::string::npos) << d.output;
    EXPECT_NE(d.output.find("RealVideo 2.0"), std::string::npos) << d.output;
    EXPECT_NE(d.output.find("audio #"), std::string::npos) << d.output;
    EXPECT_NE(d.output.find("Sample rate: 8000"), std::string::npos) << d.output;
    EXPECT_NE(d.output.find("Duration: 0:00:04.0"), std::string::npos) << d.output;
    EXPECT_NE(d.output.find("Seekable: yes"), std::string::npos) << d.output;

    const GstReport g = playWithGstreamer(path(), true, true);
    EXPECT_EQ(g.exitCode, 0) << g.output;
    EXPECT_EQ(g.videoFrames, static_cast<std::int64_t>(video_->packets.size()));
    EXPECT_NEAR(g.audioSeconds, audio_->packets.size() * 0.02, 0.03);
}

TEST_F(VideoWith144, MediaInfoReadsTheHeader) {
    EXPECT_EQ(mediainfo(path(), "General;%Format%|%Duration%|%Title%"),
              "RealMedia|" + std::to_string(parsed().durationMs) + "|Velmora test");
    EXPECT_EQ(mediainfo(path(), "Video;%CodecID%|%Width%|%Height%|%FrameRate%"),
              "RV20|176|144|10.000");
    // MediaInfo reads a four-byte length before the 14.4 codec name where
    // VLC, FFmpeg and xine read one byte, so it loses the name (VLC needs it
    // to play the sound); it still lists the stream.
    EXPECT_EQ(mediainfo(path(), "Audio;%SamplingRate%|%Channels%|%Duration%"),
              "8000|1|" + std::to_string(parsed().streams.at(1).durationMs));
}

TEST_F(VideoWith144, SeeksLandOnTheKeyFrameBeforeTheTarget) {
    // Key frames every second (GOP 10 at 10 fps), 20 ms in; the last span,
    // from 3.02 s to the end, is the one only the header index's end bounds.
    const struct {
        const char* target;
        double key;
        const char* ffprobe;
        const char* gstreamer;
    } seeks[] = {
        {"2.55", 2.02, "2.020000,K_", "keyframe=2.020 first=2.550\n"},
        {"3.55", 3.02, "3.020000,K_", "keyframe=3.020 first=3.550\n"},
    };
    for (const auto& seek : seeks) {
        SCOPED_TRACE(std::string("seek to ") + seek.target);
        const SeekResult s = seekWithFfmpeg(path(), 0, std::atof(seek.target));
        ASSERT_TRUE(s.ok);
        EXPECT_TRUE(s.key);
        EXPECT_DOUBLE_EQ(s.pts, seek.key);

        const CommandResult p =
            run("ffprobe -v error -select_streams v -read_intervals " + std::string(seek.target) +
                "%+#1 -show_entries packet=pts_time,flags -of csv=p=0 " + shellQuote(path()));
        EXPECT_EQ(p.exitCode, 0) << p.output;
        EXPECT_EQ(p.output.substr(0, p.output.find('\n')), seek.ffprobe) << p.output;

        // GStreamer seeks only through the index: it must start at that key
        // frame and, decoding from it, give out frames from the target on.
        const CommandResult g =
            run("/usr/bin/python3 " + shellQuote(VELMORA_RM_TEST_DIR "/gst_seek.py") + " " +
                shellQuote(path()) + " " + seek.target);
        EXPECT_EQ(g.exitCode, 0) << g.output;
        EXPECT_EQ(g.output, seek.gstreamer);
    }
}

// --- AC-3 ---------------------------------------------------------------------

TEST(RmWriter, Ac3IsStoredAsDnetAndDecodes) {
    VideoSettings settings;
    settings.seconds = 2;
    const EncodedStream video = encodeVideo(settings);
    const EncodedStream ac3 = encodeAc3(48000, 2, 96000, 2);
    const Written w = writeFile("ac3.rm", {&video, &ac3});
    const ParsedFile& f = w.parsed;

    // Every AC-3 frame is a packet of its own with its 16-bit words swapped.
    std::size_t n = 0;
    for (const Packet& p : f.packets) {
        if (p.stream != 1) continue;
        const AVPacket& src = *ac3.packets[n++];
        ASSERT_EQ(p.payload.size(), static_cast<std::size_t>(src.size));
        EXPECT_EQ(p.payload[0], src.data[1]);
        EXPECT_EQ(p.payload[1], src.data[0]);
    }
    EXPECT_EQ(n, ac3.packets.size());

    const FfmpegReport r = readWithFfmpeg(w.path);
    ASSERT_TRUE(r.opened);
    ASSERT_EQ(r.streams.size(), 2u);
    EXPECT_EQ(r.decodeErrors, 0);
    EXPECT_EQ(r.streams[1].codec, "ac3");
    EXPECT_EQ(r.streams[1].sampleRate, 48000);
    EXPECT_EQ(r.streams[1].channels, 2);
    EXPECT_EQ(r.streams[1].samples, static_cast<std::int64_t>(ac3.packets.size()) * 1536);

    const CommandResult d = run("gst-discoverer-1.0 " + shellQuote(w.path));
    EXPECT_NE(d.output.find("AC-3"), std::string::npos) << d.output;
    const GstReport g = playWithGstreamer(w.path, true, true);
    EXPECT_EQ(g.exitCode, 0) << g.output;
    EXPECT_NEAR(g.audioSeconds, ac3.packets.size() * 1536 / 48000.0, 0.03);
    EXPECT_EQ(g.videoFrames, static_cast<std::int64_t>(video.packets.size()));

    EXPECT_EQ(mediainfo(w.path, "Audio;%CodecID%|%SamplingRate%|%Channels%"), "dnet|48000|2");
}

// --- frames larger than a packet ----------------------------------------------------

TEST(RmWriter, LargeFramesAreSplitAndReassembled) {
    VideoSettings settings;
    settings.seconds = 2;
    settings.bitRate = 400000;
    const EncodedStream video = encodeVideo(settings);
    RealMediaWriterOptions options;
    options.maxPacketSize = 1000;
    const Written w = writeFile("split.rm", {&video}, options);

    std::size_t fragments = 0;
    for (const Packet& p : w.parsed.packets) {
        EXPECT_LE(p.length, 0xFFFF);
        if ((p.payload[0] & 0xC0) != 0x40) ++fragments;
    }
    ASSERT_GT(fragments, 0u) << "no frame was split";
    EXPECT_EQ(w.parsed.packets.size(), video.packets.size() + fragments / 2);

    const FfmpegReport r = readWithFfmpeg(w.path);
    ASSERT_EQ(r.streams.size(), 1u);
    EXPECT_EQ(r.decodeErrors, 0);
    EXPECT_EQ(r.streams[0].frames, static_cast<std::int64_t>(video.packets.size()));

    const GstReport g = playWithGstreamer(w.path, true, false);
    EXPECT_EQ(g.exitCode, 0) << g.output;
    EXPECT_EQ(g.videoFrames, static_cast<std::int64_t>(video.packets.size()));
}

TEST(RmWriter, TheHeaderIndexThinsEvenlyWhenKeyFramesOutnumberIt) {
    VideoSettings settings;
    settings.seconds = 10;
    settings.gop = 1;  // 100 key frames for the header's 16 places
    const EncodedStream video = encodeVideo(settings);
    const Written w = writeFile("thinned.rm", {&video});
    const auto& full = w.parsed.index.at(0);
    ASSERT_EQ(full.size(), video.packets.size());
    // Halved three times: every eighth key frame from the first, 13 of them,
    // and the end after them.
    std::vector<IndexRecord> kept;
    for (std::size_t i = 0; i < 13; ++i) kept.push_back(full[8 * i]);
    expectHeaderIndex(w.parsed, kept);
}

TEST(RmWriter, RealVideo10AtAFractionalFrameRate) {
    VideoSettings settings;
    settings.codec = AV_CODEC_ID_RV10;
    settings.seconds = 2;
    EncodedStream video = encodeVideo(settings);
    video.timeBaseNum = 2;  // the same packets, timed at 7.5 fps
    video.timeBaseDen = 15;
    const Written w = writeFile("rv10.rm", {&video});
    const FfmpegReport r = readWithFfmpeg(w.path);
    ASSERT_EQ(r.streams.size(), 1u);
    EXPECT_EQ(r.streams[0].codec, "rv10");
    EXPECT_DOUBLE_EQ(r.streams[0].frameRate, 7.5);
    EXPECT_EQ(r.decodeErrors, 0);
    EXPECT_EQ(r.streams[0].frames, static_cast<std::int64_t>(video.packets.size()));
    EXPECT_NEAR(w.parsed.durationMs, video.packets.size() * 1000 / 7.5, 1);
}

// --- cut short -----------------------------------------------------------------------

void copyPrefix(const std::vector<std::uint8_t>& bytes, std::size_t size, const std::string& path) {
    FILE* out = std::fopen(path.c_str(), "wb");
    ASSERT_NE(out, nullptr);
    ASSERT_EQ(std::fwrite(bytes.data(), 1, size, out), size);
    std::fclose(out);
}

// What the complete packets of a file cut at `size` hold: the time of the
// last one of each stream, video frames and 14.4 seconds.
struct Complete {
    std::map<std::uint16_t, std::uint32_t> lastMs;
    std::int64_t videoFrames = 0;
    double audioSeconds = 0;
};
Complete completeBefore(const ParsedFile& whole, std::size_t size, std::size_t count = SIZE_MAX) {
    Complete c;
    for (std::size_t i = 0; i < whole.packets.size() && i < count; ++i) {
        const Packet& p = whole.packets[i];
        if (p.offset + p.length > size) break;
        c.lastMs[p.stream] = p.timestampMs;
        if (p.stream == 0) ++c.videoFrames;
        if (p.stream == 1) c.audioSeconds += p.payload.size() / 20 * 0.02;
    }
    return c;
}

TEST(RmWriter, FilesCutAtRandomPointsPlayUpToTheCut) {
    const auto& [video, audio] = videoAnd144(6);
    const Written w = writeFile("whole.rm", {&video, &audio});
    const ParsedFile& whole = w.parsed;
    const std::size_t dataEnd = whole.dataOffset + whole.dataChunkSize;

    std::mt19937 random(20261207);
    std::uniform_int_distribution<std::size_t> where(whole.dataOffset + 18, whole.bytes.size() - 1);
    for (int i = 0; i < 10; ++i) {
        const std::size_t size = where(random);
        SCOPED_TRACE("cut at " + std::to_string(size) + " of " +
                     std::to_string(whole.bytes.size()));
        const std::string cut = temp().file("cut.rm");
        copyPrefix(whole.bytes, size, cut);
        const Complete expected = completeBefore(whole, size);

        const FfmpegReport r = readWithFfmpeg(cut);
        ASSERT_TRUE(r.opened);
        ASSERT_EQ(r.streams.size(), 2u);
        EXPECT_EQ(r.decodeErrors, 0);
        for (std::uint16_t s = 0; s < 2; ++s) {
            if (expected.lastMs.count(s)) {
                EXPECT_NEAR(r.streams[s].lastPts * 1000, expected.lastMs.at(s), 1)
                    << "stream " << s;
            }
        }
        EXPECT_EQ(r.streams[0].frames, expected.videoFrames);
        EXPECT_LE(r.corruptPackets, 1);

        // GStreamer reads the index before the data: a cut inside the index
        // leaves it nothing to play (see the report); before it, all is well.
        if (size < dataEnd) {
            const GstReport g = playWithGstreamer(cut, true, true);
            EXPECT_EQ(g.exitCode, 0) << g.output;
            EXPECT_EQ(g.videoFrames, expected.videoFrames);
            EXPECT_NEAR(g.audioSeconds, expected.audioSeconds, 0.03);
        }
    }
}

// Writes the clip in a child process that is killed after `packets` packets.
std::string writeAndKill(const std::string& name, const std::vector<const EncodedStream*>& streams,
                         std::size_t packets) {
    const std::string path = temp().file(name);
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        RealMediaWriterOptions options;
        options.checkpointMs = 500;
        auto writer = makeRealMediaWriter(options);
        (void)writeStreams(*writer, path, streams, kMetadata, packets);
        kill(getpid(), SIGKILL);
        _exit(0);
    }
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFSIGNALED(status));
    return path;
}

TEST(RmWriter, AProcessKilledMidWriteLeavesAPlayableFile) {
    const auto& [video, audio] = videoAnd144(6);
    const std::size_t all = video.packets.size() + audio.packets.size();
    for (std::size_t packets : {all / 3, all * 2 / 3 + 7}) {
        SCOPED_TRACE("killed after " + std::to_string(packets) + " of " + std::to_string(all) +
                     " packets");
        const std::string path = writeAndKill("killed.rm", {&video, &audio}, packets);
        const ParsedFile f = parseFile(path);
        ASSERT_EQ(f.error, "");
        // The header describes a prefix of what is there: the last checkpoint.
        ASSERT_GT(f.numPackets, 0u);
        EXPECT_EQ(f.dataPacketCount, f.numPackets);
        EXPECT_LE(f.numPackets, f.packets.size());
        ASSERT_EQ(f.indexChain.size(), 1u);  // the header's, pointing nowhere yet
        EXPECT_EQ(f.indexChain[0].next, 0u);
        // ... and listing the key frames of the video it counts.
        std::vector<IndexRecord> keys;
        for (std::size_t i = 0; i < f.numPackets; ++i) {
            const Packet& p = f.packets[i];
            if (p.stream == 0 && (p.flags & 2) && p.payload.size() > 1 &&
                (p.payload[1] & 0x7F) == 1)  // the frame's first packet
                keys.push_back({p.timestampMs, static_cast<std::uint32_t>(p.offset), 0});
        }
        expectHeaderIndex(f, keys);
        std::uint64_t counted = 0;
        for (std::size_t i = 0; i < f.numPackets; ++i) counted += f.packets[i].length;
        EXPECT_EQ(f.dataChunkSize, 18 + counted);
        const double expectedEnd = packets * 6.0 / all;
        EXPECT_NEAR(f.durationMs / 1000.0, expectedEnd, 0.75);

        // FFmpeg reads every packet that made it to the disk ...
        const Complete present = completeBefore(f, f.bytes.size());
        const FfmpegReport r = readWithFfmpeg(path);
        ASSERT_EQ(r.streams.size(), 2u);
        EXPECT_EQ(r.decodeErrors, 0);
        EXPECT_EQ(r.streams[0].frames, present.videoFrames);

        // ... GStreamer the ones the header counts.
        const Complete counted2 = completeBefore(f, f.bytes.size(), f.numPackets);
        const GstReport g = playWithGstreamer(path, true, true);
        EXPECT_EQ(g.exitCode, 0) << g.output;
        EXPECT_GE(g.videoFrames, counted2.videoFrames);
        EXPECT_GE(g.audioSeconds + 0.03, counted2.audioSeconds);
    }
}

TEST(RmWriter, AWriterDestroyedMidWriteLeavesAConsistentFile) {
    const auto& [video, audio] = videoAnd144(3);
    const std::string path = temp().file("abandoned.rm");
    {
        auto writer = makeRealMediaWriter();
        ASSERT_TRUE(writeStreams(*writer, path, {&video, &audio}, kMetadata, 30));
    }
    const ParsedFile f = parseFile(path);
    ASSERT_EQ(f.error, "");
    EXPECT_EQ(f.numPackets, f.packets.size());
    EXPECT_EQ(f.dataPacketCount, f.packets.size());
    ASSERT_EQ(f.indexChain.size(), 1u);
    EXPECT_EQ(f.indexChain[0].next, 0u);
    EXPECT_EQ(f.durationMs, std::max(lastTimestamp(f, 0) + 100, audioEnd(f, 1)));

    const FfmpegReport r = readWithFfmpeg(path);
    EXPECT_EQ(r.decodeErrors, 0);
    const GstReport g = playWithGstreamer(path, true, true);
    EXPECT_EQ(g.exitCode, 0) << g.output;
    EXPECT_EQ(g.videoFrames, static_cast<std::int64_t>(lastTimestamp(f, 0) / 100 + 1));
}

// --- 14.4 packing ------------------------------------------------------------------------

TEST(RmWriter, Packed144AudioCostsLessAndStillPlays) {
    const EncodedStream audio = encode144(10);
    RealMediaWriterOptions single;
    single.audio144FramesPerPacket = 1;
    const Written packed = writeFile("packed.rm", {&audio});
    const Written unpacked = writeFile("single.rm", {&audio}, single);

    auto kbps = [](const Written& w) {
        std::uint64_t data = 0;
        for (const Packet& p : w.parsed.packets) data += p.length;
        return std::make_pair(data * 8.0 / w.parsed.durationMs,
                              fs::file_size(w.path) * 8.0 / w.parsed.durationMs);
    };
    const auto [packedData, packedFile] = kbps(packed);
    const auto [singleData, singleFile] = kbps(unpacked);
    std::printf(
        "14.4 audio, 10 s: 10 frames a packet %.2f kbit/s (file %.2f), one a packet %.2f kbit/s "
        "(file %.2f)\n",
        packedData, packedFile, singleData, singleFile);
    RecordProperty("packed_kbps", std::to_string(packedData));
    RecordProperty("single_kbps", std::to_string(singleData));
    EXPECT_NEAR(packedData, 8.0 * 212 / 200, 0.05);
    EXPECT_NEAR(singleData, 8.0 * 32 / 20, 0.05);
    EXPECT_EQ(packed.parsed.avgBitRate, static_cast<std::uint32_t>(packedData * 1000));

    for (const Written* w : {&packed, &unpacked}) {
        const FfmpegReport r = readWithFfmpeg(w->path);
        ASSERT_EQ(r.streams.size(), 1u);
        EXPECT_EQ(r.decodeErrors, 0);
        EXPECT_EQ(r.streams[0].samples, static_cast<std::int64_t>(audio.packets.size()) * 160);
        const GstReport g = playWithGstreamer(w->path, false, true);
        EXPECT_EQ(g.exitCode, 0) << g.output;
        EXPECT_NEAR(g.audioSeconds, audio.packets.size() * 0.02, 0.03);
    }
}

// --- refusals ----------------------------------------------------------------------------------

TEST(RmWriter, RefusesWhatTheFormatCannotCarry) {
    auto writer = makeRealMediaWriter();
    ParamsPtr params(avcodec_parameters_alloc());
    int index = -1;
    params->codec_type = AVMEDIA_TYPE_AUDIO;
    params->codec_id = AV_CODEC_ID_MP3;
    params->sample_rate = 44100;
    av_channel_layout_default(&params->ch_layout, 2);
    EXPECT_FALSE(writer->addStream(*params, 1, 44100, index));
    params->codec_id = AV_CODEC_ID_RA_144;  // 14.4 is 8 kHz mono only
    EXPECT_FALSE(writer->addStream(*params, 1, 44100, index));
    params->codec_type = AVMEDIA_TYPE_VIDEO;
    params->codec_id = AV_CODEC_ID_H264;
    params->width = 64;
    params->height = 64;
    EXPECT_FALSE(writer->addStream(*params, 1, 10, index));
    params->codec_id = AV_CODEC_ID_RV20;
    EXPECT_FALSE(writer->addStream(*params, 0, 10, index));  // no time base

    // Nothing declared: begin() refuses, and finish() reports the failure.
    EXPECT_FALSE(writer->begin(temp().file("empty.rm"), kMetadata));
    EXPECT_FALSE(writer->finish());
}

TEST(RmWriter, ReportsFailuresAndStillCloses) {
    const EncodedStream audio = encode144(1);
    // No folder there; a link there, which is not followed: what it points
    // to stays as it was.
    const std::string linked = temp().file("linked.rm"), link = temp().file("link.rm");
    std::ofstream(linked) << "someone's";
    std::filesystem::create_symlink(linked, link);
    for (const std::string& path : {std::string("/nonexistent-dir/x.rm"), link}) {
        SCOPED_TRACE(path);
        auto writer = makeRealMediaWriter();
        int index = -1;
        ASSERT_TRUE(writer->addStream(*audio.params, audio.timeBaseNum, audio.timeBaseDen, index));
        const Status s = writer->begin(path, kMetadata);
        EXPECT_FALSE(s);
        EXPECT_NE(s.message().find("无法创建目标文件"), std::string::npos) << s.message();
        EXPECT_FALSE(writer->writePacket(index, *audio.packets[0]));
        EXPECT_FALSE(writer->finish());
    }
    EXPECT_EQ(std::filesystem::file_size(linked), 9u);
    {
        auto writer = makeRealMediaWriter();
        int index = -1;
        ASSERT_TRUE(writer->addStream(*audio.params, audio.timeBaseNum, audio.timeBaseDen, index));
        EXPECT_FALSE(writer->writePacket(index, *audio.packets[0]));  // before begin()
    }
    {
        const std::string path = temp().file("badpacket.rm");
        auto writer = makeRealMediaWriter();
        int index = -1;
        ASSERT_TRUE(writer->addStream(*audio.params, audio.timeBaseNum, audio.timeBaseDen, index));
        ASSERT_TRUE(writer->begin(path, kMetadata));
        ASSERT_TRUE(writer->writePacket(index, *audio.packets[0]));
        PacketPtr odd(av_packet_clone(audio.packets[1].get()));
        odd->size = 19;  // not whole 14.4 frames
        EXPECT_FALSE(writer->writePacket(index, *odd));
        EXPECT_FALSE(writer->writePacket(index, *audio.packets[2]));  // failed stays failed
        EXPECT_FALSE(writer->finish());
        // What was written before the failure is still a well-formed file.
        EXPECT_EQ(parseFile(path).error, "");
    }
    {
        auto writer = makeRealMediaWriter();
        int index = -1;
        ASSERT_TRUE(writer->addStream(*audio.params, audio.timeBaseNum, audio.timeBaseDen, index));
        ASSERT_TRUE(writer->begin(temp().file("undeclared.rm"), kMetadata));
        EXPECT_FALSE(writer->writePacket(index + 1, *audio.packets[0]));
    }
}

}  // namespace
}  // namespace velmora::encoder::rmtest
