// Sources as they come from the real world: clocks that jump, headers that
// lie, damaged packets, files cut short, pipes nobody feeds, destinations
// that are devices. Every job must end, stop at once, stay small, keep what
// can be kept and say what happened.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <iterator>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include "engine/output/temp_output.h"
#include "engine/source/media_source.h"
#include "engine/source/source_file.h"
#include "engine_support.h"
#include "messy_sources.h"

extern "C" {
#include <libavformat/avformat.h>
}

namespace velmora::encoder {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using testing::WaitingObserver;
using namespace testing;  // the messy sources and the encoder in a child
namespace media = velmora::testing::media;
namespace fs = std::filesystem;

// What must come "at once" (a stop, a give-up, a launch) fails by waiting for
// the whole file or for ever, so a ceiling many times the usual figure tells
// the two apart also on a loaded machine; `make bench` times the stop itself.
const auto kAtOnce = std::chrono::milliseconds(static_cast<int>(5000 * kSlowdown));

// Such an AVI whose picture has no length of its own, beside a sound
// stream without packets whose header claims 2^31 blocks of 2^31 s each: the
// length the picture takes from it (10^18 s) is no number of milliseconds.
bool makeAviOfEndlessSound(const std::string& path) {
    if (!makeAviClaiming(path, 4000, 1, true)) return false;
    std::string bytes = readAll(path);
    const auto put = [&](std::size_t at, std::uint32_t v) {
        for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<char>(v >> (8 * i));
    };
    for (std::size_t strh = bytes.find("strh"); strh != std::string::npos;
         strh = bytes.find("strh", strh + 4)) {
        const bool sound = bytes.compare(strh + 8, 4, "auds") == 0;
        if (sound) {
            put(strh + 28, 0x7FFFFFFF);  // dwScale
            put(strh + 32, 1);           // dwRate
        }
        put(strh + 40, sound ? 0x7FFFFFFF : 0);  // dwLength
    }
    // The sound's chunks, and their index entries, as padding.
    for (std::size_t at; (at = bytes.find("01wb")) != std::string::npos;)
        bytes.replace(at, 4, "JUNK");
    return writeAll(path, bytes);
}

// A Matroska file of 4 s whose header says it lasts 10^15 ms.
bool makeMkvDeclaringAges(const std::string& path) {
    if (!ffmpeg(std::string(kPicture) + kSound + "-c:v libx264 -preset ultrafast -c:a aac -t 4 " +
                quoted(path)))
        return false;
    std::string bytes = readAll(path);
    const std::size_t duration = bytes.find("\x44\x89\x88");  // Duration, an 8-byte float
    if (duration == std::string::npos) return false;
    const double ms = 1e15;
    std::uint64_t bits = 0;
    std::memcpy(&bits, &ms, sizeof bits);
    for (int i = 0; i < 8; ++i) bytes[duration + 3 + i] = static_cast<char>(bits >> (56 - 8 * i));
    return writeAll(path, bytes);
}

// Overwrites the audio packets `damaged` picks (by their start in seconds)
// with bytes no AAC decoder accepts.
bool damageSound(const std::string& path, const std::function<bool(double)>& damaged) {
    AVFormatContext* raw = nullptr;
    if (avformat_open_input(&raw, path.c_str(), nullptr, nullptr) < 0) return false;
    std::vector<std::pair<std::int64_t, int>> spots;
    AVPacket* packet = av_packet_alloc();
    while (av_read_frame(raw, packet) >= 0) {
        const AVStream* st = raw->streams[packet->stream_index];
        if (st->codecpar->codec_type == AVMEDIA_TYPE_AUDIO && packet->pos >= 0 &&
            damaged(packet->pts * av_q2d(st->time_base)))
            spots.emplace_back(packet->pos, packet->size);
        av_packet_unref(packet);
    }
    av_packet_free(&packet);
    avformat_close_input(&raw);
    std::string bytes = readAll(path);
    for (auto [pos, size] : spots) bytes.replace(pos, size, std::string(size, '\xff'));
    return !spots.empty() && writeAll(path, bytes);
}

bool makeDamaged(const std::string& path, const std::function<bool(double)>& damaged) {
    return ffmpeg(
               "-f lavfi -i testsrc2=size=320x240:rate=25 "
               "-f lavfi -i anoisesrc=color=pink:amplitude=0.3:sample_rate=44100 "
               "-c:v libx264 -preset ultrafast -c:a aac -t 12 " +
               quoted(path)) &&
           damageSound(path, damaged);
}

// The first `fraction` of a clip of `seconds`, as a copy broken off mid-way leaves it.
bool makeCut(const std::string& path, double seconds, double fraction) {
    const std::string whole = path + ".whole.mkv";
    if (!ffmpeg("-f lavfi -i testsrc2=size=320x240:rate=25 " + std::string(kSound) +
                "-c:v libx264 -preset ultrafast -c:a aac -t " + std::to_string(seconds) + " " +
                quoted(whole)))
        return false;
    const std::string bytes = readAll(whole);
    fs::remove(whole);
    return writeAll(path, bytes.substr(0, static_cast<std::size_t>(bytes.size() * fraction)));
}

// Four seconds of MPEG-TS whose first picture's time is damaged to three
// hours on; the pictures after it keep their own.
bool makeFirstPictureAhead(const std::string& path) {
    const std::string whole = path + ".whole.ts";
    const bool made =
        ffmpeg(std::string(kPicture) + kSound + "-t 4 -c:v mpeg2video -c:a mp2 " + quoted(whole)) &&
        ffmpeg("-i " + quoted(whole) + " -map 0 -c copy -bsf:v " +
               quoted("setts=pts=if(eq(N\\,0)\\,PTS+10800/TB\\,PTS)") + " " + quoted(path));
    fs::remove(whole);
    return made;
}

JobSettings jobFor(const std::string& source, const std::string& destination,
                   Audience audience = Audience::Dsl256K) {
    JobSettings j;
    j.source = source;
    j.destination = destination;
    j.audiences = audienceSet({audience});
    return j;
}

// --- sources with broken timing, damage or an early end ------------------------

struct MessySource {
    const char* name;
    std::function<bool(const std::string&)> make;
    const char* extension;
    double holds;         // seconds of media the file really has
    const char* warning;  // what the summary must say; "" for nothing
};

void PrintTo(const MessySource& c, std::ostream* os) {
    *os << c.name;
}

class MessySources : public ::testing::TestWithParam<MessySource> {};

// Ends within the bound, keeps every second the source has (and no more),
// tells the duration the file holds and says what was wrong.
TEST_P(MessySources, EndKeepWhatIsThereAndSaySo) {
    const MessySource& c = GetParam();
    media::ScratchDir dir;
    const std::string source = dir.file(std::string("source.") + c.extension);
    ASSERT_TRUE(c.make(source)) << "could not make " << c.name;
    const std::string out = dir.file("out.rm");

    Engine engine;
    WaitingObserver observer;
    JobInfo info;
    ASSERT_TRUE(engine.start(jobFor(source, out), observer, &info));
    const auto r = observer.waitResult(std::chrono::seconds(static_cast<int>(60 * kSlowdown)));
    ASSERT_TRUE(r) << "did not end";
    ASSERT_EQ(r->outcome, JobOutcome::Completed) << r->message;

    const media::MediaInfo m = media::probe(out);
    ASSERT_TRUE(m.opened) << m.error;
    EXPECT_NEAR(m.playSeconds(), c.holds, 0.35);
    EXPECT_NEAR(r->encodedMs / 1000.0, m.playSeconds(), 0.15) << "told is not held";
    if (*c.warning) {
        EXPECT_NE(r->warning.find(c.warning), std::string::npos) << r->warning;
    } else {
        EXPECT_EQ(r->warning, "");
    }
}

const MessySource kMessySources[] = {
    {"jump", [](const std::string& p) { return makeJump(p, true); }, "mkv", 4.0, "36000.0 秒"},
    {"sound_jump", [](const std::string& p) { return makeJump(p, false); }, "mkv", 4.0,
     "没有任何数据"},
    {"avi_one_frame_per_4000s",
     [](const std::string& p) { return makeAviClaiming(p, 4000, 1, true); }, "avi", 6.0,
     "帧率不可信"},
    {"avi_25_per_2031617_picture_only",
     [](const std::string& p) { return makeAviClaiming(p, 2031617, 25, false); }, "avi", 6.0,
     "已按每秒 25.0 帧处理"},
    // Lengths no RealMedia file can state are held to the most one can.
    {"avi_of_endless_sound", makeAviOfEndlessSound, "avi", 6.0, "声明 4294967.3 秒"},
    {"mkv_declaring_ages", makeMkvDeclaringAges, "mkv", 4.0, "声明 4294967.3 秒"},
    {"one_damaged_packet",
     [](const std::string& p) {
         return makeDamaged(p, [](double t) { return t >= 10.0 && t < 10.02; });
     },
     "mp4", 12.0, "损坏，已跳过"},
    {"cut_in_half", [](const std::string& p) { return makeCut(p, 4, 0.5); }, "mkv", 2.0,
     "源文件提前结束：声明 4.0 秒"},
    {"first_tenth", [](const std::string& p) { return makeCut(p, 60, 0.1); }, "mkv", 6.0,
     "声明 60.0 秒"},
    {"first_picture_hours_ahead", makeFirstPictureAhead, "ts", 4.0, ""},
};

INSTANTIATE_TEST_SUITE_P(Kinds, MessySources, ::testing::ValuesIn(kMessySources),
                         [](const auto& info) { return std::string(info.param.name); });

// Damage to most of a source is not a result worth keeping.
TEST(MessySourceFailures, MostlyDamagedSourceFailsAndLeavesNothing) {
    media::ScratchDir dir;
    const std::string source = dir.file("damaged.mp4");
    ASSERT_TRUE(makeDamaged(source, [](double t) { return std::fmod(t, 1.0) < 0.7; }));
    const std::string out = dir.file("out.rm");
    Engine engine;
    WaitingObserver observer;
    JobSettings j = jobFor(source, out);
    j.videoQuality = NoVideo;  // only the damaged sound
    ASSERT_TRUE(engine.start(j, observer));
    const auto r = observer.waitResult();
    ASSERT_TRUE(r);
    EXPECT_EQ(r->outcome, JobOutcome::Failed);
    EXPECT_NE(r->message.find("损坏严重"), std::string::npos) << r->message;
    EXPECT_FALSE(media::fileExists(out));
    EXPECT_EQ(media::hiddenFileCount(dir.path()), 0);
}

// --- attachments ---------------------------------------------------------------

// A font attached to a Matroska file (tens of megabytes in some subtitled
// films) is never read: the demuxer finds padding where it was, and the
// file comes out as from the same source without it. Through a pipe the
// padding is read and dropped, and the file comes out the same again.
TEST(MessySourceAttachments, AnAttachedFontIsNeverReadAndChangesNothing) {
    media::ScratchDir dir;
    media::ClipShape shape;
    shape.seconds = 3;
    shape.width = 320;
    shape.height = 240;
    const std::string clip = dir.file("clip.mkv"), font = dir.file("font.ttf");
    ASSERT_TRUE(media::makeClip(clip, shape));
    std::string fontBytes(16 << 20, '\0');
    std::mt19937 random{27};
    for (char& b : fontBytes) b = static_cast<char>(random());
    ASSERT_TRUE(writeAll(font, fontBytes));
    const std::string plain = dir.file("plain.mkv"), attached = dir.file("attached.mkv");
    const std::string copy = "-i " + quoted(clip) + " -map 0 -c copy ";
    ASSERT_TRUE(ffmpeg(copy + quoted(plain)));
    ASSERT_TRUE(ffmpeg(copy + "-attach " + quoted(font) +
                       " -metadata:s:t mimetype=application/x-truetype-font " + quoted(attached)));
    const std::string fifo = dir.file("fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    // The source's name, fed from `file` when it is the FIFO.
    const auto fed = [&](const std::string& name, const std::string& file) {
        return name == fifo ? std::make_unique<FifoFeed>(fifo, file) : nullptr;
    };

    for (const std::string& name : {attached, fifo}) {
        SCOPED_TRACE(name);
        const auto writer = fed(name, attached);
        MediaSource source;
        EXPECT_TRUE(openMediaSource(name, source));
        for (unsigned i = 0; source.format && i < source.format->nb_streams; ++i)
            EXPECT_NE(source.format->streams[i]->codecpar->codec_type, AVMEDIA_TYPE_ATTACHMENT);
        // The writer's rest, read and dropped.
        std::vector<std::uint8_t> rest(1 << 16);
        while (name == fifo && source.format &&
               avio_read(source.format->pb, rest.data(), static_cast<int>(rest.size())) > 0) {
        }
        if (writer) writer->join();
    }

    const std::pair<std::string, std::string> jobs[] = {
        {plain, plain}, {attached, attached}, {fifo, plain}, {fifo, attached}};
    std::string digests[std::size(jobs)];
    for (std::size_t i = 0; i < std::size(jobs); ++i) {
        SCOPED_TRACE(jobs[i].second + (jobs[i].first == fifo ? " through a pipe" : ""));
        const std::string out = dir.file("out" + std::to_string(i) + ".rm");
        const auto writer = fed(jobs[i].first, jobs[i].second);
        Engine engine;
        WaitingObserver observer;
        const Status started = engine.start(jobFor(jobs[i].first, out), observer);
        engine.wait();
        if (writer) writer->join();
        ASSERT_TRUE(started);
        const auto r = observer.waitResult(0s);
        ASSERT_TRUE(r);
        ASSERT_EQ(r->outcome, JobOutcome::Completed) << r->message;
        digests[i] = media::fileDigest(out);
    }
    EXPECT_EQ(digests[0], digests[1]);
    EXPECT_EQ(digests[2], digests[3]);
}

// --- stopping ------------------------------------------------------------------

// Stop ends the job where it is while one frame fills minutes of slots (a
// stop between packets of an ordinary source: engine_media_test's
// StopLeavesAValidShorterFile; while the source sends nothing yet: below).
TEST(MessySourceStop, StopEndsEveryJobWhereItIs) {
    media::ScratchDir dir;
    // One picture every five minutes under ten minutes of sound: each picture
    // fills thousands of slots from a single packet.
    const std::string slides = dir.file("slides.mkv");
    ASSERT_TRUE(
        ffmpeg("-f lavfi -i testsrc2=size=320x240:rate=1/300 "
               "-f lavfi -i sine=frequency=330:sample_rate=8000 "
               "-c:v libx264 -preset ultrafast -c:a aac -t 600 " +
               quoted(slides)));
    const std::string out = dir.file("stopped.rm");
    Engine engine;
    WaitingObserver observer;
    ASSERT_TRUE(engine.start(jobFor(slides, out, Audience::Dsl512K), observer));
    ASSERT_TRUE(observer.waitPercent(3)) << "ended before it could be stopped";
    const auto before = Clock::now();
    engine.stop();
    EXPECT_LT(Clock::now() - before, kAtOnce);
    const auto r = observer.waitResult(0s);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->outcome, JobOutcome::Stopped);
    const media::MediaInfo m = media::probe(out);
    ASSERT_TRUE(m.opened) << m.error;
    // The slides' whole job takes under two seconds and their file runs to
    // the source's end even when stopped at 3 %: its length is not measured.
    EXPECT_NEAR(m.playSeconds(), r->encodedMs / 1000.0, 0.5);
}

// A FIFO nobody writes to: start() waits for it, and its caller can give up.
TEST(MessySourceStop, ASourceThatSendsNothingCanBeGivenUpOn) {
    media::ScratchDir dir;
    const std::string fifo = dir.file("fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string out = dir.file("out.rm");
    const auto giveUpAt = Clock::now() + 300ms;
    JobSettings j = jobFor(fifo, out);
    j.interrupted = [&] { return Clock::now() >= giveUpAt; };
    Engine engine;
    WaitingObserver observer;
    const Status s = engine.start(j, observer);
    EXPECT_LT(Clock::now() - giveUpAt, kAtOnce);
    EXPECT_FALSE(s);
    EXPECT_FALSE(media::fileExists(out));
    EXPECT_EQ(media::hiddenFileCount(dir.path()), 0);

    // Launched, the wait is the job's, and a stop ends it.
    WaitingObserver launched;
    auto before = Clock::now();
    ASSERT_TRUE(engine.launch(jobFor(fifo, out), launched));
    EXPECT_LT(Clock::now() - before, kAtOnce);
    std::this_thread::sleep_for(300ms);
    EXPECT_TRUE(engine.running());
    before = Clock::now();
    engine.stop();
    EXPECT_LT(Clock::now() - before, kAtOnce);
    const auto r = launched.waitResult(0s);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->outcome, JobOutcome::Stopped);
    EXPECT_FALSE(media::fileExists(out));
    EXPECT_EQ(media::hiddenFileCount(dir.path()), 0);

    // Fed, the same FIFO is a source like any other, and its descriptor
    // goes with the job (FFmpeg's pipe reader leaves it open).
    const auto openDescriptors = [] {
        const std::filesystem::directory_iterator fds("/proc/self/fd");
        return std::distance(begin(fds), end(fds));
    };
    const std::string& clip = media::cachedClip("detailed", testing::detailedClip());
    const auto descriptors = openDescriptors();
    {
        Engine fed;
        FifoFeed writer(fifo, clip);
        ASSERT_TRUE(fed.start(jobFor(fifo, out), observer));
        fed.wait();
        writer.join();
    }
    EXPECT_EQ(openDescriptors(), descriptors);
    EXPECT_NEAR(media::probe(out).playSeconds(), 8.0, 0.5);
}

// A regular file whose reads the kernel holds (a network mount that stopped
// answering): the opening gives up on Ctrl+C's way (the caller's interrupt),
// a running job stops at once and keeps its file, and the threads left in
// the kernel are few: past the bound a new source is refused, not read.
TEST(MessySourceStop, AReadTheKernelHoldsIsGivenUp) {
    media::ScratchDir dir;
    testing::StalledReads stalled;
    const std::string source = dir.file("long.stalled");
    fs::copy_file(media::cachedClip("long", testing::longClip()), source);
    const std::string out = dir.file("out.rm");

    // Held from the first read: start() gives up when its caller asks.
    const int heldBefore = SourceFile::heldCalls();
    Status refused = Status::ok();
    int givenUp = 0;
    for (; givenUp <= kMostHeldCalls; ++givenUp) {
        // Ctrl+C, once the read is held.
        JobSettings j = jobFor(source, out);
        j.interrupted = [&, held = stalled.held()] { return stalled.held() > held; };
        Engine engine;
        WaitingObserver observer;
        const auto before = Clock::now();
        const Status s = engine.start(j, observer);
        EXPECT_LT(Clock::now() - before, kAtOnce);
        ASSERT_FALSE(s);
        if (s.kind() != ErrorKind::Interrupted) {
            refused = s;
            break;
        }
        EXPECT_EQ(s.message(), text::kStoppedWhileOpening);
    }
    EXPECT_EQ(givenUp, kMostHeldCalls - heldBefore);
    EXPECT_EQ(refused.kind(), ErrorKind::SourceUnreadable);
    EXPECT_NE(refused.message().find(text::kCauseReadsHeld), std::string::npos)
        << refused.message();
    EXPECT_FALSE(media::fileExists(out));
    EXPECT_EQ(media::hiddenFileCount(dir.path()), 0);
    // The mount answers again: the threads end, and the source reads.
    stalled.release();
    const auto deadline = Clock::now() + 60s;
    while (SourceFile::heldCalls() > 0 && Clock::now() < deadline) std::this_thread::sleep_for(5ms);
    EXPECT_EQ(SourceFile::heldCalls(), 0);

    // Held in the first look and the stages' timing, which read the file
    // anew: Ctrl+C's way ends them too, and the job then stops at once
    // (with what the opening had read ahead, if anything).
    stalled.holdReopenings();
    {
        JobSettings j = jobFor(source, out);
        j.interrupted = [&] { return stalled.held() > 0; };
        Engine engine;
        WaitingObserver observer;
        const auto before = Clock::now();
        if (const Status s = engine.start(j, observer); s) {
            engine.wait();
            const auto r = observer.waitResult(0s);
            ASSERT_TRUE(r);
            EXPECT_EQ(r->outcome, JobOutcome::Stopped) << r->message;
        } else {
            EXPECT_EQ(s.kind(), ErrorKind::Interrupted) << s.message();
        }
        EXPECT_LT(Clock::now() - before, kAtOnce);
        EXPECT_GT(SourceFile::heldCalls(), 0);
    }
    stalled.release();
    while (SourceFile::heldCalls() > 0 && Clock::now() < deadline) std::this_thread::sleep_for(5ms);

    // Held in the middle of the job: a stop waits for no read and keeps the
    // file, complete up to where the reader was.
    stalled.hold(false);
    Engine engine;
    WaitingObserver observer;
    ASSERT_TRUE(engine.start(jobFor(source, out, Audience::Dsl512K), observer));
    ASSERT_TRUE(observer.waitPercent(3));
    stalled.hold(true);
    ASSERT_TRUE(stalled.waitHeld(1));
    const auto before = Clock::now();
    engine.stop();
    EXPECT_LT(Clock::now() - before, kAtOnce);
    const auto r = observer.waitResult(0s);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->outcome, JobOutcome::Stopped) << r->message;
    const media::MediaInfo m = media::probe(out);
    ASSERT_TRUE(m.opened) << m.error;
    EXPECT_NEAR(m.playSeconds(), r->encodedMs / 1000.0, 0.5);
    EXPECT_LT(m.playSeconds(), 19.0);
    EXPECT_EQ(SourceFile::heldCalls(), 1);
}

