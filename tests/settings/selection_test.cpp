// Choosing the source and the destination through the common dialogs.

#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QMimeData>
#include <QTemporaryDir>
#include <QUrl>
#include <tuple>

#include "platform/common_dialog.h"
#include "support/window_fixture.h"

namespace velmora::testing {
namespace {

class SelectionTest : public WindowTest {
  protected:
    void SetUp() override {
        WindowTest::SetUp();
        load();
    }
    std::vector<bool> buttonStates() const {
        std::vector<bool> out;
        for (const char* b : {"Cmdopen", "Cmdsave", "Cmdstart", "Cmdstop"})
            out.push_back(enabled(b));
        return out;
    }
};

TEST_F(SelectionTest, SourceDialogFromButtonAndMenuFillsTheSourceBox) {
    dlg1.answerNext("/video/第一.mp4");
    QTest::mouseClick(get<QPushButton>("Cmdopen"), Qt::LeftButton);
    EXPECT_EQ(get<QLineEdit>("Textopen")->text(), "/video/第一.mp4");
    dlg1.answerNext("/video/second file.avi");
    action("a11")->trigger();
    EXPECT_EQ(get<QLineEdit>("Textopen")->text(), "/video/second file.avi");

    ASSERT_EQ(dlg1.shown().size(), 2u);
    for (const auto& shown : dlg1.shown()) {
        EXPECT_TRUE(shown.open);
        EXPECT_EQ(shown.title, "请选择制作的文件");
        EXPECT_EQ(shown.filter, "媒体文件");
        EXPECT_EQ(shown.initDir, "/opt/velmora/bin");
    }
    EXPECT_TRUE(dlg2.shown().empty());
}

TEST_F(SelectionTest, CancellingKeepsWhatTheBoxHeld) {
    QTest::mouseClick(get<QPushButton>("Cmdopen"), Qt::LeftButton);  // cancelled
    EXPECT_EQ(get<QLineEdit>("Textopen")->text(), "");

    for (const auto& [box, entry, dialog] :
         {std::tuple("Textopen", "a11", &dlg1), std::tuple("Textsave", "a12", &dlg2)}) {
        SCOPED_TRACE(entry);
        dialog->answerNext("/video/a.mp4");
        action(entry)->trigger();
        get<QLineEdit>(box)->setText("/typed/by hand.mp4");
        action(entry)->trigger();  // cancelled
        EXPECT_EQ(get<QLineEdit>(box)->text(), "/typed/by hand.mp4");
    }
}

TEST_F(SelectionTest, OneDroppedFileBecomesTheSourceAsIfChosen) {
    QTemporaryDir dir;
    const QString file = dir.filePath("拖入 clip.mp4");
    const QString other = dir.filePath("other.mp4");
    for (const QString& f : {file, other}) {
        QFile touch(f);
        ASSERT_TRUE(touch.open(QIODevice::WriteOnly));
    }
    const auto drop = [this](const QList<QUrl>& urls) {
        QMimeData data;
        data.setUrls(urls);
        QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &data, Qt::LeftButton,
                              Qt::NoModifier);
        QApplication::sendEvent(window.get(), &enter);
        QDropEvent dropped(QPointF(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(window.get(), &dropped);
        return enter.isAccepted() && dropped.isAccepted();
    };
    get<QLineEdit>("Textopen")->setText("/before.mp4");
    const std::vector<QList<QUrl>> refused = {
        {QUrl::fromLocalFile(dir.path())},
        {QUrl::fromLocalFile(file), QUrl::fromLocalFile(other)},
        {QUrl("https://example.org/a.mp4")},
    };
    for (const auto& urls : refused) {
        EXPECT_FALSE(drop(urls));
        EXPECT_EQ(get<QLineEdit>("Textopen")->text(), "/before.mp4");
    }

    EXPECT_TRUE(drop({QUrl::fromLocalFile(file)}));
    EXPECT_EQ(get<QLineEdit>("Textopen")->text(), file);
    EXPECT_TRUE(encoder.calls().empty()) << "the encoder hears of it at start";
    EXPECT_TRUE(dlg1.shown().empty());
    // The open dialog starts from it, as from a file it had chosen.
    action("a11")->trigger();
    EXPECT_EQ(get<QLineEdit>("Textopen")->text(), file);
}

// `velmora FILE`: the same as picking FILE in the open dialog, which then
// still holds it; the encoder hears nothing of it before 开始.
TEST_F(SelectionTest, AFileGivenAtStartIsTheSourceAsIfChosen) {
    encoder.clear();
    window->openSource("/video/从菜单打开.mp4");
    EXPECT_EQ(get<QLineEdit>("Textopen")->text(), "/video/从菜单打开.mp4");
    EXPECT_TRUE(enabled("Cmdsave"));
    EXPECT_TRUE(encoder.calls().empty());
    EXPECT_TRUE(dlg1.shown().empty());
    action("a11")->trigger();  // cancelled: the dialog reports the given name
    EXPECT_EQ(get<QLineEdit>("Textopen")->text(), "/video/从菜单打开.mp4");
}

TEST_F(SelectionTest, DestinationDialogFromButtonAndMenuTakesAnyName) {
    dlg2.answerNext("/out/结果.rm");
    QTest::mouseClick(get<QPushButton>("Cmdsave"), Qt::LeftButton);
    EXPECT_EQ(get<QLineEdit>("Textsave")->text(), "/out/结果.rm");
    dlg2.answerNext("/out/no-extension");
    action("a12")->trigger();
    EXPECT_EQ(get<QLineEdit>("Textsave")->text(), "/out/no-extension");
    ASSERT_EQ(dlg2.shown().size(), 2u);
    EXPECT_FALSE(dlg2.shown()[0].open);
    EXPECT_EQ(dlg2.shown()[0].title, "保存路径");
    EXPECT_EQ(dlg2.shown()[0].filter, "RealMedia Files(*.rm)|*.rm");
    EXPECT_TRUE(encoder.calls().empty());  // names reach the encoder only at start
}

TEST_F(SelectionTest, ChoosingFilesNeverChangesWhichButtonsAreEnabled) {
    QTest::mouseClick(get<QPushButton>("Cmdstop"), Qt::LeftButton);  // Cmdstop now disabled
    const auto before = buttonStates();
    dlg1.answerNext("/video/a.mp4");
    action("a11")->trigger();
    dlg2.answerNext("/out/a.rm");
    action("a12")->trigger();
    action("a12")->trigger();  // cancelled
    EXPECT_EQ(buttonStates(), before);
}

}  // namespace
}  // namespace velmora::testing
