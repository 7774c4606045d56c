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
    EXPECT_EQ(shownText(countdown),
              QStringLiteral("压缩完成，将在 3 秒后注销（结束本次登录，未保存的工作会丢失）。"));
    countdown.tick();
    EXPECT_EQ(shownText(countdown),
              QStringLiteral("压缩完成，将在 2 秒后注销（结束本次登录，未保存的工作会丢失）。"));
    // Once the desktop has said how the logon will end, the countdown says it.
    countdown.setLogoffWay(LogoffWay::SessionManager);
    EXPECT_EQ(
        shownText(countdown),
        QStringLiteral("压缩完成，将在 2 秒后注销。桌面会先请其他程序关闭，它们可以保存工作。"));
    countdown.setLogoffWay(LogoffWay::EndSession);
    EXPECT_EQ(shownText(countdown),
              QStringLiteral("压缩完成，将在 2 秒后注销。没有会话管理器回应：其他程序会被直接关闭，"
                             "来不及保存工作。"));
    countdown.tick();
    EXPECT_TRUE(shownText(countdown).contains("将在 1 秒后注销。没有会话管理器回应"));
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

    countdown.setLogoffWay(LogoffWay::EndSession);  // none runs: nothing to say
    countdown.start(30, record);
    EXPECT_TRUE(shownText(countdown).contains(" 30 秒后注销（结束本次登录"));  // starts afresh
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

// A 600 x 500 window frame on screens of several sizes, the dialog 300 x 100.
TEST(CountdownPlace, BesideTheWindowWhereThereIsRoomElseOverItsSpareArea) {
    const QSize dialog(300, 100);
    const QRect spare(300, 420, 200, 40);
    struct Case {
        const char* where;
        QRect available;
        QRect frame;
        QRect spare;
        QPoint expected;
    };
    for (const Case& c : {
             Case{"right", {0, 0, 1280, 1024}, {100, 40, 600, 500}, spare, {708, 40}},
             Case{"right, slid up", {0, 0, 1280, 1024}, {100, 950, 600, 74}, spare, {708, 924}},
             Case{"below", {0, 0, 900, 1024}, {100, 40, 600, 500}, spare, {100, 548}},
             Case{"left", {0, 0, 1000, 600}, {392, 40, 600, 500}, spare, {84, 40}},
             Case{"above", {0, 0, 640, 700}, {20, 150, 600, 500}, spare, {20, 42}},
             Case{"over the spare area", {0, 0, 640, 512}, {20, 0, 600, 500}, spare, {250, 390}},
             Case{"spare area at the screen's edge",
                  {0, 0, 640, 512},
                  {20, 0, 600, 500},
                  {300, 480, 200, 40},
                  {250, 412}},
         }) {
        SCOPED_TRACE(c.where);
        const QPoint at = asideOf(c.available, c.frame, dialog, c.spare);
        EXPECT_EQ(at, c.expected);
        EXPECT_TRUE(c.available.contains(QRect(at, dialog)));
    }
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
