// velmora-encode's command line and its --json lines, without running it.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "texts/encoder_texts.h"
#include "tools/velmora-encode/batch.h"
#include "tools/velmora-encode/cli_text.h"
#include "tools/velmora-encode/exit_status.h"
#include "tools/velmora-encode/options.h"
#include "tools/velmora-encode/reports.h"

namespace velmora::tool {
namespace {

using namespace velmora::encoder;
namespace cli = velmora::encoder::text::cli;

std::string parsed(std::vector<std::string> args, Options& options) {
    args.insert(args.begin(), "velmora-encode");
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    return parse(static_cast<int>(argv.size()), argv.data(), options);
}

TEST(Parse, AcceptsWhatTheManualListsAndSaysWhyNot) {
    using A = Audience;
    struct Want {
        std::vector<std::string> sources{};
        std::string destination{};
        std::string outputDir{};
        AudienceSet audiences = audienceSet({A::Dsl256K});
        std::int32_t audioContent = VoiceAndMusic;
        std::int32_t videoQuality = NormalMotion;
        bool overwrite = false, json = false, printPlan = false, help = false;
        bool skipExisting = false;
        int shardIndex = 0, shardCount = 0;
        MediaMetadata tags{};
    };
    const struct {
        std::vector<std::string> args;
        std::string error;  // empty: accepted, as `want` says
        Want want{};
    } cases[] = {
        {{"a.mp4", "a.rm"}, "", {.sources = {"a.mp4"}, .destination = "a.rm"}},
        {{"--audience", "56k,lan", "--audio-content", "3", "--video-quality", "none", "a.mp4",
          "a.rm"},
         "",
         {.sources = {"a.mp4"},
          .destination = "a.rm",
          .audiences = audienceSet({A::Modem56K, A::Lan}),
          .audioContent = 3,
          .videoQuality = NoVideo}},
        {{"--audio-content", "none", "--video-quality", "2", "--muxer", "ffmpeg", "a", "b"},
         "",
         {.sources = {"a"}, .destination = "b", .audioContent = NoAudio, .videoQuality = 2}},
        {{"--output-dir", "out", "--overwrite", "--json", "--muxer", "ours", "a.mp4", "b.mp4"},
         "",
         {.sources = {"a.mp4", "b.mp4"}, .outputDir = "out", .overwrite = true, .json = true}},
        {{"--skip-existing", "--shard", "3/4", "--output-dir", "out", "a.mp4"},
         "",
         {.sources = {"a.mp4"},
          .outputDir = "out",
          .skipExisting = true,
          .shardIndex = 3,
          .shardCount = 4}},
        {{"--shard", "0/1", "--output-dir", "out", "a.mp4"},
         "",
         {.sources = {"a.mp4"}, .outputDir = "out", .shardCount = 1}},
        {{"--print-plan", "--audience", "28k", "a.mp4"},
         "",
         {.sources = {"a.mp4"}, .audiences = audienceSet({A::Modem28K}), .printPlan = true}},
        {{"--title", "讲座", "--author", "-王", "--copyright", "", "--comment", "x", "a", "b"},
         "",
         {.sources = {"a"}, .destination = "b", .tags = {"讲座", "-王", "", "x"}}},
        // After "--", and alone, a dash starts a name.
        {{"--", "-odd.mp4", "--json"}, "", {.sources = {"-odd.mp4"}, .destination = "--json"}},
        {{"-", "a.rm"}, "", {.sources = {"-"}, .destination = "a.rm"}},
        // Help wins over a command line that is not complete yet, not over a wrong one.
        {{"a.mp4", "--help"}, "", {.help = true}},
        {{"-h"}, "", {.help = true}},
        {{"--frobnicate", "--help"}, text::withSubject(cli::kUnknownOption, "--frobnicate")},

        {{}, cli::kShortUsage},
        {{"a.mp4"}, cli::kShortUsage},
        {{"a", "b", "c"}, cli::kShortUsage},
        {{"--output-dir", "out"}, cli::kShortUsage},
        {{"--print-plan", "a", "b"}, cli::kShortUsage},
        {{"--print-plan", "--output-dir", "out", "a"}, cli::kShortUsage},
        {{"a", "b", "--audience"}, cli::kAudienceNeedsValue},
        {{"--audience", "1m", "a", "b"}, text::withSubject(cli::kUnknownAudience, "1m")},
        {{"--audience", "56k,\x1b[2J", "a", "b"},
         text::withSubject(cli::kUnknownAudience, "\\x1b[2J")},
        {{"--audience", "56k,", "a", "b"}, cli::kEmptyAudience},
        {{"--audience", ",56k", "a", "b"}, cli::kEmptyAudience},
        {{"--audience", "56k,,lan", "a", "b"}, cli::kEmptyAudience},
        {{"--audio-content", "7", "a", "b"}, std::string("--audio-content") + cli::kChoiceRange},
        {{"--video-quality", "fast", "a", "b"}, std::string("--video-quality") + cli::kChoiceRange},
        {{"a", "b", "--video-quality"}, std::string("--video-quality") + cli::kChoiceRange},
        {{"--muxer", "gstreamer", "a", "b"}, cli::kMuxerValues},
        {{"a", "b", "--muxer"}, cli::kMuxerValues},
        {{"--frobnicate", "a", "b"}, text::withSubject(cli::kUnknownOption, "--frobnicate")},
        {{"--overwrite", "a", "b"}, std::string("--overwrite") + cli::kNeedsOutputDir},
        {{"--skip-existing", "a", "b"}, std::string("--skip-existing") + cli::kNeedsOutputDir},
        {{"--shard", "0/2", "a", "b"}, std::string("--shard") + cli::kNeedsOutputDir},
        // K must name one of the N shares, in plain digits.
        {{"--shard", "2/2", "--output-dir", "o", "a"}, cli::kShardValue},
        {{"--shard", "-1/2", "--output-dir", "o", "a"}, cli::kShardValue},
        {{"--shard", "+1/2", "--output-dir", "o", "a"}, cli::kShardValue},
        {{"--shard", "0/0", "--output-dir", "o", "a"}, cli::kShardValue},
        {{"--shard", "1/2x", "--output-dir", "o", "a"}, cli::kShardValue},
        {{"--shard", "1", "--output-dir", "o", "a"}, cli::kShardValue},
        {{"--shard", "/2", "--output-dir", "o", "a"}, cli::kShardValue},
        {{"--shard", "1/99999999999", "--output-dir", "o", "a"}, cli::kShardValue},
        {{"--output-dir", "o", "a", "--shard"}, cli::kShardValue},
        {{"a", "--output-dir"}, cli::kOutputDirNeedsValue},
        {{"--output-dir", "", "a"}, cli::kOutputDirNeedsValue},
        {{"a", "b", "--comment"}, std::string("--comment") + cli::kTagNeedsValue},
    };
    for (const auto& c : cases) {
        std::string trace;
        for (const std::string& a : c.args) trace += "[" + a + "]";
        SCOPED_TRACE(trace);
        Options options;
        EXPECT_EQ(parsed(c.args, options), c.error);
        if (!c.error.empty()) continue;
        EXPECT_EQ(options.help, c.want.help);
        if (c.want.help) continue;
        EXPECT_EQ(options.sources, c.want.sources);
        EXPECT_EQ(options.destination, c.want.destination);
        EXPECT_EQ(options.outputDir, c.want.outputDir);
        EXPECT_EQ(options.job.audiences, c.want.audiences);
        EXPECT_EQ(options.job.audioContent, c.want.audioContent);
        EXPECT_EQ(options.job.videoQuality, c.want.videoQuality);
        EXPECT_EQ(options.overwrite, c.want.overwrite);
        EXPECT_EQ(options.json, c.want.json);
        EXPECT_EQ(options.printPlan, c.want.printPlan);
        EXPECT_EQ(options.skipExisting, c.want.skipExisting);
        EXPECT_EQ(options.shard.index, c.want.shardIndex);
        EXPECT_EQ(options.shard.count, c.want.shardCount);
        const MediaMetadata& tags = options.job.metadata;
        EXPECT_EQ(tags.title, c.want.tags.title);
        EXPECT_EQ(tags.author, c.want.tags.author);
        EXPECT_EQ(tags.copyright, c.want.tags.copyright);
        EXPECT_EQ(tags.comment, c.want.tags.comment);
    }
}

TEST(JsonLine, NamesEscapedOutputOnlyWhenWrittenKindAndMessageOnFailure) {
    const struct {
        const char* what;
        FileReport file;
        std::string line;
    } cases[] = {
        {"completed",
         {.source = "讲座.mp4",
          .destination = "out/讲座.rm",
          .audience = Audience::Modem56K,
          .result = Result::Completed,
          .heldMs = 8011,
          .bytes = 32344,
          .prerollMs = 589,
          .elapsedMs = 699,
          .kept = true},
         R"({"source":"讲座.mp4","audience":"56k","output":"out/讲座.rm","result":"completed",)"
         R"("duration_seconds":8.011,"bytes":32344,"kbps":32.3,"preroll_seconds":0.589,)"
         R"("elapsed_seconds":0.699})"},
        // Control characters (C0, DEL, C1) as \u escapes; bytes that are not
        // UTF-8 as U+FFFD, the name's bytes then in base64 beside it; quotes
        // and backslashes escaped.
        {"escaped names",
         {.source = "a\x1b]0;x\x07\"b\\c\xff\xc2\x9b\x7f.mp4",
          .destination = "d\xe8\xae.rm",
          .audience = Audience::Dsl512K,
          .result = Result::Stopped,
          .heldMs = 500,
          .bytes = 4000,
          .elapsedMs = 1000,
          .kept = true},
         R"({"source":"a\u001b]0;x\u0007\"b\\c\ufffd\u009b\u007f.mp4",)"
         R"("source_bytes":"YRtdMDt4ByJiXGP/wpt/Lm1wNA==","audience":"512k",)"
         R"("output":"d\ufffd\ufffd.rm","output_bytes":"ZOiuLnJt","result":"stopped",)"
         R"("duration_seconds":0.500,)"
         R"("bytes":4000,"kbps":64.0,"preroll_seconds":0.000,"elapsed_seconds":1.000})"},
        {"stopped before any data",
         {.source = "a.mp4",
          .destination = "a.rm",
          .audience = Audience::Lan,
          .result = Result::Stopped,
          .elapsedMs = 250},
         R"({"source":"a.mp4","audience":"lan","output":null,"result":"stopped",)"
         R"("elapsed_seconds":0.250})"},
        {"failed",
         {.source = "a.mp4",
          .destination = "a.rm",
          .audience = Audience::Modem28K,
          .result = Result::Failed,
          .message = "磁盘已满：\"a.rm\"\n",
          .errorKind = ErrorKind::DiskFull,
          .elapsedMs = 1500,
          .kept = true},
         R"({"source":"a.mp4","audience":"28k","output":null,"result":"failed",)"
         R"("elapsed_seconds":1.500,"error":"disk_full","message":"磁盘已满：\"a.rm\"\u000a"})"},
        {"skipped",
         {.source = "b.mp4", .audience = Audience::Dsl256K, .result = Result::Skipped},
         R"({"source":"b.mp4","audience":"256k","output":null,"result":"skipped"})"},
        // Under --shard every line names its shard.
        {"already done",
         {.source = "c.mp4",
          .destination = "out/c.rm",
          .audience = Audience::Lan,
          .result = Result::AlreadyDone,
          .heldMs = 2000,
          .bytes = 25000,
          .prerollMs = 1300,
          .kept = true,
          .shard = "1/4"},
         R"({"source":"c.mp4","audience":"lan","output":"out/c.rm","result":"already_done",)"
         R"("duration_seconds":2.000,"bytes":25000,"kbps":100.0,"preroll_seconds":1.300,)"
         R"("elapsed_seconds":0.000,"shard":"1/4"})"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(jsonLine(c.file), c.line);
    }
}

