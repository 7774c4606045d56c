// velmora-encode: the encoding engine from the command line.
//   velmora-encode [options] SOURCE DESTINATION
//   velmora-encode [options] SOURCE... --output-dir DIR    one file after another
//   velmora-encode --print-plan [options] SOURCE
//     prints the ffmpeg CLI's output options for the same encode, one a line
// Each ticked audience gets a file of its own from one reading of the source
// (the engine's jobFiles() names them); everything reported is per file.
// Messages, progress and the final table go to stderr; stdout carries only
// what scripts read (--json, --print-plan, --help).
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "engine/engine.h"
#include "texts/encoder_texts.h"

extern "C" {
#include <libavutil/log.h>
}

namespace {

using namespace velmora;
using namespace velmora::encoder;
namespace fs = std::filesystem;
namespace text = velmora::encoder::text;
namespace cli = velmora::encoder::text::cli;

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitInterrupted = 130;
// How long Ctrl+C waits for the job to complete its shorter file. Longer than
// the window's: once we give up, the process ends and the file with it.
constexpr std::chrono::milliseconds kStopPatience{2000};

// ---------------------------------------------------------------------------
// Text

// As long as it takes: a line may carry several paths of any length.
std::string format(const char* pattern, auto... values) {
    const int length = std::snprintf(nullptr, 0, pattern, values...);
    if (length <= 0) return {};
    std::string out(static_cast<std::size_t>(length), '\0');
    std::snprintf(out.data(), out.size() + 1, pattern, values...);
    return out;
}

// The length of the UTF-8 character at s[i], 0 when the byte there starts none.
std::size_t utf8Length(std::string_view s, std::size_t i) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (c < 0x80) return 1;
    const std::size_t length = (c & 0xe0) == 0xc0   ? 2
                               : (c & 0xf0) == 0xe0 ? 3
                               : (c & 0xf8) == 0xf0 ? 4
                                                    : 0;
    bool valid = length != 0 && i + length <= s.size() && c >= 0xc2 && c <= 0xf4;
    for (std::size_t k = 1; valid && k < length; ++k)
        valid = (static_cast<unsigned char>(s[i + k]) & 0xc0) == 0x80;
    return valid ? length : 0;
}

// A control character (C0, DEL, or C1 U+0080..U+009F) starting at s[i],
// whose character is `length` bytes long; its code point, or -1.
int controlAt(std::string_view s, std::size_t i, std::size_t length) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (length == 1) return c < 0x20 || c == 0x7f ? c : -1;
    if (length == 2 && c == 0xc2) {
        const auto next = static_cast<unsigned char>(s[i + 1]);
        if (next < 0xa0) return next;  // U+0080..U+009F
    }
    return -1;
}

// A name (or a message holding one) as it may go to a terminal: a name can
// hold any byte, and control characters would move the cursor, retitle the
// window or clear it. They, and bytes that are not UTF-8, show escaped
// (\x1b, \u009b, \xff).
std::string shown(std::string_view s) {
    std::string out;
    for (std::size_t i = 0; i < s.size();) {
        const std::size_t length = utf8Length(s, i);
        if (length == 0) {
            out += format("\\x%02x", static_cast<unsigned char>(s[i]));
            ++i;
            continue;
        }
        if (const int control = controlAt(s, i, length); control >= 0)
            out += format(length == 1 ? "\\x%02x" : "\\u%04x", control);
        else
            out.append(s.substr(i, length));
        i += length;
    }
    return out;
}

// ---------------------------------------------------------------------------
// The command line

struct Options {
    JobSettings job;  // the choices every file shares
    std::vector<std::string> sources;
    std::string destination;  // one file
    std::string outputDir;    // many files, when set
    bool overwrite = false;
    bool json = false;
    bool printPlan = false;
    bool help = false;
};

std::optional<std::int32_t> parseChoice(std::string_view value, std::int32_t none) {
    if (value == "none") return none;
    if (value.size() == 1 && value[0] >= '0' && value[0] <= '3') return value[0] - '0';
    return std::nullopt;
}

