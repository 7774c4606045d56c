#include "app/clock.h"

#include "texts/window_texts.h"

namespace velmora {

int ElapsedClock::tick() {
    if (++ElapsedSeconds > 59) {
        ElapsedSeconds = 0;
        ++ElapsedMinutes;
    }
    if (ElapsedMinutes > 59) {
        ElapsedMinutes = 0;
        ++ElapsedHours;
    }
    if (ElapsedHours > 23) ElapsedHours = 0;
    const int shown = ++DotPhase;
    if (DotPhase == 7) DotPhase = 0;
    return shown;
}

QString ElapsedClock::timeText() const {
    const auto two = [](int v) { return QStringLiteral("%1").arg(v, 2, 10, QLatin1Char('0')); };
    return two(ElapsedHours) + u':' + two(ElapsedMinutes) + u':' + two(ElapsedSeconds);
}

QString ElapsedClock::animationText(int phase) {
    return QString::fromUtf16(text::kStartedBase) + QString(qMax(0, phase - 1), u'.');
}

}  // namespace velmora
