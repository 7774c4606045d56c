#pragma once
// The look-ahead's first pass: each picture coded once on a cheaper second
// encoder as it arrives, for what it costs. It runs on a thread of its own
// ahead of the lane (FirstPassAhead), so that the lane's thread only codes:
// at 512K the first pass costs about 0.46 ms a frame beside 1.1 ms for the
// coding, and on one thread the two made the lane the job's slowest stage.
//
// Whatever the load, the files come out the same: the first pass's
// quantiser follows only its own earlier frames, never how far the coding
// has got, and the frames keep their order through it.

#include <cstddef>
#include <functional>
#include <optional>
#include <thread>

#include "engine/core/bounded_queue.h"
#include "engine/core/ffmpeg_ptr.h"
#include "engine/core/status.h"
#include "engine/plan/encode_plan.h"

namespace velmora::encoder {

// A frame as the first pass found it.
// Texture bits shrink faster than the quantiser grows (more blocks end up
// with no coefficient at all), and grow faster still towards the fine end,
// where grain and detail the first pass dropped whole come back: the first
// pass's own aim and the look-ahead's estimates share this model.
inline constexpr double kCoarserExponent = 1.3, kFinerExponent = 1.5;

struct FrameMeasure {
    bool key = false;
    double quantiser = 0;  // the first pass's
    double texture = 0;    // bits of coefficients there, which the quantiser sets
    double other = 0;      // motion vectors and headers: bits at any quantiser
    double shape = 0;      // the look-ahead's: (texture times quantiser)^(1 - qcomp)
};

class FirstPass {
  public:
    Status open(const VideoPlan& plan);
    // Codes `frame` (at the encoder's size) once, a key frame when `key`;
    // its own type and quality are left as they were.
    Status measure(AVFrame& frame, bool key, FrameMeasure& out);

  private:
    void follow(const FrameMeasure& m);

    CodecContextPtr trial_;
    double qmin_ = 2, qmax_ = 31, keyFactor_ = 0.8;
    double perFrame_ = 0;   // the plan's rate, bits a frame
    double quantiser_ = 0;  // for the next predicted frame
    // The quantisers at which the last predicted frames would have come to
    // the plan's rate, as logarithms; the next frame gets their mean.
    double recent_[3] = {};
    std::size_t recentCount_ = 0, recentNext_ = 0;
    bool afterKey_ = false;  // the frame before was a key frame
};

// A picture ready for the look-ahead's window.
struct MeasuredFrame {
    FramePtr frame;  // at the encoder's size; AV_PICTURE_TYPE_I for a key frame
    bool still = false;
    FrameMeasure measure;
};

// The first pass on a thread of its own, up to `depth` frames ahead of the
// lane that takes them.
class FirstPassAhead {
  public:
    // The next source frame; nullopt at the source's end or when the job is
    // torn down.
    using Source = std::function<std::optional<FramePtr>()>;
    // Turns a source frame into the encoder's picture and says whether it
    // is a key frame and whether it shows what the one before it showed.
    using Prepare = std::function<Status(FramePtr& frame, bool& key, bool& still)>;

    FirstPassAhead() = default;
    FirstPassAhead(const FirstPassAhead&) = delete;
    FirstPassAhead& operator=(const FirstPassAhead&) = delete;
    ~FirstPassAhead() { stop(); }

    Status start(const VideoPlan& plan, Source source, Prepare prepare, std::size_t depth);
    // The next frame, in the source's order; nullopt once every frame has
    // come, or on a failure (then failure() says what).
    std::optional<MeasuredFrame> next() { return out_ ? out_->pop() : std::nullopt; }
    Status failure() const { return failure_; }  // once next() gave nullopt
    // Ends the thread; frames not yet taken are dropped.
    void stop();

  private:
    void run(const Source& source, const Prepare& prepare);

    FirstPass pass_;
    std::optional<BoundedQueue<MeasuredFrame>> out_;
    std::thread thread_;
    Status failure_ = Status::ok();  // the thread's, read after out_ says so
};

}  // namespace velmora::encoder
