#include "platform/countdown.h"

#include <gtest/gtest.h>

#include <QLabel>
#include <QPushButton>
#include <QtTest/QTest>

#include "support/recording_shell.h"

namespace velmora {
namespace {

QString shownText(const QtLogoffCountdown& c) {
    return c.dialog()->findChild<QLabel*>("countdownText")->text();
}

bool shown(const QtLogoffCountdown& c) {
    return c.dialog() && c.dialog()->isVisible();
}

// A clock that never ticks by itself: the test calls tick().
constexpr int kHour = 3600 * 1000;

TEST(QtLogoffCountdown, CountsEverySecondThenConfirmsOnce) {
    QtLogoffCountdown countdown(nullptr, kHour);
    std::vector<bool> answers;
    countdown.start(3, [&](bool confirmed) { answers.push_back(confirmed); });
    EXPECT_TRUE(shown(countdown));
    EXPECT_FALSE(countdown.dialog()->isModal());
    EXPECT_EQ(shownText(countdown), QStringLiteral("压缩完成，将在 3 秒后注销。"));
    countdown.tick();
    EXPECT_EQ(shownText(countdown), QStringLiteral("压缩完成，将在 2 秒后注销。"));
    countdown.tick();
    EXPECT_TRUE(answers.empty());
    countdown.tick();
    EXPECT_EQ(answers, std::vector<bool>{true});
    EXPECT_FALSE(shown(countdown));
    EXPECT_FALSE(countdown.running());
    countdown.tick();
    countdown.cancel();
    EXPECT_EQ(answers.size(), 1u);
}

TEST(QtLogoffCountdown, CancelButtonAndCloseBoxBothCancel) {
    QtLogoffCountdown countdown(nullptr, kHour);
    std::vector<bool> answers;
    auto record = [&](bool confirmed) { answers.push_back(confirmed); };

    countdown.start(30, record);
    countdown.tick();
    QTest::mouseClick(countdown.dialog()->findChild<QPushButton*>("countdownCancel"),
                      Qt::LeftButton);
    EXPECT_EQ(answers, std::vector<bool>{false});
    EXPECT_FALSE(shown(countdown));

    countdown.start(30, record);
    EXPECT_EQ(shownText(countdown),
              QStringLiteral("压缩完成，将在 30 秒后注销。"));  // starts afresh
    countdown.dialog()->close();
    EXPECT_EQ(answers, (std::vector<bool>{false, false}));
    for (int i = 0; i < 40; ++i) countdown.tick();
    EXPECT_EQ(answers.size(), 2u);
}

TEST(QtLogoffCountdown, StartingAgainCancelsTheEarlierOne) {
    QtLogoffCountdown countdown(nullptr, kHour);
    std::vector<int> answers;
    countdown.start(5, [&](bool confirmed) { answers.push_back(confirmed ? 1 : -1); });
    countdown.start(1, [&](bool confirmed) { answers.push_back(confirmed ? 2 : -2); });
    countdown.tick();
    EXPECT_EQ(answers, (std::vector<int>{-1, 2}));
}

TEST(QtLogoffCountdown, AnswerMayStartTheNextCountdown) {
    QtLogoffCountdown countdown(nullptr, kHour);
    int rounds = 0;
    std::function<void(bool)> again = [&](bool) {
        if (++rounds < 2) countdown.start(1, again);
    };
    countdown.start(1, again);
    countdown.tick();
    EXPECT_TRUE(countdown.running());
    EXPECT_TRUE(shown(countdown));
    countdown.tick();
    EXPECT_EQ(rounds, 2);
    EXPECT_FALSE(countdown.running());
}

TEST(QtLogoffCountdown, RunsOnItsOwnTimerWithoutBlocking) {
    QtLogoffCountdown countdown(nullptr, 5);
    bool confirmed = false;
    countdown.start(3, [&](bool c) { confirmed = c; });
    EXPECT_FALSE(confirmed);  // start() came back before the end
    QTRY_VERIFY_WITH_TIMEOUT(confirmed, 2000);
}

TEST(QtLogoffCountdown, IsAWindowOfItsOwnThatItsParentMayDelete) {
    auto window = std::make_unique<QWidget>();
    QtLogoffCountdown countdown;
    countdown.setParent(window.get());
    EXPECT_EQ(countdown.dialog(), nullptr);
    std::vector<bool> answers;
    countdown.start(30, [&](bool confirmed) { answers.push_back(confirmed); });
    ASSERT_NE(countdown.dialog(), nullptr);
    EXPECT_EQ(countdown.dialog()->parentWidget(), window.get());
    EXPECT_TRUE(countdown.dialog()->isWindow());
    EXPECT_TRUE(shown(countdown));  // also while the window itself is hidden

    window.reset();
    EXPECT_EQ(countdown.dialog(), nullptr);
    countdown.tick();
    countdown.cancel();
    EXPECT_EQ(answers, std::vector<bool>{false});
}

TEST(RecordingCountdown, TestDecidesHowItEnds) {
    testing::RecordingCountdown countdown;
    std::vector<bool> answers;
    EXPECT_FALSE(countdown.finish(true));
    countdown.start(30, [&](bool c) { answers.push_back(c); });
    EXPECT_TRUE(countdown.running());
    EXPECT_TRUE(countdown.finish(true));
    countdown.start(30, [&](bool c) { answers.push_back(c); });
    countdown.cancel();
    EXPECT_FALSE(countdown.finish(true));
    EXPECT_EQ(answers, (std::vector<bool>{true, false}));
    EXPECT_EQ(countdown.starts(), (std::vector<int>{30, 30}));
    EXPECT_EQ(countdown.cancels(), 1);
}

}  // namespace
}  // namespace velmora
