#include "platform/common_dialog.h"

#include <gtest/gtest.h>

#include <QComboBox>
#include <QFileDialog>

#include "support/qt_printers.h"
#include "support/recording_dialogs.h"

namespace velmora {
namespace {

TEST(QtFileFilter, ConvertsDescriptionPatternPairs) {
    EXPECT_EQ(qtFileFilter("RealMedia Files(*.rm)|*.rm"), "RealMedia Files(*.rm) (*.rm)");
    EXPECT_EQ(qtFileFilter("Text|*.txt;*.log|All|*.*"), "Text (*.txt *.log);;All (*.*)");
}

TEST(QtFileFilter, DescriptionWithoutPatternListsMediaFilesAndOffersAll) {
    const QString f = qtFileFilter("媒体文件");
    EXPECT_TRUE(f.startsWith("媒体文件 (*.mp4 ")) << f.toStdString();
    EXPECT_TRUE(f.contains("*.avi"));
    EXPECT_TRUE(f.endsWith(";;所有文件 (*)"));
    EXPECT_EQ(qtFileFilter(""), "所有文件 (*)");
}

// "RealMedia Files(*.rm)" names its pattern already; the type list must not
// add " (*.rm)" after it.
TEST(QtFileDialog, EachTypeIsShownOnceByItsDescription) {
    struct Case {
        bool save;
        const char* filter;
        QStringList shown;
    };
    for (const Case& c : {Case{true, "RealMedia Files(*.rm)|*.rm", {"RealMedia Files(*.rm)"}},
                          Case{false, "媒体文件", {"媒体文件", "所有文件"}}}) {
        SCOPED_TRACE(c.filter);
        QFileDialog dialog;
        prepareFileDialog(dialog, c.save, QStringLiteral("标题"), QString(),
                          QString::fromUtf8(c.filter));
        auto* types = dialog.findChild<QComboBox*>(QStringLiteral("fileTypeCombo"));
        ASSERT_NE(types, nullptr);
        QStringList shown;
        for (int i = 0; i < types->count(); ++i) shown << types->itemText(i);
        EXPECT_EQ(shown, c.shown);
        EXPECT_EQ(dialog.acceptMode(), c.save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
        EXPECT_EQ(dialog.windowTitle(), "标题");
    }
}

TEST(CommonDialog, PropertiesAreTypedAndCancelKeepsTheEarlierName) {
    testing::RecordingDialog d;
    EXPECT_TRUE(d.put(dialog::DialogTitle, Variant::string("标题")));
    EXPECT_FALSE(d.put(dialog::DialogTitle, Variant::long_(1)));
    EXPECT_TRUE(d.put(dialog::Unnamed23, Variant::integer(1)));
    EXPECT_FALSE(d.put(99, Variant::integer(1)));
    EXPECT_FALSE(d.invoke(99));

    Variant name;
    ASSERT_TRUE(d.get(dialog::FileName, name));
    EXPECT_EQ(name.toUtf8(), "");
    d.answerNext("/tmp/a.mp4");
    ASSERT_TRUE(d.invoke(dialog::ShowOpen));
    d.answerNext("");  // cancelled
    ASSERT_TRUE(d.invoke(dialog::ShowOpen));
    ASSERT_TRUE(d.get(dialog::FileName, name));
    EXPECT_EQ(name.toUtf8(), "/tmp/a.mp4");
    ASSERT_EQ(d.shown().size(), 2u);
    EXPECT_EQ(d.shown()[0].title, "标题");
}

}  // namespace
}  // namespace velmora
