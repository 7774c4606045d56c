// velmora-encode's command line and its --json lines, without running it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "texts/encoder_texts.h"
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
        {{"--overwrite", "a", "b"}, cli::kOverwriteNeedsOutputDir},
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
        // UTF-8 as U+FFFD; quotes and backslashes escaped.
        {"escaped names",
         {.source = "a\x1b]0;x\x07\"b\\c\xff\xc2\x9b\x7f.mp4",
          .destination = "d\xe8\xae.rm",
          .audience = Audience::Dsl512K,
          .result = Result::Stopped,
          .heldMs = 500,
          .bytes = 4000,
          .elapsedMs = 1000,
          .kept = true},
         R"({"source":"a\u001b]0;x\u0007\"b\\c\ufffd\u009b\u007f.mp4","audience":"512k",)"
         R"("output":"d\ufffd\ufffd.rm","result":"stopped","duration_seconds":0.500,)"
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
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(jsonLine(c.file), c.line);
    }
}

}  // namespace
}  // namespace velmora::tool
