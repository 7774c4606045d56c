// The engine on real clips: every audience within its budget, the sources
// people actually have, every refusal, stopping and failing mid-way.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <string>
#include <thread>

#include "engine/output/preview.h"
#include "engine/source/media_source.h"
#include "engine/stages/video_stage.h"
#include "engine_support.h"

namespace velmora::encoder {
namespace {

using namespace std::chrono_literals;
using testing::WaitingObserver;
namespace media = velmora::testing::media;

// The file's pictures as the ffmpeg CLI shows them (turned upright), each
// shrunk to `cells` x `cells` grey bytes; `frames` of them, 0 for all.
// What a command (an ffmpeg CLI writing raw pictures) prints, byte by byte.
std::vector<int> printedBytes(const std::string& command) {
    std::vector<int> bytes;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) return bytes;
    for (int c; (c = std::fgetc(pipe)) != EOF;) bytes.push_back(c);
    ::pclose(pipe);
    return bytes;
}

std::vector<int> greyCells(const std::string& file, int cells, int frames = 0) {
    return printedBytes("ffmpeg -nostdin -v error -i " + file +
                        (frames > 0 ? " -frames:v " + std::to_string(frames) : "") +
                        " -vf scale=" + std::to_string(cells) + ":" + std::to_string(cells) +
                        ":flags=area,format=gray -f rawvideo -");
}

class EngineMedia : public ::testing::Test {
  protected:
    // Runs a whole job and returns its result; fails the test on a refusal.
    JobResult encode(JobSettings job) {
        Engine engine;
        WaitingObserver observer;
        const Status s = engine.start(job, observer, &info_);
        EXPECT_TRUE(s) << s.message();
        if (!s) return {};
        auto result = observer.waitResult();
        EXPECT_TRUE(result);
        progress_ = observer.progress();
        return result.value_or(JobResult{});
    }

    JobSettings job(const std::string& source, const std::string& destination,
                    std::initializer_list<Audience> audiences = {Audience::Dsl256K}) {
        JobSettings j;
        j.source = source;
        j.destination = destination;
        j.audiences = audienceSet(audiences);
        return j;
    }

