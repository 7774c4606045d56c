#include "platform/encoder/encoder_pane.h"

#include <QLabel>
#include <QProgressBar>
#include <QStackedLayout>
#include <QVBoxLayout>

#include "platform/encoder/messages.h"

namespace velmora {

namespace {

QLabel* titleLabel(QWidget* parent) {
    auto* title = new QLabel(QString::fromUtf8(encoder::text::kProductName), parent);
    QFont font = title->font();
    font.setPointSize(font.pointSize() * 2);
    font.setBold(true);
    title->setFont(font);
    title->setAlignment(Qt::AlignCenter);
    return title;
}

}  // namespace

EncoderPane::EncoderPane(QWidget* parent) : QWidget(parent) {
    setObjectName("encoderPane");
    pages_ = new QStackedLayout(this);

    idlePage_ = new QWidget(this);
    auto* idle = new QVBoxLayout(idlePage_);
    idle->addWidget(titleLabel(idlePage_));
    budget_ = new QLabel(idlePage_);
    budget_->setObjectName("encoderBudget");
    budget_->setAlignment(Qt::AlignCenter);
    idle->addWidget(budget_);

    jobPage_ = new QWidget(this);
    auto* job = new QVBoxLayout(jobPage_);
    job->addWidget(titleLabel(jobPage_));
    progress_ = new QProgressBar(jobPage_);
    progress_->setObjectName("encoderProgress");
    progress_->setRange(0, 100);
    progress_->setTextVisible(false);
    job->addWidget(progress_);
    percent_ = new QLabel(jobPage_);
    percent_->setObjectName("encoderPercent");
    percent_->setAlignment(Qt::AlignCenter);
    job->addWidget(percent_);

    pages_->addWidget(idlePage_);
    pages_->addWidget(jobPage_);
    showIdle({}, 0);
}

void EncoderPane::showIdle(const QString& audience, int budgetKbps) {
    budget_->setText(audience.isEmpty()
                         ? QString::fromUtf8(encoder::text::kIdle)
                         : QStringLiteral("%1：%2，%3 kbps")
                               .arg(QString::fromUtf8(encoder::text::kBudget), audience)
                               .arg(budgetKbps));
    pages_->setCurrentWidget(idlePage_);
}

void EncoderPane::showJob(int percent) {
    progress_->setValue(percent);
    percent_->setText(
        QStringLiteral("%1 %2%").arg(QString::fromUtf8(encoder::text::kEncoding)).arg(percent));
    pages_->setCurrentWidget(jobPage_);
}

}  // namespace velmora
