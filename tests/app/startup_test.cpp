// Start-up: the encoder's defaults in their order, interleaved with the
// window's own steps, and a window that shows what the encoder holds.

#include <QMenu>

#include "platform/encoder_contract.h"
#include "support/window_fixture.h"

namespace velmora::testing {
namespace {

using namespace encoder;

// What the window looked like when the encoder received a write.
struct Snapshot {
    DispId id;
    Variant value;
    int audioItems;
    int videoItems;
    int timerInterval;
    bool timerOn;
    QString initDir;
    QString status;
    QString clock;
};

TEST_F(WindowTest, StartUpWritesTheEncoderDefaultsInOrderBetweenTheWindowSteps) {
    std::vector<Snapshot> seen;
    encoder.setObserver([&](const EncoderCall& call) {
        seen.push_back({call.id, call.value, get<QComboBox>("Combo1")->count(),
                        get<QComboBox>("Combo2")->count(), get<QTimer>("Timer")->interval(),
                        timerOn(), dlg1.initDir(), text("Labelface"), text("Labeltime")});
    });
    window->Form_Load();

    ASSERT_EQ(seen.size(), 7u);
    const std::pair<DispId, Variant> expected[] = {
        {3407, Variant::long_(1)},
        {3408, Variant::long_(1)},
        {3413, Variant::boolean(true)},
        {3151, Variant::long_(0)},
        {3204, Variant::string("c:\\windows\\temp")},
        {3155, Variant::boolean(true)},
        {3156, Variant::boolean(true)},
    };
    for (std::size_t i = 0; i < seen.size(); ++i) {
        EXPECT_EQ(seen[i].id, expected[i].first) << i;
        EXPECT_EQ(seen[i].value, expected[i].second) << seen[i].value.describe();
    }
    EXPECT_EQ(encoder.callsOf(3413)[0].value.booleanRaw(), -1);

    // Lists, timer and dialog come between 3413 and 3151; the labels between
    // 3204 and 3155.
    EXPECT_EQ(seen[2].audioItems, 0);
    EXPECT_EQ(seen[3].audioItems, 5);
    EXPECT_EQ(seen[3].videoItems, 5);
    EXPECT_EQ(seen[2].timerInterval, 0);
    EXPECT_EQ(seen[3].timerInterval, 1000);
    EXPECT_FALSE(seen[3].timerOn);
    EXPECT_EQ(seen[2].initDir, "");
    EXPECT_EQ(seen[3].initDir, "/opt/velmora/bin");
    EXPECT_EQ(seen[4].status, "");
    EXPECT_EQ(seen[5].status, "请选择文件");
    EXPECT_EQ(seen[5].clock, "00:00:00");

    Variant v;
    ASSERT_TRUE(dlg1.get(dialog::Unnamed23, v));
    EXPECT_EQ(v, Variant::integer(1));
    ASSERT_TRUE(dlg2.get(dialog::InitDir, v));
    EXPECT_EQ(v.toUtf8(), "");  // the save dialog is not touched
}

TEST_F(WindowTest, AfterStartUpTheWindowShowsWhatTheEncoderHolds) {
    window->Form_Load();
    const auto items = [](QComboBox* c) {
        QStringList out;
        for (int i = 0; i < c->count(); ++i) out << c->itemText(i);
        return out;
    };
    EXPECT_EQ(items(get<QComboBox>("Combo1")),
              QStringList({"仅语音", "语音和背景音乐", "音乐", "立体声音乐", "没有音乐"}));
    EXPECT_EQ(
        items(get<QComboBox>("Combo2")),
        QStringList({"标准动作视频", "平滑动作视频", "急剧的图像视频", "幻灯片播放", "没有视频"}));
    EXPECT_EQ(get<QComboBox>("Combo1")->currentText(), "语音和背景音乐");
    EXPECT_EQ(get<QComboBox>("Combo2")->currentText(), "平滑动作视频");
    for (int n = 1; n <= 8; ++n)
        EXPECT_EQ(get<QCheckBox>(qPrintable(QString("Check%1").arg(n)))->isChecked(), n == 8) << n;
    // Showing that state ran no click procedure: only the seven defaults.
    EXPECT_EQ(encoder.calls().size(), 7u);

    EXPECT_TRUE(enabled("Cmdstart"));
    EXPECT_TRUE(enabled("Cmdstop"));
    EXPECT_FALSE(timerOn());
    EXPECT_EQ(get<QTimer>("Timer")->interval(), 1000);
    EXPECT_EQ(text("Labelface"), "请选择文件");
    EXPECT_EQ(text("Labeltime"), "00:00:00");
    EXPECT_EQ(text("Labelmul"), "");
    EXPECT_TRUE(messageBox.shown().empty());
}

TEST_F(WindowTest, AFailingDefaultIsReportedAndStartUpGoesOn) {
    encoder.failOn(prop::TempDirectory, "临时目录不可用");
    window->Form_Load();
    ASSERT_EQ(messageBox.shown().size(), 1u);
    EXPECT_EQ(messageBox.shown()[0].text, "临时目录不可用");
    EXPECT_EQ(messageBox.shown()[0].title, "提示");
    EXPECT_EQ(encoder.ids().back(), prop::Unnamed3156);
    EXPECT_EQ(text("Labeltime"), "00:00:00");
}

}  // namespace
}  // namespace velmora::testing