// A reader held where no stop reaches it (a stalled network mount) is let go
// after the patience: it tells its observer nothing more, and once the read
// returns it completes its file, unless a later job took the destination.
TEST(MessySourceStop, AJobHeldInAReadIsLetGoAndNeverOverwritesALaterOne) {
    media::ScratchDir dir;
    const std::string& clip = media::cachedClip("long", testing::longClip());
    const std::string& other = media::cachedClip("detailed", testing::detailedClip());
    for (const bool laterJob : {false, true}) {
        SCOPED_TRACE(laterJob ? "a later job to the same file" : "alone");
        const std::string out = dir.file("held.rm");
        // Shared with the job, which may outlive this loop's turn. The read
        // returns when the test lets it (or after a minute, so that a stop
        // that waits for it fails instead of hanging).
        auto hold = std::make_shared<std::atomic<bool>>(false);
        auto held = std::make_shared<std::atomic<bool>>(false);
        auto release = std::make_shared<std::atomic<bool>>(false);
        auto returned = std::make_shared<std::atomic<bool>>(false);
        JobSettings j = jobFor(clip, out, Audience::Dsl512K);
        j.interrupted = [hold, held, release, returned] {
            if (hold->exchange(false)) {
                *held = true;
                const auto giveUp = Clock::now() + 60s;
                while (!*release && Clock::now() < giveUp) std::this_thread::sleep_for(5ms);
                *returned = true;
            }
            return false;
        };
        Engine engine;
        WaitingObserver observer;
        ASSERT_TRUE(engine.start(j, observer));
        ASSERT_TRUE(observer.waitPercent(3));
        *hold = true;
        const auto deadline = Clock::now() + 60s;
        while (!*held && Clock::now() < deadline) std::this_thread::sleep_for(5ms);
        ASSERT_TRUE(*held);
        EXPECT_FALSE(engine.stopWithin(200ms));
        EXPECT_FALSE(*returned) << "the stop waited for the held read";
        EXPECT_FALSE(engine.running());
        const std::size_t told = observer.progress().size();

        WaitingObserver second;
        if (laterJob) {
            ASSERT_TRUE(engine.start(jobFor(other, out), second));
            ASSERT_TRUE(second.waitResult());
        }
        *release = true;
        // The held job's temporary file goes once it has ended.
        while (media::hiddenFileCount(dir.path()) > 0 && Clock::now() < deadline)
            std::this_thread::sleep_for(20ms);
        EXPECT_EQ(media::hiddenFileCount(dir.path()), 0);
        EXPECT_FALSE(observer.waitResult(0s));
        EXPECT_EQ(observer.progress().size(), told);
        const media::MediaInfo m = media::probe(out);
        ASSERT_TRUE(m.opened) << m.error;
        if (laterJob)
            EXPECT_NEAR(m.playSeconds(), 8.0, 0.5);
        else
            EXPECT_LT(m.playSeconds(), 19.0);
        std::filesystem::remove(out);
    }
}