// Strict UTF-8: what is not a character (an encoded surrogate, an overlong
// form, past U+10FFFF, cut short) is U+FFFD, a byte at a time; the bytes
// of a name are still all there, in base64.
TEST(JsonLine, OnlyStrictUtf8PassesAndEveryNameCanBeFoundByItsBytes) {
    const struct {
        std::string name, json;
    } cases[] = {
        {"\xed\xa0\x80", R"("\ufffd\ufffd\ufffd")"},                           // U+D800
        {"\xed\xbf\xbf", R"("\ufffd\ufffd\ufffd")"},                           // U+DFFF
        {"\xc0\xaf", R"("\ufffd\ufffd")"},                                     // "/" in two bytes
        {"\xe0\x80\xaf", R"("\ufffd\ufffd\ufffd")"},                           // in three
        {"\xf0\x80\x80\xaf", R"("\ufffd\ufffd\ufffd\ufffd")"},                 // in four
        {"\xf4\x90\x80\x80", R"("\ufffd\ufffd\ufffd\ufffd")"},                 // U+110000
        {"\xe8\xae", R"("\ufffd\ufffd")"},                                     // cut short
        {"\xed\x9f\xbf\xf4\x8f\xbf\xbf", "\"\xed\x9f\xbf\xf4\x8f\xbf\xbf\""},  // U+D7FF, U+10FFFF
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.json);
        EXPECT_EQ(jsonString(c.name), c.json);
        const FileReport written{
            .source = "a.mp4", .destination = c.name, .result = Result::Completed, .kept = true};
        const std::string line = jsonLine(written);
        EXPECT_NE(line.find("\"output\":" + c.json), std::string::npos) << line;
        EXPECT_EQ(line.find("_bytes") != std::string::npos, !isUtf8(c.name)) << line;
        if (!isUtf8(c.name)) {
            EXPECT_NE(line.find("\"output_bytes\":\"" + base64(c.name) + "\""), std::string::npos);
        }
    }
    // RFC 4648's own examples.
    const std::pair<const char*, const char*> encoded[] = {
        {"", ""}, {"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"}, {"foobar", "Zm9vYmFy"}};
    for (const auto& [plain, base] : encoded) EXPECT_EQ(base64(plain), base);
}