    media::ScratchDir dir_;
    JobInfo info_;
    std::vector<JobProgress> progress_;
};

// --- every audience on the detailed clip -------------------------------------

class AudienceBudget : public EngineMedia, public ::testing::WithParamInterface<Audience> {};

TEST_P(AudienceBudget, FileOpensPlaysAsLongAsTheSourceAndKeepsToTheBudget) {
    const std::string& source = media::cachedClip("detailed", testing::detailedClip());
    ASSERT_FALSE(source.empty());
    const AudienceProfile& profile = profileOf(GetParam());
    const std::string out = dir_.file(std::string(profile.key) + ".rm");

    const JobResult r = encode(job(source, out, {GetParam()}));
    ASSERT_EQ(r.outcome, JobOutcome::Completed) << r.message;
    EXPECT_EQ(r.percent, 100);

    const media::MediaInfo m = media::probe(out);
    ASSERT_TRUE(m.opened) << m.error;
    ASSERT_TRUE(m.video && m.audio);
    EXPECT_EQ(m.video->codec, "rv20");
    EXPECT_EQ(m.audio->codec, profile.audioCodec == AudioCodec::Real144 ? "ra_144" : "ac3");
    EXPECT_EQ(m.video->width % 4, 0);
    EXPECT_EQ(m.video->height % 4, 0);
    EXPECT_NEAR(m.playSeconds(), 8.0, 0.5);
    EXPECT_NEAR(m.audio->decodedSeconds, 8.0, 0.5);
    // A constant rate with no frame skipped: exactly fps frames a second.
    EXPECT_NEAR(m.video->packets, 8.0 * info_.plan.video->fps, 1.0);
    EXPECT_EQ(m.fileBytes, r.bytes);

    const double kbps = m.fileBytes * 8.0 / 8.0 / 1000.0;
    std::cout << "[ measured ] " << profile.key << ": " << kbps << " kbps of " << profile.budgetKbps
              << "\n";
    RecordProperty("kbps", std::to_string(kbps));
    EXPECT_LE(kbps, profile.budgetKbps);
    EXPECT_GE(kbps, 0.6 * profile.budgetKbps);

    // Progress was raised once per whole percentage, rising.
    ASSERT_FALSE(progress_.empty());
    for (std::size_t i = 1; i < progress_.size(); ++i)
        EXPECT_GT(progress_[i].percent, progress_[i - 1].percent);
    EXPECT_LE(progress_.back().percent, 99);
}

// A short, clean clip: the first key frame weighs most here.
TEST_P(AudienceBudget, ShortCleanClipStaysWithinTheBudgetToo) {
    media::ClipShape shape;
    shape.seconds = 4;
    shape.grain = false;
    const std::string& source = media::cachedClip("short-clean", shape);
    ASSERT_FALSE(source.empty());
    const AudienceProfile& profile = profileOf(GetParam());
    const std::string out = dir_.file("short.rm");
    ASSERT_EQ(encode(job(source, out, {GetParam()})).outcome, JobOutcome::Completed);
    const media::MediaInfo m = media::probe(out);
    ASSERT_TRUE(m.opened);
    EXPECT_LE(m.fileBytes * 8.0 / 4.0 / 1000.0, profile.budgetKbps);
}

INSTANTIATE_TEST_SUITE_P(EveryAudience, AudienceBudget,
                         ::testing::Values(Audience::Modem28K, Audience::Modem56K,
                                           Audience::SingleIsdn, Audience::DualIsdn, Audience::Lan,
                                           Audience::Dsl256K, Audience::Dsl384K, Audience::Dsl512K),
                         [](const auto& info) {
                             return std::string(profileOf(info.param).key) == "dual-isdn"
                                        ? std::string("dual_isdn")
                                        : std::string(profileOf(info.param).key);
                         });

// --- the sources people have --------------------------------------------------

TEST_F(EngineMedia, SoundOnlySourcesGiveSoundOnlyFiles) {
    media::ClipShape shape;
    shape.video = false;
    shape.seconds = 4;
    const std::string& source = media::cachedClip("sound-only", shape);
    ASSERT_FALSE(source.empty());
    for (Audience a : {Audience::Modem28K, Audience::Lan}) {
        const std::string out = dir_.file("sound.rm");
        const JobResult r = encode(job(source, out, {a}));
        ASSERT_EQ(r.outcome, JobOutcome::Completed) << r.message;
        const media::MediaInfo m = media::probe(out);
        ASSERT_TRUE(m.opened);
        EXPECT_FALSE(m.video);
        ASSERT_TRUE(m.audio);
        EXPECT_NEAR(m.audio->decodedSeconds, 4.0, 0.5);
    }
}

TEST_F(EngineMedia, PictureOnlySourcesGivePictureOnlyFiles) {
    media::ClipShape shape;
    shape.audio = false;
    shape.seconds = 4;
    const std::string& source = media::cachedClip("picture-only", shape);
    ASSERT_FALSE(source.empty());
    const std::string out = dir_.file("picture.rm");
    const JobResult r = encode(job(source, out, {Audience::Modem56K}));
    ASSERT_EQ(r.outcome, JobOutcome::Completed) << r.message;
    const media::MediaInfo m = media::probe(out);
    ASSERT_TRUE(m.opened);
    EXPECT_FALSE(m.audio);
    ASSERT_TRUE(m.video);
    EXPECT_EQ(m.video->codec, "rv20");
    EXPECT_NEAR(m.durationSeconds, 4.0, 0.5);
    EXPECT_LE(m.fileBytes * 8.0 / 4.0 / 1000.0, profileOf(Audience::Modem56K).budgetKbps);
}

TEST_F(EngineMedia, OddSizesAndVariableFrameRatesBecomeWholeConstantRates) {
    // Without grain, so that the line carries every frame: the rate guard
    // leaves frames out of a picture it cannot carry.
    media::ClipShape odd;
    odd.width = 321;
    odd.height = 241;
    odd.seconds = 3;
    odd.grain = false;
    media::ClipShape vfr = odd;
    vfr.width = 320;
    vfr.height = 240;
    vfr.variableFrameRate = true;
    vfr.seconds = 4;
    for (const auto& [name, shape] : {std::pair{"odd", odd}, std::pair{"vfr", vfr}}) {
        SCOPED_TRACE(name);
        const std::string& source = media::cachedClip(name, shape);
        ASSERT_FALSE(source.empty());
        const std::string out = dir_.file(std::string(name) + ".rm");
        const JobResult r = encode(job(source, out, {Audience::Lan}));
        ASSERT_EQ(r.outcome, JobOutcome::Completed) << r.message;
        const media::MediaInfo m = media::probe(out);
        ASSERT_TRUE(m.opened && m.video);
        EXPECT_EQ(m.video->width, 240);
        EXPECT_EQ(m.video->height, 180);
        EXPECT_EQ(m.video->frameRate, 12.0);
        EXPECT_NEAR(m.video->packets, shape.seconds * 12, 1.0);
        EXPECT_NEAR(m.playSeconds(), shape.seconds, 0.5);
    }
}

// 30 frames a second into 256K's 15: every other frame, evenly. The source's
// frames are flat greys four levels apart, repeating every four frames, so
// the mean of an output frame names the source frame it shows.
TEST_F(EngineMedia, HalvingTheFrameRateKeepsEveryOtherFrameEvenly) {
    const std::string source = dir_.file("steps.mkv");
    const std::string make =
        "ffmpeg -nostdin -v error -y -f lavfi -i "
        "\"color=gray:size=160x120:rate=30,geq=lum='16+60*mod(N\\,4)':cb=128:cr=128\" "
        "-t 2 -c:v ffv1 " +
        source;
    ASSERT_EQ(std::system(make.c_str()), 0);
    const std::string out = dir_.file("steps.rm");
    const JobResult r = encode(job(source, out, {Audience::Dsl256K}));
    ASSERT_EQ(r.outcome, JobOutcome::Completed) << r.message;
    // One byte per frame: its mean level.
    const std::vector<int> in = greyCells(source, 1), shown = greyCells(out, 1);
    ASSERT_EQ(in.size(), 60u);
    ASSERT_GE(shown.size(), 29u);
    for (std::size_t n = 0; n < shown.size() && 2 * n < in.size(); ++n)
        EXPECT_NEAR(shown[n], in[2 * n], 20) << "output frame " << n;
}

// A screen recorder sends no frame while the screen stands still; the file's
// own length counts the stretch, so it is no gap to close.
TEST_F(EngineMedia, AStillScreenInAVariableRateRecordingKeepsItsLength) {
    const std::string source = dir_.file("screen.mkv");
    ASSERT_EQ(std::system(("ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=s=320x240:r=10 -t 22 "
                           "-vf \"select='lt(t\\,2)+gte(t\\,20)'\" -fps_mode passthrough " +
                           source)
                              .c_str()),
              0);
    const JobResult r = encode(job(source, dir_.file("screen.rm")));
    ASSERT_EQ(r.outcome, JobOutcome::Completed) << r.message;
    EXPECT_EQ(r.gapMs, 0);
    EXPECT_NEAR(media::probe(dir_.file("screen.rm")).durationSeconds, 22.0, 0.5);
}

// A picture that decodes not at all beside intact sound: the sound is kept,
// as the ffmpeg CLI keeps it, and the summary says what was left out.
// VP9 whose every picture is cut after its uncompressed header (IVF: a
// 32-byte header, then per frame its size, its time and its bytes): its
// decoder opens and learns the picture's size and format, then fails on
// every packet.
bool cutEveryPicture(const std::string& from, const std::string& to) {
    std::ifstream in(from, std::ios::binary);
    const std::string d((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (d.size() < 32) return false;
    std::string out = d.substr(0, 32);
    for (std::size_t i = 32; i + 12 <= d.size();) {
        const auto byte = [&](std::size_t k) { return std::uint32_t(std::uint8_t(d[i + k])); };
        const std::uint32_t size = byte(0) | byte(1) << 8 | byte(2) << 16 | byte(3) << 24;
        const std::string kept = d.substr(i + 12, std::min<std::uint32_t>(size, 24));
        out += std::string{char(kept.size()), 0, 0, 0} + d.substr(i + 4, 8) + kept;
        i += 12 + std::size_t{size};
    }
    return bool(std::ofstream(to, std::ios::binary) << out);
}

TEST_F(EngineMedia, AnUndecodablePictureIsLeftOutBesideIntactSound) {
    const std::string good = dir_.file("good.mkv"), broken = dir_.file("broken.mkv");
    const std::string picture = dir_.file("picture.ivf"), cut = dir_.file("cut.ivf");
    const std::string opens = dir_.file("opens.mkv");
    ASSERT_EQ(std::system(("ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=s=320x240:r=25 -f "
                           "lavfi -i sine -t 4 -c:v libvpx-vp9 -deadline realtime -c:a libopus " +
                           good + " && ffmpeg -nostdin -v error -y -i " + good +
                           " -c copy -bsf:v noise=2 " + broken + " && ffmpeg -nostdin -v error " +
                           "-y -i " + good + " -c copy -an " + picture)
                              .c_str()),
              0);
    ASSERT_TRUE(cutEveryPicture(picture, cut));
    ASSERT_EQ(std::system(("ffmpeg -nostdin -v error -y -i " + cut + " -i " + good +
                           " -map 0:v -map 1:a -c copy " + opens)
                              .c_str()),
              0);
    for (const auto& [source, shown] :
         {std::pair{good, true}, std::pair{broken, false}, std::pair{opens, false}}) {
        SCOPED_TRACE(source);
        const JobResult r = encode(job(source, dir_.file("kept.rm"), {Audience::Modem56K}));
        ASSERT_EQ(r.outcome, JobOutcome::Completed) << r.message;
        const media::MediaInfo m = media::probe(dir_.file("kept.rm"));
        EXPECT_EQ(m.video.has_value(), shown);
        ASSERT_TRUE(m.audio);
        EXPECT_NEAR(m.playSeconds(), 4.0, 0.5);
        EXPECT_EQ(r.warning.find("画面") != std::string::npos, !shown) << r.warning;
    }
}

// The file's picture `seconds` in, each quarter of it averaged: RGB bytes,
// four cells. A RealMedia file's as RealVideo players show it (BT.601,
// limited range).
std::vector<int> rgbQuarters(const std::string& file, double seconds) {
    const bool rm = file.ends_with(".rm");
    return printedBytes("ffmpeg -nostdin -v error -ss " + std::to_string(seconds) + " -i " + file +
                        " -frames:v 1 -vf " +
                        (rm ? "scale=in_color_matrix=bt601:in_range=tv," : "") +
                        "format=rgb24,scale=2:2:flags=area -f rawvideo -");
}

// Red, green, blue and white made the ways cameras and phones make them come
// out red, green, blue and white where the file is played.
TEST_F(EngineMedia, ColoursComeOutAsTheSourceShowsThem) {
    // 4.4 s: the first look reads the light levels HEVC states in its pictures.
    const auto quarters = [](const char* size) {
        return std::string("color=c=red:r=25:d=4.4:s=") + size +
               ",drawbox=x=iw/2:y=0:w=iw/2:h=ih/2:color=lime:t=fill"
               ",drawbox=x=0:y=ih/2:w=iw/2:h=ih/2:color=blue:t=fill"
               ",drawbox=x=iw/2:y=ih/2:w=iw/2:h=ih/2:color=white:t=fill,format=gbrp";
    };
    const std::string linear =
        "format=gbrpf32le,zscale=tin=bt709:pin=bt709:min=gbr:rin=pc:t=linear:p=bt709:m=gbr:r=pc:"
        "npl=203,zscale=p=bt2020,zscale=m=bt2020nc:r=tv:npl=203:t=";
    const std::string x265 =
        " -c:v libx265 -preset ultrafast -colorspace bt2020nc -color_primaries bt2020"
        " -x265-params log-level=error:colorprim=bt2020:colormatrix=bt2020nc:";
    // From BT.2020 back to BT.709 the chroma's coding error grows in saturated
    // colours; an unconverted HDR picture misses white alone by 60 to 110.
    struct Variant {
        const char* name;
        std::string picture, filter, coder;
        int tolerance;
    } variants[] = {
        {"BT.709", quarters("640x360"), "scale=out_color_matrix=bt709,format=yuv420p",
         " -c:v libx264 -colorspace bt709 -color_primaries bt709 -color_trc bt709", 16},
        {"HD, matrix unstated", quarters("1280x720"), "scale=out_color_matrix=bt709,format=yuv420p",
         " -c:v libx264", 16},
        {"full range, in a tag only", quarters("640x360"),
         "scale=out_color_matrix=bt601:out_range=pc,format=yuv420p",
         " -c:v libx265 -preset ultrafast -x265-params log-level=error:range=full"
         " -color_range pc -colorspace smpte170m",
         16},
        {"HLG", quarters("640x360"), linear + "arib-std-b67,format=yuv420p10le",
         x265 + "transfer=arib-std-b67 -color_trc arib-std-b67", 44},
        {"PQ", quarters("640x360"), linear + "smpte2084,format=yuv420p10le",
         x265 + "transfer=smpte2084:max-cll=203,203:hdr10=1 -color_trc smpte2084", 28},
    };
    for (const Variant& v : variants) {
        SCOPED_TRACE(v.name);
        const std::string original = dir_.file("colours.png"), source = dir_.file("colours.mkv");
        const std::string out = dir_.file("colours.rm");
        ASSERT_EQ(std::system(("ffmpeg -nostdin -v error -y -f lavfi -i \"" + v.picture +
                               "\" -frames:v 1 " + original + " && ffmpeg -nostdin -v error -y " +
                               "-f lavfi -i \"" + v.picture + "\" -vf \"" + v.filter + "\"" +
                               v.coder + " " + source)
                                  .c_str()),
                  0);
        const std::vector<int> expected = rgbQuarters(original, 0);
        ASSERT_EQ(expected.size(), 12u);
        ASSERT_EQ(encode(job(source, out, {Audience::Dsl512K})).outcome, JobOutcome::Completed);
        const std::vector<int> shown = rgbQuarters(out, 2);
        ASSERT_EQ(shown.size(), 12u);
        for (std::size_t i = 0; i < 12; ++i)
            EXPECT_NEAR(shown[i], expected[i], v.tolerance)
                << "quarter " << i / 3 << ", channel " << i % 3;
    }
}

// A file's own words, as FFmpeg's rm demuxer reads them from CONT.
std::map<std::string, std::string> fileTagsOf(const std::string& file) {
    std::map<std::string, std::string> tags;
    AVFormatContext* raw = nullptr;
    if (avformat_open_input(&raw, file.c_str(), nullptr, nullptr) < 0) return tags;
    InputContextPtr format(raw);
    for (const AVDictionaryEntry* e = nullptr;
         (e = av_dict_get(format->metadata, "", e, AV_DICT_IGNORE_SUFFIX));)
        tags[e->key] = e->value;
    return tags;
}

// The source's title, artist, copyright and comment reach both writers'
// files; what the job is given wins; a text in no known encoding is left out
// and one too long is cut at a character.
// The decoder's threads change no picture: on the reader's thread, on frame
// threads, or changing over either way at a key frame in the middle (as
// the running job does), every output gets the same pictures in the same
// slots. Open groups are the hard case: their leading pictures refer to
// the group before the key frame, which a decoder started there lacks.
TEST_F(EngineMedia, TheDecodersThreadsChangeNoPicture) {
    struct Source {
        const char* name;
        const char* codec;
    } sources[] = {
        {"x264-bframes", "-c:v libx264 -preset veryfast -bf 3 -g 25 -crf 24"},
        {"x264-open-gop",
         "-c:v libx264 -preset veryfast -bf 3 -g 25 -crf 24 -x264-params open-gop=1"},
        {"mpeg2-open-gop", "-c:v mpeg2video -g 12 -bf 2 -q:v 4"},
    };
    struct Mode {
        const char* name;
        int threads;
        std::int64_t switchAt;  // the video packet that asks for the change; 0 for none
        int to;
    } modes[] = {
        {"frame threads", 4, 0, 0},
        {"to frame threads", 1, 40, 4},
        {"to frame threads early", 1, 3, 4},
        {"back to one thread", 4, 57, 1},
    };
    // Each output's pictures: their slots and a digest of their planes.
    using Pictures = std::vector<std::vector<std::pair<std::int64_t, std::uint64_t>>>;
    const auto decode = [](const std::string& path, int threads, std::int64_t switchAt, int to,
                           bool& switched) {
        MediaSource source;
        EXPECT_TRUE(openMediaSource(path, source));
        VideoConverter converter;
        EXPECT_TRUE(converter.open(*source.format->streams[source.videoIndex], source.videoTimeBase,
                                   {25, 6}, source.startUs, threads));
        Pictures pictures(2);
        std::vector<FrameSink> sinks;
        for (auto& out : pictures)
            sinks.push_back([&out](FramePtr f) {
                std::uint64_t digest = 1469598103934665603ull;
                for (int plane = 0; plane < 3; ++plane) {
                    const int rows = plane ? (f->height + 1) / 2 : f->height;
                    const int bytes = plane ? (f->width + 1) / 2 : f->width;
                    for (int y = 0; y < rows; ++y)
                        for (int x = 0; x < bytes; ++x)
                            digest = (digest ^ f->data[plane][y * f->linesize[plane] + x]) *
                                     1099511628211ull;
                }
                out.emplace_back(f->pts, digest);
                return true;
            });
        PacketPtr packet = makePacket();
        std::int64_t packets = 0;
        while (av_read_frame(source.format.get(), packet.get()) >= 0) {
            if (packet->stream_index == source.videoIndex) {
                if (++packets == switchAt) {
                    EXPECT_TRUE(converter.switchThreads(to));
                }
                EXPECT_TRUE(converter.sendPacket(*packet, sinks));
            }
            av_packet_unref(packet.get());
        }
        EXPECT_TRUE(converter.drain(sinks));
        switched = switchAt > 0 && converter.threads() == to;
        return pictures;
    };
    for (const Source& s : sources) {
        SCOPED_TRACE(s.name);
        media::ClipShape shape;
        shape.seconds = 5;
        shape.audio = false;
        shape.videoCodec = s.codec;
        const std::string& path = media::cachedClip(std::string("threads-") + s.name, shape);
        bool switched = false;
        const Pictures one = decode(path, 1, 0, 0, switched);
        ASSERT_EQ(one[0].size(), 125u);
        for (const Mode& m : modes) {
            SCOPED_TRACE(m.name);
#ifdef __SANITIZE_THREAD__
            GTEST_SKIP() << "FFmpeg's frame threads hand frames over in uninstrumented code";
#endif
            const Pictures other = decode(path, m.threads, m.switchAt, m.to, switched);
            EXPECT_EQ(switched, m.switchAt > 0);
            for (std::size_t out = 0; out < one.size(); ++out) EXPECT_EQ(other[out], one[out]);
        }
    }
}

TEST_F(EngineMedia, TheSourcesWordsAreCarried) {
    const std::string source = dir_.file("tagged.mkv");
    std::string longComment = "a";
    for (int i = 0; i < 400; ++i) longComment += "中";
    ASSERT_EQ(
        std::system(("ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=s=160x120:r=10 -f "
                     "lavfi -i sine -t 2 -c:v libx264 -c:a aac -metadata title=讲座 "
                     "-metadata artist=王老师 -metadata copyright=\"$(printf '\\251 caf\\351')\" "
                     "-metadata comment=" +
                     longComment + " " + source)
                        .c_str()),
        0);
    for (const Muxer muxer : {Muxer::Own, Muxer::Ffmpeg}) {
        SCOPED_TRACE(muxer == Muxer::Own ? "ours" : "FFmpeg's");
        JobSettings j = job(source, dir_.file("tagged.rm"), {Audience::Modem56K});
        j.makeWriter = writerFactory(muxer);
        ASSERT_EQ(encode(j).outcome, JobOutcome::Completed);
        auto tags = fileTagsOf(dir_.file("tagged.rm"));
        EXPECT_EQ(tags["title"], "讲座");
        EXPECT_EQ(tags["author"], "王老师");
        EXPECT_EQ(tags.count("copyright"), 0u) << "Latin-1, not UTF-8";
        // Cut at a character's start within the 1,023 bytes FFmpeg's demuxer keeps.
        EXPECT_EQ(tags["comment"].size(), 1u + 3 * 340);
        EXPECT_TRUE(tags["comment"] == longComment.substr(0, 1 + 3 * 340));

        j.metadata.title = "给定的标题";
        ASSERT_EQ(encode(j).outcome, JobOutcome::Completed);
        tags = fileTagsOf(dir_.file("tagged.rm"));
        EXPECT_EQ(tags["title"], "给定的标题");
        EXPECT_EQ(tags["author"], "王老师");
    }
}

// How many of the file's frames FFmpeg's idet finds combed, and how many progressive.
std::pair<int, int> combedAndProgressive(const std::string& file) {
    const std::string run =
        "ffmpeg -nostdin -hide_banner -i " + file + " -vf idet -f null - 2>&1 | grep Single";
    FILE* pipe = ::popen(run.c_str(), "r");
    int tff = 0, bff = 0, progressive = 0;
    if (pipe) {
        if (std::fscanf(pipe, "%*[^:]: Single frame detection: TFF: %d BFF: %d Progressive: %d",
                        &tff, &bff, &progressive) != 3)
            tff = bff = progressive = -1;
        ::pclose(pipe);
    }
    return {tff + bff, progressive};
}

// Fields of a moving picture, top field first: deinterlaced where the stream
// says so, and where it says it is progressive but the first look sees
// combing; a progressive picture is left as it is.
TEST_F(EngineMedia, InterlacedPicturesBecomeWholeFrames) {
    const std::string fields =
        "-f lavfi -i testsrc2=s=320x240:r=50 -t 4.4 -vf "
        "interlace=scan=tff:lowpass=off ";
    const std::string flagged = dir_.file("flagged.mpg"), unflagged = dir_.file("unflagged.mkv");
    const std::string progressive = dir_.file("progressive.mkv");
    ASSERT_EQ(std::system(("ffmpeg -nostdin -v error -y " + fields +
                           "-c:v mpeg2video -b:v 4M -flags +ildct+ilme -top 1 " + flagged +
                           " && ffmpeg -nostdin -v error -y " + fields + "-c:v libx264 -crf 16 " +
                           unflagged +
                           " && ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=s=320x240:r=25 "
                           "-t 4.4 -c:v libx264 -crf 16 " +
                           progressive)
                              .c_str()),
              0);
    for (const auto& [source, wanted] :
         {std::pair{flagged, FieldOrder::TopFirst}, std::pair{unflagged, FieldOrder::TopFirst},
          std::pair{progressive, FieldOrder::Progressive}}) {
        SCOPED_TRACE(source);
        const JobSettings j = job(source, dir_.file("fields.rm"), {Audience::Dsl512K});
        SourceFacts facts;
        JobInfo planned;
        ASSERT_TRUE(readJobSource(j, facts));
        ASSERT_TRUE(planJob(j, facts, planned));
        EXPECT_EQ(planned.plan.video->picture.fields, wanted);
        if (source == progressive) continue;
        ASSERT_EQ(encode(j).outcome, JobOutcome::Completed);
        const auto [combed, whole] = combedAndProgressive(dir_.file("fields.rm"));
        EXPECT_LT(combed, whole);
    }
}

// Phones store portrait video as landscape pictures and a display matrix.
TEST_F(EngineMedia, TurnedSourcesComeOutUprightAsTheCliShowsThem) {
    const std::string stored = dir_.file("stored.mp4");
    ASSERT_EQ(std::system(("ffmpeg -nostdin -v error -y -f lavfi -i "
                           "\"color=black:s=320x240:d=1:r=25,drawbox=x=0:y=0:w=80:h=60:"
                           "color=white:t=fill\" -c:v libx264 -pix_fmt yuv420p " +
                           stored)
                              .c_str()),
              0);
    for (const int degrees : {90, 180, 270}) {
        SCOPED_TRACE(degrees);
        const std::string source = dir_.file("turned" + std::to_string(degrees) + ".mp4");
        ASSERT_EQ(std::system(("ffmpeg -nostdin -v error -y -i " + stored +
                               " -c copy -metadata:s:v:0 rotate=" + std::to_string(degrees) + " " +
                               source)
                                  .c_str()),
                  0);
        const std::string out = dir_.file("turned.rm");
        ASSERT_EQ(encode(job(source, out)).outcome, JobOutcome::Completed);
        const media::MediaInfo m = media::probe(out);
        ASSERT_TRUE(m.video);
        EXPECT_EQ(m.video->width < m.video->height, degrees != 180);
        // The white corner lands where the CLI puts it.
        const std::vector<int> ours = greyCells(out, 4, 1), cli = greyCells(source, 4, 1);
        ASSERT_EQ(ours.size(), 16u);
        ASSERT_EQ(cli.size(), 16u);
        for (std::size_t i = 0; i < 16; ++i) EXPECT_NEAR(ours[i], cli[i], 40) << "cell " << i;
    }
}

// A photo, or a clip of one frame: at the slow lines' rates its one frame
// lasted less than a slot, and the file held nothing.
TEST_F(EngineMedia, AStillPictureIsShownForFiveSeconds) {
    for (const char* name : {"photo.jpg", "one.mp4"}) {
        const std::string source = dir_.file(name);
        ASSERT_EQ(std::system(("ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=s=320x240 "
                               "-frames:v 1 " +
                               source)
                                  .c_str()),
                  0);
        for (const auto& [audience, quality] :
             {std::pair{Audience::Modem28K, NormalMotion}, std::pair{Audience::Lan, SlideShow}}) {
            SCOPED_TRACE(std::string(name) + " " + std::string(profileOf(audience).key));
            JobSettings j = job(source, dir_.file("still.rm"), {audience});
            j.videoQuality = quality;
            const JobResult r = encode(j);
            ASSERT_EQ(r.outcome, JobOutcome::Completed) << r.message;
            const media::MediaInfo m = media::probe(j.destination);
            ASSERT_TRUE(m.video);
            EXPECT_GE(m.video->packets, 1);
            EXPECT_NEAR(m.durationSeconds, 5.0, 0.5);
            EXPECT_NEAR(r.encodedMs, 5000, 500);
            // The plan says so, and bounds the file over the five seconds.
            EXPECT_TRUE(info_.stillPicture);
            EXPECT_LE(r.bytes, info_.files.front().largestBytes);
        }
    }
}

TEST_F(EngineMedia, SurroundSoundAt48kHzIsMixedDown) {
    media::ClipShape shape;
    shape.channelLayout = "5.1";
    shape.sampleRate = 48000;
    shape.seconds = 3;
    const std::string& source = media::cachedClip("surround", shape);
    ASSERT_FALSE(source.empty());
    for (auto [content, channels] : {std::pair{StereoMusic, 2}, std::pair{VoiceOnly, 1}}) {
        JobSettings j = job(source, dir_.file("surround.rm"), {Audience::Dsl512K});
        j.audioContent = content;
        const JobResult r = encode(j);
        ASSERT_EQ(r.outcome, JobOutcome::Completed) << r.message;
        const media::MediaInfo m = media::probe(j.destination);
        ASSERT_TRUE(m.opened && m.audio);
        EXPECT_EQ(m.audio->codec, "ac3");
        EXPECT_EQ(m.audio->channels, channels);
        EXPECT_NEAR(m.audio->decodedSeconds, 3.0, 0.5);
    }
}

TEST_F(EngineMedia, SourcesOfUnknownLengthStillReportProgress) {
    media::ClipShape shape;
    shape.audio = false;
    shape.seconds = 4;
    shape.extension = "h264";  // a bare stream: no container, no duration
    const std::string& source = media::cachedClip("bare", shape);
    ASSERT_FALSE(source.empty());
    const std::string out = dir_.file("bare.rm");
    ASSERT_EQ(encode(job(source, out, {Audience::Lan})).outcome, JobOutcome::Completed);
    EXPECT_EQ(info_.durationMs, 0);
    ASSERT_FALSE(progress_.empty());
    EXPECT_GT(progress_.back().percent, 50);
    const media::MediaInfo m = media::probe(out);
    ASSERT_TRUE(m.opened && m.video);
    EXPECT_NEAR(m.video->packets, 4 * 12, 1);
}

// Silence fills a second before the sound starts, or three seconds in
// which it pauses while the picture goes on: the sound after it is not
// pulled forward.
TEST_F(EngineMedia, SoundThatStartsLateOrPausesStaysInStepWithThePicture) {
    media::ClipShape late;
    late.seconds = 4;
    late.audioStartSeconds = 1;
    media::ClipShape paused;
    paused.seconds = 8;
    paused.soundPauseAt = 2;
    paused.soundPauseSeconds = 3;
    for (const auto& [name, shape] : {std::pair{"late-sound", late}, {"paused-sound", paused}}) {
        SCOPED_TRACE(name);
        const std::string& source = media::cachedClip(name, shape);
        ASSERT_FALSE(source.empty());
        const std::string out = dir_.file("late.rm");
        ASSERT_EQ(encode(job(source, out, {Audience::Lan})).outcome, JobOutcome::Completed);
        const media::MediaInfo m = media::probe(out);
        ASSERT_TRUE(m.opened && m.audio && m.video);
        EXPECT_NEAR(m.audio->decodedSeconds, shape.seconds, 0.2);
    }
}

// Sound stored seconds ahead of its picture: the writer waits for the
// picture while the sound's packets must keep flowing, or every thread stalls.
TEST_F(EngineMedia, SoundStoredFarAheadOfThePictureStillEncodesWhole) {
    media::ClipShape shape;
    shape.seconds = 10;
    shape.audioAheadSeconds = 6;
    shape.extension = "mkv";
    const std::string& source = media::cachedClip("sound-ahead", shape);
    ASSERT_FALSE(source.empty());
    for (Audience a : {Audience::Modem56K, Audience::Dsl512K}) {
        const std::string out = dir_.file("ahead.rm");
        const JobResult r = encode(job(source, out, {a}));
        ASSERT_EQ(r.outcome, JobOutcome::Completed) << r.message;
        const media::MediaInfo m = media::probe(out);
        ASSERT_TRUE(m.opened && m.audio && m.video);
        EXPECT_NEAR(m.audio->decodedSeconds, 10.0, 0.3);
        EXPECT_NEAR(m.video->packets, 10 * profileOf(a).fps, 2);
    }
}

namespace {
double meanLumaDifference(const AVFrame& a, const AVFrame& b) {
    double sum = 0;
    for (int y = 0; y < a.height; ++y)
        for (int x = 0; x < a.width; ++x)
            sum += std::abs(a.data[0][y * a.linesize[0] + x] - b.data[0][y * b.linesize[0] + x]);
    return sum / (a.width * a.height);
}
}  // namespace

TEST_F(EngineMedia, PreviewPairsTheSourcePictureWithItsDecodedOutput) {
    const std::string& source = media::cachedClip("detailed", testing::detailedClip());
    ASSERT_FALSE(source.empty());
    JobSettings settings = job(source, dir_.file("preview.rm"), {Audience::Lan});
    settings.preview = std::make_shared<JobPreview>();
    Engine engine;
    WaitingObserver observer;
    ASSERT_TRUE(engine.start(settings, observer));
    int pairs = 0;
    std::int64_t lastTime = -1;
    while (!observer.waitResult(std::chrono::seconds(0))) {
        if (auto pair = settings.preview->frames.take()) {
            ++pairs;
            ASSERT_TRUE(pair->source && pair->output);
            EXPECT_EQ(pair->source->width, 240);
            EXPECT_EQ(pair->output->width, pair->source->width);
            EXPECT_EQ(pair->output->height, pair->source->height);
            // Lossy but the same picture: a pair from two moments of moving
            // grain would differ far more.
            const double diff = meanLumaDifference(*pair->source, *pair->output);
            EXPECT_GT(diff, 0.0);
            EXPECT_LT(diff, 25.0);
            EXPECT_GT(pair->timeMs, lastTime);
            lastTime = pair->timeMs;
        }
        std::this_thread::sleep_for(50ms);
    }
    const JobResult r = *observer.waitResult();
    ASSERT_EQ(r.outcome, JobOutcome::Completed);
    EXPECT_GE(pairs, 1);
}

TEST_F(EngineMedia, ChineseNamesAndSpacesInBothPaths) {
    const std::string folder = dir_.file("压缩 结果 folder");
    std::filesystem::create_directory(folder);
    const std::string source = folder + "/我的 视频 clip.mkv";
    std::filesystem::copy_file(media::cachedClip("picture-and-sound-short",
                                                 [] {
                                                     media::ClipShape s;
                                                     s.seconds = 2;
                                                     return s;
                                                 }()),
                               source);
    const std::string out = folder + "/输出 文件.rm";
    const JobResult r = encode(job(source, out));
    ASSERT_EQ(r.outcome, JobOutcome::Completed) << r.message;
    EXPECT_EQ(r.destination, out);
    EXPECT_TRUE(media::probe(out).opened);
    EXPECT_EQ(media::hiddenFileCount(folder), 0);
}

TEST_F(EngineMedia, ChoicesShapeTheFile) {
    const std::string& source = media::cachedClip("detailed", testing::detailedClip());
    JobSettings soundOnly = job(source, dir_.file("a.rm"), {Audience::Lan});
    soundOnly.videoQuality = NoVideo;
    ASSERT_EQ(encode(soundOnly).outcome, JobOutcome::Completed);
    media::MediaInfo m = media::probe(soundOnly.destination);
    EXPECT_TRUE(m.audio && !m.video);

    JobSettings slides = job(source, dir_.file("b.rm"), {Audience::Lan});
    slides.videoQuality = SlideShow;
    slides.audioContent = NoAudio;
    ASSERT_EQ(encode(slides).outcome, JobOutcome::Completed);
    m = media::probe(slides.destination);
    ASSERT_TRUE(m.video && !m.audio);
    EXPECT_EQ(m.video->frameRate, 1.0);
    EXPECT_NEAR(m.video->packets, 8, 1);
    EXPECT_LE(m.fileBytes * 8.0 / 8.0 / 1000.0, profileOf(Audience::Lan).budgetKbps);
}

// --- several audiences --------------------------------------------------------

TEST_F(EngineMedia, SeveralAudiencesGiveTheFilesSingleJobsWould) {
    const std::string& source = media::cachedClip("detailed", testing::detailedClip());
    ASSERT_FALSE(source.empty());
    const std::string named = dir_.file("讲座.rm");
    // An earlier output at a name beside the named one is replaced.
    std::ofstream(dir_.file("讲座-512k.rm")) << ".RMF from an earlier job";
    // 28K and 56K share their sound; 256K and 512K each have their own.
    const JobResult r =
        encode(job(source, named,
                   {Audience::Dsl512K, Audience::Modem56K, Audience::Modem28K, Audience::Dsl256K}));
    ASSERT_EQ(r.outcome, JobOutcome::Completed);
    const JobInfo info = info_;
    const std::vector<JobProgress> progress = progress_;
    ASSERT_EQ(info.files.size(), 4u);
    ASSERT_EQ(r.files.size(), 4u);
    EXPECT_EQ(info.destination, named);
    EXPECT_EQ(r.destination, named);
    EXPECT_EQ(r.bytes, r.files.front().bytes);
    EXPECT_GT(info.largestBytes, 0);
    ASSERT_FALSE(progress.empty());
    for (std::size_t i = 0; i < progress.size(); ++i) {
        EXPECT_EQ(progress[i].files, 4);
        EXPECT_EQ(progress[i].budgetKbps, profileOf(Audience::Modem28K).budgetKbps);
        if (i > 0) {
            EXPECT_GT(progress[i].percent, progress[i - 1].percent);
        }
    }

    for (std::size_t i = 0; i < r.files.size(); ++i) {
        const JobResult::File& file = r.files[i];
        SCOPED_TRACE(file.destination);
        EXPECT_EQ(info.files[i].destination, file.destination);
        EXPECT_EQ(file.budgetKbps, profileOf(file.audience).budgetKbps);
        EXPECT_EQ(file.bytes, media::probe(file.destination).fileBytes);
        // The same plan and, the encoders being deterministic, the same bytes.
        const std::string alone = dir_.file("alone-" + std::to_string(i) + ".rm");
        ASSERT_EQ(encode(job(source, alone, {file.audience})).outcome, JobOutcome::Completed);
        EXPECT_EQ(ffmpegOutputArguments(info.files[i].plan), ffmpegOutputArguments(info_.plan));
        EXPECT_EQ(media::fileDigest(file.destination), media::fileDigest(alone));
    }
    EXPECT_EQ(media::hiddenFileCount(dir_.path()), 0);
}

// What the window's pane says before 开始 comes from reading the source and
// planning as the job does: the same files, plans and bounds, and no file
// weighs more than its bound, a one-second clip's included.
TEST_F(EngineMedia, ThePlanBeforeTheJobIsWhatTheJobMakes) {
    media::ClipShape second;
    second.seconds = 1;
    const struct {
        const char* name;
        media::ClipShape shape;
        AudienceSet audiences;
    } cases[] = {
        {"detailed", testing::detailedClip(), AudienceSet().set()},
        {"one-second", second,
         audienceSet({Audience::Modem28K, Audience::Dsl256K, Audience::Dsl512K})},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string& source = media::cachedClip(c.name, c.shape);
        ASSERT_FALSE(source.empty());
        JobSettings j = job(source, dir_.file(std::string(c.name) + ".rm"));
        j.audiences = c.audiences;
        j.audioContent = StereoMusic;
        SourceFacts facts;
        JobInfo planned;
        ASSERT_TRUE(readJobSource(j, facts));
        ASSERT_TRUE(planJob(j, facts, planned));
        EXPECT_FALSE(media::fileExists(j.destination)) << "planning writes nothing";

        const JobResult r = encode(j);
        ASSERT_EQ(r.outcome, JobOutcome::Completed) << r.message;
        ASSERT_EQ(planned.files.size(), c.audiences.count());
        ASSERT_EQ(info_.files.size(), planned.files.size());
        ASSERT_EQ(r.files.size(), planned.files.size());
        EXPECT_EQ(planned.durationMs, info_.durationMs);
        EXPECT_EQ(planned.largestBytes, info_.largestBytes);
        for (std::size_t i = 0; i < planned.files.size(); ++i) {
            const JobInfo::File& plan = planned.files[i];
            const JobResult::File& made = r.files[i];
            SCOPED_TRACE(profileOf(plan.audience).key);
            EXPECT_EQ(plan.destination, made.destination);
            // Size, frame rate, bit rates and the sound's codec, rate and channels.
            EXPECT_EQ(ffmpegOutputArguments(plan.plan), ffmpegOutputArguments(info_.files[i].plan));
            ASSERT_TRUE(plan.plan.video && plan.plan.audio);
            EXPECT_EQ(made.width, plan.plan.video->width);
            EXPECT_EQ(made.height, plan.plan.video->height);
            EXPECT_EQ(made.budgetKbps, plan.plan.budgetKbps);
            const media::MediaInfo m = media::probe(made.destination);
            ASSERT_TRUE(m.video && m.audio);
            EXPECT_EQ(m.audio->channels, plan.plan.audio->channels);
            EXPECT_EQ(m.audio->sampleRate, plan.plan.audio->sampleRate);
            EXPECT_EQ(std::lround(m.video->frameRate), plan.plan.video->fps);
            EXPECT_GT(plan.largestBytes, 0);
            EXPECT_LE(made.bytes, plan.largestBytes);
            std::cout << "[ measured ] " << c.name << " " << profileOf(plan.audience).key << ": "
                      << made.bytes << " bytes, at most " << plan.largestBytes << "\n";
        }
    }
}

// --- refusals -----------------------------------------------------------------

class EngineRefusal : public EngineMedia {
  protected:
    void SetUp() override {
        const std::string& clip = media::cachedClip("detailed", testing::detailedClip());
        ASSERT_FALSE(clip.empty());
        source_ = dir_.file("source.mkv");
        std::filesystem::copy_file(clip, source_);
        digest_ = media::fileDigest(source_);
    }

    // Start must refuse with a message containing `words`, write nothing
    // under the destination's name and leave the source as it was; launch
    // the same, at once or as the job's failure.
    void expectRefusal(const JobSettings& j, ErrorKind kind, const std::string& words) {
        SCOPED_TRACE(j.source + " -> " + j.destination);
        const bool destinationExisted = media::fileExists(j.destination);
        const std::string destinationDigest = media::fileDigest(j.destination);
        for (const bool launched : {false, true}) {
            SCOPED_TRACE(launched ? "launch" : "start");
            Engine engine;
            WaitingObserver observer;
            Status s = launched ? engine.launch(j, observer) : engine.start(j, observer);
            if (s && launched) {
                const auto r = observer.waitResult();
                ASSERT_TRUE(r);
                EXPECT_EQ(r->outcome, JobOutcome::Failed);
                s = Status::fail(r->errorKind, r->message);
                engine.wait();  // its end is told just before its thread ends
            }
            EXPECT_FALSE(s);
            EXPECT_EQ(errorKindName(s.kind()), std::string(errorKindName(kind))) << s.message();
            EXPECT_NE(s.message().find(words), std::string::npos) << s.message();
            EXPECT_FALSE(engine.running());
            EXPECT_TRUE(observer.progress().empty());
            EXPECT_EQ(media::fileExists(j.destination), destinationExisted);
            EXPECT_EQ(media::fileDigest(j.destination), destinationDigest);
            EXPECT_EQ(media::fileDigest(source_), digest_);
            EXPECT_EQ(media::hiddenFileCount(dir_.path()), 0);
        }
    }

    std::string source_;
    std::string digest_;
};

TEST_F(EngineRefusal, SourceThatIsMissingEmptyOrNotMedia) {
    expectRefusal(job("", dir_.file("a.rm")), ErrorKind::BadRequest, "源文件");
    expectRefusal(job(dir_.file("nowhere.avi"), dir_.file("a.rm")), ErrorKind::SourceMissing,
                  "无法打开源文件");
    const std::string text = dir_.file("notes.txt");
    std::ofstream(text) << "这不是视频文件\n";
    expectRefusal(job(text, dir_.file("a.rm")), ErrorKind::SourceUnreadable, "源文件");
    expectRefusal(job(dir_.path(), dir_.file("a.rm")), ErrorKind::SourceUnreadable, "源文件");
}

TEST_F(EngineRefusal, SourcesThatNameOtherFilesAreRefused) {
    // A playlist or a list under a video's name would encode the files it
    // names, which the user never chose; any path or URL form of them.
    const struct {
        const char* name;
        std::string text;
    } lists[] = {
        {"holiday.mp4",
         "#EXTM3U\n#EXT-X-TARGETDURATION:8\n#EXTINF:8,\n" + source_ + "\n#EXT-X-ENDLIST\n"},
        {"live.mkv", "#EXTM3U\n#EXT-X-TARGETDURATION:8\n#EXTINF:8,\nfile://" + source_ +
                         "\n#EXTINF:8,\nhttp://127.0.0.1:9/a.ts\n"},
        {"up.mp4", "#EXTM3U\n#EXT-X-TARGETDURATION:8\n#EXTINF:8,\n../" +
                       std::filesystem::path(dir_.path()).filename().string() +
                       "/source.mkv\n#EXT-X-ENDLIST\n"},
        {"list.avi", "ffconcat version 1.0\nfile 'source.mkv'\nfile 'list.avi'\n"},
    };
    for (const auto& list : lists) {
        std::ofstream(dir_.file(list.name)) << list.text;
        expectRefusal(job(dir_.file(list.name), dir_.file("out.rm")), ErrorKind::SourceRefused,
                      "播放列表");
    }
    // A name is not a pattern for its neighbours.
    std::filesystem::copy_file(source_, dir_.file("img001.png"));
    expectRefusal(job(dir_.file("img%03d.png"), dir_.file("out.rm")), ErrorKind::SourceMissing,
                  "文件不存在");
}

TEST_F(EngineRefusal, DestinationThatIsEmptyMissingOrAFolder) {
    expectRefusal(job(source_, ""), ErrorKind::BadRequest, "目标文件");
    expectRefusal(job(source_, dir_.file("no such folder/a.rm")), ErrorKind::DestinationRefused,
                  "目标文件夹不存在");
    std::filesystem::create_directory(dir_.file("sub"));
    expectRefusal(job(source_, dir_.file("sub")), ErrorKind::DestinationRefused, "文件夹");
}

TEST_F(EngineRefusal, FolderThatCannotBeWritten) {
    expectRefusal(job(source_, "/proc/velmora.rm"), ErrorKind::DestinationRefused, "目标");
    if (::geteuid() == 0) GTEST_SKIP() << "root writes into read-only folders";
    const std::string locked = dir_.file("locked");
    std::filesystem::create_directory(locked);
    ::chmod(locked.c_str(), 0555);
    expectRefusal(job(source_, locked + "/a.rm"), ErrorKind::DestinationRefused,
                  "目标文件夹不可写");
}

TEST_F(EngineRefusal, DestinationThatIsTheSourceUnderAnyName) {
    expectRefusal(job(source_, source_), ErrorKind::DestinationRefused, "同一个文件");
    expectRefusal(job(source_, dir_.path() + "/./source.mkv"), ErrorKind::DestinationRefused,
                  "同一个文件");
    const std::string hardLink = dir_.file("hard.rm");
    ASSERT_EQ(::link(source_.c_str(), hardLink.c_str()), 0);
    expectRefusal(job(source_, hardLink), ErrorKind::DestinationRefused, "同一个文件");
    const std::string symLink = dir_.file("soft.rm");
    ASSERT_EQ(::symlink(source_.c_str(), symLink.c_str()), 0);
    expectRefusal(job(symLink, source_), ErrorKind::DestinationRefused, "同一个文件");
}

TEST_F(EngineRefusal, NoAudienceOrNothingLeftToEncode) {
    expectRefusal(job(source_, dir_.file("a.rm"), {}), ErrorKind::BadRequest, "目标听众");
    JobSettings empty = job(source_, dir_.file("a.rm"));
    empty.audioContent = NoAudio;
    empty.videoQuality = NoVideo;
    expectRefusal(empty, ErrorKind::BadRequest, "没有任何内容");
}

TEST_F(EngineRefusal, AnEarlierDestinationSurvivesARefusal) {
    const std::string out = dir_.file("kept.rm");
    std::ofstream(out) << "earlier file";
    expectRefusal(job(source_, out, {}), ErrorKind::BadRequest, "目标听众");
    std::ifstream in(out);
    std::string content;
    std::getline(in, content);
    EXPECT_EQ(content, "earlier file");
}

// --- failing mid-way ----------------------------------------------------------

// Passes packets to FFmpeg's writer until told to fail.
std::atomic<int> packetsBeforeFailure{0};

class FailingWriter : public MediaWriter {
  public:
    Status addStream(const AVCodecParameters& p, int num, int den, int& index) override {
        return inner_->addStream(p, num, den, index);
    }
    Status begin(const std::string& path, const MediaMetadata& m) override {
        return inner_->begin(path, m);
    }
    Status writePacket(int index, const AVPacket& packet) override {
        if (--packetsBeforeFailure < 0)
            return Status::fail(ErrorKind::WriteFailed, "写入目标文件时出错（测试）");
        return inner_->writePacket(index, packet);
    }
    Status finish() override { return inner_->finish(); }
    std::int64_t bytesWritten() const override { return inner_->bytesWritten(); }

  private:
    std::unique_ptr<MediaWriter> inner_ = makeFfmpegRmWriter();
};

std::unique_ptr<MediaWriter> makeFailingWriter() {
    return std::make_unique<FailingWriter>();
}

TEST_F(EngineRefusal, AWriteFailureEndsTheJobAndKeepsTheEarlierDestination) {
    const std::string out = dir_.file("earlier.rm");
    std::ofstream(out) << "earlier file";
    const std::string before = media::fileDigest(out);
    // With several files the failure ends them all and says which failed.
    for (const AudienceSet audiences :
         {audienceSet({Audience::Dsl256K}), audienceSet({Audience::Dsl256K, Audience::Dsl512K})}) {
        SCOPED_TRACE(audiences.count());
        packetsBeforeFailure = 50;
        JobSettings j = job(source_, out);
        j.audiences = audiences;
        j.makeWriter = &makeFailingWriter;
        const JobResult r = encode(j);
        EXPECT_EQ(r.outcome, JobOutcome::Failed);
        EXPECT_NE(r.message.find("写入目标文件时出错"), std::string::npos) << r.message;
        EXPECT_EQ(r.message.find(dir_.path()) != std::string::npos, audiences.count() > 1)
            << r.message;
        EXPECT_EQ(media::fileDigest(out), before);
        EXPECT_FALSE(media::fileExists(dir_.file("earlier-512k.rm")));
        EXPECT_EQ(media::hiddenFileCount(dir_.path()), 0);
        EXPECT_EQ(media::fileDigest(source_), digest_);
    }
}

TEST_F(EngineRefusal, AnyRefusedFileOfASetRefusesTheWholeJob) {
    const JobSettings set =
        job(source_, dir_.file("set.mkv"), {Audience::Dsl256K, Audience::Dsl512K});
    const std::string beside = dir_.file("set-512k.mkv");
    // The user confirmed the named file, not the ones beside it: a file
    // there that is not an earlier output is someone else's.
    std::ofstream(beside) << "notes";
    expectRefusal(set, ErrorKind::DestinationRefused, beside);
    std::ifstream in(beside);
    std::string content;
    std::getline(in, content);
    EXPECT_EQ(content, "notes");
    std::filesystem::remove(beside);

    std::filesystem::create_directory(beside);
    expectRefusal(set, ErrorKind::DestinationRefused, "文件夹");
    std::filesystem::remove(beside);

    // A link there is not followed: to a FIFO (which would hold the check
    // up for good) nor to an earlier output. Both stay as they were.
    const std::string fifo = dir_.file("fifo"), earlier = dir_.file("earlier.rm");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    std::ofstream(earlier) << ".RMF an earlier output";
    for (const std::string& target : {fifo, earlier}) {
        SCOPED_TRACE(target);
        ASSERT_EQ(::symlink(target.c_str(), beside.c_str()), 0);
        expectRefusal(set, ErrorKind::DestinationRefused, beside + "。" + text::kCauseIsLink);
        EXPECT_EQ(std::filesystem::read_symlink(beside), target);
        std::filesystem::remove(beside);
    }
    EXPECT_TRUE(std::filesystem::is_fifo(fifo));

    ASSERT_EQ(::link(source_.c_str(), beside.c_str()), 0);
    expectRefusal(set, ErrorKind::DestinationRefused, "同一个文件");
    EXPECT_EQ(media::fileDigest(source_), digest_);
}

// --- stopping -----------------------------------------------------------------

// Stop ends the job where it is, within a generous ceiling (make bench times
// a stop): one file, and a set, every file of a stopped set kept, valid and
// far shorter than the 20-second source, which a stop that waited for the
// end would have filled.
TEST_F(EngineMedia, StopLeavesAValidShorterFile) {
    const std::string& source = media::cachedClip("long", testing::longClip());
    ASSERT_FALSE(source.empty());
    for (const auto& audiences :
         {audienceSet({Audience::Dsl512K}), audienceSet({Audience::Modem56K, Audience::Dsl512K})}) {
        SCOPED_TRACE(audiences.count());
        const std::string out = dir_.file("stopped" + std::to_string(audiences.count()) + ".rm");
        JobSettings j = job(source, out);
        j.audiences = audiences;
        Engine engine;
        WaitingObserver observer;
        ASSERT_TRUE(engine.start(j, observer));
        ASSERT_TRUE(observer.waitPercent(10)) << "finished before it could be stopped";
        const auto before = std::chrono::steady_clock::now();
        engine.stop();
        EXPECT_LT(std::chrono::steady_clock::now() - before, 10s);
        EXPECT_FALSE(engine.running());
        const auto r = observer.waitResult(0s);  // stop() returns after the job told its end
        ASSERT_TRUE(r);
        EXPECT_EQ(r->outcome, JobOutcome::Stopped);
        EXPECT_GE(r->percent, 10);
        EXPECT_LT(r->percent, 100);
        ASSERT_EQ(r->files.size(), audiences.count());
        EXPECT_EQ(r->files.front().destination, out);
        EXPECT_EQ(r->bytes, r->files.front().bytes);

        for (const JobResult::File& file : r->files) {
            SCOPED_TRACE(file.destination);
            const media::MediaInfo m = media::probe(file.destination);
            ASSERT_TRUE(m.opened) << m.error;
            EXPECT_TRUE(m.video && m.audio);
            EXPECT_GT(m.durationSeconds, 1.0);
            EXPECT_LT(m.durationSeconds, 10.0);
            EXPECT_NEAR(m.durationSeconds, file.encodedMs / 1000.0, 0.5);
            EXPECT_EQ(m.fileBytes, file.bytes);
        }
        EXPECT_EQ(media::hiddenFileCount(dir_.path()), 0);
    }
}

TEST_F(EngineMedia, StartWhileRunningFinishesTheRunningJobFirst) {
    const std::string& longSource = media::cachedClip("long", testing::longClip());
    const std::string& shortSource = media::cachedClip("detailed", testing::detailedClip());
    Engine engine;
    WaitingObserver first, second;
    ASSERT_TRUE(engine.start(job(longSource, dir_.file("first.rm"), {Audience::Dsl512K}), first));
    ASSERT_TRUE(first.waitPercent(5));
    ASSERT_TRUE(engine.start(job(shortSource, dir_.file("second.rm")), second));
    const auto r1 = first.waitResult(0s);
    ASSERT_TRUE(r1);
    EXPECT_EQ(r1->outcome, JobOutcome::Stopped);
    EXPECT_TRUE(media::probe(dir_.file("first.rm")).opened);
    const auto r2 = second.waitResult();
    ASSERT_TRUE(r2);
    EXPECT_EQ(r2->outcome, JobOutcome::Completed);
    EXPECT_NEAR(media::probe(dir_.file("second.rm")).playSeconds(), 8.0, 0.5);
}

// Destroyed at 5 %, the engine ends the job where it is: a generous ceiling
// on the wait (make bench times a stop), and a file far shorter than the
// source, which a wait for the end would have filled.
TEST_F(EngineMedia, DestroyingTheEngineMidJobFinishesTheFileWhereItWas) {
    const std::string& source = media::cachedClip("long", testing::longClip());
    const std::string out = dir_.file("destroyed.rm");
    WaitingObserver observer;
    auto engine = std::make_unique<Engine>();
    ASSERT_TRUE(engine->start(job(source, out, {Audience::Modem28K}), observer));
    ASSERT_TRUE(observer.waitPercent(5));
    const auto before = std::chrono::steady_clock::now();
    engine.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - before, 10s);
    const auto r = observer.waitResult(0s);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->outcome, JobOutcome::Stopped);
    const media::MediaInfo m = media::probe(out);
    EXPECT_TRUE(m.opened);
    EXPECT_LT(m.playSeconds(), 10.0);  // of the 20-second source
}

}  // namespace
}  // namespace velmora::encoder
