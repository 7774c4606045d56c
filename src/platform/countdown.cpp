#include "platform/countdown.h"

#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>
#include <algorithm>

#include "texts/window_texts.h"

namespace velmora {

namespace {

QString countdownText(int seconds) {
    return QString::fromUtf16(text::kLogoffCountdown).arg(seconds);
}

}  // namespace

QtLogoffCountdown::QtLogoffCountdown(QWidget* parent, int tickMilliseconds) : parent_(parent) {
    timer_.setInterval(tickMilliseconds);
    QObject::connect(&timer_, &QTimer::timeout, &timer_, [this] { tick(); });
}

QtLogoffCountdown::~QtLogoffCountdown() {
    delete dialog_.data();
}

QDialog* QtLogoffCountdown::makeDialog() {
    auto* dialog = new QDialog(parent_);
    dialog->setObjectName(QStringLiteral("logoffCountdown"));
    dialog->setWindowTitle(QString::fromUtf16(text::kLogoffTitle));
    dialog->setModal(false);
    auto* text = new QLabel(dialog);
    text->setObjectName(QStringLiteral("countdownText"));
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
    done_ = std::move(done);
    showSecondsLeft();
    timer_.start();
    dialog_->show();
    dialog_->raise();
    dialog_->activateWindow();
}

void QtLogoffCountdown::cancel() {
    if (running()) finish(false);
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

void QtLogoffCountdown::showSecondsLeft() {
    if (auto* text =
            dialog_ ? dialog_->findChild<QLabel*>(QStringLiteral("countdownText")) : nullptr)
        text->setText(countdownText(secondsLeft_));
}

}  // namespace velmora
