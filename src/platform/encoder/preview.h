#pragma once
// What a running job shows to whoever watches it: now and then a picture of
// the source beside the same picture as the output decodes it, and running
// totals. The job only ever writes here; a viewer reads at its own pace.

#include <atomic>
#include <cstdint>

#include "platform/encoder/ffmpeg_ptr.h"
#include "platform/encoder/latest_slot.h"

namespace velmora::encoder {

struct PreviewFrames {
    FramePtr source;  // yuv420p at the output's size
    FramePtr output;  // the same frame decoded from our own packets
    std::int64_t timeMs = 0;
};

struct JobPreview {
    // At most this often the job pays for copying a pair of pictures.
    static constexpr std::int64_t kIntervalMs = 200;

    LatestSlot<PreviewFrames> frames;
    std::atomic<std::int64_t> encodedMs{0};  // of the source, written so far
    std::atomic<std::int64_t> bytes{0};      // of the output, so far
};

}  // namespace velmora::encoder