// An empty name anywhere in the list ("56k," as much as ",56k") is refused:
// it is more likely a slip than a wish.
std::string parseAudiences(std::string_view list, AudienceSet& set) {
    set.reset();
    std::size_t begin = 0;
    while (true) {
        const std::size_t comma = list.find(',', begin);
        const std::string_view item =
            list.substr(begin, comma == std::string_view::npos ? comma : comma - begin);
        if (item.empty()) return cli::kEmptyAudience;
        const auto audience = audienceForKey(item);
        if (!audience) return text::withSubject(cli::kUnknownAudience, shown(item));
        set.set(static_cast<std::size_t>(*audience));
        if (comma == std::string_view::npos) return {};
        begin = comma + 1;
    }
}

// Returns an error message, empty on success.
std::string parse(int argc, char** argv, Options& options) {
    options.job.audiences = audienceSet({Audience::Dsl256K});
    std::vector<std::string> positional;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        const auto value = [&]() -> std::optional<std::string_view> {
            if (i + 1 >= argc) return std::nullopt;
            return std::string_view(argv[++i]);
        };
        if (arg == "--audience") {
            const auto v = value();
            if (!v) return cli::kAudienceNeedsValue;
            if (std::string error = parseAudiences(*v, options.job.audiences); !error.empty())
                return error;
        } else if (arg == "--audio-content" || arg == "--video-quality") {
            const auto v = value();
            const bool audio = arg == "--audio-content";
            const auto choice =
                v ? parseChoice(*v, audio ? std::int32_t{NoAudio} : std::int32_t{NoVideo})
                  : std::nullopt;
            if (!choice) return std::string(arg) + cli::kChoiceRange;
            (audio ? options.job.audioContent : options.job.videoQuality) = *choice;
        } else if (arg == "--muxer") {
            const auto v = value();
            if (v == "ffmpeg") {
                options.job.makeWriter = writerFactory(Muxer::Ffmpeg);
            } else if (v == "ours") {
                options.job.makeWriter = writerFactory(Muxer::Own);
            } else {
                return cli::kMuxerValues;
            }
        } else if (arg == "--output-dir") {
            const auto v = value();
            if (!v || v->empty()) return cli::kOutputDirNeedsValue;
            options.outputDir = *v;
        } else if (arg == "--overwrite") {
            options.overwrite = true;
        } else if (arg == "--json") {
            options.json = true;
        } else if (arg == "--print-plan") {
            options.printPlan = true;
        } else if (arg == "-h" || arg == "--help") {
            options.help = true;
            return {};
        } else if (arg == "--") {
            for (++i; i < argc; ++i) positional.emplace_back(argv[i]);
        } else if (arg.size() > 1 && arg[0] == '-') {
            return text::withSubject(cli::kUnknownOption, shown(arg));
        } else {
            positional.emplace_back(arg);
        }
    }
    if (options.overwrite && options.outputDir.empty()) return cli::kOverwriteNeedsOutputDir;
    if (options.printPlan) {
        if (positional.size() != 1 || !options.outputDir.empty()) return cli::kShortUsage;
        options.sources = positional;
    } else if (!options.outputDir.empty()) {
        if (positional.empty()) return cli::kShortUsage;
        options.sources = positional;
    } else {
        if (positional.size() != 2) return cli::kShortUsage;
        options.sources = {positional[0]};
        options.destination = positional[1];
    }
    return {};
}

// ---------------------------------------------------------------------------
// Signals

// Ctrl+C, kill and a closed terminal end the job as the window's stop button
// does: a valid, shorter file rather than a hidden half-written one. They are
// blocked before the job's threads start, so the threads inherit the mask
// and only wait() below ever takes them.
class Interrupts {
  public:
    Interrupts() {
        sigemptyset(&set_);
        for (int s : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&set_, s);
        pthread_sigmask(SIG_BLOCK, &set_, nullptr);
    }
    // True once one has arrived, now or earlier; waits at most `ms` for it.
    bool wait(long ms) {
        const timespec tick{ms / 1000, (ms % 1000) * 1'000'000};
        if (sigtimedwait(&set_, nullptr, &tick) > 0) seen_ = true;
        return seen_;
    }
    bool seen() const { return seen_; }
    // True while one waits to be taken; any thread may ask, nothing is taken.
    bool pending() const {
        sigset_t waiting;
        if (sigpending(&waiting) != 0) return false;
        for (int s : {SIGINT, SIGTERM, SIGHUP})
            if (sigismember(&waiting, s) == 1) return true;
        return false;
    }