// The N tasks of an array job, each given the same sources in its own
// order, take every source once between them: the same one each time.
TEST(Shard, TasksShareTheSourcesWholeAndAlike) {
    const std::vector<std::string> given = {"b.mp4", "a.mp4", "\xff.mp4", "B.mp4",
                                            "a.mp4", "c.mkv", "ä.mp4"};
    std::vector<std::string> sorted = given;
    std::sort(sorted.begin(), sorted.end());
    for (const int count : {1, 3, 7, 9}) {
        SCOPED_TRACE(count);
        std::vector<int> taken(given.size(), 0);  // per place in the common order
        for (int index = 0; index < count; ++index) {
            Options options;
            options.sources = given;
            options.shard = {index, count};
            if (index % 2) std::reverse(options.sources.begin(), options.sources.end());
            ASSERT_EQ(batchOrder(options), sorted);
            for (std::size_t i = 0; i < sorted.size(); ++i) taken[i] += inShard(options.shard, i);
        }
        EXPECT_EQ(taken, std::vector<int>(given.size(), 1));
    }
}

// A batch exits with its most severe status, whatever the order its sources came in.
TEST(ExitStatus, MostSevereIsInterruptedThenRetryThenUnusableThenUsage) {
    const std::vector<int> order = {kExitOk, kExitUsage, kExitUnusable, kExitRetry,
                                    kExitInterrupted};
    for (std::size_t a = 0; a < order.size(); ++a) {
        for (std::size_t b = 0; b < order.size(); ++b) {
            EXPECT_EQ(mostSevere(order[a], order[b]), order[std::max(a, b)])
                << order[a] << " " << order[b];
        }
    }
}

}  // namespace
}  // namespace velmora::tool
