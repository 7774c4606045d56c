#include "platform/countdown.h"

#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QStyle>
#include <QVBoxLayout>
#include <algorithm>

#include "platform/qt_text.h"
#include "texts/window_texts.h"

namespace velmora {

namespace {

QString countdownText(int seconds, std::optional<LogoffWay> way) {
    const char16_t* text = text::kLogoffCountdown;
    if (way == LogoffWay::SessionManager) text = text::kLogoffCountdownAsking;
    if (way == LogoffWay::EndSession) text = text::kLogoffCountdownEnding;
    if (way == LogoffWay::None) text = text::kLogoffCountdownNoWay;
    return qs(text).arg(seconds);
}

// Moved along both axes just enough to lie within `area` (a rectangle larger
// than the area keeps its top-left corner on it).
QPoint within(const QRect& area, const QSize& size, QPoint at) {
    at.setX(
        std::clamp(at.x(), area.left(), std::max(area.left(), area.right() + 1 - size.width())));
    at.setY(
        std::clamp(at.y(), area.top(), std::max(area.top(), area.bottom() + 1 - size.height())));
    return at;
}

// A window's frame as the window manager draws it; before the window manager
// has framed it, with room for a title bar.
QRect frameOf(const QWidget* window) {
    QRect frame = window->frameGeometry();
    if (frame == window->geometry())
        frame.adjust(0, -window->style()->pixelMetric(QStyle::PM_TitleBarHeight), 0, 0);
    return frame;
}

}  // namespace

QPoint asideOf(const QRect& available, const QRect& frame, const QSize& size, const QRect& spare) {
    constexpr int kGap = 8;
    const QPoint beside[] = {
        {frame.right() + 1 + kGap, frame.top()},
        {frame.left(), frame.bottom() + 1 + kGap},
        {frame.left() - kGap - size.width(), frame.top()},
        {frame.left(), frame.top() - kGap - size.height()},
    };
    for (const QPoint& at : beside) {
        const QRect place(within(available, size, at), size);
        if (available.contains(place) && !place.intersects(frame)) return place.topLeft();
    }
    return within(available, size,
                  spare.center() - QPoint(size.width() / 2, size.height() / 2) + QPoint(1, 1));
}

QtLogoffCountdown::QtLogoffCountdown(QWidget* parent, int tickMilliseconds) : parent_(parent) {
    timer_.setInterval(tickMilliseconds);
    QObject::connect(&timer_, &QTimer::timeout, &timer_, [this] { tick(); });
}

QtLogoffCountdown::~QtLogoffCountdown() {
    delete dialog_.data();
    delete question_.data();
}

QDialog* QtLogoffCountdown::makeDialog() {
    auto* dialog = new QDialog(parent_);
    dialog->setObjectName(QStringLiteral("logoffCountdown"));
    dialog->setWindowTitle(QString::fromUtf16(text::kLogoffTitle));
    dialog->setModal(false);
    auto* text = new QLabel(dialog);
    text->setObjectName(QStringLiteral("countdownText"));
    // What the end will do takes two lines at most, not one across the screen.
    text->setWordWrap(true);
    text->setMinimumWidth(text->fontMetrics().horizontalAdvance(QString(24, u'注')));
    auto* cancelButton = new QPushButton(QString::fromUtf16(text::kCancel), dialog);
    cancelButton->setObjectName(QStringLiteral("countdownCancel"));
    auto* layout = new QVBoxLayout(dialog);
    layout->addWidget(text);
    layout->addWidget(cancelButton, 0, Qt::AlignHCenter);

    // The button, the close box and Esc all reject the dialog.
    QObject::connect(cancelButton, &QPushButton::clicked, dialog, &QDialog::reject);
    QObject::connect(dialog, &QDialog::rejected, dialog, [this] { cancel(); });
    return dialog;
}

void QtLogoffCountdown::start(int seconds, Done done) {
    cancel();
    if (!dialog_) dialog_ = makeDialog();
    secondsLeft_ = std::max(seconds, 1);
    way_.reset();
    done_ = std::move(done);
    showSecondsLeft();
    timer_.start();
    placeDialog();
    dialog_->show();
    dialog_->raise();
    dialog_->activateWindow();
}

void QtLogoffCountdown::cancel() {
    if (running()) finish(false);
}

void QtLogoffCountdown::setLogoffWay(LogoffWay way) {
    if (!running()) return;
    way_ = way;
    showSecondsLeft();
    dialog_->adjustSize();
}

void QtLogoffCountdown::tick() {
    if (!running()) return;
    --secondsLeft_;
    showSecondsLeft();
    if (secondsLeft_ <= 0) finish(true);
}

void QtLogoffCountdown::finish(bool confirmed) {
    timer_.stop();
    if (dialog_) dialog_->hide();
    // `done` may start the next countdown.
    Done callback = std::move(done_);
    done_ = nullptr;
    callback(confirmed);
}

void QtLogoffCountdown::placeDialog() {
    // A hidden window has no controls to cover.
    const QWidget* window = parent_ ? parent_->window() : nullptr;
    if (!window || !window->isVisible() || window->isMinimized() || !window->screen()) return;
    dialog_->adjustSize();
    const QRect frame = frameOf(dialog_);
    const QRect windowFrame = frameOf(window);
    const QRect spare =
        spare_ ? QRect(spare_->mapToGlobal(QPoint(0, 0)), spare_->size()) : windowFrame;
    // move() places a window's frame.
    dialog_->move(asideOf(window->screen()->availableGeometry(), windowFrame, frame.size(), spare));
}

QMessageBox* QtLogoffCountdown::makeQuestion() {
    auto* box = new QMessageBox(parent_);
    box->setObjectName(QStringLiteral("logoffQuestion"));
    box->setWindowTitle(qs(text::kLogoffQuestionTitle));
    box->setText(qs(text::kLogoffQuestion));
    box->setIcon(QMessageBox::Question);
    box->setWindowModality(Qt::WindowModal);
    auto add = [box](const char16_t* caption, const char* name, QMessageBox::ButtonRole role) {
        QPushButton* button = box->addButton(qs(caption), role);
        button->setObjectName(QLatin1String(name));
        return button;
    };
    QPushButton* now = add(text::kLogoffNow, "logoffNow", QMessageBox::DestructiveRole);
    QPushButton* next =
        add(text::kLogoffAfterNextJob, "logoffAfterNextJob", QMessageBox::AcceptRole);
    QPushButton* never = add(text::kCancel, "logoffNever", QMessageBox::RejectRole);
    // Escape, like the close box, is never; ask() sets the default button.
    box->setEscapeButton(never);
    QObject::connect(box, &QMessageBox::buttonClicked, box, [this, now, next](QAbstractButton* b) {
        answer(b == now    ? LogoffWhen::Now
               : b == next ? LogoffWhen::AfterNextJob
                           : LogoffWhen::Never);
    });
    // The close box gives no click; after a click this finds no question open.
    QObject::connect(box, &QDialog::finished, box, [this] { answer(LogoffWhen::Never); });
    return box;
}

void QtLogoffCountdown::ask(int countdownSeconds, Answered answered) {
    withdraw();
    if (!question_) question_ = makeQuestion();
    question_->findChild<QPushButton*>(QStringLiteral("logoffNow"))
        ->setText(qs(text::kLogoffNow).arg(countdownSeconds));
    answered_ = std::move(answered);
    // Return presses 下一次压缩完成后注销, whichever button the last answer
    // left as the default.
    question_->setDefaultButton(
        question_->findChild<QPushButton*>(QStringLiteral("logoffAfterNextJob")));
    question_->open();
}

void QtLogoffCountdown::withdraw() {
    answered_ = nullptr;
    if (question_) question_->hide();
}

void QtLogoffCountdown::answer(LogoffWhen when) {
    if (!asking()) return;
    Answered callback = std::move(answered_);
    answered_ = nullptr;
    if (question_) question_->hide();
    callback(when);
}

void QtLogoffCountdown::showSecondsLeft() {
    if (auto* text =
            dialog_ ? dialog_->findChild<QLabel*>(QStringLiteral("countdownText")) : nullptr)
        text->setText(countdownText(secondsLeft_, way_));
}

}  // namespace velmora
