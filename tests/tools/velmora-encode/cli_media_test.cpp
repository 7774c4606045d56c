// velmora-encode as a user runs it: exit codes, messages, and a full disk.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "engine/engine_support.h"
#include "engine/messy_sources.h"
#include "rm_file.h"
#include "texts/encoder_texts.h"

namespace velmora::encoder {
namespace {

namespace media = velmora::testing::media;
using testing::ChildRun;
using testing::kSlowdown;
using testing::makeAviClaiming;
using testing::makeJump;
using testing::runEncoder;

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

// Starts velmora-encode with `args`; its stdout and stderr come through the
// pipe. `prefix` runs in the same shell first (e.g. a ulimit).
FILE* launch(const std::string& args, const std::string& prefix = "") {
    // Joined first: a redirection after a low `ulimit -n` fails in dash.
    const std::string cmd =
        "exec 2>&1; " + prefix + "exec " + shellQuoted(VELMORA_ENCODE_BIN) + " " + args;
    return ::popen(("sh -c " + shellQuoted(cmd)).c_str(), "r");
}

// Everything a launched run says, once it has ended.
CliRun collect(FILE* pipe) {
    CliRun r;
    if (!pipe) return r;
    char buf[512];
    while (std::fgets(buf, sizeof buf, pipe)) r.output += buf;
    const int status = ::pclose(pipe);
    if (WIFEXITED(status)) r.exitCode = WEXITSTATUS(status);
    // The shell reports a signal as 128+n.
    r.signalled = WIFSIGNALED(status) || r.exitCode > 128;
    return r;
}

CliRun run(const std::string& args, const std::string& prefix = "") {
    return collect(launch(args, prefix));
}

// Runs velmora-encode with `args`, its stdout and stderr on `outFd`; returns its pid.
pid_t spawn(const std::vector<std::string>& args, int outFd) {
    const pid_t pid = ::fork();
    if (pid != 0) return pid;
    ::dup2(outFd, STDOUT_FILENO);
    ::dup2(outFd, STDERR_FILENO);
    std::vector<char*> argv{const_cast<char*>("velmora-encode")};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ::execv(VELMORA_ENCODE_BIN, argv.data());
    ::_exit(127);
}

// Feeds `clip` into a new FIFO at `fifo` at the clip's own pace (ffmpeg -re),
// so that a job reading it can neither end early nor have nothing after a
// few seconds, however busy the machine; returns the feeder's pid.
pid_t feedAtItsOwnPace(const std::string& clip, const std::string& fifo) {
    if (::mkfifo(fifo.c_str(), 0600) != 0) return -1;
    const pid_t feeder = ::fork();
    if (feeder != 0) return feeder;
    ::execlp("ffmpeg", "ffmpeg", "-nostdin", "-v", "quiet", "-re", "-i", clip.c_str(), "-c", "copy",
             "-f", "matroska", "-y", fifo.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
}

void endFeeder(pid_t feeder) {
    ::kill(feeder, SIGTERM);
    ::waitpid(feeder, nullptr, 0);
}

std::string contents(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// What a spawned run wrote to the pipe's other end, until it closed.
std::string readAll(int fd) {
    std::string out;
    char buf[512];
    for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) > 0;) out.append(buf, n);
    return out;
}

// A spawned run sent Ctrl+C: what it wrote to `outFd` until it closed, and
// how it ended (`waited` is waitpid's answer).
struct Interrupted {
    std::string output;
    pid_t waited = -1;
    int status = 0;
};

Interrupted interrupt(pid_t pid, int outFd) {
    ::kill(pid, SIGINT);
    Interrupted run;
    run.output = readAll(outFd);
    ::close(outFd);
    run.waited = ::waitpid(pid, &run.status, 0);
    return run;
}

// The bytes process `pid` has read so far (rchar: every read(2) and
// pread(2), which leaves a descriptor's position where it was); -1 once the
// process is gone.
long long bytesRead(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/io");
    for (std::string line; std::getline(in, line);)
        if (line.rfind("rchar:", 0) == 0) return std::atoll(line.c_str() + 6);
    return -1;
}

// The names in `folder`, hidden ones too.
std::set<std::string> namesIn(const std::string& folder) {
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder))
        names.insert(entry.path().filename().string());
    return names;
}

// The hidden file in `folder` (a job's file on its way), "" without one.
std::string hiddenFileIn(const std::string& folder) {
    for (const std::string& name : namesIn(folder))
        if (name.starts_with(".")) return folder + "/" + name;
    return {};
}

// The "output" of a --json line, "" when it is null or missing.
std::string outputOf(const std::string& line) {
    const std::string key = "\"output\":\"";
    const std::size_t begin = line.find(key);
    if (begin == std::string::npos) return {};
    const std::size_t from = begin + key.size();
    return line.substr(from, line.find('"', from) - from);
}