  private:
    sigset_t set_;
    bool seen_ = false;
};

// ---------------------------------------------------------------------------
// Output

// A reader that goes away (`| head`, a closed terminal) must not cost a
// finished job its exit status: writes then fail with EPIPE, which nothing
// here needs to act on, instead of SIGPIPE ending the process.
void ignoreBrokenPipes() {
    std::signal(SIGPIPE, SIG_IGN);
}

void say(const std::string& line) {
    std::fputs(line.c_str(), stderr);
    std::fputc('\n', stderr);
}

// Messages name files, so they show as names do (see shown()).
void sayError(const std::string& message) {
    std::fprintf(stderr, cli::kErrorLine, shown(message).c_str());
}

// Columns a terminal gives the text: East Asian wide characters take two.
std::size_t displayWidth(std::string_view s) {
    std::size_t width = 0;
    for (std::size_t i = 0; i < s.size();) {
        const auto c = static_cast<unsigned char>(s[i]);
        const std::size_t length = c < 0x80 ? 1 : c < 0xe0 ? 2 : c < 0xf0 ? 3 : 4;
        char32_t cp = length == 1 ? c : c & (0x7f >> length);
        for (std::size_t k = 1; k < length && i + k < s.size(); ++k)
            cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3f);
        const bool wide = (cp >= 0x1100 && cp <= 0x115f) || (cp >= 0x2e80 && cp <= 0xa4cf) ||
                          (cp >= 0xac00 && cp <= 0xd7a3) || (cp >= 0xf900 && cp <= 0xfaff) ||
                          (cp >= 0xfe30 && cp <= 0xfe4f) || (cp >= 0xff00 && cp <= 0xff60) ||
                          (cp >= 0xffe0 && cp <= 0xffe6) || (cp >= 0x20000 && cp <= 0x3fffd);
        width += wide ? 2 : 1;
        i += length;
    }
    return width;
}

std::string padded(const std::string& s, std::size_t width) {
    const std::size_t w = displayWidth(s);
    return w >= width ? s : s + std::string(width - w, ' ');
}

// A JSON string; bytes that are not UTF-8 (file names may hold any) become
// U+FFFD so the line stays valid JSON. Every control character is escaped,
// DEL and C1 too, so the line is as safe on a terminal as the rest.
std::string jsonString(std::string_view s) {
    std::string out = "\"";
    for (std::size_t i = 0; i < s.size();) {
        const std::size_t length = utf8Length(s, i);
        if (length == 0) {
            out += "\\ufffd";
            ++i;
            continue;
        }
        if (const int control = controlAt(s, i, length); control >= 0) {
            out += format("\\u%04x", control);
        } else {
            if (s[i] == '"' || s[i] == '\\') out += '\\';
            out.append(s.substr(i, length));
        }
        i += length;
    }
    return out + "\"";
}

// ---------------------------------------------------------------------------
// One source

enum class Result { Completed, Stopped, Failed, Skipped };

// One output file; the files of a job share its result.
struct FileReport {
    std::string source{}, destination{};
    Audience audience = Audience::Dsl256K;
    Result result = Result::Skipped;
    std::string message{};  // why it failed
    ErrorKind errorKind = ErrorKind::None;
    std::int64_t heldMs = 0;  // media time the output holds
    std::int64_t bytes = 0;
    std::int64_t prerollMs = 0;  // the buffering a player needs first, as the file states it
    std::int64_t elapsedMs = 0;
    int budgetKbps = 0;
    bool kept = false;  // the file is there: a job stopped before it had data left none

