#pragma once
// Holds the picture to its share of the line when the encoder's rate control
// cannot: at the coarsest quantiser a hard picture (fast motion, fine detail
// at a low rate) still costs more than the audience's line carries. Then the
// encoder gets the previous picture again, which codes to almost nothing,
// until the excess has drained. Frame count and timing stay as they are (the
// rm muxer numbers frames); only the picture repeats.
//
// The guard counts the bits sent against a constant rate from the start and
// never lets the picture run further ahead of that line than the allowance:
// a player fed at the rate waits at most as long as the allowance takes.

#include "engine/ffmpeg_ptr.h"

namespace velmora::encoder {

class RateGuard {
  public:
    // A rate of 0 lets every frame through.
    RateGuard(int bitsPerSecond, int fps, int allowanceBits)
        : perFrame_(fps > 0 ? static_cast<double>(bitsPerSecond) / fps : 0),
          allowance_(allowanceBits) {}

    // Before the encoder: swaps in the previous picture, under this frame's
    // time, when the picture has run too far ahead. False when out of memory.
    bool pass(FramePtr& frame) {
        if (perFrame_ > 0 && excess_ > allowance_ && last_) {
            FramePtr again = makeFrame();
            if (!again || av_frame_ref(again.get(), last_.get()) < 0) return false;
            again->pts = frame->pts;
            frame = std::move(again);
            ++repeated_;
        } else {
            last_ = makeFrame();
            if (!last_ || av_frame_ref(last_.get(), frame.get()) < 0) return false;
        }
        excess_ -= perFrame_;
        return true;
    }

    // Each packet the encoder returns.
    void account(const AVPacket& packet) { excess_ += packet.size * 8.0; }

    long long repeated() const { return repeated_; }

  private:
    double perFrame_;
    double allowance_;
    double excess_ = 0;  // bits sent minus bits the line carried so far
    FramePtr last_;      // the last picture that went through as itself
    long long repeated_ = 0;
};

}  // namespace velmora::encoder
