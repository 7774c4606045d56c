// Starting, stopping, progress and completion through every entry point.

#include <QApplication>
#include <QMenu>
#include <QTest>

#include "platform/encoder_contract.h"
#include "support/window_fixture.h"

namespace velmora::testing {
namespace {

using namespace encoder;

class JobTest : public WindowTest {
  protected:
    void SetUp() override {
        WindowTest::SetUp();
        load();
        get<QLineEdit>("Textopen")->setText("/media/源.mp4");
        get<QLineEdit>("Textsave")->setText("/media/输出.rm");
    }
    void start() { QTest::mouseClick(get<QPushButton>("Cmdstart"), Qt::LeftButton); }
    void stop() { QTest::mouseClick(get<QPushButton>("Cmdstop"), Qt::LeftButton); }
    void expectState(bool startOn, bool stopOn, bool timer, const QString& face,
                     const QString& mul) {
        EXPECT_EQ(enabled("Cmdstart"), startOn);
        EXPECT_EQ(enabled("Cmdstop"), stopOn);
        EXPECT_EQ(timerOn(), timer);
        EXPECT_EQ(text("Labelface"), face);
        EXPECT_EQ(text("Labelmul"), mul);
    }
    // Clicks a button, triggers a menu action, or presses a shortcut.
    void click(const char* button) { QTest::mouseClick(get<QPushButton>(button), Qt::LeftButton); }
    void trigger(const char* actionName) { action(actionName)->trigger(); }
};

TEST_F(JobTest, EachStartEntryPointRunsTheSameSteps) {
    const std::vector<std::pair<const char*, std::function<void()>>> entries = {
        {"Cmdstart", [this] { click("Cmdstart"); }},
        {"a21", [this] { trigger("a21"); }},
        {"start (tray)", [this] { trigger("start"); }},
    };
    for (const auto& [name, fire] : entries) {
        SCOPED_TRACE(name);
        encoder.clear();
        fire();
        ASSERT_EQ(encoder.calls().size(), 5u);
        EXPECT_EQ(encoder.calls()[0].id, prop::InputFilename);
        EXPECT_EQ(encoder.calls()[0].value, Variant::string(""));
        EXPECT_EQ(encoder.calls()[1].id, prop::OutputFilename);
        EXPECT_EQ(encoder.calls()[1].value, Variant::string(""));
        EXPECT_EQ(encoder.calls()[2].value, Variant::string("/media/源.mp4"));
        EXPECT_EQ(encoder.calls()[3].value, Variant::string("/media/输出.rm"));
        EXPECT_EQ(encoder.calls()[4].kind, EncoderCall::Kind::Invoke);
        EXPECT_EQ(encoder.calls()[4].id, op::Start);
        expectState(false, true, true, "压缩开始....", "共一个文件");
        EXPECT_EQ(text("Labeltime"), "00:00:00");
        EXPECT_EQ(get<QTimer>("Timer")->interval(), 1000);
        trigger("a22");  // back to a stopped window for the next entry point
    }
}

TEST_F(JobTest, EachStopEntryPointRunsTheSameSteps) {
    const std::vector<std::pair<const char*, std::function<void()>>> entries = {
        {"Cmdstop", [this] { click("Cmdstop"); }},
        {"a22", [this] { trigger("a22"); }},
        {"stop (tray)", [this] { trigger("stop"); }},
    };
    for (const auto& [name, fire] : entries) {
        SCOPED_TRACE(name);
        start();
        window->Timer_Timer();
        window->Timer_Timer();
        encoder.clear();
        fire();
        EXPECT_EQ(encoder.ids(), std::vector<DispId>({op::Stop}));
        expectState(true, false, false, "用户停止", "共压缩一个文件");
        EXPECT_EQ(text("Labeltime"), "00:00:02");  // the clock keeps its value
    }
}

TEST_F(JobTest, ShortcutsRunStartAndStop) {
    window->show();
    QApplication::setActiveWindow(window.get());
    ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
    QTest::keyClick(window.get(), Qt::Key_B, Qt::ControlModifier);
    EXPECT_EQ(encoder.count(op::Start), 1);
    QTest::keyClick(window.get(), Qt::Key_S, Qt::ControlModifier);
    EXPECT_EQ(encoder.count(op::Stop), 1);
    QTest::keyClick(window.get(), Qt::Key_H, Qt::ControlModifier);
    EXPECT_FALSE(window->isVisible());
}

TEST_F(JobTest, EveryStartEntryPointDoesNothingWhileAJobRuns) {
    window->show();
    QApplication::setActiveWindow(window.get());
    ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
    const std::vector<std::pair<const char*, std::function<void()>>> entries = {
        {"a21", [this] { trigger("a21"); }},
        {"start (tray)", [this] { trigger("start"); }},
        {"Ctrl+B", [this] { QTest::keyClick(window.get(), Qt::Key_B, Qt::ControlModifier); }},
        {"Cmdstart", [this] { click("Cmdstart"); }},
    };
    start();
    for (int i = 0; i < 5; ++i) window->Timer_Timer();
    encoder.raiseProgress(29);
    encoder.clear();
    for (const auto& [name, fire] : entries) {
        SCOPED_TRACE(name);
        fire();
        EXPECT_TRUE(encoder.calls().empty());
        EXPECT_EQ(text("Labeltime"), "00:00:05");
        expectState(false, true, true, "压缩开始....", "以压缩29%");
        // The entries stay available; the procedure itself refuses.
        EXPECT_TRUE(action("a21")->isEnabled());
        EXPECT_TRUE(action("start")->isEnabled());
    }
}

TEST_F(JobTest, StopWithNoJobCallsTheEncoderButChangesNothingOnScreen) {
    stop();
    EXPECT_EQ(encoder.ids(), std::vector<DispId>({op::Stop}));
    expectState(true, true, false, "请选择文件", "");
    EXPECT_EQ(text("Labeltime"), "00:00:00");

    // After a finished job nothing was stopped either.
    start();
    window->Timer_Timer();
    encoder.raise(event::Completed, Variant::string("/media/输出.rm"), Variant::long_(1000),
                  Variant::long_(100), Variant::long_(5000));
    for (const char* entry : {"Cmdstop", "a22", "stop"}) {
        SCOPED_TRACE(entry);
        if (std::string_view(entry) == "Cmdstop")
            window->Cmdstop_Click();  // the button itself is greyed now
        else
            trigger(entry);
        expectState(true, false, false, "压缩完成", "卡哇伊！");
        EXPECT_EQ(text("Labeltime"), "00:00:01");
    }
}

TEST_F(JobTest, WhatTheEncoderReportsOfAnEndedJobChangesNothing) {
    start();
    stop();
    encoder.raiseProgress(99);
    encoder.raise(event::Completed, Variant::string("/media/输出.rm"), Variant::long_(1000),
                  Variant::long_(100), Variant::long_(5000));
    encoder.raise(event::Error, Variant::long_(errorCodeOf(ErrorKind::Internal)),
                  Variant::string("晚到的错误"), Variant::long_(0), Variant::long_(0));
    expectState(true, false, false, "用户停止", "共压缩一个文件");
    EXPECT_TRUE(messageBox.shown().empty());
}

TEST_F(JobTest, EmptySourceIsRefusedButBlanksAndAnEmptyDestinationPass) {
    get<QLineEdit>("Textopen")->clear();
    start();
    ASSERT_EQ(messageBox.shown().size(), 1u);
    EXPECT_EQ(messageBox.shown()[0].text, "请选择要压制文件！！！");
    EXPECT_EQ(messageBox.shown()[0].title, "提示");
    EXPECT_FALSE(messageBox.shown()[0].warning);  // a hint, not an error
    EXPECT_TRUE(encoder.calls().empty());
    expectState(true, true, false, "请选择文件", "");

    get<QLineEdit>("Textopen")->setText("   ");
    get<QLineEdit>("Textsave")->clear();
    start();
    EXPECT_EQ(encoder.callsOf(prop::InputFilename).back().value, Variant::string("   "));
    EXPECT_EQ(encoder.callsOf(prop::OutputFilename).back().value, Variant::string(""));
    EXPECT_EQ(encoder.count(op::Start), 1);
}

TEST_F(JobTest, ProgressShowsThePercentageAsAPlainNumber) {
    start();
    for (const auto& [percent, shown] : std::vector<std::pair<int, QString>>{
             {0, "以压缩0%"}, {45, "以压缩45%"}, {100, "以压缩100%"}, {-3, "以压缩-3%"}}) {
        encoder.raiseProgress(percent);
        EXPECT_EQ(text("Labelmul"), shown);
    }
    // Other notifications leave the texts alone.
    encoder.raise(event::Started, Variant::string("a"), Variant::string("b"), Variant::long_(0),
                  Variant::long_(0));
    encoder.raise(event::Statistics);
    EXPECT_EQ(text("Labelmul"), "以压缩-3%");
    EXPECT_EQ(text("Labelface"), "压缩开始....");
}

TEST_F(JobTest, CompletionFinishesTheJobAndANewStartRunsAgain) {
    start();
    window->Timer_Timer();
    encoder.raise(event::Completed, Variant::string("/media/输出.rm"), Variant::long_(1000),
                  Variant::long_(100), Variant::long_(5000));
    expectState(true, false, false, "压缩完成", "卡哇伊！");
    EXPECT_EQ(text("Labeltime"), "00:00:01");
    start();
    expectState(false, true, true, "压缩开始....", "共一个文件");
}

TEST_F(JobTest, AnimationGoesOnFromItsPhaseAcrossStopAndStart) {
    start();
    for (int i = 0; i < 3; ++i) window->Timer_Timer();
    EXPECT_EQ(text("Labelface"), "压缩开始..");
    stop();
    start();
    window->Timer_Timer();
    EXPECT_EQ(text("Labelface"), "压缩开始...");
    EXPECT_EQ(text("Labeltime"), "00:00:01");
}

TEST_F(JobTest, AnEncoderThatRefusesToStartLeavesAStoppedWindow) {
    encoder.failOn(op::Start, "无法打开源文件：/media/源.mp4");
    start();
    ASSERT_EQ(messageBox.shown().size(), 1u);
    EXPECT_EQ(messageBox.shown()[0].text, "无法打开源文件：/media/源.mp4");
    EXPECT_EQ(messageBox.shown()[0].title, "提示");
    EXPECT_TRUE(messageBox.shown()[0].warning);
    expectState(true, false, false, "压缩出错", "未生成文件");
    EXPECT_EQ(programEnds, 0);
}

TEST_F(JobTest, AnErrorDuringTheJobIsShownAndTheNextJobCanStart) {
    start();
    window->Timer_Timer();
    encoder.raise(event::Error, Variant::long_(errorCodeOf(ErrorKind::DiskFull)),
                  Variant::string("磁盘已满"), Variant::long_(40), Variant::long_(0));
    ASSERT_EQ(messageBox.shown().size(), 1u);
    EXPECT_EQ(messageBox.shown()[0].text, "磁盘已满");
    EXPECT_TRUE(messageBox.shown()[0].warning);
    expectState(true, false, false, "压缩出错", "未生成文件");
    start();
    EXPECT_EQ(encoder.count(op::Start), 2);
    expectState(false, true, true, "压缩开始....", "共一个文件");
    // A set whose named file took its name before a later one failed: the
    // window does not say that nothing was made.
    encoder.raise(event::Error, Variant::long_(errorCodeOf(ErrorKind::DiskFull)),
                  Variant::string("讲座-512k.rm：磁盘已满"), Variant::long_(99),
                  Variant::long_(51'200));
    expectState(true, false, false, "压缩出错", "部分文件已保存");
}

// From the start that went through until the job ends, however it ends, the
// machine is held awake; a start the encoder refuses holds nothing.
TEST_F(JobTest, AJobKeepsTheMachineAwakeUntilItEnds) {
    const std::vector<std::pair<const char*, std::function<void()>>> ends = {
        {"stopped", [this] { stop(); }},
        {"completed",
         [this] {
             encoder.raise(event::Completed, Variant::string("/media/输出.rm"),
                           Variant::long_(1000), Variant::long_(100), Variant::long_(5000));
         }},
        {"failed",
         [this] {
             encoder.raise(event::Error, Variant::long_(errorCodeOf(ErrorKind::DiskFull)),
                           Variant::string("磁盘已满"), Variant::long_(40), Variant::long_(0));
         }},
    };
    for (const auto& [how, end] : ends) {
        SCOPED_TRACE(how);
        start();
        EXPECT_TRUE(shell.awake());
        EXPECT_EQ(shell.keepAwakeCalls().back(), u"正在压缩 源.mp4");
        end();
        EXPECT_FALSE(shell.awake());
    }
    const std::size_t holds = shell.keepAwakeCalls().size();
    encoder.failOn(op::Start, "无法打开源文件");
    start();
    EXPECT_EQ(shell.keepAwakeCalls().size(), holds);
    EXPECT_FALSE(shell.awake());
}

}  // namespace
}  // namespace velmora::testing
