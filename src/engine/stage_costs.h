#pragma once
// What a second of the source costs each of the job's threads, measured by
// running the job's own stages over a short stretch from the middle of the
// source before the job starts. Decoding a camera's grain or an HD picture
// can cost ten times what coding it for a slow line does, or less than a
// third: the decoder's threads follow from the figures, not from a guess.

#include <string>

#include "engine/encode_plan.h"
#include "engine/media_source.h"

namespace velmora::encoder {

// CPU seconds for one second of the source; all 0 when unknown.
struct StageCosts {
    double reader = 0;  // demuxing, decoding on one thread, converting
    double video = 0;   // scaling and coding the picture
    double audio = 0;   // coding the sound
    bool known() const { return reader > 0; }
};

// CPU time this thread has used, in seconds.
double threadCpuSeconds();

// Times the stages on a copy of the source opened anew; only for a regular
// file whose video the look could see (see lookAtSource), else unknown.
StageCosts measureStageCosts(const std::string& path, const MediaSource& source,
                             const EncodePlan& plan, const SourceInterrupt* interrupt = nullptr);

// Whether the figures can change the decoder's threads on a machine with
// `cores` cores; where they cannot, the job does not spend the time to take them.
bool decoderThreadsFollowCosts(int cores);

// Threads for the source's video decoder on a machine with `cores` cores:
// 1 decodes on the reader's own thread, more are FFmpeg's frame threads, and
// 0 leaves their count to FFmpeg (a thread per core and one more).
int videoDecoderThreads(int cores, const StageCosts& costs);

}  // namespace velmora::encoder
