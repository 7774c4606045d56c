#pragma once
// The source's timeline as the reader meets it, packet by packet, with the
// stretches in which no stream has any data cut out where nothing says they
// belong there. A recording whose clock jumps ten hours after two seconds
// then plays its four seconds straight through instead of holding one
// picture for ten hours; a screen recording that sent no frame while the
// screen stood still for 18 s (its length counts them) keeps its 18 s.

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <iterator>

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
    // own timeline (packets in the order the file stores them). At most a
    // few steps a packet, however often the clock jumps.
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
            closed_ += gap;
            gaps_.push_back({frontier_, closed_});
            if (gaps_.size() > kRememberedGaps) {
                forgotten_ = gaps_.front().closedBy;
                gaps_.pop_front();
            }
        }
        if (end > frontier_) frontier_ = end;
        return closedBefore(start);
    }

    // A packet's timestamps, ticks of `unit` seconds on a clock that starts
    // at `origin` seconds, moved back by the gaps closed before it, so that
    // every stage after the reader sees one unbroken timeline. `none` is a
    // timestamp not given; a time moved past what one can hold becomes it.
    void close(std::int64_t& pts, std::int64_t& dts, std::int64_t duration, double unit,
               double origin, std::int64_t none) {
        const std::int64_t at = pts != none ? pts : dts;
        if (at == none) return;
        const double start = at * unit - origin;
        const double length = std::min(std::max<std::int64_t>(duration, 0) * unit, kLongestKeptGap);
        const double shift = shiftFor(start, start + length);
        if (shift <= 0) return;
        // The shift is no more than the packet's own time, but as a double it
        // may round past what a timestamp holds.
        const double ticks = std::round(shift / unit);
        constexpr double kFurthest = 0x1p62;
        for (std::int64_t* ts : {&pts, &dts}) {
            if (*ts == none) continue;
            const bool held = std::fabs(ticks) < kFurthest && std::fabs(*ts - ticks) < kFurthest;
            *ts = held ? *ts - static_cast<std::int64_t>(ticks) : none;
        }
    }

    // Seconds cut out so far.
    double closedSeconds() const { return closed_; }
    // Where the media seen so far ends, gaps left in.
    double frontier() const { return frontier_; }
    bool started() const { return started_; }

  private:
    // Gaps remembered for packets that come late (streams stored apart may
    // still bring packets from before a gap): a packet from before the
    // oldest of them is taken to come after the ones forgotten.
    static constexpr std::size_t kRememberedGaps = 4096;

    struct Gap {
        double start;     // where the media before it ended
        double closedBy;  // seconds closed up to its end, it included
    };

    // What the gaps that start before `start` closed.
    double closedBefore(double start) const {
        if (gaps_.empty() || gaps_.back().start < start) return closed_;
        // The gaps start where the frontier was, which only grows: in order.
        const auto after = std::lower_bound(gaps_.begin(), gaps_.end(), start,
                                            [](const Gap& g, double at) { return g.start < at; });
        return after == gaps_.begin() ? forgotten_ : std::prev(after)->closedBy;
    }

    std::deque<Gap> gaps_;
    double frontier_ = 0, closed_ = 0, declared_ = 0, forgotten_ = 0;
    bool started_ = false;
};

}  // namespace velmora::encoder
