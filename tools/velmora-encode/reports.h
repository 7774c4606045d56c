#pragma once
// What velmora-encode reports of its files: a JSON line per file on stdout,
// the one-source mode's summary and the batch's table on stderr.

#include <cstdint>
#include <string>
#include <vector>

#include "engine/job/engine.h"

namespace velmora::tool {

// Skipped: not begun after a stop. AlreadyDone: its complete set was there (--skip-existing).
enum class Result { Completed, Stopped, Failed, Skipped, AlreadyDone };

// One output file; the files of a job share its result.
struct FileReport {
    std::string source{}, destination{};
    encoder::Audience audience = encoder::Audience::Dsl256K;
    Result result = Result::Skipped;
    std::string message{};  // why it failed
    ErrorKind errorKind = ErrorKind::None;
    std::int64_t heldMs = 0;  // media time the output holds
    std::int64_t bytes = 0;
    std::int64_t prerollMs = 0;  // the buffering a player needs first, as the file states it
    std::int64_t elapsedMs = 0;
    int budgetKbps = 0;
    bool kept = false;    // the file is there: a job stopped before it had data left none
    std::string shard{};  // "K/N" under --shard

    double kbps() const { return heldMs > 0 ? bytes * 8.0 / heldMs : 0.0; }
    // A completed job leaves a file, a stopped one may, a skipped one none. A
    // failed one leaves those already at their names when a later file could
    // not take its own (a stranger's file put there during the job): whole
    // files, which a script must be able to find.
    bool written() const { return kept && result != Result::Skipped; }
};

// One source's job: a file per ticked audience, as jobFiles() orders them
// (the named one, the slowest audience's, first).
struct JobReport {
    std::vector<FileReport> files;
    std::string warning{};  // what the source turned out to be, "" when nothing

    JobReport(const std::string& source, const std::string& destination,
              encoder::AudienceSet audiences, Result result);
    const FileReport& named() const { return files.front(); }
    void fail(const Status& failure);
};

// A line to stderr.
void say(const std::string& line);
// Messages name files, so they show as names do (see shown()).
void sayError(const std::string& message);

// The file's JSON object, on one line.
std::string jsonLine(const FileReport& f);
// A line per file, as soon as its job ends.
void printJson(const JobReport& job);
// The one-source mode's closing lines: each file kept against its audience's budget.
void printSummary(const JobReport& job);
// file | result | duration held | size | kbps | the output, or why not:
// a row per file written, one for a job that wrote none.
void printTable(const std::vector<JobReport>& jobs);

}  // namespace velmora::tool