    double kbps() const { return heldMs > 0 ? bytes * 8.0 / heldMs : 0.0; }
    // A completed job leaves a file, a stopped one may; a failed or skipped one none.
    bool written() const {
        return kept && (result == Result::Completed || result == Result::Stopped);
    }
};

// One source's job: a file per ticked audience, as jobFiles() orders them
// (the named one, the slowest audience's, first).
struct JobReport {
    std::vector<FileReport> files;
    std::string warning{};  // what the source turned out to be, "" when nothing

    JobReport(const std::string& source, const std::string& destination, AudienceSet audiences,
              Result result) {
        for (const JobFile& file : jobFiles(destination, audiences))
            files.push_back({.source = source,
                             .destination = file.destination,
                             .audience = file.audience,
                             .result = result});
    }
    const FileReport& named() const { return files.front(); }
    void fail(const Status& failure) {
        for (FileReport& f : files) {
            f.result = Result::Failed;
            f.message = failure.message();
            f.errorKind = failure.kind();
        }
    }
};

class ProgressBar : public JobObserver {
  public:
    ProgressBar(bool visible, std::string_view label) : visible_(visible), label_(shown(label)) {}

    void jobProgress(const JobProgress& p) override { draw(p.percent); }

    void jobFinished(const JobResult& r) override {
        std::lock_guard lock(mutex_);
        result_ = r;
        if (!visible_) return;
        // The last step reported may be 99%; a finished file shows full.
        if (r.outcome == JobOutcome::Completed) draw(100);
        std::fputc('\n', stderr);
    }

    JobResult result() {
        std::lock_guard lock(mutex_);
        return result_;
    }

  private:
    void draw(int percent) {
        if (!visible_) return;
        constexpr int kWidth = 40;
        const int filled = percent * kWidth / 100;
        std::fprintf(stderr, "\r[%s%s] %3d%% %s", std::string(filled, '#').c_str(),
                     std::string(kWidth - filled, '.').c_str(), percent, label_.c_str());
        std::fflush(stderr);
    }

    bool visible_;
    std::string label_;
    std::mutex mutex_;
    JobResult result_;
};

// The job's files from one reading of the source, under one progress bar.
JobReport encodeOne(JobSettings job, Interrupts& interrupts, const std::string& label) {
    JobReport report(job.source, job.destination, job.audiences, Result::Failed);
    Engine engine;
    ProgressBar bar(::isatty(STDERR_FILENO), label);
    // Opening a source that sends nothing (a FIFO, a device) can wait; Ctrl+C
    // gives up there too.
    job.interrupted = [&interrupts] { return interrupts.pending(); };
    JobInfo info;
    if (Status s = engine.start(job, bar, &info); !s) {
        interrupts.wait(0);  // take a Ctrl+C that ended the opening, so the rest is skipped
        report.fail(s);
        return report;
    }
    // The job goes on: a full disk fails it as any write error would.
    if (info.spaceShort()) std::fprintf(stderr, cli::kWarningLine, text::kSpaceShort);
    while (engine.running()) {
        if (interrupts.wait(100) && !engine.stopWithin(kStopPatience)) {
            // Held in a read the kernel does not cut short (a stalled mount):
            // the job is let go and ends with this process, without its file.
            // Its hidden temporary file goes with the next job into that folder.
            report.fail(Status::fail(ErrorKind::Interrupted, cli::kSourceStalled));
            return report;
        }
    }
    engine.wait();
    const JobResult r = bar.result();
    const Result result = r.outcome == JobOutcome::Completed ? Result::Completed
                          : r.outcome == JobOutcome::Stopped ? Result::Stopped
                                                             : Result::Failed;
    for (FileReport& f : report.files) {
        f.result = result;
        f.message = r.message;
        f.errorKind = r.errorKind;
        f.elapsedMs = r.elapsedMs;
        const auto made =
            std::find_if(r.files.begin(), r.files.end(),
                         [&](const JobResult::File& m) { return m.audience == f.audience; });
        if (made == r.files.end()) continue;  // the job failed before its files were known
        // Where it went: a batch's set moves on when its names were taken meanwhile.
        f.destination = made->destination;
        f.kept = made->bytes > 0;
        // What the written file holds, whatever the source's header claimed.
        f.heldMs = made->encodedMs;
        f.bytes = made->bytes;
        f.prerollMs = made->prerollMs;
        f.budgetKbps = made->budgetKbps;
    }
    report.warning = r.warning;
    return report;
}

