#pragma once
// The source's timeline as the reader meets it, packet by packet, with the
// stretches in which no stream has any data cut out where nothing says they
// belong there. A recording whose clock jumps ten hours after two seconds
// then plays its four seconds straight through instead of holding one
// picture for ten hours; a screen recording that sent no frame while the
// screen stood still for 18 s (its length counts them) keeps its 18 s.

#include <cstddef>
#include <vector>

namespace velmora::encoder {

class SourceTimeline {
  public:
    // A pause this long with nothing in any stream is a break in the
    // recording, not a still moment of it (a still picture still sends its
    // sound, and a slide show its next slide within seconds).
    static constexpr double kLongestKeptGap = 5.0;
    // Longer stretches are kept when the container's own length counts
    // them, up to this: beyond it a still moment is a broken clock.
    static constexpr double kLongestCountedGap = 3600.0;

    // The source's length as its container states it (0: unknown).
    void declare(double seconds) { declared_ = seconds; }

    // Seconds to take off a packet that covers [start, end) of the source's
    // own timeline (packets in the order the file stores them).
    double shiftFor(double start, double end) {
        if (!started_) {
            started_ = true;
            frontier_ = end;
            return 0;
        }
        const double gap = start - frontier_;
        // Slack for a last frame's duration the stated length leaves out.
        constexpr double kSlack = 1.0;
        const bool counted =
            declared_ > 0 && start <= declared_ + kSlack && gap <= kLongestCountedGap;
        if (gap > kLongestKeptGap && !counted) {
            gaps_.push_back({frontier_, start - frontier_});
            closed_ += start - frontier_;
        }
        if (end > frontier_) frontier_ = end;
        // Streams stored apart may still bring packets from before a gap.
        double shift = 0;
        for (const Gap& gap : gaps_)
            if (gap.start < start) shift += gap.length;
        return shift;
    }

    // Seconds cut out so far.
    double closedSeconds() const { return closed_; }
    // Where the media seen so far ends, gaps left in.
    double frontier() const { return frontier_; }
    bool started() const { return started_; }

  private:
    struct Gap {
        double start, length;
    };
    std::vector<Gap> gaps_;
    double frontier_ = 0, closed_ = 0, declared_ = 0;
    bool started_ = false;
};

}  // namespace velmora::encoder
