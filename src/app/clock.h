#pragma once
// The elapsed-time clock and the status animation: counters that step once a
// tick. They count ticks, not wall time.

#include <QString>
#include <cstdint>

namespace velmora {

struct ElapsedClock {
    std::int16_t ElapsedSeconds = 0;
    std::int16_t ElapsedMinutes = 0;
    std::int16_t ElapsedHours = 0;
    std::int16_t DotPhase = 0;

    // Resets the time; the animation goes on from its phase.
    void resetTime() { ElapsedSeconds = ElapsedMinutes = ElapsedHours = 0; }

    // One tick: advances the time (wrapping after 23:59:59) and the
    // animation phase. Returns the phase to show (1..7); after 7 the phase
    // goes back to 0.
    int tick();

    // "hh:mm:ss" with leading zeros.
    QString timeText() const;

    // The status text for the phase reached by the last tick: "压缩开始"
    // followed by phase - 1 full stops.
    static QString animationText(int phase);
};

}  // namespace velmora