// ---------------------------------------------------------------------------
// Reports

// Each result's word in the table and its key in --json, in Result's order.
struct ResultNames {
    const char* text;
    const char* key;
};
constexpr ResultNames kResultNames[] = {{cli::kCompleted, "completed"},
                                        {cli::kStopped, "stopped"},
                                        {cli::kFailed, "failed"},
                                        {cli::kSkipped, "skipped"}};

const ResultNames& namesOf(Result r) {
    return kResultNames[static_cast<int>(r)];
}

std::string jsonLine(const FileReport& f) {
    const bool written = f.written();
    std::string line = "{\"source\":" + jsonString(f.source) +
                       ",\"audience\":" + jsonString(profileOf(f.audience).key) +
                       ",\"output\":" + (written ? jsonString(f.destination) : "null") +
                       ",\"result\":\"" + namesOf(f.result).key + "\"";
    if (written) {
        line += format(
            ",\"duration_seconds\":%.3f,\"bytes\":%lld,\"kbps\":%.1f,"
            "\"preroll_seconds\":%.3f",
            f.heldMs / 1000.0, static_cast<long long>(f.bytes), f.kbps(), f.prerollMs / 1000.0);
    }
    if (f.result != Result::Skipped)
        line += format(",\"elapsed_seconds\":%.3f", f.elapsedMs / 1000.0);
    if (f.result == Result::Failed) {
        line += ",\"error\":\"" + std::string(errorKindName(f.errorKind)) + "\"";
        line += ",\"message\":" + jsonString(f.message);
    }
    return line + "}";
}

// A line per file, as soon as its job ends.
void printJson(const JobReport& job) {
    for (const FileReport& f : job.files) std::puts(jsonLine(f).c_str());
    std::fflush(stdout);
}

// The one-source mode's closing lines: each file kept against its audience's budget.
void printSummary(const JobReport& job) {
    const FileReport& named = job.named();
    if (named.result == Result::Stopped && named.written())
        std::fprintf(stderr, cli::kStoppedLine, named.heldMs / 1000.0);
    else if (named.result == Result::Stopped)
        std::fputs(cli::kStoppedNothingKept, stderr);
    for (const FileReport& f : job.files) {
        if (!f.written()) continue;
        std::fprintf(stderr, cli::kSummaryLine, shown(f.destination).c_str(), f.heldMs / 1000.0,
                     static_cast<long long>(f.bytes), f.kbps(),
                     std::string(profileOf(f.audience).name).c_str(), f.budgetKbps,
                     f.elapsedMs / 1000.0);
    }
    if (!job.warning.empty()) std::fprintf(stderr, cli::kWarningLine, shown(job.warning).c_str());
}

std::string sizeText(std::int64_t bytes) {
    if (bytes < 1'000'000) return format("%.1f kB", bytes / 1000.0);
    return format("%.1f MB", bytes / 1'000'000.0);
}

// Why a file is not there, for the table.
std::string whyNone(const FileReport& f) {
    switch (f.result) {
        case Result::Failed:
            return f.message;
        case Result::Stopped:
            return cli::kNothingKept;
        default:
            return cli::kNotStarted;
    }
}

