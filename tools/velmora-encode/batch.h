#pragma once
// What a batch (--output-dir) needs beyond one job after another: the share
// of the sources one task of an array job takes (--shard), and the sets of
// files a rerun finds complete and leaves alone (--skip-existing).

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "engine/job/engine.h"
#include "options.h"
#include "reports.h"

namespace velmora::tool {

// Every source given, in the order the batch takes them: as given, or
// sorted bytewise with --shard or --skip-existing, so that every task of an
// array job and every rerun see the same order and give the same names.
std::vector<std::string> batchOrder(const Options& options);

// Whether the source at `position` of batchOrder() is this run's to make.
bool inShard(const Shard& shard, std::size_t position);

// "K/N", "" without --shard.
std::string shardName(const Shard& shard);

// Whether a name of a set is taken for the batch: anything there but, with
// --skip-existing, a RealMedia file (an earlier run's, kept when complete
// and made again when not). A link counts as taken, whatever it points at.
bool occupied(const std::string& path, const Options& options);

// Whether any name of the set of `destination` holds something.
bool anyPresent(const std::string& destination, encoder::AudienceSet audiences);

// The set of `job` as the reports of a source already done: every file at
// its name, RealMedia with the streams its plan gives, at least as new as
// the source and as long as it within half a second. Nothing when any file
// must be made (again), or when the source is not a regular file (a pipe
// would be used up by the look this takes).
std::optional<JobReport> alreadyDone(const encoder::JobSettings& job);

}  // namespace velmora::tool