// The lines of --json among the rest of the output.
std::vector<std::string> jsonLines(const std::string& output) {
    std::istringstream lines(output);
    std::vector<std::string> json;
    for (std::string line; std::getline(lines, line);)
        if (line.starts_with("{")) json.push_back(line);
    return json;
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
    // A summary line for the file beside it too, against its own budget.
    EXPECT_NE(r.output.find(dir_.file("输出 out-512k.rm") + "："), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("450 kbps"), std::string::npos) << r.output;
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

// A command line that cannot be done exits 2; a source or destination that
// cannot be used, 1 (retrying will not help either).
TEST_F(Cli, BadUseExitsWithAMessageAndNoFile) {
    const std::string out = dir_.file("a.rm");
    const std::string files = " " + shellQuoted(source_) + " " + shellQuoted(out);
    const std::pair<std::string, int> cases[] = {
        {"", 2},
        {"--audience 1m" + files, 2},
        {"--audience" + files, 2},
        {"--audio-content 7" + files, 2},
        {"--video-quality fast" + files, 2},
        {"--muxer gstreamer" + files, 2},
        {"--frobnicate" + files, 2},
        {shellQuoted(source_), 2},
        // An empty audience name is refused wherever the comma is.
        {"--audience 56k," + files, 2},
        {"--audience ,56k" + files, 2},
        {"--audience 56k,,lan" + files, 2},
        {"--overwrite" + files, 2},
        {"--skip-existing" + files, 2},
        {"--shard 1/1 --output-dir " + shellQuoted(dir_.file("o")) + " " + shellQuoted(source_), 2},
        {shellQuoted(source_) + " --output-dir", 2},
        {shellQuoted(dir_.file("missing.avi")) + " " + shellQuoted(out), 1},
        {shellQuoted(source_) + " " + shellQuoted(dir_.file("no folder/a.rm")), 1},
        {shellQuoted(source_) + " " + shellQuoted(source_), 1},
    };
    for (const auto& [args, status] : cases) {
        SCOPED_TRACE(args);
        const CliRun r = run(args);
        EXPECT_EQ(r.exitCode, status) << r.output;
        EXPECT_FALSE(r.output.empty());
        EXPECT_FALSE(media::fileExists(out));
    }
    EXPECT_FALSE(media::fileExists(dir_.file("o")));
    EXPECT_EQ(media::hiddenFileCount(dir_.path()), 0);
}

// A full disk, or no file left to open: an error in Chinese, not a crash,
// and the system's English never stands for the cause.
TEST_F(Cli, SystemLimitsEndWithAChineseErrorNotACrash) {
    struct Case {
        const char* limit;
        const char* failed;  // "" when it may fail at any step
        const char* cause;
    };
    const Case cases[] = {
        // 64 blocks of 512 bytes: the header fits, the file does not.
        {"ulimit -f 64; ", "写入目标文件时出错", text::kCauseTooBig},
        // The source's own descriptor is the last one there is (none inherited).
        // UBSan (make check) reads an object's type through a pipe it cannot
        // open then, and takes every object for a bad one: its reports there
        // say nothing of ours.
        {"export UBSAN_OPTIONS=halt_on_error=0; exec 3<&- 4<&- 5<&- 6<&- 7<&- 8<&- 9<&-; "
         "ulimit -n 4; ",
         "", text::kCauseTooManyFiles},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.limit);
        const std::string out = dir_.file("full.rm");
        const CliRun r =
            run("--audience 512k " + shellQuoted(source_) + " " + shellQuoted(out), c.limit);
        EXPECT_EQ(r.exitCode, 1) << r.output;
        EXPECT_FALSE(r.signalled);
        EXPECT_NE(r.output.find(c.failed), std::string::npos) << r.output;
        EXPECT_NE(r.output.find(c.cause), std::string::npos) << r.output;
        EXPECT_FALSE(media::fileExists(out));
        EXPECT_EQ(media::hiddenFileCount(dir_.path()), 0);
    }
}

