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
#include <set>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "batch.h"
#include "cli_text.h"
#include "engine/core/system_error.h"
#include "engine/job/engine.h"
#include "exit_status.h"
#include "options.h"
#include "reports.h"
#include "texts/encoder_texts.h"

namespace {

using namespace velmora;
using namespace velmora::encoder;
using namespace velmora::tool;
namespace fs = std::filesystem;
namespace text = velmora::encoder::text;
namespace cli = velmora::encoder::text::cli;

// How long Ctrl+C waits for the job to complete its shorter file. A stop ends
// within a step, but a step (a group of stills being coded) can take seconds
// on a busy machine, and once we give up the file goes with the process: far
// longer than the window's, yet within a scheduler's usual grace before
// SIGKILL. A second Ctrl+C gives up at once.
constexpr std::chrono::milliseconds kStopPatience{15000};

// ---------------------------------------------------------------------------
// Signals

// Ctrl+C, kill and a closed terminal end the job as the window's stop button
// does: a valid, shorter file rather than a hidden half-written one. They are
// blocked before the job's threads start, so the threads inherit the mask
// and only wait() below ever takes them. So is the signal a finished job
// wakes that wait() with: the process ends with its job, not at the next
// tick (a tenth of a second on every file).
class Interrupts {
  public:
    Interrupts() : waiter_(pthread_self()) {
        sigemptyset(&set_);
        for (int s : {SIGINT, SIGTERM, SIGHUP, wakeSignal()}) sigaddset(&set_, s);
        pthread_sigmask(SIG_BLOCK, &set_, nullptr);
    }
    // True once one has arrived, now or earlier; waits at most `ms` for it
    // or for wake().
    bool wait(long ms) {
        timespec tick{ms / 1000, (ms % 1000) * 1'000'000};
        // Whatever else is waiting is taken too: a wake must not hide a Ctrl+C.
        for (int s; (s = sigtimedwait(&set_, nullptr, &tick)) > 0; tick = {}) {
            if (s != wakeSignal()) ++seen_;
        }
        return seen_ > 0;
    }
    // Ends the wait() of the thread that made this, from any thread.
    void wake() const { pthread_kill(waiter_, wakeSignal()); }
    bool seen() const { return seen_ > 0; }
    // True once a second one has come: the user will not wait any longer.
    bool insisted() { return wait(0), seen_ > 1; }
    // True while one waits to be taken; any thread may ask, nothing is taken.
    bool pending() const {
        sigset_t waiting;
        if (sigpending(&waiting) != 0) return false;
        for (int s : {SIGINT, SIGTERM, SIGHUP})
            if (sigismember(&waiting, s) == 1) return true;
        return false;
    }

  private:
    static int wakeSignal() { return SIGRTMIN; }

    pthread_t waiter_;
    sigset_t set_;
    int seen_ = 0;
};

// ---------------------------------------------------------------------------
// Output

// A reader that goes away (`| head`, a closed terminal) must not cost a
// finished job its exit status: writes then fail with EPIPE, which nothing
// here needs to act on, instead of SIGPIPE ending the process.
void ignoreBrokenPipes() {
    std::signal(SIGPIPE, SIG_IGN);
}

// ---------------------------------------------------------------------------
// One source

class ProgressBar : public JobObserver {
  public:
    ProgressBar(bool visible, std::string_view label, const Interrupts& interrupts)
        : visible_(visible), label_(shown(label)), interrupts_(interrupts) {}

    void jobProgress(const JobProgress& p) override { draw(p.percent); }

    void jobFinished(const JobResult& r) override {
        {
            std::lock_guard lock(mutex_);
            result_ = r;
            done_ = true;
            if (visible_) {
                // The last step reported may be 99%; a finished file shows full.
                if (r.outcome == JobOutcome::Completed) draw(100);
                std::fputc('\n', stderr);
            }
        }
        interrupts_.wake();
    }

