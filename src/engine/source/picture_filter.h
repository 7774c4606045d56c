#pragma once
// The source's picture as FFmpeg tells it: its colours from the stream and
// its first pictures, its combing measured in the first look, and filters
// of libavfilter (a deinterlacer, the light's conversion) that the video
// stage runs in the ffmpeg CLI's own syntax, so --print-plan repeats them.

#include <functional>
#include <memory>
#include <string>

#include "engine/core/ffmpeg_ptr.h"
#include "engine/plan/picture_conversion.h"

extern "C" {
#include <libavfilter/avfilter.h>
}

namespace velmora::encoder {

// What the stream states of its colours and fields.
SourceColour colourOf(const AVStream& stream);
FieldOrder fieldOrderOf(const AVStream& stream);

// Fills what `colour` leaves unstated from a decoded picture: HEVC states
// its light levels (and some streams their colours) only in the pictures.
void addPictureFacts(const AVFrame& picture, SourceColour& colour);

// Judges frames between the frame before and the frame after them by their
// combing, as FFmpeg's idet judges a single frame (on the luma).
class CombingCount {
  public:
    // The next decoded picture of a run of consecutive ones; `first` starts
    // a run (the first look jumps between places).
    void add(const AVFrame& picture, bool first);
    const FieldCounts& counts() const { return counts_; }

  private:
    FramePtr before_, middle_;
    FieldCounts counts_;
};

struct FilterGraphFree {
    void operator()(AVFilterGraph* g) const { avfilter_graph_free(&g); }
};
using FilterGraphPtr = std::unique_ptr<AVFilterGraph, FilterGraphFree>;

// A chain of libavfilter's filters, on one thread. The graph is built at
// the first frame, and again when the frames' size or format changes.
class PictureFilter {
  public:
    explicit PictureFilter(std::string chain = {}) : chain_(std::move(chain)) {}
    bool empty() const { return chain_.empty(); }

    // Filters `in` (null at the end, which passes on what the filters
    // still hold), handing each frame that comes out to `take`, its
    // timestamps in `timeBase` as the frames in.
    Status filter(const AVFrame* in, AVRational timeBase,
                  const std::function<Status(FramePtr)>& take);

  private:
    Status build(const AVFrame& like, AVRational timeBase);
    Status drain(AVRational timeBase, const std::function<Status(FramePtr)>& take);

    std::string chain_;
    FilterGraphPtr graph_;
    AVFilterContext* source_ = nullptr;
    AVFilterContext* sink_ = nullptr;
    int width_ = 0, height_ = 0, format_ = -1;
};

}  // namespace velmora::encoder