// --- out of memory ---------------------------------------------------------------

// Memory running out halfway, as the job meets it in a packet copied for a
// second file or in a packet read: the job fails as out of memory and keeps
// no file, never a short one called complete.
TEST(MessySourceMemory, AnAllocationThatFailsFailsTheJob) {
    media::ScratchDir dir;
    const std::string& clip = media::cachedClip("long", testing::longClip());
    const std::string out = dir.file("out.rm");
    const std::pair<const char*, testing::FailingCall&> calls[] = {
        {"av_packet_clone", testing::failingPacketClone},
        {"av_read_frame", testing::failingPacketRead}};
    for (const auto& [name, call] : calls) {
        SCOPED_TRACE(name);
        // 28K and 56K share one sound: its packets are copied for the second file.
        JobSettings j = jobFor(clip, out);
        j.audiences = audienceSet({Audience::Modem28K, Audience::Modem56K});
        Engine engine;
        WaitingObserver observer;
        ASSERT_TRUE(engine.start(j, observer));
        call.failAfter(40);
        const auto r = observer.waitResult();
        call.never();
        // A lane that ended quietly left the reader waiting on its queue.
        if (!r) engine.stopWithin(1s);
        ASSERT_TRUE(r) << "the job never ended";
        EXPECT_EQ(r->outcome, JobOutcome::Failed);
        EXPECT_EQ(r->errorKind, ErrorKind::OutOfMemory);
        EXPECT_NE(r->message.find(text::kOutOfMemory), std::string::npos) << r->message;
        EXPECT_FALSE(media::fileExists(out));
        EXPECT_FALSE(media::fileExists(dir.file("out-56k.rm")));
        EXPECT_EQ(media::hiddenFileCount(dir.path()), 0);
    }
}

