#pragma once
// Opens the source read-only and finds what there is to encode in it: the
// first video stream (cover pictures aside) and the first audio stream.

#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>

#include "engine/core/ffmpeg_ptr.h"
#include "engine/core/regular_file.h"
#include "engine/core/status.h"
#include "engine/plan/encode_plan.h"

namespace velmora::encoder {

// How the stored pictures are turned to be seen upright: phones store
// portrait video as landscape pictures with a display matrix that says so.
// Applied to the stored picture's coordinates: a transposed picture's rows
// are its columns, then either axis may run backwards.
struct Orientation {
    bool transpose = false;
    bool flipX = false, flipY = false;
    bool upright() const { return !transpose && !flipX && !flipY; }
};

// From the stream's display matrix, as the ffmpeg CLI turns its pictures
// by default (quarter turns and flips; other angles stay as stored).
Orientation orientationOf(const AVStream& stream);

struct MediaSource {
    // A FIFO's or a device's, read through `format`. FFmpeg's pipe protocol
    // reads one but never closes it: it goes with the source, after the context.
    OwnedDescriptor pipe;
    InputContextPtr format;
    bool regularFile = false;  // which can be read again, at other places
    int videoIndex = -1;
    int audioIndex = -1;
    std::int64_t durationMs = 0;  // the length we believe; 0 when unknown
    std::int64_t declaredMs = 0;  // what the header says; 0 when it does not say
    std::int64_t startUs = 0;     // the source's first timestamp, AV_TIME_BASE units
    // The time base to read the video's timestamps in. It differs from the
    // stream's when those are frame counts at a declared rate nobody films at
    // (an AVI claiming one frame per 4,000 s): then the rate comes from the
    // other streams, or a common one.
    AVRational videoTimeBase{0, 1};
    double declaredFps = 0;  // set only when the declared rate was replaced
    double trustedFps = 0;
    Orientation orientation;  // the shape is the upright picture's
    // A stream that decoded not a frame, left out beside an intact one.
    bool videoLeftOut = false, audioLeftOut = false;
    SourceShape shape;
    // The first look's CPU time decoding a picture after a key frame on one
    // thread, in milliseconds (its blocking filter off); 0 without a look.
    double lookDecodeMs = 0;
};

// Asked while the source is opened and on every later read of it: true
// gives up at once (reads fail with AVERROR_EXIT). On the thread that reads.
struct SourceInterrupt {
    const std::atomic<bool>* stop = nullptr;
    std::function<bool()> caller;  // the starter's own reason, e.g. a pending Ctrl+C
    bool operator()() const { return (stop && *stop) || (caller && caller()); }
};

// FFmpeg's form of `interrupt` for an input context; none when null.
AVIOInterruptCB interruptCallback(const SourceInterrupt* interrupt);

// A FIFO, socket or device that sends nothing this long after opening is
// given up on, so a start never hangs on a source nobody feeds.
inline constexpr int kFirstDataTimeoutSeconds = 10;

// Fails with a message for the user when the file cannot be opened or holds
// neither decodable audio nor video. `interrupt`, when given, must outlive
// `source`. The first look at a regular file (lookAtSource) is the caller's
// to take once this has answered.
Status openMediaSource(const std::string& path, MediaSource& source,
                       const SourceInterrupt* interrupt = nullptr);

// After the first look: a picture whose decoder opens but yields no picture
// in the look nor in a longer try, beside sound, is left out as one that
// cannot open, rather than the sound lost with it. (A picture that fails
// later keeps its stream.)
void leaveOutPictureless(const std::string& path, MediaSource& source,
                         const SourceInterrupt* interrupt);

// The source's regular file opened once more, for reading ahead of the job
// at places of its own (the first look); null when it
// cannot be. The same demuxer numbers the streams as the job's opening did,
// except streams found only by probing.
InputContextPtr reopenSourceFile(const std::string& path, const SourceInterrupt* interrupt);

// Opens a decoder for one of the source's streams; `threadCount` 0 lets
// FFmpeg choose.
Status openDecoder(const AVStream& stream, int threadCount, CodecContextPtr& decoder);

// A source's numbers are whatever its header says, up to the largest its
// fields hold; once opened, they are held to what a RealMedia file can state,
// so that no sum or product of them overflows. Times: 32-bit milliseconds
// (49.7 days). The clock's origin, in microseconds: within 2^53 either way
// (285 years), which any clock a recording keeps fits in. Frame rates: the
// 16.16 fixed point of a video stream's header.
inline constexpr std::int64_t kLongestMs = 0xFFFFFFFF;
inline constexpr std::int64_t kFurthestStartUs = std::int64_t{1} << 53;
inline constexpr double kFastestFrameRate = 65535;
// `seconds` as whole milliseconds within that; 0 for none, less, or not a number.
std::int64_t clampedMs(double seconds);

// Frame rates outside this range are not what a camera or a screen
// recorder writes; such a claim is a damaged or hand-made header.
inline constexpr double kSlowestPlausibleFps = 1.0;
inline constexpr double kFastestPlausibleFps = 1000.0;
inline bool plausibleFps(double fps) {
    return fps >= kSlowestPlausibleFps && fps <= kFastestPlausibleFps;
}

}  // namespace velmora::encoder
