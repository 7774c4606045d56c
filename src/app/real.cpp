#include "app/real.h"

#include <QAbstractItemView>
#include <QAction>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QMenuBar>
#include <QPixmap>
#include <QPushButton>
#include <QScopedValueRollback>
#include <QScreen>
#include <QStyle>
#include <QTimer>
#include <map>
#include <vector>

#include "app/icon.h"
#include "app/layout.h"
#include "platform/checkable_menu_item.h"
#include "platform/qt_text.h"
#include "texts/window_texts.h"

namespace velmora {

namespace {

QRect pixels(const layout::Control& c) {
    return QRect(layout::toPixels(c.left), layout::toPixels(c.top), layout::toPixels(c.width),
                 layout::toPixels(c.height));
}

// The editable field of a list. While it handles a key or loses the focus,
// QComboBox may match the typed text to an item and report that item as
// activated: that is typing, not a choice from the list.
class ListField : public QLineEdit {
  public:
    using QLineEdit::QLineEdit;
    bool handlingTypedText() const { return handlingTypedText_; }

  protected:
    void keyPressEvent(QKeyEvent* event) override {
        const QScopedValueRollback typing(handlingTypedText_, true);
        QLineEdit::keyPressEvent(event);
    }
    void focusOutEvent(QFocusEvent* event) override {
        const QScopedValueRollback typing(handlingTypedText_, true);
        QLineEdit::focusOutEvent(event);
    }