// file | result | duration held | size | kbps | the output, or why not:
// a row per file written, one for a job that wrote none.
void printTable(const std::vector<JobReport>& jobs) {
    std::vector<std::vector<std::string>> rows;
    rows.push_back({cli::kColumnFile, cli::kColumnResult, cli::kColumnHeld, cli::kColumnSize,
                    cli::kColumnKbps, cli::kColumnNote});
    for (const JobReport& job : jobs) {
        const std::string none = "-";
        const auto written = [](const FileReport& f) { return f.written(); };
        if (std::none_of(job.files.begin(), job.files.end(), written)) {
            const FileReport& named = job.named();
            rows.push_back(
                {named.source, namesOf(named.result).text, none, none, none, whyNone(named)});
            continue;
        }
        for (const FileReport& f : job.files) {
            if (f.written())
                rows.push_back({f.source, namesOf(f.result).text,
                                format(cli::kSeconds, f.heldMs / 1000.0), sizeText(f.bytes),
                                format("%.1f", f.kbps()), f.destination});
            else
                rows.push_back({f.source, namesOf(f.result).text, none, none, none, whyNone(f)});
        }
    }
    std::vector<std::size_t> widths(rows[0].size(), 0);
    for (auto& row : rows) {
        for (std::size_t c = 0; c < row.size(); ++c) {
            row[c] = shown(row[c]);
            widths[c] = std::max(widths[c], displayWidth(row[c]));
        }
    }
    std::fputc('\n', stderr);
    for (const auto& row : rows) {
        std::string line;
        for (std::size_t c = 0; c + 1 < row.size(); ++c) line += padded(row[c], widths[c]) + "  ";
        say(line + row.back());
    }
}

// ---------------------------------------------------------------------------
// The modes

// DIR/<name>.rm for n = 0, else DIR/<name>-n.rm; the other audiences'
// files go beside it (DIR/<name>-1-512k.rm).
std::string numbered(const std::string& dir, const std::string& source, int n) {
    fs::path name = fs::path(source).filename().replace_extension();
    if (n > 0) {
        name += "-";
        name += std::to_string(n);
    }
    name += ".rm";
    return (fs::path(dir) / name).string();
}

// The first n whose set of names is free: none of them exists and this
// batch gave none out already; a set is never split. Without --overwrite
// that is only a guess: the engine claims the names when the files are
// done and moves the set on to the next n when one was taken meanwhile (a
// second batch into the same folder, a file made by hand), so nothing is
// replaced. --overwrite replaces files that exist, never one this batch
// made (nor a source of it, refused before the batch starts).
int firstFree(const std::string& source, const Options& options, std::set<std::string>& taken) {
    for (int n = 0;; ++n) {
        const std::vector<JobFile> files =
            jobFiles(numbered(options.outputDir, source, n), options.job.audiences);
        const bool vacant = std::none_of(files.begin(), files.end(), [&](const JobFile& f) {
            std::error_code ec;
            return taken.count(f.destination) > 0 ||
                   (!options.overwrite && fs::exists(fs::symlink_status(f.destination, ec)));
        });
        if (!vacant) continue;
        for (const JobFile& f : files) taken.insert(f.destination);
        return n;
    }
}

// With --overwrite: an output of the batch that is one of its sources (under
// any name), which it would destroy, perhaps before reading it. The
// refusal's message, "" when there is none.
std::string overwrittenSource(const Options& options) {
    std::set<std::string> taken;
    for (const std::string& source : options.sources) {
        const int n = firstFree(source, options, taken);
        for (const JobFile& f :
             jobFiles(numbered(options.outputDir, source, n), options.job.audiences)) {
            for (const std::string& other : options.sources) {
                std::error_code ec;
                if (fs::equivalent(other, f.destination, ec))
                    return format(cli::kOverwritesSource, shown(source).c_str(),
                                  shown(f.destination).c_str());
            }
        }
    }
    return {};
}

// The job's files, as a line names them.
std::string listed(const std::string& destination, AudienceSet audiences) {
    std::string out;
    for (const JobFile& f : jobFiles(destination, audiences)) {
        if (!out.empty()) out += cli::kFileSeparator;
        out += f.destination;
    }
    return shown(out);
}

