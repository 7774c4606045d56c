#pragma once
// Holds the picture to its share of the line when the encoder's rate control
// cannot: at the coarsest quantiser a hard picture (fast motion, fine detail
// at a low rate) still costs more than the audience's line carries, and on a
// still, noisy picture the rate control keeps refining after each coarse key
// frame. Then frames are left out, and the player shows the last one longer,
// until the excess has drained. Handing the encoder the previous picture
// instead does not help a still: the encoder refines that one just the same.
//
// The guard counts the bits sent against a constant rate from the start. A
// frame goes in when, at what the last frame that was not a key frame cost,
// it keeps the picture within the allowance ahead of that line (a player fed
// at the rate waits at most as long as the allowance takes), and when, at
// what the largest frame of the last second cost, it keeps within the
// line's share of the source's whole length, which is the file's budget.
// After a second without frames a frame's share of the line will do: one
// large frame must not keep the picture out to the end. A cut goes in as
// soon as the picture is back within the allowance, whatever its key frame
// will cost: the preroll covers that one frame, and the new scene is not
// held back behind the old one. A still frame only refines what is on
// screen, so it waits as long as it takes for room for twice the largest
// frame of the last second (or the last frame): that is how the refining
// grows.

#include <algorithm>
#include <cstdint>
#include <deque>

extern "C" {
#include <libavcodec/packet.h>
}

namespace velmora::encoder {

class RateGuard {
  public:
    // A rate of 0 lets every frame through; a whole of 0 (length unknown) sets no end.
    RateGuard(int bitsPerSecond, int fps, int allowanceBits, std::int64_t wholeBits)
        : perFrame_(fps > 0 ? static_cast<double>(bitsPerSecond) / fps : 0),
          allowance_(allowanceBits),
          whole_(static_cast<double>(wholeBits)),
          window_(std::max(1, fps)) {}

    // Once per source frame, before the encoder: false when the frame is to be
    // left out. `key`: it would be a key frame; `still`: it shows what the
    // frame before it showed.
    bool admit(bool key, bool still) {
        if (perFrame_ <= 0) return true;
        ++frames_;
        line_ += perFrame_;
        while (!recent_.empty() && recent_.front().frame <= frames_ - window_) recent_.pop_front();
        // Never more than the allowance, so that a frame which alone outgrows
        // it still goes in once the line has caught up.
        const auto atMost = [&](double bits) { return std::min(bits, allowance_); };
        bool fits = sent_ + (key ? 0 : atMost(lastBits_)) <= line_ + allowance_;
        if (whole_ > 0 && !key) {
            const double largest = !recent_.empty() ? recent_.front().bits
                                   : still          ? lastBits_
                                                    : perFrame_;
            const double expected = still ? kGrowth * largest : largest;
            // Past the source's stated end the line goes on alone.
            fits = fits && sent_ + atMost(expected) <= std::max(whole_, line_);
        }
        if (!fits) ++dropped_;
        return fits;
    }

    // Each packet the encoder returns.
    void account(const AVPacket& packet) {
        const double bits = packet.size * 8.0;
        sent_ += bits;
        if (packet.flags & AV_PKT_FLAG_KEY) return;
        lastBits_ = bits;
        // Largest first; a frame hides the smaller ones before it.
        while (!recent_.empty() && recent_.back().bits <= bits) recent_.pop_back();
        recent_.push_back({frames_, bits});
    }

    long long dropped() const { return dropped_; }

  private:
    static constexpr double kGrowth = 2;

    struct Coded {
        long long frame;
        double bits;
    };

    double perFrame_;
    double allowance_;
    double whole_;
    long long window_;  // frames in a second
    double sent_ = 0;   // bits the encoder returned
    double line_ = 0;   // bits the line carried so far, a frame's worth a frame
    long long frames_ = 0;
    double lastBits_ = 0;       // the last frame that was not a key frame
    std::deque<Coded> recent_;  // the last second's frames that were not key frames, largest first
    long long dropped_ = 0;
};

}  // namespace velmora::encoder