    // The job has told its end; its thread is ending.
    bool done() {
        std::lock_guard lock(mutex_);
        return done_;
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
    const Interrupts& interrupts_;
    std::mutex mutex_;
    JobResult result_;
    bool done_ = false;
};

// The job's files from one reading of the source, under one progress bar.
JobReport encodeOne(JobSettings job, Interrupts& interrupts, const std::string& label) {
    JobReport report(job.source, job.destination, job.audiences, Result::Failed);
    Engine engine;
    ProgressBar bar(::isatty(STDERR_FILENO), label, interrupts);
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
    if (info.spaceShort()) std::fputs(format(cli::kWarningLine, text::kSpaceShort).c_str(), stderr);
    while (engine.running() && !bar.done()) {
        if (interrupts.wait(100) &&
            !engine.stopWithin(kStopPatience, [&] { return interrupts.insisted(); })) {
            // Held somewhere no stop reaches (a read the kernel holds is given
            // up at once), or the user would not wait: the job is let go and
            // ends with this process, without its file.
            // Its hidden temporary file goes with the next job into that folder.
            report.fail(Status::fail(ErrorKind::Interrupted, interrupts.insisted()
                                                                 ? cli::kStopNotAwaited
                                                                 : cli::kSourceStalled));
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
            return taken.count(f.destination) > 0 ||
                   (!options.overwrite && occupied(f.destination, options));
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
        return exitStatusOf(s.kind());
    }
    // The ffmpeg CLI would show a single picture for one frame's time.
    if (info.stillPicture)
        std::fputs(format(cli::kStillPictureComment, kStillPictureSeconds).c_str(), stdout);
    if (info.plan.video && info.plan.video->picture.hdr()) std::fputs(cli::kHdrComment, stdout);
    if (info.plan.video && info.plan.video->picture.deinterlaced())
        std::fputs(cli::kInterlacedComment, stdout);
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
        printSummary(report);
        return interrupts.seen() ? kExitInterrupted : exitStatusOf(report.named().errorKind);
    }
    printSummary(report);
    return result == Result::Stopped ? kExitInterrupted : kExitOk;
}

int encodeBatch(const Options& options, Interrupts& interrupts) {
    std::error_code ec;
    fs::create_directories(options.outputDir, ec);
    if (ec || !fs::is_directory(options.outputDir)) {
        sayError(text::withSubject(cli::kNoOutputDir, options.outputDir));
        return exitStatusOf(ec ? errnoKind(ec.value(), ErrorKind::DestinationRefused)
                               : ErrorKind::DestinationRefused);
    }
    if (options.overwrite) {
        if (const std::string refusal = overwrittenSource(options); !refusal.empty()) {
            sayError(refusal);
            return kExitUsage;
        }
    }
    const std::vector<std::string> sources = batchOrder(options);
    std::set<std::string> taken;
    // --skip-existing names every source's set before any job, over the
    // whole list and not from what the folder holds by then: each task of an
    // array job and each rerun give a source the same names.
    std::vector<int> numbers;
    if (options.skipExisting)
        for (const std::string& source : sources)
            numbers.push_back(firstFree(source, options, taken));
    std::vector<JobReport> jobs;
    const auto report = [&](JobReport job) {
        for (FileReport& f : job.files) f.shard = shardName(options.shard);
        if (options.json) printJson(job);
        jobs.push_back(std::move(job));
    };
    std::size_t count = 0;
    for (std::size_t i = 0; i < sources.size(); ++i) count += inShard(options.shard, i);
    for (std::size_t i = 0, number = 0; i < sources.size(); ++i) {
        if (!inShard(options.shard, i)) continue;
        ++number;
        JobSettings job = options.job;
        job.source = sources[i];
        if (interrupts.wait(0)) {
            // Its files were never named; what is reported of them needs no name.
            report(JobReport(job.source, std::string(), job.audiences, Result::Skipped));
            continue;
        }
        const int n = options.skipExisting ? numbers[i] : firstFree(job.source, options, taken);
        job.destination = numbered(options.outputDir, job.source, n);
        say(format(cli::kFileHeader, number, count, shown(job.source).c_str(),
                   listed(job.destination, job.audiences).c_str()));
        if (options.skipExisting) {
            job.interrupted = [&interrupts] { return interrupts.pending(); };
            if (std::optional<JobReport> done = alreadyDone(job)) {
                report(std::move(*done));
                continue;
            }
        }
        // Names that hold a file still (an earlier run's, made again) are
        // replaced; others are claimed when the files are done.
        if (!options.overwrite &&
            (!options.skipExisting || !anyPresent(job.destination, job.audiences))) {
            job.moveTo = [dir = options.outputDir, source = job.source, n](int later) {
                return numbered(dir, source, n + later);
            };
        }
        JobReport made = encodeOne(job, interrupts, fs::path(job.source).filename().string());
        const FileReport& named = made.named();
        if (named.written() && named.destination != job.destination)
            say(format(cli::kMovedLine, listed(named.destination, job.audiences).c_str()));
        report(std::move(made));
    }
    printTable(jobs);
    int status = interrupts.seen() ? kExitInterrupted : kExitOk;
    for (const JobReport& job : jobs) status = mostSevere(status, exitStatusOf(job));
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    // A size limit (ulimit -f) should end the job with an error, not kill us.
    std::signal(SIGXFSZ, SIG_IGN);
    ignoreBrokenPipes();
    quietFfmpegMessages();

    Options options;
    if (const std::string error = parse(argc, argv, options); !error.empty()) {
        std::fputs(error.c_str(), stderr);
        if (error.back() != '\n') std::fputc('\n', stderr);
        return kExitUsage;
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
