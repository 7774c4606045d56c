#pragma once
// The set of files one job makes, one per ticked audience, and the checks
// on all of them before anything is written.

#include <cstdint>
#include <string>
#include <vector>

#include "engine/core/choices.h"
#include "engine/core/status.h"
#include "engine/plan/encode_plan.h"

namespace velmora::encoder {

// The file each ticked audience gets, slowest audience first. The
// destination the user named holds the slowest's; each other one goes beside
// it as <name>-<key><extension>, e.g. 讲座.rm and 讲座-512k.rm, where <key>
// is the audience's command-line name. Empty without an audience.
struct JobFile {
    Audience audience = Audience::Dsl256K;
    std::string destination;
};
std::vector<JobFile> jobFiles(const std::string& destination, AudienceSet audiences);

// Every destination of the set: checkDestination's refusals, a name longer
// than its folder takes, and, for the files beside the named one (which the
// user never confirmed), anything there that is not an earlier RealMedia
// file, a link too (never followed). The message names the file. The files
// are placed with the same check made again (TempOutput::commit).
Status checkJobFiles(const std::string& source, const std::vector<JobFile>& files);

// Creates every file of the set empty and exclusively, so that its names
// are this job's: all of them, or none when one is already there (`taken`
// set) or cannot be created (the failure, naming the file).
Status claimJobFiles(const std::vector<JobFile>& files, bool& taken);

// Removes a claimed name that no file went to: the empty file, never
// anything written into it since.
void releaseClaim(const std::string& path);

// The most a file of `plan` can hold over `durationMs` (0 when unknown gives
// 0): its budget for the whole length, with the container's headers, index
// and packet headers on top.
std::int64_t largestFileBytes(const EncodePlan& plan, std::int64_t durationMs);

// Free bytes for an unprivileged writer in the folder of `destination`; -1 when unknown.
std::int64_t freeBytesBeside(const std::string& destination);

}  // namespace velmora::encoder
