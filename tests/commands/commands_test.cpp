// About box, home page, help, and ending the logon after a compression.

#include <QMessageBox>
#include <functional>

#include "platform/ansi.h"
#include "platform/countdown.h"
#include "platform/encoder_contract.h"
#include "support/window_fixture.h"

namespace velmora::testing {
namespace {

template <typename Countdown>
class CommandsFixture : public BasicWindowTest<Countdown> {
  protected:
    void SetUp() override {
        BasicWindowTest<Countdown>::SetUp();
        this->load();
        this->template get<QLineEdit>("Textopen")->setText("/media/a.mp4");
    }
    void complete() {
        this->encoder.raise(encoder::event::Completed, Variant::string("/out/a.rm"),
                            Variant::long_(1), Variant::long_(100), Variant::long_(1000));
    }
    bool switchOn() const { return this->action("a33")->isChecked(); }
};
using CommandsTest = CommandsFixture<RecordingCountdown>;
// The window with the real question and countdown, answered by keys and clicks.
using LogoffQuestionTest = CommandsFixture<QtLogoffCountdown>;

TEST_F(CommandsTest, AboutHandsTheShellTheProductTexts) {
    action("a43")->trigger();
    ASSERT_EQ(shell.aboutCalls().size(), 1u);
    const auto& about = shell.aboutCalls()[0];
    EXPECT_EQ(about.ownerWindow, window->hWnd());
    EXPECT_EQ(about.iconHandle, window->hIcon());
    EXPECT_EQ(about.applicationText, ansi::toAnsi(QStringLiteral("Velmora窗口")));
    const QString other = ansi::toQString(about.otherText);
    const QStringList lines = other.split(QStringLiteral("\r\n"));
    ASSERT_EQ(lines.size(), 3) << other.toStdString();
    EXPECT_EQ(lines[0], "Velmorav1.0");
    EXPECT_TRUE(lines[1].contains("Velmora"));
    EXPECT_TRUE(lines[2].contains("Velmora"));
}

TEST_F(CommandsTest, HomePageOpensTheAddressThroughTheShell) {
    action("a42")->trigger();
    ASSERT_EQ(shell.executeCalls().size(), 1u);
    const auto& call = shell.executeCalls()[0];
    EXPECT_EQ(call.window, window->hWnd());
    EXPECT_EQ(call.verb, "open");
    EXPECT_TRUE(QString::fromStdString(call.file).startsWith("https://"));
    EXPECT_EQ(call.parameters, "");
    EXPECT_EQ(call.directory, "");
    EXPECT_EQ(call.showCommand, 1);
}

TEST_F(CommandsTest, HelpShowsHowToUseTheProgram) {
    action("a41")->trigger();
    ASSERT_EQ(messageBox.shown().size(), 1u);
    EXPECT_EQ(messageBox.shown()[0].title, "帮助主题");
    EXPECT_TRUE(messageBox.shown()[0].text.contains("Ctrl+B"));
}

TEST_F(CommandsTest, SwitchOnlyTogglesWhileRunningOrAfterAStop) {
    action("a21")->trigger();
    action("a33")->trigger();
    EXPECT_TRUE(switchOn());
    action("a33")->trigger();
    EXPECT_FALSE(switchOn());
    action("a22")->trigger();  // "用户停止"
    action("a33")->trigger();
    EXPECT_TRUE(switchOn());
    action("a33")->trigger();
    EXPECT_TRUE(shell.exitCalls().empty());
    EXPECT_TRUE(countdown.starts().empty());
}

TEST_F(CommandsTest, SettingTheSwitchAfterCompletionAsksThenCountsDownClearingNever) {
    action("a21")->trigger();
    complete();
    action("a33")->trigger();
    EXPECT_TRUE(shell.exitCalls().empty()) << "the logon ended without a countdown";
    EXPECT_EQ(countdown.questions(), std::vector<int>({30}));
    EXPECT_TRUE(countdown.starts().empty()) << "a countdown runs before the answer";
    ASSERT_TRUE(countdown.answer(LogoffWhen::Now));
    ASSERT_EQ(countdown.starts(), std::vector<int>({30}));
    ASSERT_TRUE(countdown.finish(true));
    ASSERT_EQ(shell.exitCalls().size(), 1u);
    EXPECT_EQ(shell.exitCalls()[0].reserved, 0u);
    EXPECT_EQ(shell.exitCalls()[0].returnCode, 0u);

    action("a33")->trigger();  // cleared
    EXPECT_FALSE(switchOn());
    EXPECT_EQ(countdown.starts().size(), 1u);
    EXPECT_EQ(shell.exitCalls().size(), 1u);
}

// Finish job 1, tick the switch for job 2, start job 2 at once: the
// countdown of job 1 must not cut job 2 off; job 2's end counts down again.
TEST_F(CommandsTest, AStartOrAStopEndsTheCountdownAndKeepsTheSwitch) {
    for (const char* entry : {"a21", "start", "a22", "stop", "Cmdstop"}) {
        SCOPED_TRACE(entry);
        action("a21")->trigger();
        if (!switchOn()) action("a33")->trigger();
        complete();
        ASSERT_TRUE(countdown.running());
        if (std::string_view(entry) == "Cmdstop")
            window->Cmdstop_Click();  // the button is greyed after a job
        else
            action(entry)->trigger();
        EXPECT_FALSE(countdown.running());
        EXPECT_TRUE(switchOn());
        EXPECT_TRUE(shell.exitCalls().empty());
        if (timerOn()) {  // a job runs
            complete();
            EXPECT_TRUE(countdown.running()) << "the next job's end counts down again";
        }
    }
}

TEST_F(CommandsTest, SwitchSetBeforeTheJobCountsDownThenEndsTheLogon) {
    action("a33")->trigger();
    action("a21")->trigger();
    EXPECT_TRUE(countdown.starts().empty());
    EXPECT_TRUE(countdown.questions().empty());
    complete();
    ASSERT_EQ(countdown.starts(), std::vector<int>({30}));
    // The countdown learns from the desktop whether programs may save first.
    EXPECT_EQ(countdown.logoffWay(), std::nullopt);
    ASSERT_TRUE(shell.answerLogoffWay(LogoffWay::EndSession));
    EXPECT_EQ(countdown.logoffWay(), LogoffWay::EndSession);
    EXPECT_TRUE(shell.exitCalls().empty());
    ASSERT_TRUE(countdown.finish(true));
    EXPECT_EQ(shell.exitCalls().size(), 1u);
}

TEST_F(CommandsTest, CancellingTheCountdownClearsTheSwitchAndKeepsTheLogon) {
    action("a33")->trigger();
    action("a21")->trigger();
    complete();
    ASSERT_TRUE(countdown.finish(false));
    EXPECT_FALSE(switchOn());
    EXPECT_TRUE(shell.exitCalls().empty());

    // Clearing the switch during a countdown cancels it as well.
    action("a21")->trigger();
    action("a33")->trigger();
    complete();
    ASSERT_TRUE(countdown.running());
    action("a33")->trigger();
    EXPECT_FALSE(countdown.running());
    EXPECT_TRUE(shell.exitCalls().empty());
}

// Ticked after a finished job, the switch asks when; only 现在注销 counts
// down, and neither Return nor Escape nor the close box ends the logon.
TEST_F(LogoffQuestionTest, OnlyNowCountsDownAndAfterNextJobArmsTheNextJob) {
    struct Case {
        const char* how;
        std::function<void(QMessageBox*)> answer;
        bool countsDown;
        bool switchStaysOn;
    };
    auto click = [](const char* button) {
        return [button](QMessageBox* q) {
            QTest::mouseClick(q->findChild<QPushButton*>(button), Qt::LeftButton);
        };
    };
    auto key = [](Qt::Key k) { return [k](QMessageBox* q) { QTest::keyClick(q, k); }; };
    const Case cases[] = {
        {"现在注销", click("logoffNow"), true, true},
        {"下一次压缩完成后注销", click("logoffAfterNextJob"), false, true},
        {"取消", click("logoffNever"), false, false},
        {"Return", key(Qt::Key_Return), false, true},
        {"Escape", key(Qt::Key_Escape), false, false},
        {"close box", [](QMessageBox* q) { q->close(); }, false, false},
    };
    action("a21")->trigger();
    complete();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.how);
        ASSERT_EQ(text("Labelface"), "压缩完成");
        action("a33")->trigger();
        QMessageBox* question = countdown.question();
        ASSERT_NE(question, nullptr);
        ASSERT_TRUE(question->isVisible());
        EXPECT_EQ(question->findChild<QPushButton*>("logoffNow")->text(), "现在注销（30 秒后）");
        EXPECT_FALSE(countdown.running()) << "counting down before the answer";
        c.answer(question);
        EXPECT_FALSE(question->isVisible());
        EXPECT_FALSE(countdown.asking());
        EXPECT_EQ(countdown.running(), c.countsDown);
        EXPECT_EQ(switchOn(), c.switchStaysOn);
        if (c.switchStaysOn && !c.countsDown) {
            // Armed for the next job, whose end counts down.
            action("a21")->trigger();
            complete();
            EXPECT_TRUE(countdown.running());
        }
        if (switchOn()) action("a33")->trigger();  // cleared: back to no switch
        EXPECT_FALSE(countdown.running());
        EXPECT_TRUE(shell.exitCalls().empty());
    }
}

}  // namespace
}  // namespace velmora::testing
