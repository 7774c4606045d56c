#include "app/clock.h"

#include <gtest/gtest.h>

#include "support/qt_printers.h"

namespace velmora {
namespace {

TEST(ElapsedClock, CountsTicksAsHoursMinutesSecondsAndWrapsAfterADay) {
    ElapsedClock c;
    c.tick();
    EXPECT_EQ(c.timeText(), "00:00:01");
    for (int i = 1; i < 65; ++i) c.tick();
    EXPECT_EQ(c.timeText(), "00:01:05");
    for (int i = 65; i < 3600; ++i) c.tick();
    EXPECT_EQ(c.timeText(), "01:00:00");
    for (int i = 3600; i < 86399; ++i) c.tick();
    EXPECT_EQ(c.timeText(), "23:59:59");
    c.tick();
    EXPECT_EQ(c.timeText(), "00:00:00");
    EXPECT_EQ(c.ElapsedHours, 0);
}

TEST(ElapsedClock, AnimationShowsSevenFramesThenStartsOver) {
    ElapsedClock c;
    QStringList frames;
    for (int i = 0; i < 8; ++i) frames << ElapsedClock::animationText(c.tick());
    EXPECT_EQ(frames, QStringList({"压缩开始", "压缩开始.", "压缩开始..", "压缩开始...",
                                   "压缩开始....", "压缩开始.....", "压缩开始......", "压缩开始"}));
    EXPECT_EQ(c.DotPhase, 1);
    c.resetTime();
    EXPECT_EQ(c.DotPhase, 1);  // a new start keeps the animation's phase
    EXPECT_EQ(c.timeText(), "00:00:00");
}

}  // namespace
}  // namespace velmora
