// velmora-encode: the encoding engine from the command line.
//   velmora-encode [--audience LIST] [--audio-content 0-3] [--video-quality 0-3|none]
//                  [--muxer ours|ffmpeg] SOURCE DESTINATION
//   velmora-encode --print-plan [same choices] SOURCE
//     prints the ffmpeg CLI's output options for the same encode, one a line
#include <pthread.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "engine/engine.h"
#include "engine/media_source.h"
#include "texts/encoder_texts.h"

extern "C" {
#include <libavutil/log.h>
}

namespace {

using namespace velmora;
using namespace velmora::encoder;

struct Options {
    JobSettings job;
    bool printPlan = false;
};

std::optional<std::int32_t> parseChoice(std::string_view text, std::int32_t none) {
    if (text == "none") return none;
    if (text.size() == 1 && text[0] >= '0' && text[0] <= '3') return text[0] - '0';
    return std::nullopt;
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
            if (!v) return text::cli::kAudienceNeedsValue;
            AudienceSet set;
            std::stringstream list{std::string(*v)};
            std::string item;
            while (std::getline(list, item, ',')) {
                const auto audience = audienceForKey(item);
                if (!audience) return text::withSubject(text::cli::kUnknownAudience, item);
                set.set(static_cast<std::size_t>(*audience));
            }
            if (set.none()) return text::cli::kNoAudience;
            options.job.audiences = set;
        } else if (arg == "--audio-content" || arg == "--video-quality") {
            const auto v = value();
            const bool audio = arg == "--audio-content";
            const auto choice =
                v ? parseChoice(*v, audio ? std::int32_t{NoAudio} : std::int32_t{NoVideo})
                  : std::nullopt;
            if (!choice) return std::string(arg) + text::cli::kChoiceRange;
            (audio ? options.job.audioContent : options.job.videoQuality) = *choice;
        } else if (arg == "--muxer") {
            const auto v = value();
            if (v == "ffmpeg") {
                options.job.makeWriter = writerFactory(Muxer::Ffmpeg);
            } else if (v == "ours") {
                options.job.makeWriter = writerFactory(Muxer::Own);
            } else {
                return text::cli::kMuxerValues;
            }
        } else if (arg == "--print-plan") {
            options.printPlan = true;
        } else if (arg == "-h" || arg == "--help") {
            return text::cli::kUsage;
        } else if (arg.size() > 1 && arg[0] == '-' && arg != "--") {
            return text::withSubject(text::cli::kUnknownOption, arg);
        } else {
            if (arg == "--") {
                for (++i; i < argc; ++i) positional.emplace_back(argv[i]);
                break;
            }
            positional.emplace_back(arg);
        }
    }
    if (positional.size() != (options.printPlan ? 1u : 2u)) return text::cli::kUsage;
    options.job.source = positional[0];
    if (!options.printPlan) options.job.destination = positional[1];
    return {};
}

class Terminal : public JobObserver {
  public:
    explicit Terminal(bool bar) : bar_(bar) {}

    void jobProgress(const JobProgress& p) override {
        if (!bar_) return;
        constexpr int kWidth = 40;
        const int filled = p.percent * kWidth / 100;
        std::fprintf(stderr, "\r[%s%s] %3d%%", std::string(filled, '#').c_str(),
                     std::string(kWidth - filled, '.').c_str(), p.percent);
        std::fflush(stderr);
    }

    void jobFinished(const JobResult& r) override {
        std::lock_guard lock(mutex_);
        result_ = r;
        if (bar_) std::fputc('\n', stderr);
    }

    JobResult result() {
        std::lock_guard lock(mutex_);
        return result_;
    }

  private:
    bool bar_;
    std::mutex mutex_;
    JobResult result_;
};

}  // namespace

int main(int argc, char** argv) {
    // A size limit (ulimit -f) should end the job with an error, not kill us.
    std::signal(SIGXFSZ, SIG_IGN);
    // Rate-control chatter from the codecs is no use here; failures come back as messages.
    av_log_set_level(AV_LOG_FATAL);

    Options options;
    if (const std::string error = parse(argc, argv, options); !error.empty()) {
        std::fputs(error.c_str(), stderr);
        if (error.back() != '\n') std::fputc('\n', stderr);
        return 1;
    }

    if (options.printPlan) {
        MediaSource source;
        if (Status s = openMediaSource(options.job.source, source); !s) {
            std::fprintf(stderr, text::cli::kErrorLine, s.message().c_str());
            return 1;
        }
        const EncodePlan plan = planEncode(options.job.audiences, options.job.audioContent,
                                           options.job.videoQuality, source.shape);
        for (const std::string& arg : ffmpegOutputArguments(plan)) std::puts(arg.c_str());
        return 0;
    }

    // Ctrl+C and kill end the job as the window's stop button does: a valid,
    // shorter file rather than a hidden half-written one. Blocked before the
    // job's threads start so they inherit it and only this loop sees them.
    sigset_t interrupts;
    sigemptyset(&interrupts);
    sigaddset(&interrupts, SIGINT);
    sigaddset(&interrupts, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &interrupts, nullptr);

    Engine engine;
    Terminal terminal(::isatty(STDERR_FILENO));
    JobInfo info;
    if (Status s = engine.start(options.job, terminal, &info); !s) {
        std::fprintf(stderr, text::cli::kErrorLine, s.message().c_str());
        return 1;
    }
    bool interrupted = false;
    while (engine.running()) {
        const timespec tick{0, 100'000'000};
        if (sigtimedwait(&interrupts, nullptr, &tick) > 0) {
            interrupted = true;
            engine.stop();
        }
    }
    engine.wait();
    const JobResult r = terminal.result();
    if (r.outcome == JobOutcome::Failed) {
        std::fprintf(stderr, text::cli::kErrorLine, r.message.c_str());
        return 1;
    }
    if (interrupted && r.outcome == JobOutcome::Stopped)
        std::fprintf(stderr, text::cli::kStoppedLine, r.encodedMs / 1000.0);
    const bool whole = r.outcome == JobOutcome::Completed && info.durationMs > 0;
    const std::int64_t ms = whole ? info.durationMs : r.encodedMs;
    const double kbps = ms > 0 ? r.bytes * 8.0 / ms : 0.0;
    const AudienceProfile& audience = profileOf(info.plan.audience);
    std::fprintf(stderr, text::cli::kSummaryLine, options.job.destination.c_str(), ms / 1000.0,
                 static_cast<long long>(r.bytes), kbps, std::string(audience.name).c_str(),
                 info.plan.budgetKbps, r.elapsedMs / 1000.0);
    return r.outcome == JobOutcome::Stopped ? 130 : 0;
}