  private:
    bool handlingTypedText_ = false;
};

// The layout was drawn for a 12-pixel Chinese dialog font, whose Latin
// letters are narrow: the desktop's default would clip the captions. Frames
// are drawn in the classic style, the caption on the top border line, so
// controls placed near a frame's top stay clear of it. The encoder's own pane
// keeps its own look.
QString frameStyle() {
    return QStringLiteral(
        "* { font-family: \"WenQuanYi Micro Hei\"; font-size: 12px; }"
        "QGroupBox { border: 1px solid palette(mid); border-radius: 2px; margin-top: 6px; }"
        "QGroupBox::title { subcontrol-origin: margin; subcontrol-position: top left;"
        " left: 6px; padding: 0 2px; }");
}

}  // namespace

Real::Real(Platform platform, QWidget* parent) : QMainWindow(parent), p_(std::move(platform)) {
    setObjectName("real");
    setWindowTitle(qs(text::kTitle));
    icon_ = windowIconImage();
    setWindowIcon(icon_);
    buildControls();
    buildMenus();
    bindCommands();

    // A fixed layout: the window takes the size of its client area and keeps it.
    layout()->setSizeConstraint(QLayout::SetFixedSize);
    move(layout::toPixels(layout::kClientLeft), layout::toPixels(layout::kClientTop));
    setAcceptDrops(true);

    p_.encoder.setNotificationSink(
        [this](const encoder::Notification& n) { ProducerControl1_Notify(n); });
    p_.encoder.attachView(ProducerControl1);
    p_.encoder.linkView({.source = Textopen,
                         .destination = Textsave,
                         .openFolder = [this](const QString& folder) { openJobFolder(folder); }});
    chainFocus();
}

Real::~Real() {
    p_.encoder.setNotificationSink(nullptr);
}

QIcon Real::windowIconImage() const {
    QIcon icon;
    icon.addPixmap(QPixmap::fromImage(drawIcon(32)));
    icon.addPixmap(QPixmap::fromImage(drawIcon(16)));
    return icon;
}

void Real::buildControls() {
    auto* client = new QWidget(this);
    client->setObjectName("client");
    client->setFixedSize(layout::toPixels(layout::kClientWidth),
                         layout::toPixels(layout::kClientHeight));
    setCentralWidget(client);

    std::map<std::string, QWidget*> containers;
    for (const auto& c : layout::controls()) {
        QWidget* parent = c.container ? containers.at(c.container) : client;
        const QString caption = qs(c.caption);
        QWidget* w = nullptr;
        switch (c.kind) {
            case layout::Kind::EncoderHost:
                w = new QWidget(parent);
                w->setFocusPolicy(Qt::NoFocus);
                ProducerControl1 = w;
                break;
            case layout::Kind::Frame:
                w = new QGroupBox(caption, parent);
                w->setStyleSheet(frameStyle());
                containers[c.name] = w;
                break;
            case layout::Kind::Label: {
                auto* label = new QLabel(caption, parent);
                label->setAutoFillBackground(true);
                label->setTextFormat(Qt::PlainText);
                label->setWordWrap(false);
                w = label;
                break;
            }
            case layout::Kind::TextBox:
                w = new QLineEdit(caption, parent);
                break;
            case layout::Kind::CommandButton:
                w = new QPushButton(caption, parent);
                break;
            case layout::Kind::CheckBox:
                // Room for the square only: the box shows no text of its own.
                w = new QCheckBox(parent);
                break;
            case layout::Kind::ComboBox: {
                auto* combo = new QComboBox(parent);
                combo->setLineEdit(new ListField(combo));
                combo->setInsertPolicy(QComboBox::NoInsert);
                combo->setEditText(caption);
                w = combo;
                break;
            }
        }
        w->setObjectName(c.name);
        w->setGeometry(pixels(c));
        w->setProperty("tabIndex", c.tabIndex);
    }

    const auto find = [this]<typename T>(T*& field, const char* name) {
        field = findChild<T*>(name);
        Q_ASSERT(field);
    };
    find(Textopen, "Textopen");
    find(Textsave, "Textsave");
    find(Cmdopen, "Cmdopen");
    find(Cmdsave, "Cmdsave");
    find(Cmdstart, "Cmdstart");
    find(Cmdstop, "Cmdstop");
    find(Combo1, "Combo1");
    find(Combo2, "Combo2");
    find(Labelface, "Labelface");
    find(Labelmul, "Labelmul");
    find(Labeltime, "Labeltime");

    // Not started: the clock does not tick until start-up sets its interval.
    Timer = new QTimer(this);
    Timer->setObjectName("Timer");
    nameControls();
}

void Real::nameControls() {
    // A row's caption names its control for a screen reader as it does for
    // the eye (the frames' captions would name them all alike otherwise);
    // a click on a caption still does nothing.
    for (const auto& [labelName, controlName] : layout::captions()) {
        auto* label = findChild<QLabel*>(labelName);
        auto* control = findChild<QWidget*>(controlName);
        label->setBuddy(control);
        if (qobject_cast<QLabel*>(control)) {
            control->setAccessibleDescription(label->text());
            continue;
        }
        control->setAccessibleName(label->text());
        // The lists' own parts: the field typed into and the list that drops down.
        if (auto* combo = qobject_cast<QComboBox*>(control)) {
            combo->lineEdit()->setAccessibleName(label->text());
            combo->view()->setAccessibleName(label->text());
        }
    }
    Cmdopen->setAccessibleDescription(qs(text::kBrowseSourceDescription));
    Cmdsave->setAccessibleDescription(qs(text::kBrowseDestinationDescription));
    Labelface->setAccessibleDescription(qs(text::kStatusDescription));
    Labelmul->setAccessibleDescription(qs(text::kProgressDescription));
    // A file dropped anywhere is the source (dropEvent): the text fields
    // must not take it as text.
    for (QLineEdit* field : findChildren<QLineEdit*>()) field->setAcceptDrops(false);
    for (QComboBox* combo : {Combo1, Combo2}) combo->setAcceptDrops(false);
    installCheckableMenuItems();
}

void Real::chainFocus() {
    // The order of the tab indexes, over what takes the focus; the
    // component's own controls (when it has any that do) stand at its place.
    std::vector<std::pair<int, QWidget*>> order;
    for (const auto& c : layout::controls()) {
        auto* w = findChild<QWidget*>(c.name);
        if (c.kind == layout::Kind::EncoderHost) {
            for (QWidget* next = w->nextInFocusChain(); next != w; next = next->nextInFocusChain())
                if (w->isAncestorOf(next) && (next->focusPolicy() & Qt::TabFocus))
                    order.emplace_back(c.tabIndex, next);
        } else if (c.kind != layout::Kind::Frame && c.kind != layout::Kind::Label &&
                   (w->focusPolicy() & Qt::TabFocus)) {
            order.emplace_back(c.tabIndex, w);
        }
    }
    std::stable_sort(order.begin(), order.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    for (std::size_t i = 1; i < order.size(); ++i)
        setTabOrder(order[i - 1].second, order[i].second);
}

void Real::buildMenus() {
    QMenu* parents[4] = {};
    for (const auto& m : layout::menus()) {
        const QString caption = qs(m.caption);
        if (m.level == 1) {
            auto* menu = menuBar()->addMenu(caption);
            menu->setObjectName(m.name);
            menu->menuAction()->setVisible(m.visible);
            parents[1] = menu;
            continue;
        }
        QMenu* owner = parents[m.level - 1];
        // An entry with items below it is a sub-menu.
        const auto* next = &m + 1;
        const bool hasItems =
            next != layout::menus().data() + layout::menus().size() && next->level > m.level;
        if (hasItems) {
            auto* sub = owner->addMenu(caption);
            sub->setObjectName(m.name);
            parents[m.level] = sub;
            if (std::string_view(m.name) == "tuopan") tuopan = sub;
            continue;
        }
        const bool separator = caption == u"-";
        auto* a = new QAction(separator ? QString() : caption, owner);
        a->setSeparator(separator);
        a->setObjectName(m.name);
        a->setVisible(m.visible);
        if (m.shortcut) {
            a->setShortcut(QKeySequence(QString::fromLatin1(m.shortcut)));
            a->setShortcutContext(Qt::WindowShortcut);
        }
        // The check mark's switch is checkable before its menu, and so a
        // screen reader, sees it.
        a->setCheckable(std::string_view(m.name) == "a33");
        owner->addAction(a);
    }
}

QAction* Real::action(const char* name) const {
    auto* a = findChild<QAction*>(name);
    Q_ASSERT_X(a, "Real::action", name);
    return a;
}

void Real::bindCommands() {
    // Every entry point of one command calls the same procedure.
    const auto on = [this](const char* name, void (Real::*proc)()) {
        connect(action(name), &QAction::triggered, this, proc);
    };
    connect(Cmdstart, &QPushButton::clicked, this, &Real::Cmdstart_Click);
    on("a21", &Real::Cmdstart_Click);
    on("start", &Real::Cmdstart_Click);
    connect(Cmdstop, &QPushButton::clicked, this, &Real::Cmdstop_Click);
    on("a22", &Real::Cmdstop_Click);
    on("stop", &Real::Cmdstop_Click);

    connect(Cmdopen, &QPushButton::clicked, this, &Real::Cmdopen_Click);
    on("a11", &Real::Cmdopen_Click);
    connect(Cmdsave, &QPushButton::clicked, this, &Real::Cmdsave_Click);
    on("a12", &Real::Cmdsave_Click);

    for (int n = 1; n <= 8; ++n) {
        auto* box = findChild<QCheckBox*>(QStringLiteral("Check%1").arg(n));
        connect(box, &QCheckBox::clicked, this, [this, n] { Check_Click(n); });
    }
    connect(Combo1, &QComboBox::activated, this, [this] {
        if (!typedInto(Combo1)) Combo1_Click();
    });
    connect(Combo2, &QComboBox::activated, this, [this] {
        if (!typedInto(Combo2)) Combo2_Click();
    });
    const char* audioItems[] = {"a311", "a312", "a313", "a314"};
    for (int i = 0; i < 4; ++i)
        connect(action(audioItems[i]), &QAction::triggered, this,
                [this, i] { chooseAudioItem(i); });
    on("a315", &Real::a315_Click);
    const char* videoItems[] = {"a321", "a322", "a323", "a324"};
    // The video menu has no slide-show entry: its fourth entry is "no video".
    const int videoIndex[] = {0, 1, 2, 4};
    for (int i = 0; i < 4; ++i) {
        const int index = videoIndex[i];
        connect(action(videoItems[i]), &QAction::triggered, this,
                [this, index] { chooseVideoItem(index); });
    }

    connect(Timer, &QTimer::timeout, this, &Real::Timer_Timer);

    on("a14", &Real::a14_Click);
    on("end", &Real::a14_Click);
    on("a23", &Real::a23_Click);
    on("xiansi", &Real::xiansi_Click);
    on("a33", &Real::a33_Click);
    on("a41", &Real::a41_Click);
    on("a42", &Real::a42_Click);
    on("a43", &Real::a43_Click);
}

bool Real::succeeded(const Status& status) {
    if (status) return true;
    p_.messageBox.showWarning(QString::fromStdString(status.message()), qs(text::kNotice));
    return false;
}

void Real::putEncoder(DispId id, const Variant& value) {
    succeeded(p_.encoder.put(id, value));
}

void Real::putDialog(CommonDialog& dialog, DispId id, const Variant& value) {
    succeeded(dialog.put(id, value));
}

void Real::Form_Load() {
    using namespace encoder;
    registerTrayIcon();
    putEncoder(prop::AudioContent, Variant::long_(AudioContent::VoiceAndMusic));
    putEncoder(prop::VideoQuality, Variant::long_(VideoQuality::SmoothMotion));
    putEncoder(prop::Target256KDSLCableModem, Variant::boolean(true));
    for (const char16_t* item : text::kAudioItems) Combo1->addItem(qs(item));
    for (const char16_t* item : text::kVideoItems) Combo2->addItem(qs(item));
    Timer->stop();
    Timer->setInterval(1000);
    Cmdstart->setEnabled(true);
    Cmdstop->setEnabled(true);
    putDialog(p_.dlg1, dialog::Unnamed23, Variant::integer(1));
    putDialog(p_.dlg1, dialog::InitDir, Variant::string(p_.programFolder.toStdU16String()));
    putEncoder(prop::Unnamed3151, Variant::long_(0));
    putEncoder(prop::TempDirectory, Variant::string(qs(text::kTempDirectory).toStdU16String()));
    Labelface->setText(qs(text::kChooseFile));
    Labeltime->setText(qs(text::kZeroTime));
    putEncoder(prop::Unnamed3155, Variant::boolean(true));
    putEncoder(prop::Unnamed3156, Variant::boolean(true));

    // Show what the encoder now holds, so the window does not contradict it:
    // voice and background music, smooth motion, the 256K audience.
    // Setting them runs no click procedure.
    Combo1->setCurrentIndex(AudioContent::VoiceAndMusic);
    Combo2->setCurrentIndex(VideoQuality::SmoothMotion);
    findChild<QCheckBox*>("Check8")->setChecked(true);
}

bool Real::typedInto(const QComboBox* combo) {
    const auto* field = dynamic_cast<const ListField*>(combo->lineEdit());
    return field && field->handlingTypedText();
}

QPoint framePlace(const QRect& available, const QSize& frame, const QPoint& designed) {
    if (available.contains(QRect(designed, frame))) return designed;
    // Elsewhere (a larger scale factor, a small screen) centred; a frame
    // larger than the area keeps its top-left corner, with the title bar and
    // the menus, on it.
    return {available.left() + std::max(0, (available.width() - frame.width()) / 2),
            available.top() + std::max(0, (available.height() - frame.height()) / 2)};
}

void Real::keepOnScreen() {
    const QScreen* onScreen = screen();
    if (!onScreen) return;
    const QRect available = onScreen->availableGeometry();
    QRect frame = frameGeometry();
    const bool framed = frame != geometry();
    if (!framed) {
        // Not framed yet, perhaps never (no window manager): allow for a
        // title bar.
        const int titleBar = style()->pixelMetric(QStyle::PM_TitleBarHeight, nullptr, this);
        frame.adjust(0, -titleBar, 0, 0);
    }
    // The designed place is the client area's; its frame lies around it.
    const QPoint client(layout::toPixels(layout::kClientLeft),
                        layout::toPixels(layout::kClientTop));
    const QPoint designed = client - (geometry().topLeft() - frame.topLeft());
    QPoint at = framePlace(available, frame.size(), designed) +
                (frameGeometry().topLeft() - frame.topLeft());
    // Without a frame the title bar allowed for may not exist: the window
    // itself must still lie on the screen.
    if (!framed) at = framePlace(available, size(), at);
    if (at != pos()) move(at);
}

void Real::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    if (placed_) return;
    placed_ = true;
    keepOnScreen();
    // The window manager frames the window after it is shown and tells no
    // one; once the frame is there, place the window by its real size. A
    // busy machine's window manager can take seconds to get there.
    constexpr int kFrameChecks = 200;  // 10 s
    auto* watch = new QTimer(this);
    watch->setInterval(50);
    connect(watch, &QTimer::timeout, this, [this, watch, checks = 0]() mutable {
        const bool framed = frameGeometry() != geometry();
        if (framed) keepOnScreen();
        if (!framed && ++checks < kFrameChecks) return;
        watch->stop();
        watch->deleteLater();
    });
    watch->start();
}

void Real::closeEvent(QCloseEvent* event) {
    // Closing cannot be cancelled: remove the icon twice and end.
    Form_QueryUnload();
    Form_Unload();
    event->accept();
}

}  // namespace velmora
