#pragma once
// velmora-encode's exit statuses, for a scheduler (Slurm, GNU parallel, a
// shell loop) to act on: what to give up on, and what is worth retrying.

#include "engine/core/status.h"
#include "reports.h"

namespace velmora::tool {

inline constexpr int kExitOk = 0;  // every file made, or already there
inline constexpr int kExitUnusable =
    1;                                 // a source (or its destination) that retrying will not help
inline constexpr int kExitUsage = 2;   // the command line cannot be done as written
inline constexpr int kExitRetry = 75;  // EX_TEMPFAIL: a full disk, a failed write
inline constexpr int kExitInterrupted = 130;  // Ctrl+C, SIGTERM or SIGHUP

// The status a failure of `kind` asks for.
int exitStatusOf(ErrorKind kind);

// The status a source's job asks for: a stop or a skip after one is an
// interruption, a set made or already there is success.
int exitStatusOf(const JobReport& job);

// The more severe of two statuses: 130, then 75, 1, 2, 0. A batch exits
// with the most severe of its sources'.
int mostSevere(int a, int b);

}  // namespace velmora::tool