// --- destinations ------------------------------------------------------------

class MessyDestination : public ::testing::Test {
  protected:
    void SetUp() override {
        source_ = media::cachedClip("detailed", testing::detailedClip());
        ASSERT_FALSE(source_.empty());
    }
    JobResult encode(const std::string& destination, Status* refusal = nullptr) {
        Engine engine;
        WaitingObserver observer;
        const Status s = engine.start(jobFor(source_, destination), observer);
        if (refusal) *refusal = s;
        if (!s) return {};
        return observer.waitResult().value_or(JobResult{});
    }
    media::ScratchDir dir_;
    std::string source_;
};

// Not a regular file: refused, and left exactly as it was.
TEST_F(MessyDestination, DevicesPipesAndSocketsAreNeverReplaced) {
    std::vector<std::string> targets;
    const std::string fifo = dir_.file("fifo.rm");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    targets.push_back(fifo);
    if (::geteuid() == 0) {
        const std::string device = dir_.file("full.rm");  // what /dev/full is
        ASSERT_EQ(::mknod(device.c_str(), S_IFCHR | 0600, makedev(1, 7)), 0);
        targets.push_back(device);
    } else {
        std::cout << "SKIP: the device node needs root; the FIFO is checked\n";
    }
    for (const std::string& target : targets) {
        SCOPED_TRACE(target);
        struct stat before {};
        ASSERT_EQ(::lstat(target.c_str(), &before), 0);
        Status refusal = Status::ok();
        encode(target, &refusal);
        EXPECT_FALSE(refusal);
        EXPECT_NE(refusal.message().find("不是普通文件"), std::string::npos) << refusal.message();
        struct stat after {};
        ASSERT_EQ(::lstat(target.c_str(), &after), 0);
        EXPECT_EQ(after.st_mode, before.st_mode);
        EXPECT_EQ(after.st_rdev, before.st_rdev);
        EXPECT_EQ(after.st_ino, before.st_ino);
    }
    EXPECT_EQ(media::hiddenFileCount(dir_.path()), 0);
}

