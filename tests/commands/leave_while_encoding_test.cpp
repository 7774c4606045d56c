// Leaving the program while a real job runs: it ends at once, and the
// encoder's teardown still leaves a complete, playable shorter file under the
// destination's name, never a half-written one.

#include <QMenu>

#include "platform/encoder/ffmpeg_encoder_component.h"
#include "support/media/media_fixtures.h"
#include "support/qt_printers.h"
#include "support/recording_dialogs.h"
#include "support/recording_shell.h"
#include "support/window_fixture.h"

namespace velmora::testing {
namespace {

class LeaveWhileEncoding : public ::testing::TestWithParam<const char*> {};

TEST_P(LeaveWhileEncoding, LeavesAPlayableShorterFileAndNoTemporaryOne) {
    media::ScratchDir dir;
    const std::string source = dir.file("源 clip.mkv");
    ASSERT_TRUE(media::makeClip(source, {.seconds = 20, .width = 320, .height = 240}));
    const std::string destination = dir.file("输出.rm");

    auto encoder = std::make_unique<FfmpegEncoderComponent>();
    RecordingDialog dlg1, dlg2;
    RecordingMessageBox messageBox;
    RecordingShell shell;
    RecordingCountdown countdown;
    int programEnds = 0;
    {
        Real window(Platform{.encoder = *encoder,
                             .dlg1 = dlg1,
                             .dlg2 = dlg2,
                             .messageBox = messageBox,
                             .shell = shell,
                             .countdown = &countdown,
                             .programFolder = "/",
                             .endProgram = [&] { ++programEnds; },
                             .windowHandle = {},
                             .iconHandle = {}});
        window.Form_Load();
        window.findChild<QLineEdit*>("Textopen")->setText(QString::fromStdString(source));
        window.findChild<QLineEdit*>("Textsave")->setText(QString::fromStdString(destination));
        window.Cmdstart_Click();
        ASSERT_TRUE(messageBox.shown().empty()) << messageBox.shown()[0].text.toStdString();
        auto* progress = window.findChild<QLabel*>("Labelmul");
        ASSERT_TRUE(QTest::qWaitFor([&] { return progress->text().startsWith("以压缩"); }, 20000));

        if (std::string_view(GetParam()) == "close") {
            window.close();
        } else {
            window.findChild<QAction*>(GetParam())->trigger();
        }
        EXPECT_EQ(programEnds, 1);
        EXPECT_FALSE(shell.shownIcon().has_value());
        EXPECT_TRUE(encoder->isRunning());  // no stop on the way out
    }
    encoder.reset();  // the program's own teardown

    EXPECT_EQ(media::hiddenFileCount(dir.path()), 0);
    // The teardown finishes the file as a stop does.
    ASSERT_TRUE(media::fileExists(destination));
    const media::MediaInfo info = media::probe(destination);
    ASSERT_TRUE(info.opened) << info.error;
    EXPECT_GT(info.playSeconds(), 0);
    EXPECT_LT(info.playSeconds(), 20);
}

INSTANTIATE_TEST_SUITE_P(ExitMenuTrayAndClose, LeaveWhileEncoding,
                         ::testing::Values("a14", "end", "close"));

}  // namespace
}  // namespace velmora::testing
