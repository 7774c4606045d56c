#pragma once
// What a running job shows to whoever watches it: now and then a picture of
// the source beside the same picture as the output decodes it (the running
// totals come with the job's progress). The job only ever writes here; a
// viewer reads at its own pace.

#include <cstdint>

#include "engine/core/ffmpeg_ptr.h"
#include "engine/core/latest_slot.h"
#include "engine/core/status.h"

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
};

// A copy with its own buffers, so the viewer and the encoder never share one.
FramePtr copyPicture(const AVFrame& frame);

// The picture as 32-bit RGB (B, G, R, 0xFF in memory) at width x height,
// for a viewer to paint; null when it cannot be made.
FramePtr toRgb32(const AVFrame& frame, int width, int height);

// Decodes our own video packets as a player would, so a viewer sees what the
// file holds. Used on one thread only.
class PreviewDecoder {
  public:
    // `encoder` is the opened video encoder whose packets will come.
    Status open(const AVCodecContext& encoder);

    // Every packet goes through the decoder, since each picture builds on
    // the last; a pair goes to `preview` only when a source copy waits for
    // it (and `source` is then taken). A failure here costs only pictures.
    void show(const AVPacket& packet, AVRational timeBase, FramePtr& source, JobPreview& preview);

  private:
    CodecContextPtr decoder_;
    FramePtr frame_;
};

}  // namespace velmora::encoder
