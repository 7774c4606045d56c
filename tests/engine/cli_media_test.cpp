// velmora-encode as a user runs it: exit codes, messages, and a full disk.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <sstream>
#include <string>

#include "engine_support.h"

namespace velmora::encoder {
namespace {

namespace media = velmora::testing::media;

struct CliRun {
    int exitCode = -1;
    bool signalled = false;
    std::string output;
};

std::string shellQuoted(const std::string& s) {
    std::string out = "'";
    for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

// `prefix` runs in the same shell first (e.g. a ulimit).
CliRun run(const std::string& args, const std::string& prefix = "") {
    const std::string cmd =
        prefix + "exec " + shellQuoted(VELMORA_ENCODE_BIN) + " " + args + " 2>&1";
    CliRun r;
    FILE* pipe = ::popen(("sh -c " + shellQuoted(cmd)).c_str(), "r");
    if (!pipe) return r;
    char buf[512];
    while (std::fgets(buf, sizeof buf, pipe)) r.output += buf;
    const int status = ::pclose(pipe);
    if (WIFEXITED(status)) r.exitCode = WEXITSTATUS(status);
    // The shell reports a signal as 128+n.
    r.signalled = WIFSIGNALED(status) || r.exitCode > 128;
    return r;
}

class Cli : public ::testing::Test {
  protected:
    void SetUp() override {
        source_ = media::cachedClip("detailed", testing::detailedClip());
        ASSERT_FALSE(source_.empty());
        digest_ = media::fileDigest(source_);
    }
    void TearDown() override { EXPECT_EQ(media::fileDigest(source_), digest_); }

    media::ScratchDir dir_;
    std::string source_, digest_;
};

TEST_F(Cli, EncodesAndSummarisesAgainstTheBudget) {
    const std::string out = dir_.file("输出 out.rm");
    const CliRun r = run("--audience lan,512k --audio-content 3 --video-quality 0 " +
                         shellQuoted(source_) + " " + shellQuoted(out));
    EXPECT_EQ(r.exitCode, 0) << r.output;
    EXPECT_NE(r.output.find("kbps"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("150 kbps"), std::string::npos) << r.output;  // LAN is the slower
    EXPECT_EQ(r.output.find("\r["), std::string::npos) << "no progress bar without a terminal";
    const media::MediaInfo m = media::probe(out);
    ASSERT_TRUE(m.opened);
    EXPECT_EQ(m.audio->channels, 2);
}

TEST_F(Cli, VideoQualityNoneGivesSoundOnly) {
    const std::string out = dir_.file("sound.rm");
    const CliRun r =
        run("--audience 28k --video-quality none " + shellQuoted(source_) + " " + shellQuoted(out));
    EXPECT_EQ(r.exitCode, 0) << r.output;
    const media::MediaInfo m = media::probe(out);
    ASSERT_TRUE(m.opened);
    EXPECT_FALSE(m.video);
    ASSERT_TRUE(m.audio);
    EXPECT_EQ(m.audio->codec, "ra_144");
}

TEST_F(Cli, BadUseExitsWithAMessageAndNoFile) {
    const std::string out = dir_.file("a.rm");
    const std::string files = " " + shellQuoted(source_) + " " + shellQuoted(out);
    for (const std::string& args :
         {std::string(""), "--audience 1m" + files, "--audience" + files,
          "--audio-content 7" + files, "--video-quality fast" + files, "--muxer gstreamer" + files,
          "--frobnicate" + files, shellQuoted(source_),
          shellQuoted(dir_.file("missing.avi")) + " " + shellQuoted(out),
          shellQuoted(source_) + " " + shellQuoted(dir_.file("no folder/a.rm")),
          shellQuoted(source_) + " " + shellQuoted(source_)}) {
        SCOPED_TRACE(args);
        const CliRun r = run(args);
        EXPECT_EQ(r.exitCode, 1) << r.output;
        EXPECT_FALSE(r.output.empty());
        EXPECT_FALSE(media::fileExists(out));
    }
    EXPECT_EQ(media::hiddenFileCount(dir_.path()), 0);
}

TEST_F(Cli, AFullDiskEndsWithAnErrorNotACrash) {
    const std::string out = dir_.file("full.rm");
    // 64 blocks of 512 bytes: the header fits, the file does not.
    const CliRun r =
        run("--audience 512k " + shellQuoted(source_) + " " + shellQuoted(out), "ulimit -f 64; ");
    EXPECT_EQ(r.exitCode, 1) << r.output;
    EXPECT_FALSE(r.signalled);
    EXPECT_NE(r.output.find("写入目标文件时出错"), std::string::npos) << r.output;
    EXPECT_FALSE(media::fileExists(out));
    EXPECT_EQ(media::hiddenFileCount(dir_.path()), 0);
}

TEST_F(Cli, AnInterruptStopsLikeTheStopButton) {
    const std::string& source = media::cachedClip("long", testing::longClip());
    const std::string out = dir_.file("interrupted.rm");
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ::execl(VELMORA_ENCODE_BIN, "velmora-encode", "--audience", "28k", source.c_str(),
                out.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    // Wait until the job writes, then interrupt it.
    for (int i = 0; i < 200 && media::hiddenFileCount(dir_.path()) == 0; ++i) ::usleep(10'000);
    ::usleep(200'000);
    ::kill(pid, SIGINT);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status)) << "killed by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 130);
    const media::MediaInfo m = media::probe(out);
    ASSERT_TRUE(m.opened) << m.error;
    EXPECT_GT(m.durationSeconds, 0.5);
    EXPECT_LT(m.durationSeconds, 19.0);
    EXPECT_EQ(media::hiddenFileCount(dir_.path()), 0);
}

TEST_F(Cli, EitherWriterCanBeChosen) {
    const std::string out = dir_.file("ffmpeg.rm");
    EXPECT_EQ(run("--muxer ffmpeg " + shellQuoted(source_) + " " + shellQuoted(out)).exitCode, 0);
    EXPECT_TRUE(media::probe(out).opened);
    const std::string ours = dir_.file("ours.rm");
    const CliRun r = run("--muxer ours " + shellQuoted(source_) + " " + shellQuoted(ours));
    EXPECT_EQ(r.exitCode, 0) << r.output;
    EXPECT_TRUE(media::probe(ours).opened);
}

// The bench compares us with the ffmpeg CLI given these options: they must
// give a file of the same codecs, size and rates.
TEST_F(Cli, PrintedPlanMakesTheFfmpegCliEncodeAlike) {
    const CliRun plan = run("--print-plan --audience 56k " + shellQuoted(source_));
    ASSERT_EQ(plan.exitCode, 0) << plan.output;
    EXPECT_EQ(media::hiddenFileCount(dir_.path()), 0);
    std::string options;
    std::istringstream lines(plan.output);
    for (std::string line; std::getline(lines, line);) {
        options += ' ';
        options += shellQuoted(line);
    }
    const std::string theirs = dir_.file("ffmpeg.rm"), ours = dir_.file("ours.rm");
    ASSERT_EQ(std::system(("ffmpeg -nostdin -v error -y -i " + shellQuoted(source_) + options +
                           " -f rm " + shellQuoted(theirs))
                              .c_str()),
              0);
    ASSERT_EQ(run("--audience 56k " + shellQuoted(source_) + " " + shellQuoted(ours)).exitCode, 0);
    const media::MediaInfo a = media::probe(ours), b = media::probe(theirs);
    ASSERT_TRUE(a.opened && b.opened && a.video && b.video && a.audio && b.audio);
    EXPECT_EQ(a.video->codec, b.video->codec);
    EXPECT_EQ(a.video->width, b.video->width);
    EXPECT_EQ(a.video->height, b.video->height);
    EXPECT_EQ(a.video->frameRate, b.video->frameRate);
    EXPECT_EQ(a.audio->codec, b.audio->codec);
    EXPECT_EQ(a.audio->sampleRate, b.audio->sampleRate);
    EXPECT_EQ(a.audio->channels, b.audio->channels);
}

}  // namespace
}  // namespace velmora::encoder
