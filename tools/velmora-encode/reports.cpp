#include "reports.h"

#include <algorithm>
#include <cstdio>

#include "cli_text.h"
#include "texts/encoder_texts.h"

namespace velmora::tool {

using namespace velmora::encoder;
namespace cli = velmora::encoder::text::cli;

namespace {

// Each result's word in the table and its key in --json, in Result's order.
struct ResultNames {
    const char* text;
    const char* key;
};
constexpr ResultNames kResultNames[] = {{cli::kCompleted, "completed"},
                                        {cli::kStopped, "stopped"},
                                        {cli::kFailed, "failed"},
                                        {cli::kSkipped, "skipped"},
                                        {cli::kAlreadyDone, "already_done"}};

const ResultNames& namesOf(Result r) {
    return kResultNames[static_cast<int>(r)];
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

// `"key":"name"`, and where the name is not UTF-8 (and so not carried
// exactly) `"key_bytes":"<base64>"` after it: a script finds every file.
std::string jsonName(const char* key, const std::string& name) {
    std::string out = format("\"%s\":", key) + jsonString(name);
    if (!isUtf8(name)) out += format(",\"%s_bytes\":\"%s\"", key, base64(name).c_str());
    return out;
}

}  // namespace

JobReport::JobReport(const std::string& source, const std::string& destination,
                     AudienceSet audiences, Result result) {
    for (const JobFile& file : jobFiles(destination, audiences))
        files.push_back({.source = source,
                         .destination = file.destination,
                         .audience = file.audience,
                         .result = result});
}

void JobReport::fail(const Status& failure) {
    for (FileReport& f : files) {
        f.result = Result::Failed;
        f.message = failure.message();
        f.errorKind = failure.kind();
    }
}

void say(const std::string& line) {
    std::fputs(line.c_str(), stderr);
    std::fputc('\n', stderr);
}

void sayError(const std::string& message) {
    std::fputs(format(cli::kErrorLine, shown(message).c_str()).c_str(), stderr);
}

std::string jsonLine(const FileReport& f) {
    const bool written = f.written();
    std::string line = "{" + jsonName("source", f.source) +
                       ",\"audience\":" + jsonString(profileOf(f.audience).key) + "," +
                       (written ? jsonName("output", f.destination) : "\"output\":null") +
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
    if (!f.shard.empty()) line += ",\"shard\":" + jsonString(f.shard);
    return line + "}";
}

void printJson(const JobReport& job) {
    // A line at a time: a pipe or a log file (a scheduler's) has each as it is made.
    for (const FileReport& f : job.files) {
        std::puts(jsonLine(f).c_str());
        std::fflush(stdout);
    }
}

void printSummary(const JobReport& job) {
    const FileReport& named = job.named();
    if (named.result == Result::Stopped && named.written())
        std::fputs(format(cli::kStoppedLine, named.heldMs / 1000.0).c_str(), stderr);
    else if (named.result == Result::Stopped)
        std::fputs(cli::kStoppedNothingKept, stderr);
    for (const FileReport& f : job.files) {
        if (!f.written()) continue;
        std::fputs(format(cli::kSummaryLine, shown(f.destination).c_str(), f.heldMs / 1000.0,
                          static_cast<long long>(f.bytes), f.kbps(),
                          std::string(profileOf(f.audience).name).c_str(), f.budgetKbps,
                          f.elapsedMs / 1000.0)
                       .c_str(),
                   stderr);
    }
    if (!job.warning.empty())
        std::fputs(format(cli::kWarningLine, shown(job.warning).c_str()).c_str(), stderr);
}

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
                                format(cli::kSeconds, f.heldMs / 1000.0), text::sizeText(f.bytes),
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

}  // namespace velmora::tool