TEST_F(MessyDestination, NamesUpToTheLimitWorkAndDeadJobsTempFilesGo) {
    // 84 Chinese characters and ".rm": 255 bytes, the most a name may have.
    std::string name;
    for (int i = 0; i < 84; ++i) name += "视";
    name += ".rm";
    ASSERT_EQ(name.size(), 255u);

    // What a killed job leaves: a temporary file under a pid that has ended,
    // no longer locked and over a minute old.
    const pid_t child = ::fork();
    if (child == 0) ::_exit(0);
    ::waitpid(child, nullptr, 0);
    const std::string stale = dir_.file(".old.rm.velmora-" + std::to_string(child) + "-AbC123");
    const std::string living =
        dir_.file(".other.rm.velmora-" + std::to_string(::getppid()) + "-XyZ789");
    writeAll(stale, "left by a killed job");
    ASSERT_TRUE(media::makeOlder(stale, 120));
    writeAll(living, "a running job's");

    const JobResult r = encode(dir_.file(name));
    ASSERT_EQ(r.outcome, JobOutcome::Completed) << r.message;
    EXPECT_TRUE(media::probe(dir_.file(name)).opened);
    EXPECT_FALSE(media::fileExists(stale));
    EXPECT_TRUE(media::fileExists(living));
}