TEST_F(Cli, AnInterruptStopsLikeTheStopButton) {
    const std::string& clip = media::cachedClip("long", testing::longClip());
    const std::string out = dir_.file("interrupted.rm");
    const std::string fifo = dir_.file("live.mkv");
    const pid_t feeder = feedAtItsOwnPace(clip, fifo);
    ASSERT_GT(feeder, 0);
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ::execl(VELMORA_ENCODE_BIN, "velmora-encode", "--audience", "28k", fifo.c_str(),
                out.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    // Interrupted once the job's file holds more than half a second: our
    // writer makes the file on its way describe what it has written, every
    // two seconds of it. (A minute at most, so a job that never gets there
    // fails the test instead of holding it.)
    const auto encodedHalfASecond = [&] {
        const std::string temp = hiddenFileIn(dir_.path());
        return !temp.empty() && media::probe(temp).playSeconds() > 0.5;
    };
    for (int i = 0; i < 6000 && !encodedHalfASecond(); ++i) ::usleep(10'000);
    ::kill(pid, SIGINT);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    endFeeder(feeder);
    ASSERT_TRUE(WIFEXITED(status)) << "killed by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 130);
    const media::MediaInfo m = media::probe(out);
    ASSERT_TRUE(m.opened) << m.error;
    EXPECT_GT(m.playSeconds(), 0.5);
    EXPECT_LT(m.playSeconds(), 19.0);
    EXPECT_EQ(media::hiddenFileCount(dir_.path()), 0);
}

// A detailed still is coded a group of up to ten seconds at a time, and
// trying and coding such a group takes seconds: an interrupt while one waits
// keeps the file all the same, within the wait the tool gives a stop.
TEST_F(Cli, AnInterruptDuringAStillsGroupKeepsTheFile) {
    media::ClipShape shape;
    shape.seconds = 12;
    shape.width = 640;
    shape.height = 480;
    shape.slides = true;
    shape.slideSeconds = 12;
    shape.stillGrain = true;
    const std::string& still = media::cachedClip("noisy-still-640", shape);
    const std::string out = dir_.file("still.rm");
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    const pid_t pid = spawn({"--audience", "512k", "--video-quality", "2", still, out}, fds[1]);
    ::close(fds[1]);
    ASSERT_GT(pid, 0);
    // Once the job has read the source's first second (a twelfth of this
    // constant-rate clip) since its file appeared, when the opening and the
    // first look have read theirs: the first group, ten seconds, is gathered.
    const auto second = static_cast<long long>(std::filesystem::file_size(still) / 12);
    long long before = -1, readSince = 0;
    for (int i = 0; i < 6000 && readSince < second; ++i, ::usleep(10'000)) {
        const long long now = bytesRead(pid);
        if (now < 0) break;  // the job ended on its own
        if (before < 0 && media::hiddenFileCount(dir_.path()) > 0) before = now;
        if (before >= 0) readSince = now - before;
    }
    EXPECT_GE(readSince, second) << "the job never read its source's first second";
    const Interrupted run = interrupt(pid, fds[0]);
    const std::string& output = run.output;
    ASSERT_EQ(run.waited, pid);
    ASSERT_TRUE(WIFEXITED(run.status)) << "killed by signal " << WTERMSIG(run.status);
    EXPECT_EQ(WEXITSTATUS(run.status), 130) << output;
    EXPECT_EQ(output.find(text::cli::kSourceStalled), std::string::npos) << output;
    const media::MediaInfo m = media::probe(out);
    ASSERT_TRUE(m.opened) << m.error << output;
    EXPECT_TRUE(m.video && m.audio);
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

// Three sources, one of them not media, into a folder that already holds a
// file of the first name: two files beside it, one failure, nothing half-made.
TEST_F(Cli, BatchConvertsWhatItCanAndReportsTheRest) {
    const std::string out = dir_.file("out");
    ASSERT_EQ(::mkdir(out.c_str(), 0755), 0);
    const std::string kept = out + "/detailed.rm";
    std::ofstream(kept) << "not ours";
    const std::string notes = dir_.file("notes.txt");
    std::ofstream(notes) << "a shopping list, not a film\n";
    // The same name twice: the second must not replace the first either.
    const CliRun r =
        run("--json --audience 56k " + shellQuoted(source_) + " " + shellQuoted(notes) + " " +
            shellQuoted(source_) + " --output-dir " + shellQuoted(out));
    EXPECT_EQ(r.exitCode, 1) << r.output;
    EXPECT_EQ(contents(kept), "not ours");
    for (const std::string name : {"detailed-1.rm", "detailed-2.rm"}) {
        const media::MediaInfo m = media::probe(out + "/" + name);
        EXPECT_TRUE(m.opened) << name << ": " << m.error;
        EXPECT_NEAR(m.playSeconds(), 8.0, 0.5) << name;
    }
    EXPECT_FALSE(media::fileExists(out + "/notes.rm"));
    EXPECT_EQ(media::hiddenFileCount(out), 0);
    // One JSON line per file, in order; the table names the failure and why.
    const std::vector<std::string> json = jsonLines(r.output);
    ASSERT_EQ(json.size(), 3u) << r.output;
    EXPECT_NE(json[0].find("\"result\":\"completed\""), std::string::npos) << json[0];
    EXPECT_NE(json[0].find("detailed-1.rm"), std::string::npos) << json[0];
    // The buffering a player needs, as the file's header states it.
    const std::uint32_t preroll = rmtest::parseFile(out + "/detailed-1.rm").prerollMs;
    EXPECT_GT(preroll, 0u);
    char stated[48];
    std::snprintf(stated, sizeof stated, "\"preroll_seconds\":%.3f", preroll / 1000.0);
    EXPECT_NE(json[0].find(stated), std::string::npos) << json[0];
    EXPECT_NE(json[1].find("\"result\":\"failed\""), std::string::npos) << json[1];
    EXPECT_NE(json[1].find("\"error\":\"source_unreadable\""), std::string::npos) << json[1];
    EXPECT_NE(json[2].find("detailed-2.rm"), std::string::npos) << json[2];
    const std::size_t table = r.output.rfind("结果");
    ASSERT_NE(table, std::string::npos) << r.output;
    const std::string rows = r.output.substr(table);
    EXPECT_NE(rows.find("notes.txt"), std::string::npos) << rows;
    EXPECT_NE(rows.find("失败"), std::string::npos) << rows;

    // --overwrite replaces the existing file instead.
    const CliRun again = run("--overwrite --audience 28k " + shellQuoted(source_) +
                             " --output-dir " + shellQuoted(out));
    EXPECT_EQ(again.exitCode, 0) << again.output;
    EXPECT_TRUE(media::probe(kept).opened);
    EXPECT_FALSE(media::fileExists(out + "/detailed-3.rm"));
}

// Several audiences: a file each from one job. In a batch their names move
// together to a free suffix, a set is never split, and --json has a line per
// file; a file beside the named one that is not RealMedia refuses the job.
TEST_F(Cli, SeveralAudiencesGiveASetOfFiles) {
    struct Line {
        const char* audience;
        const char* output;  // in the output folder; nullptr for none
        const char* result;
    };
    struct Case {
        const char* what;
        std::vector<std::string> present;  // in the output folder beforehand, not RealMedia
        std::string options;
        std::vector<std::string> sources;  // names the clip is linked under
        int exitCode;
        std::vector<Line> json;
        std::string refused;                  // the file the refusal names, "" without one
        std::vector<std::string> links = {};  // in the output folder beforehand, links to a FIFO
    };
    const std::string notOurs = "not ours";
    const std::vector<Case> cases = {
        {"a taken name moves the whole set",
         {"clip-512k.rm"},
         "",
         {"clip.mkv"},
         0,
         {{"56k", "clip-1.rm", "completed"}, {"512k", "clip-1-512k.rm", "completed"}},
         ""},
        {"--overwrite never replaces a file of the same batch",
         {},
         "--overwrite",
         {"clip.mkv", "clip-512k.mkv"},
         0,
         {{"56k", "clip.rm", "completed"},
          {"512k", "clip-512k.rm", "completed"},
          {"56k", "clip-512k-1.rm", "completed"},
          {"512k", "clip-512k-1-512k.rm", "completed"}},
         ""},
        {"a stranger beside the named file refuses the job",
         {"clip-512k.rm"},
         "--overwrite",
         {"clip.mkv"},
         1,
         {{"56k", nullptr, "failed"}, {"512k", nullptr, "failed"}},
         "clip-512k.rm"},
        {"a link beside the named file is refused, not followed",
         {},
         "--overwrite",
         {"clip.mkv"},
         1,
         {{"56k", nullptr, "failed"}, {"512k", nullptr, "failed"}},
         "clip-512k.rm",
         {"clip-512k.rm"}},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(c.what);
        const std::string out = dir_.file("out" + std::to_string(i));
        ASSERT_EQ(::mkdir(out.c_str(), 0755), 0);
        for (const std::string& name : c.present) std::ofstream(out + "/" + name) << notOurs;
        const std::string fifo = dir_.file("fifo" + std::to_string(i));
        for (const std::string& name : c.links) {
            ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
            ASSERT_EQ(::symlink(fifo.c_str(), (out + "/" + name).c_str()), 0);
        }
        std::string sources;
        for (const std::string& name : c.sources) {
            std::error_code ec;
            std::filesystem::create_symlink(source_, dir_.file(name), ec);
            sources += " " + shellQuoted(dir_.file(name));
        }
        const CliRun r = run("--json --audience 56k,512k " + c.options + sources +
                             " --output-dir " + shellQuoted(out));
        EXPECT_EQ(r.exitCode, c.exitCode) << r.output;
        if (!c.refused.empty()) {
            const std::string refusal =
                text::withSubject(text::kDestinationStranger, out + "/" + c.refused);
            EXPECT_NE(r.output.find(refusal), std::string::npos) << r.output;
        }
        const std::vector<std::string> json = jsonLines(r.output);
        ASSERT_EQ(json.size(), c.json.size()) << r.output;
        std::set<std::string> expected(c.present.begin(), c.present.end());
        expected.insert(c.links.begin(), c.links.end());
        for (std::size_t k = 0; k < json.size(); ++k) {
            const Line& line = c.json[k];
            SCOPED_TRACE(json[k]);
            EXPECT_NE(json[k].find(std::string("\"audience\":\"") + line.audience + "\""),
                      std::string::npos);
            EXPECT_NE(json[k].find(std::string("\"result\":\"") + line.result + "\""),
                      std::string::npos);
            if (!line.output) {
                EXPECT_NE(json[k].find("\"output\":null"), std::string::npos);
                continue;
            }
            const std::string path = out + "/" + line.output;
            EXPECT_NE(json[k].find("\"output\":\"" + path + "\""), std::string::npos);
            expected.insert(line.output);
            // Each file is its own audience's: 14.4 sound at 56K, AC-3 at 512K.
            const media::MediaInfo m = media::probe(path);
            EXPECT_TRUE(m.opened && m.audio) << m.error;
            if (m.audio) {
                EXPECT_EQ(m.audio->codec, std::string(line.audience) == "56k" ? "ra_144" : "ac3");
            }
        }
        // Nothing else in the folder: no half of a set, no temporary file.
        EXPECT_EQ(namesIn(out), expected);
        for (const std::string& name : c.present) EXPECT_EQ(contents(out + "/" + name), notOurs);
    }
}

// Two batches started together into one folder, with sources of the same
// name: each claims its set's names once its files are done, so one set
// moves on to -1 and both are kept, as each reports.
TEST_F(Cli, TwoBatchesIntoOneFolderKeepBothResults) {
    const std::string out = dir_.file("out");
    ASSERT_EQ(::mkdir(out.c_str(), 0755), 0);
    std::vector<FILE*> batches;
    for (const std::string folder : {"a", "b"}) {
        ASSERT_EQ(::mkdir(dir_.file(folder).c_str(), 0755), 0);
        const std::string source = dir_.file(folder + "/clip.mkv");
        std::filesystem::create_symlink(source_, source);
        batches.push_back(launch("--json --audience 56k,512k " + shellQuoted(source) +
                                 " --output-dir " + shellQuoted(out)));
    }
    std::set<std::string> reported;
    for (FILE* batch : batches) {
        const CliRun r = collect(batch);
        EXPECT_EQ(r.exitCode, 0) << r.output;
        for (const std::string& line : jsonLines(r.output)) {
            EXPECT_NE(line.find("\"result\":\"completed\""), std::string::npos) << line;
            reported.insert(outputOf(line));
        }
    }
    const std::set<std::string> names = {"clip.rm", "clip-512k.rm", "clip-1.rm", "clip-1-512k.rm"};
    EXPECT_EQ(namesIn(out), names);
    std::set<std::string> paths;
    for (const std::string& name : names) {
        paths.insert(out + "/" + name);
        EXPECT_NEAR(media::probe(out + "/" + name).playSeconds(), 8.0, 0.5) << name;
    }
    EXPECT_EQ(reported, paths);
}

// A file made at one of the chosen names while the job runs is not the
// job's to replace: a batch moves the whole set on to -1, and says so; a
// job of one source fails, naming it. Either way the file stays.
TEST_F(Cli, AFileMadeAtAChosenNameWhileTheJobRunsIsKept) {
    const std::string& source = media::cachedClip("long", testing::longClip());
    for (const bool batch : {true, false}) {
        SCOPED_TRACE(batch ? "batch" : "one source");
        const std::string out = dir_.file(batch ? "batch" : "one");
        ASSERT_EQ(::mkdir(out.c_str(), 0755), 0);
        FILE* job =
            launch("--json --audience 56k,512k " + shellQuoted(source) + " " +
                   (batch ? "--output-dir " + shellQuoted(out) : shellQuoted(out + "/long.rm")));
        ASSERT_TRUE(job);
        // The job has begun its files once their temporary files are there.
        for (int i = 0; i < 6000 && media::hiddenFileCount(out) == 0; ++i) ::usleep(10'000);
        const std::string made = out + "/long-512k.rm";
        const int fd = ::open(made.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
        EXPECT_GE(fd, 0) << "the job ended before the file could be made";
        const std::string mine = "made while the job ran";
        EXPECT_EQ(::write(fd, mine.data(), mine.size()), static_cast<ssize_t>(mine.size()));
        ::close(fd);
        const CliRun r = collect(job);
        EXPECT_EQ(contents(made), mine);
        const std::vector<std::string> json = jsonLines(r.output);
        ASSERT_EQ(json.size(), 2u) << r.output;
        if (!batch) {
            EXPECT_EQ(r.exitCode, 1) << r.output;
            EXPECT_NE(r.output.find(made + "：" + text::kDestinationStranger), std::string::npos)
                << r.output;
            // The named file, placed first, is whole, and named so that a
            // script finds it; nothing hidden is left.
            for (const std::string& line : json)
                EXPECT_NE(line.find("\"result\":\"failed\""), std::string::npos) << line;
            EXPECT_EQ(outputOf(json[0]), out + "/long.rm") << json[0];
            EXPECT_TRUE(media::probe(out + "/long.rm").opened);
            EXPECT_EQ(outputOf(json[1]), "") << json[1];
            EXPECT_EQ(namesIn(out), (std::set<std::string>{"long.rm", "long-512k.rm"}));
            continue;
        }
        EXPECT_EQ(r.exitCode, 0) << r.output;
        EXPECT_EQ(namesIn(out),
                  (std::set<std::string>{"long-512k.rm", "long-1.rm", "long-1-512k.rm"}));
        EXPECT_EQ(outputOf(json[0]), out + "/long-1.rm");
        EXPECT_EQ(outputOf(json[1]), out + "/long-1-512k.rm");
        for (const std::string& line : json) {
            EXPECT_NEAR(media::probe(outputOf(line)).playSeconds(), 20.0, 0.5) << line;
        }
        char moved[1024];
        std::snprintf(
            moved, sizeof moved, text::cli::kMovedLine,
            (out + "/long-1.rm" + text::cli::kFileSeparator + out + "/long-1-512k.rm").c_str());
        EXPECT_NE(r.output.find(moved), std::string::npos) << r.output;
    }
}

// A rerun with --skip-existing leaves a complete set alone and makes again
// whatever is not: a source changed since, a file missing or cut short. A
// file at a name that is not RealMedia is kept, and the set moves on.
TEST_F(Cli, SkipExistingMakesAgainOnlyWhatIsNotComplete) {
    const std::string out = dir_.file("out");
    std::string sources;
    for (const std::string name : {"a", "b", "c", "d", "e"}) {
        const std::string source = dir_.file(name + ".mkv");
        if (name == "b")
            std::filesystem::copy_file(source_, source);
        else
            std::filesystem::create_symlink(source_, source);
        sources += " " + shellQuoted(source);
    }
    const std::string args =
        "--skip-existing --json --audience 28k,56k" + sources + " --output-dir " + shellQuoted(out);
    const CliRun first = run(args);
    ASSERT_EQ(first.exitCode, 0) << first.output;
    struct stat untouched {};
    ASSERT_EQ(::stat((out + "/a.rm").c_str(), &untouched), 0);

    // b's source is newer than its files.
    const timespec later[2] = {{::time(nullptr) + 60, 0}, {::time(nullptr) + 60, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, dir_.file("b.mkv").c_str(), later, 0), 0);
    ASSERT_EQ(::unlink((out + "/c-56k.rm").c_str()), 0);
    const std::string cut = out + "/d-56k.rm";
    ASSERT_EQ(::truncate(cut.c_str(), std::filesystem::file_size(cut) / 2), 0);
    ASSERT_EQ(::unlink((out + "/e-56k.rm").c_str()), 0);
    std::ofstream(out + "/e-56k.rm") << "not ours";

    const CliRun again = run(args);
    EXPECT_EQ(again.exitCode, 0) << again.output;
    const std::vector<std::string> json = jsonLines(again.output);
    const struct {
        const char* result;
        const char* files;  // the set's named file, in the output folder
    } want[] = {{"already_done", "a"},
                {"completed", "b"},
                {"completed", "c"},
                {"completed", "d"},
                {"completed", "e-1"}};
    ASSERT_EQ(json.size(), 2 * std::size(want)) << again.output;
    for (std::size_t i = 0; i < json.size(); ++i) {
        SCOPED_TRACE(json[i]);
        const auto& w = want[i / 2];
        EXPECT_NE(json[i].find("\"result\":\"" + std::string(w.result) + "\""), std::string::npos);
        const std::string file = out + "/" + w.files + (i % 2 ? "-56k.rm" : ".rm");
        EXPECT_EQ(outputOf(json[i]), file);
        EXPECT_NEAR(media::probe(file).playSeconds(), 8.0, 0.5);
    }
    struct stat after {};
    ASSERT_EQ(::stat((out + "/a.rm").c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, untouched.st_ino);
    EXPECT_EQ(contents(out + "/e-56k.rm"), "not ours");
    EXPECT_EQ(media::hiddenFileCount(out), 0);

    // Files of another plan (sound only) are not the set this one makes.
    const CliRun other = run("--skip-existing --json --audience 28k,56k --video-quality none " +
                             shellQuoted(dir_.file("a.mkv")) + " --output-dir " + shellQuoted(out));
    EXPECT_EQ(other.exitCode, 0) << other.output;
    const std::vector<std::string> redone = jsonLines(other.output);
    ASSERT_EQ(redone.size(), 2u) << other.output;
    EXPECT_NE(redone[0].find("\"result\":\"completed\""), std::string::npos) << redone[0];
    EXPECT_EQ(outputOf(redone[0]), out + "/a.rm");
    EXPECT_FALSE(media::probe(out + "/a.rm").video);
}

// --overwrite where an output is a source of the same batch (another one,
// or its own), in either order: refused before anything is written.
TEST_F(Cli, OverwriteNeverReplacesASourceOfTheBatch) {
    const std::string out = dir_.file("out");
    ASSERT_EQ(::mkdir(out.c_str(), 0755), 0);
    const std::string video = out + "/talk.mkv", earlier = out + "/talk.rm";
    std::filesystem::copy_file(source_, video);
    std::filesystem::copy_file(source_, earlier);
    const std::string digest = media::fileDigest(earlier);
    for (const auto& [first, second] : {std::pair{video, earlier}, std::pair{earlier, video}}) {
        SCOPED_TRACE(first);
        const CliRun r = run("--overwrite --json --audience 56k " + shellQuoted(first) + " " +
                             shellQuoted(second) + " --output-dir " + shellQuoted(out));
        EXPECT_EQ(r.exitCode, 2) << r.output;
        char refusal[1024];
        std::snprintf(refusal, sizeof refusal, text::cli::kOverwritesSource, first.c_str(),
                      earlier.c_str());
        EXPECT_NE(r.output.find(refusal), std::string::npos) << r.output;
        EXPECT_TRUE(jsonLines(r.output).empty()) << r.output;
        EXPECT_EQ(media::fileDigest(earlier), digest);
        EXPECT_EQ(namesIn(out), (std::set<std::string>{"talk.mkv", "talk.rm"}));
    }
}

// A WAV header, padded past what probing reads, and not one sample: a job
// on it starts, then waits for sound that never comes.
std::string wavWithoutSamples() {
    const auto le = [](std::uint32_t v, int bytes) {
        std::string out;
        for (int i = 0; i < bytes; ++i) out += static_cast<char>(v >> (8 * i));
        return out;
    };
    return "RIFF" + le(0xffffffff, 4) + "WAVE" + "fmt " + le(16, 4) + le(1, 2) + le(2, 2) +
           le(44100, 4) + le(44100 * 4, 4) + le(4, 2) + le(16, 2) + "JUNK" + le(4096, 4) +
           std::string(4096, '\0') + "data" + le(0xffffffff, 4);
}

// Stopped before the source sent anything: the engine keeps no file (not
// even the 14.4 sound's closing packet of silence), and nothing reports one.
TEST_F(Cli, AJobStoppedBeforeAnyDataReportsNoFile) {
    const std::string fifo = dir_.file("fifo.wav");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string out = dir_.file("out");
    ASSERT_EQ(::mkdir(out.c_str(), 0755), 0);
    const std::string header = wavWithoutSamples();
    struct Case {
        std::vector<std::string> args;
        const char* told;
    };
    const Case cases[] = {{{fifo, out + "/one.rm"}, text::cli::kStoppedNothingKept},
                          {{fifo, "--output-dir", out}, text::cli::kNothingKept}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.told);
        std::vector<std::string> args = {"--json", "--audience", "28k,512k"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        int fds[2];
        ASSERT_EQ(::pipe(fds), 0);
        const pid_t pid = spawn(args, fds[1]);
        ::close(fds[1]);
        ASSERT_GT(pid, 0);
        // Opens once the job opens its end; the header read, it waits for sound.
        const int feed = ::open(fifo.c_str(), O_WRONLY);
        ASSERT_GE(feed, 0);
        EXPECT_EQ(::write(feed, header.data(), header.size()), static_cast<ssize_t>(header.size()));
        int unread = 1;
        for (int i = 0; i < 6000 && ::ioctl(feed, FIONREAD, &unread) == 0 && unread > 0; ++i)
            ::usleep(10'000);
        const Interrupted run = interrupt(pid, fds[0]);
        const std::string& output = run.output;
        ASSERT_EQ(run.waited, pid);
        ::close(feed);
        ASSERT_TRUE(WIFEXITED(run.status)) << "killed by signal " << WTERMSIG(run.status);
        EXPECT_EQ(WEXITSTATUS(run.status), 130) << output;
        const std::vector<std::string> json = jsonLines(output);
        ASSERT_EQ(json.size(), 2u) << output;
        for (const std::string& line : json) {
            EXPECT_NE(line.find("\"output\":null"), std::string::npos) << line;
            EXPECT_NE(line.find("\"result\":\"stopped\""), std::string::npos) << line;
        }
        EXPECT_NE(output.find(c.told), std::string::npos) << output;
        EXPECT_TRUE(namesIn(out).empty());
    }
}

// Where a control character (C0, DEL or C1) is in `s`, npos when none: a
// line's own newline aside.
std::size_t rawControl(const std::string& s) {
    for (std::size_t i = 0; i < s.size(); ++i) {
        const auto c = static_cast<unsigned char>(s[i]);
        const bool c1 =
            c == 0xc2 && i + 1 < s.size() && static_cast<unsigned char>(s[i + 1]) < 0xa0;
        if ((c < 0x20 && c != '\n') || c == 0x7f || c1) return i;
    }
    return std::string::npos;
}

// A name may hold control characters; printed raw, ESC ] would retitle the
// terminal and ESC [ 2J clear it. Wherever the tool names a file or repeats
// what was typed they show escaped, and --json escapes them by JSON's rules.
TEST_F(Cli, ControlCharactersInNamesNeverReachTheTerminal) {
    const std::string name = "clip\x1b]0;owned\x07\x1b[2J\x7f\xc2\x9b";
    const std::string escaped = "clip\\x1b]0;owned\\x07\\x1b[2J\\x7f\\u009b";
    const std::string source = dir_.file(name + ".mkv");
    std::filesystem::create_symlink(source_, source);
    const std::string out = dir_.file("out");
    const std::string files = " " + shellQuoted(source) + " " + shellQuoted(dir_.file("a.rm"));
    const std::string batch =
        "--json --audience 28k " + shellQuoted(source) + " --output-dir " + shellQuoted(out);
    std::vector<std::string> outputs;
    for (const std::string& args :
         {batch, shellQuoted(dir_.file(name + "-missing.mkv")) + " " + shellQuoted(out + ".rm"),
          shellQuoted("--" + name) + files, "--audience " + shellQuoted(name) + files}) {
        SCOPED_TRACE(shellQuoted(args));
        outputs.push_back(run(args).output);
        EXPECT_EQ(rawControl(outputs.back()), std::string::npos) << outputs.back();
        EXPECT_NE(outputs.back().find(escaped), std::string::npos) << outputs.back();
    }
    EXPECT_TRUE(media::probe(out + "/" + name + ".rm").opened);
    const std::vector<std::string> json = jsonLines(outputs.front());
    ASSERT_EQ(json.size(), 1u);
    EXPECT_EQ(outputOf(json[0]), out + "/clip\\u001b]0;owned\\u0007\\u001b[2J\\u007f\\u009b.rm");
}

// A closed terminal stops the file being made, keeps it, and skips the rest.
TEST_F(Cli, AHangupStopsTheBatchAndSkipsTheRest) {
    const std::string& clip = media::cachedClip("long", testing::longClip());
    const std::string source = dir_.file("long.mkv");
    const pid_t feeder = feedAtItsOwnPace(clip, source);
    ASSERT_GT(feeder, 0);
    const std::string out = dir_.file("out");
    const int devnull = ::open("/dev/null", O_WRONLY);
    const pid_t pid = spawn({"--audience", "28k", source, source_, "--output-dir", out}, devnull);
    ::close(devnull);
    ASSERT_GT(pid, 0);
    // Some seconds of the source have arrived once the job writes and this
    // much time has passed; the hangup comes long before its end.
    for (int i = 0; i < 6000 && media::hiddenFileCount(out) == 0; ++i) ::usleep(10'000);
    ::sleep(2);
    ::kill(pid, SIGHUP);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    endFeeder(feeder);
    ASSERT_TRUE(WIFEXITED(status)) << "killed by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 130);
    const media::MediaInfo m = media::probe(out + "/long.rm");
    ASSERT_TRUE(m.opened) << m.error;
    EXPECT_LT(m.durationSeconds, 19.0);
    EXPECT_FALSE(media::fileExists(out + "/detailed.rm"));
    EXPECT_EQ(media::hiddenFileCount(out), 0);
}

// `velmora-encode ... | head -1` and the like: the job succeeded, so it
// exits 0 even though nobody reads what it prints.
TEST_F(Cli, NobodyReadingTheOutputIsNoFailure) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    ::close(fds[0]);
    const pid_t pid = spawn({"--json", "--audience", "28k", source_, dir_.file("a.rm")}, fds[1]);
    ::close(fds[1]);
    ASSERT_GT(pid, 0);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status)) << "killed by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_TRUE(media::probe(dir_.file("a.rm")).opened);
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

    // Several audiences: each one's own options, slowest first, under its name.
    const CliRun fast = run("--print-plan --audience 512k " + shellQuoted(source_));
    const CliRun both = run("--print-plan --audience 512k,56k " + shellQuoted(source_));
    ASSERT_EQ(both.exitCode, 0) << both.output;
    EXPECT_EQ(both.output, "# 56k\n" + plan.output + "# 512k\n" + fast.output);

    // A single picture: a comment first says how long the files show it.
    const std::string photo = dir_.file("photo.png");
    ASSERT_EQ(std::system(("ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=s=320x240 "
                           "-frames:v 1 " +
                           shellQuoted(photo))
                              .c_str()),
              0);
    const CliRun still = run("--print-plan --audience 56k " + shellQuoted(photo));
    ASSERT_EQ(still.exitCode, 0) << still.output;
    EXPECT_EQ(still.output.substr(0, still.output.find('\n')),
              "# 源文件是单张图片，每个文件把它显示 5 秒");
}

// --- messy sources: bounded memory and the truth in the summary ---------------

// The seconds the summary line claims ("…：4.1 秒，…").
double toldSeconds(const std::string& output) {
    const std::size_t at = output.find(" 秒，");
    if (at == std::string::npos) return -1;
    std::size_t start = at;
    while (start > 0 && (std::isdigit(static_cast<unsigned char>(output[start - 1])) ||
                         output[start - 1] == '.'))
        --start;
    return std::atof(output.substr(start, at - start).c_str());
}

TEST(MessySourceCli, StaysUnder150MbAndTellsWhatTheFileHolds) {
    media::ScratchDir dir;
    const std::string jump = dir.file("jump.mkv");
    const std::string avi = dir.file("claims.avi");
    ASSERT_TRUE(makeJump(jump, true));
    ASSERT_TRUE(makeAviClaiming(avi, 4000, 1, true));
    for (const std::string& source : {jump, avi}) {
        SCOPED_TRACE(source);
        const std::string out = dir.file("out.rm");
        const ChildRun r = runEncoder(source, out, dir.file("log"),
                                      std::chrono::seconds(static_cast<int>(60 * kSlowdown)));
        ASSERT_EQ(r.exitCode, 0) << r.output;
        // Sanitizers keep shadow memory and freed blocks of their own.
        if (kSlowdown == 1) {
            EXPECT_GT(r.peakKb, 0);
            EXPECT_LE(r.peakKb, 150 * 1024);
        }
        const media::MediaInfo m = media::probe(out);
        ASSERT_TRUE(m.opened);
        EXPECT_NEAR(toldSeconds(r.output), m.playSeconds(), 0.1) << r.output;
        EXPECT_NE(r.output.find("注意："), std::string::npos) << r.output;
    }
}

}  // namespace
}  // namespace velmora::encoder
