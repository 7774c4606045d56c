#include "platform/countdown.h"

#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>

namespace velmora {

QtLogoffCountdown::QtLogoffCountdown(QWidget* parent, int tickMilliseconds)
    : QDialog(parent),
      message_(new QLabel(this)),
      cancelButton_(new QPushButton(QStringLiteral("取消"), this)),
      timer_(new QTimer(this)) {
    setObjectName(QStringLiteral("logoffCountdown"));
    setWindowTitle(QStringLiteral("注销"));
    setModal(false);
    message_->setObjectName(QStringLiteral("countdownText"));
    cancelButton_->setObjectName(QStringLiteral("countdownCancel"));
    timer_->setInterval(tickMilliseconds);

    connect(cancelButton_, &QPushButton::clicked, this, &QtLogoffCountdown::cancel);
    connect(timer_, &QTimer::timeout, this, &QtLogoffCountdown::tick);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(message_);
    layout->addWidget(cancelButton_, 0, Qt::AlignHCenter);
}

void QtLogoffCountdown::start(int seconds, Done done) {
    cancel();
    secondsLeft_ = std::max(seconds, 1);
    done_ = std::move(done);
    showSecondsLeft();
    timer_->start();
    show();
    raise();
    activateWindow();
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

void QtLogoffCountdown::reject() {
    cancel();
    QDialog::reject();
}

void QtLogoffCountdown::finish(bool confirmed) {
    timer_->stop();
    hide();
    // `done` may start the next countdown.
    Done callback = std::move(done_);
    done_ = nullptr;
    callback(confirmed);
}

void QtLogoffCountdown::showSecondsLeft() {
    message_->setText(QStringLiteral("压缩完成，将在 %1 秒后注销。").arg(secondsLeft_));
}

}  // namespace velmora