// A job in another PID namespace (a container, a sandbox) sees none of our
// processes: its sweep must still leave our running job's file alone, even
// one past the minute after its last write.
TEST_F(MessyDestination, JobInAnotherPidNamespaceLeavesOurTempFileAlone) {
    if (::geteuid() != 0 || std::system("unshare -p -f --mount-proc true >/dev/null 2>&1") != 0) {
        std::cout << "SKIP: a PID namespace needs root and unshare -p (util-linux)\n";
        GTEST_SKIP() << "a PID namespace needs root and unshare -p (util-linux)";
    }
    TempOutput ours;
    ASSERT_TRUE(ours.create(dir_.file("ours.rm")));
    writeAll(ours.path(), "a running job's");
    ASSERT_TRUE(media::makeOlder(ours.path(), 120));

    const ChildRun r = runEncoder(source_, dir_.file("theirs.rm"), dir_.file("log"),
                                  std::chrono::seconds(static_cast<int>(60 * kSlowdown)),
                                  {"unshare", "-p", "-f", "--mount-proc", "--kill-child"});
    ASSERT_EQ(r.exitCode, 0) << r.output;
    EXPECT_TRUE(media::probe(dir_.file("theirs.rm")).opened);
    EXPECT_TRUE(media::fileExists(ours.path()));
    const Status committed = ours.commit();
    EXPECT_TRUE(committed) << committed.message();
}

}  // namespace
}  // namespace velmora::encoder
