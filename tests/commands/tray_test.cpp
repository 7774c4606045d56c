// The notification-area icon, hiding and showing, and the ways out.

#include <QCloseEvent>
#include <QMenu>

#include "platform/ansi.h"
#include "platform/encoder_contract.h"
#include "support/window_fixture.h"

namespace velmora::testing {
namespace {

using encoder::op::Start;
using encoder::op::Stop;

class TrayTest : public WindowTest {
  protected:
    void SetUp() override {
        WindowTest::SetUp();
        load();
        window->show();
    }
    void startJob() {
        get<QLineEdit>("Textopen")->setText("/media/a.mp4");
        action("a21")->trigger();
    }
};

TEST_F(TrayTest, StartUpAddsOneIconWithTheProductTip) {
    ASSERT_EQ(shell.notifyCalls().size(), 1u);
    EXPECT_EQ(shell.notifyCalls()[0].message, NotifyIconMessage::Add);
    const auto icon = parseNotifyIconRecord(shell.notifyCalls()[0].record);
    EXPECT_EQ(icon.cbSize, 88u);
    EXPECT_EQ(icon.hWnd, window->hWnd());
    EXPECT_EQ(icon.uID, window->hIcon());
    EXPECT_EQ(icon.hIcon, window->hIcon());
    EXPECT_EQ(icon.uFlags, 7u);
    EXPECT_EQ(icon.uCallbackMessage, 512u);
    EXPECT_EQ(icon.tip, "Velmorav1.0");
    // The record sent is the one the window keeps.
    EXPECT_EQ(shell.notifyCalls()[0].record, toAnsiRecord(window->module1().TrayIcon));
}

TEST_F(TrayTest, LeftPressShowsTheHiddenWindowAndKeepsTheRunningJob) {
    startJob();
    get<QCheckBox>("Check3")->setChecked(true);
    action("a23")->trigger();
    EXPECT_FALSE(window->isVisible());
    EXPECT_TRUE(timerOn());
    EXPECT_EQ(shell.count(NotifyIconMessage::Delete), 0);

    for (std::uint32_t nothing : {mouse::Move, mouse::LeftUp, mouse::LeftDblClick, 517u}) {
        ASSERT_TRUE(shell.fireIcon(nothing));
        EXPECT_FALSE(window->isVisible()) << nothing;
    }
    ASSERT_TRUE(shell.fireIcon(mouse::LeftDown));
    EXPECT_TRUE(window->isVisible());
    EXPECT_TRUE(timerOn());
    EXPECT_TRUE(get<QCheckBox>("Check3")->isChecked());
    EXPECT_EQ(get<QLineEdit>("Textopen")->text(), "/media/a.mp4");
    EXPECT_EQ(text("Labelface"), "压缩开始....");
    EXPECT_EQ(encoder.count(Stop), 0);

    action("a23")->trigger();
    action("xiansi")->trigger();
    EXPECT_TRUE(window->isVisible());
}

TEST_F(TrayTest, LeftPressAndShowBringBackAMinimisedWindow) {
    const std::vector<std::pair<const char*, std::function<void()>>> ways = {
        {"left press", [this] { ASSERT_TRUE(shell.fireIcon(mouse::LeftDown)); }},
        {"xiansi", [this] { action("xiansi")->trigger(); }},
    };
    for (const auto& [name, bringBack] : ways) {
        SCOPED_TRACE(name);
        window->showMinimized();
        ASSERT_TRUE(window->isMinimized());
        bringBack();
        EXPECT_FALSE(window->isMinimized());
        EXPECT_TRUE(window->isVisible());
    }
}

TEST_F(TrayTest, WithoutANotificationAreaHideMinimises) {
    shell.setHasNotificationArea(false);
    action("a23")->trigger();
    EXPECT_TRUE(window->isVisible());
    EXPECT_TRUE(window->isMinimized());
}

TEST_F(TrayTest, TheIconsTipShowsTheProgressAndItsRecordStays) {
    startJob();
    encoder.raiseProgress(45);
    EXPECT_EQ(shell.iconTip(), u"Velmorav1.0 以压缩45%");
    action("a22")->trigger();
    EXPECT_EQ(shell.iconTip(), u"Velmorav1.0");
    EXPECT_EQ(shell.notifyCalls().size(), 1u) << "the record is registered once and kept";
}

// One file is named; several (one per ticked audience) are counted, with their
// folder, which a click on the message opens.
TEST_F(TrayTest, AJobEndingWhileHiddenSaysSoOnTheIcon) {
    const std::vector<std::pair<std::function<void()>, std::u16string>> ends = {
        {[this] {
             encoder.raise(encoder::event::Completed, Variant::string("/out/结果.rm"),
                           Variant::long_(1), Variant::long_(100), Variant::long_(1000));
         },
         u"压缩完成"},
        {[this] { action("stop")->trigger(); }, u"用户停止"},
        {[this] {
             encoder.raise(encoder::event::Error,
                           Variant::long_(encoder::errorCodeOf(ErrorKind::DiskFull)),
                           Variant::string("磁盘已满"), Variant::long_(3), Variant::long_(0));
         },
         u"压缩出错"},
    };
    get<QLineEdit>("Textsave")->setText("/out/结果.rm");
    for (const auto& [secondAudience, files] :
         {std::pair{false, u"结果.rm"}, std::pair{true, u"2 个文件（/out）"}}) {
        get<QCheckBox>("Check7")->setChecked(secondAudience);
        for (const auto& [end, status] : ends) {
            startJob();
            end();  // in sight: no message
            startJob();
            action("a23")->trigger();
            end();
            ASSERT_FALSE(shell.iconMessages().empty());
            EXPECT_EQ(shell.iconMessages().back(), status + u"|" + files);
            // A click on the message opens the files' folder; without files
            // it brings the window back.
            const std::size_t opened = shell.openedFolders().size();
            ASSERT_TRUE(shell.fireIcon(mouse::MessageClick));
            if (status == u"压缩出错") {
                EXPECT_EQ(shell.openedFolders().size(), opened);
                EXPECT_TRUE(window->isVisible());
            } else {
                ASSERT_EQ(shell.openedFolders().size(), opened + 1);
                EXPECT_EQ(shell.openedFolders().back(), u"/out");
                EXPECT_FALSE(window->isVisible());
            }
            window->xiansi_Click();
        }
    }
    EXPECT_EQ(shell.iconMessages().size(), 2 * ends.size());

    // Where no program opens folders, the window comes back and its pane
    // names the folder.
    shell.setOpensFolders(false);
    startJob();
    action("a23")->trigger();
    ends.front().first();
    ASSERT_TRUE(shell.fireIcon(mouse::MessageClick));
    EXPECT_EQ(shell.openedFolders().back(), u"/out");
    EXPECT_EQ(encoder.foldersNotOpened(), std::vector<QString>{"/out"});
    EXPECT_TRUE(window->isVisible());
}

TEST_F(TrayTest, RightPressOpensTheTrayMenuWithItsFiveEntries) {
    auto* tuopan = get<QMenu>("tuopan");
    ASSERT_TRUE(shell.fireIcon(mouse::RightDown));
    EXPECT_TRUE(tuopan->isVisible());
    ASSERT_EQ(tuopan->actions().size(), 5);
    EXPECT_TRUE(tuopan->actions()[3]->isSeparator());
    tuopan->close();
}

class ExitTest : public TrayTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(ExitTest, ExitWhileAJobRunsRemovesTheIconOnceAndNeverStops) {
    startJob();
    action(GetParam())->trigger();
    EXPECT_EQ(shell.count(NotifyIconMessage::Delete), 1);
    EXPECT_TRUE(shell.notifyCalls().back().result);
    EXPECT_FALSE(shell.shownIcon().has_value());
    EXPECT_EQ(programEnds, 1);
    EXPECT_EQ(encoder.count(Stop), 0);
}

INSTANTIATE_TEST_SUITE_P(MenuAndTray, ExitTest, ::testing::Values("a14", "end"));

TEST_F(TrayTest, ClosingRemovesTheIconTwiceAndCannotBeCancelled) {
    startJob();
    EXPECT_TRUE(window->close());
    EXPECT_EQ(shell.count(NotifyIconMessage::Delete), 2);
    EXPECT_TRUE(shell.notifyCalls()[1].result);
    EXPECT_FALSE(shell.notifyCalls()[2].result);  // the shell no longer held it
    EXPECT_EQ(programEnds, 1);
    EXPECT_EQ(encoder.count(Stop), 0);
}

}  // namespace
}  // namespace velmora::testing