int printPlan(const Options& options) {
    JobSettings job = options.job;
    job.source = options.sources.front();
    SourceFacts facts;
    JobInfo info;
    Status s = readJobSource(job, facts);
    if (s) s = planJob(job, facts, info);
    if (!s) {
        sayError(s.message());
        return kExitFailed;
    }
    // The ffmpeg CLI would show a single picture for one frame's time.
    if (info.stillPicture) std::printf(cli::kStillPictureComment, kStillPictureSeconds);
    // Each audience's own plan, as its file is made; with several, each
    // audience's options follow a line "# <key>", slowest first.
    const bool several = info.files.size() > 1;
    for (const JobInfo::File& file : info.files) {
        if (several) std::printf("# %s\n", std::string(profileOf(file.audience).key).c_str());
        for (const std::string& arg : ffmpegOutputArguments(file.plan)) std::puts(arg.c_str());
    }
    return kExitOk;
}

int encodeSingle(const Options& options, Interrupts& interrupts) {
    JobSettings job = options.job;
    job.source = options.sources.front();
    job.destination = options.destination;
    const JobReport report = encodeOne(job, interrupts, fs::path(job.source).filename().string());
    if (options.json) printJson(report);
    const Result result = report.named().result;
    if (result == Result::Failed) {
        sayError(report.named().message);
        return interrupts.seen() ? kExitInterrupted : kExitFailed;
    }
    printSummary(report);
    return result == Result::Stopped ? kExitInterrupted : kExitOk;
}

int encodeBatch(const Options& options, Interrupts& interrupts) {
    std::error_code ec;
    fs::create_directories(options.outputDir, ec);
    if (ec || !fs::is_directory(options.outputDir)) {
        sayError(text::withSubject(cli::kNoOutputDir, options.outputDir));
        return kExitFailed;
    }
    if (options.overwrite) {
        if (const std::string refusal = overwrittenSource(options); !refusal.empty()) {
            sayError(refusal);
            return kExitFailed;
        }
    }
    std::set<std::string> taken;
    std::vector<JobReport> jobs;
    const std::size_t count = options.sources.size();
    for (std::size_t i = 0; i < count; ++i) {
        JobSettings job = options.job;
        job.source = options.sources[i];
        if (interrupts.wait(0)) {
            // Its files were never named; what is reported of them needs no name.
            jobs.emplace_back(job.source, std::string(), job.audiences, Result::Skipped);
            if (options.json) printJson(jobs.back());
            continue;
        }
        const int n = firstFree(job.source, options, taken);
        job.destination = numbered(options.outputDir, job.source, n);
        if (!options.overwrite) {
            job.moveTo = [dir = options.outputDir, source = job.source, n](int later) {
                return numbered(dir, source, n + later);
            };
        }
        say(format(cli::kFileHeader, i + 1, count, shown(job.source).c_str(),
                   listed(job.destination, job.audiences).c_str()));
        jobs.push_back(encodeOne(job, interrupts, fs::path(job.source).filename().string()));
        const FileReport& named = jobs.back().named();
        if (named.written() && named.destination != job.destination)
            say(format(cli::kMovedLine, listed(named.destination, job.audiences).c_str()));
        if (options.json) printJson(jobs.back());
    }
    printTable(jobs);
    if (interrupts.seen()) return kExitInterrupted;
    for (const JobReport& job : jobs)
        if (job.named().result != Result::Completed) return kExitFailed;
    return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
    // A size limit (ulimit -f) should end the job with an error, not kill us.
    std::signal(SIGXFSZ, SIG_IGN);
    ignoreBrokenPipes();
    // Rate-control chatter from the codecs is no use here; failures come back as messages.
    av_log_set_level(AV_LOG_FATAL);

    Options options;
    if (const std::string error = parse(argc, argv, options); !error.empty()) {
        std::fputs(error.c_str(), stderr);
        if (error.back() != '\n') std::fputc('\n', stderr);
        return kExitFailed;
    }
    if (options.help) {
        std::fputs(cli::kUsage, stdout);
        return kExitOk;
    }
    if (options.printPlan) return printPlan(options);

    Interrupts interrupts;
    return options.outputDir.empty() ? encodeSingle(options, interrupts)
                                     : encodeBatch(options, interrupts);
}
