// The window as built: every control and menu entry where the layout puts it.

#include "app/layout.h"

#include <QAccessible>
#include <QGroupBox>
#include <QMenu>
#include <QMenuBar>

#include "support/window_fixture.h"

namespace velmora::testing {
namespace {

using layout::toPixels;

const char* qtClassFor(layout::Kind kind) {
    switch (kind) {
        case layout::Kind::EncoderHost:
            return "QWidget";
        case layout::Kind::Frame:
            return "QGroupBox";
        case layout::Kind::Label:
            return "QLabel";
        case layout::Kind::TextBox:
            return "QLineEdit";
        case layout::Kind::CommandButton:
            return "QPushButton";
        case layout::Kind::CheckBox:
            return "QCheckBox";
        case layout::Kind::ComboBox:
            return "QComboBox";
    }
    return "";
}

TEST_F(WindowTest, EveryControlHasItsKindContainerTextAndPlace) {
    ASSERT_EQ(layout::controls().size(), 38u);
    for (const auto& c : layout::controls()) {
        SCOPED_TRACE(c.name);
        auto* w = get<QWidget>(c.name);
        ASSERT_NE(w, nullptr);
        EXPECT_STREQ(w->metaObject()->className(), qtClassFor(c.kind));
        EXPECT_EQ(w->parentWidget()->objectName(), c.container ? c.container : "client");
        EXPECT_EQ(w->geometry(),
                  QRect(toPixels(c.left), toPixels(c.top), toPixels(c.width), toPixels(c.height)));
        const QString caption = QString::fromUtf16(c.caption);
        if (auto* label = qobject_cast<QLabel*>(w)) {
            EXPECT_EQ(label->text(), caption);
        }
        if (auto* frame = qobject_cast<QGroupBox*>(w)) {
            EXPECT_EQ(frame->title(), caption);
        }
        if (auto* button = qobject_cast<QPushButton*>(w)) {
            EXPECT_EQ(button->text(), caption);
        }
        if (auto* edit = qobject_cast<QLineEdit*>(w)) {
            EXPECT_EQ(edit->text(), "");
        }
        if (auto* box = qobject_cast<QCheckBox*>(w)) {
            EXPECT_EQ(box->text(), "");  // the square only
            EXPECT_FALSE(box->isChecked());
        }
        if (auto* combo = qobject_cast<QComboBox*>(w)) {
            EXPECT_EQ(combo->currentText(), caption);
            EXPECT_EQ(combo->count(), 0);
            EXPECT_TRUE(combo->isEditable());
        }
        EXPECT_TRUE(w->isEnabled());
    }
}

TEST_F(WindowTest, PlacesMatchTheDesignedWindow) {
    // Spot checks in pixels straight from the design, independent of the table.
    EXPECT_EQ(get<QWidget>("client")->size(), QSize(583, 472));
    EXPECT_EQ(get<QWidget>("ProducerControl1")->geometry(), QRect(96, 16, 425, 153));
    EXPECT_EQ(get<QWidget>("Frame3")->geometry().right(),
              get<QWidget>("Frame4")->geometry().right());
    EXPECT_EQ(get<QWidget>("Frame2")->geometry().bottom(),
              get<QWidget>("Frame3")->geometry().bottom());
    // Rows 6 to 8 of the audience frame hold Check8, Check6, Check7.
    EXPECT_LT(get<QWidget>("Check8")->y(), get<QWidget>("Check6")->y());
    EXPECT_LT(get<QWidget>("Check6")->y(), get<QWidget>("Check7")->y());
    EXPECT_EQ(window->windowTitle(), "Velmorav1.0");
    EXPECT_EQ(window->objectName(), "real");
    EXPECT_FALSE(window->windowIcon().pixmap(32, 32).isNull());
    EXPECT_FALSE(get<QTimer>("Timer")->isActive());
    for (const char* label : {"Labelface", "Labelmul", "Labeltime"}) EXPECT_EQ(text(label), "");
}

// At twice the scale a 1280 x 1024 screen is 640 x 512 to the window, which
// at the designed place would reach past its right and bottom edges.
TEST(WindowPlace, DesignedWhereTheFrameFitsElseCentredAndNeverOffTheTopLeft) {
    const QPoint designed(110, 43);
    const QSize frame(585, 513);
    struct Case {
        QRect available;
        QPoint expected;
    };
    for (const Case& c : {
             Case{{0, 0, 1280, 1024}, designed},
             Case{{0, 0, 640, 512}, {27, 0}},
             Case{{0, 0, 640, 540}, {27, 13}},
             Case{{1280, 24, 640, 600}, {1280 + 27, 24 + 43}},
             Case{{0, 0, 500, 400}, {0, 0}},
         }) {
        SCOPED_TRACE(QStringLiteral("available %1,%2 %3x%4")
                         .arg(c.available.x())
                         .arg(c.available.y())
                         .arg(c.available.width())
                         .arg(c.available.height())
                         .toStdString());
        const QPoint at = framePlace(c.available, frame, designed);
        EXPECT_EQ(at, c.expected);
        if (c.available.width() >= frame.width() && c.available.height() >= frame.height()) {
            EXPECT_TRUE(c.available.contains(QRect(at, frame)));
        }
    }
}

// A component whose view takes the focus, as the real one's buttons do.
class FocusableEncoder : public RecordingEncoder {
  public:
    void attachView(QWidget* host) override {
        for (const char* name : {"viewFirst", "viewSecond"})
            (new QPushButton(host))->setObjectName(name);
        (new QLabel(host))->setObjectName("viewCaption");  // takes no focus
    }
};

// The component stands first, where its tab index puts it, when it takes the
// focus; the rest follows the names, not the rows.
TEST(WindowFocus, TabOrderFollowsTheNamesNotTheRows) {
    WindowParts<FocusableEncoder, RecordingDialog, RecordingMessageBox, RecordingShell,
                RecordingCountdown>
        parts;
    Real window(parts.platform("/opt/velmora/bin", [] {}));
    const char* expected[] = {"viewFirst", "viewSecond", "Textopen", "Textsave", "Cmdopen",
                              "Cmdsave",   "Cmdstart",   "Cmdstop",  "Check1",   "Check2",
                              "Check3",    "Check4",     "Check5",   "Check6",   "Check7",
                              "Check8",    "Combo1",     "Combo2",   "viewFirst"};
    QWidget* w = window.findChild<QWidget*>(expected[0]);
    ASSERT_NE(w, nullptr);
    for (std::size_t i = 1; i < std::size(expected); ++i) {
        w = w->nextInFocusChain();
        // Skip what never takes the focus by Tab, and the combo boxes' inner
        // line edits.
        while (!(w->focusPolicy() & Qt::TabFocus) || w->objectName().isEmpty())
            w = w->nextInFocusChain();
        EXPECT_EQ(w->objectName(), expected[i]) << "after " << expected[i - 1];
    }
}

TEST_F(WindowTest, MenuTreeInOrderWithCaptionsShortcutsAndTheHiddenTrayTitle) {
    QStringList bar;
    for (QAction* a : window->menuBar()->actions())
        if (a->isVisible()) bar << a->text();
    EXPECT_EQ(bar, QStringList({"文件(&F)", "控制(&C)", "选项(&O)", "帮助(&H)"}));
    EXPECT_FALSE(get<QMenu>("tp")->menuAction()->isVisible());

    const auto captions = [](QMenu* m) {
        QStringList out;
        for (QAction* a : m->actions()) out << (a->isSeparator() ? "-" : a->text());
        return out;
    };
    EXPECT_EQ(captions(get<QMenu>("a10")), QStringList({"文件来源", "保存位置", "-", "退出"}));
    EXPECT_EQ(captions(get<QMenu>("a20")), QStringList({"开始", "停止", "隐藏"}));
    EXPECT_EQ(captions(get<QMenu>("a30")), QStringList({"音频格式", "视频格式", "压缩完关机"}));
    EXPECT_EQ(captions(get<QMenu>("a31")),
              QStringList({"仅语音", "语音和背景音乐", "音乐", "立体声音乐", "没有音频"}));
    EXPECT_EQ(captions(get<QMenu>("a32")),
              QStringList({"标准动作视频", "平滑动作视频", "急剧的动作图像", "没有视频"}));
    EXPECT_EQ(captions(get<QMenu>("a40")), QStringList({"帮助主题", "检查更新的版本", "关于"}));
    EXPECT_EQ(captions(get<QMenu>("tuopan")), QStringList({"开始", "停止", "显示", "-", "退出 "}));
    EXPECT_EQ(get<QMenu>("tuopan")->title(), "托盘");

    EXPECT_EQ(action("a21")->shortcut(), QKeySequence("Ctrl+B"));
    EXPECT_EQ(action("a22")->shortcut(), QKeySequence("Ctrl+S"));
    EXPECT_EQ(action("a23")->shortcut(), QKeySequence("Ctrl+H"));
    EXPECT_EQ(action("a41")->shortcut(), QKeySequence("F1"));
    EXPECT_TRUE(action("start")->shortcut().isEmpty());
    EXPECT_TRUE(action("a33")->isCheckable());
    EXPECT_FALSE(action("a33")->isChecked());
    // A screen reader is told it is a switch, and how it stands.
    QAccessibleInterface* a33 = QAccessible::queryAccessibleInterface(get<QMenu>("a30"))->child(2);
    ASSERT_NE(a33, nullptr);
    EXPECT_EQ(a33->text(QAccessible::Name), "压缩完关机");
    EXPECT_EQ(a33->role(), QAccessible::CheckBox);
    EXPECT_TRUE(a33->state().checkable);
    EXPECT_FALSE(a33->state().checked);
    action("a33")->setChecked(true);
    EXPECT_TRUE(a33->state().checked);
    for (const auto& m : layout::menus()) {
        auto* obj = window->findChild<QObject*>(m.name);
        ASSERT_NE(obj, nullptr) << m.name;
        if (auto* a = qobject_cast<QAction*>(obj)) {
            EXPECT_TRUE(a->isEnabled()) << m.name;
        }
    }
}

}  // namespace
}  // namespace velmora::testing
