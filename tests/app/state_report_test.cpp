#include "app/state_report.h"

#include <signal.h>

#include <QFile>
#include <QTemporaryDir>

#include "support/window_fixture.h"

namespace velmora::testing {
namespace {

TEST_F(WindowTest, ReportListsEveryNamedControlWithItsStateOncePerName) {
    load();
    window->show();
    action("a33")->trigger();
    const QStringList lines = describeControls(window.get()).split(u'\n', Qt::SkipEmptyParts);
    EXPECT_TRUE(lines.contains("Labelface\t请选择文件\t11"));
    EXPECT_TRUE(lines.contains("Labeltime\t00:00:00\t11"));
    EXPECT_TRUE(lines.contains("Check8\t1\t11"));
    EXPECT_TRUE(lines.contains("Check1\t0\t11"));
    EXPECT_TRUE(lines.contains("Combo1\t语音和背景音乐\t11"));
    EXPECT_TRUE(lines.contains("a33\t1\t11"));  // a checkable menu entry
    EXPECT_TRUE(lines.contains("Timer\t0\t11"));
    EXPECT_TRUE(lines.contains("real\tVelmorav1.0\t11"));
    QStringList names;
    for (const QString& l : lines) names << l.section(u'\t', 0, 0);
    EXPECT_EQ(names.removeDuplicates(), 0);
}

TEST_F(WindowTest, ReporterIsOffUnlessAskedForAndWritesOnTheSignal) {
    qunsetenv("VELMORA_STATE_FILE");
    EXPECT_EQ(StateReporter::installFromEnvironment(window.get()), nullptr);

    QTemporaryDir dir;
    const QString path = dir.filePath("state.txt");
    qputenv("VELMORA_STATE_FILE", path.toUtf8());
    load();
    StateReporter* reporter = StateReporter::installFromEnvironment(window.get());
    ASSERT_NE(reporter, nullptr);
    ::raise(SIGUSR1);
    ASSERT_TRUE(QTest::qWaitFor([&] { return QFile::exists(path); }, 2000));
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_TRUE(QString::fromUtf8(file.readAll()).contains("Labelface\t请选择文件"));
    delete reporter;
    qunsetenv("VELMORA_STATE_FILE");
}

}  // namespace
}  // namespace velmora::testing
