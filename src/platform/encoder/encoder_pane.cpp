// The pane itself: its pages, which of them shows, and the idle page. The
// other pages live in pane_plan_page.cpp, pane_job_page.cpp and
// pane_summary_page.cpp.
#include "platform/encoder/encoder_pane.h"

#include <QStackedLayout>
#include <QVBoxLayout>

#include "platform/encoder/pane_labels.h"
#include "platform/qt_text.h"
#include "texts/encoder_texts.h"

namespace velmora {

namespace {

QLabel* titleLabel(QWidget* parent, int scale) {
    auto* title = new QLabel(qs(encoder::text::kProductName), parent);
    QFont font = title->font();
    font.setPointSize(font.pointSize() * scale);
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
    idle->addStretch();
    idle->addWidget(titleLabel(idlePage_, 2));
    budget_ = new QLabel(idlePage_);
    budget_->setObjectName("encoderBudget");
    budget_->setAccessibleDescription(qs(encoder::text::kBudget));
    budget_->setAlignment(Qt::AlignCenter);
    idle->addWidget(budget_);
    idleHint_ = pane::figureLabel("encoderIdleHint", idlePage_);
    idleHint_->setAlignment(Qt::AlignCenter);
    idleHint_->setWordWrap(true);
    idle->addWidget(idleHint_);
    idle->addStretch();
    buildPlanPage();
    buildJobPage();
    buildSummaryPage();

    pages_->addWidget(idlePage_);
    pages_->addWidget(planPage_);
    pages_->addWidget(jobPage_);
    pages_->addWidget(summaryPage_);
    refresh_.setInterval(kRefreshMs);
    connect(&refresh_, &QTimer::timeout, this, &EncoderPane::refresh);
    showIdle({}, 0);
}

void EncoderPane::showIdle(const QString& audience, int budgetKbps) {
    stopWatching();
    setBudgetText(audience, budgetKbps);
    showIdleOrPlan();
}

void EncoderPane::setNextAudience(const QString& audience, int budgetKbps) {
    setBudgetText(audience, budgetKbps);
    showNext();
}

void EncoderPane::showNext() {
    if (pages_->currentWidget() == summaryPage_) showIdleOrPlan();
}

void EncoderPane::showIdleOrPlan() {
    pages_->setCurrentWidget(plan_.state == PanePlan::State::Ready ? planPage_ : idlePage_);
}

void EncoderPane::setBudgetText(const QString& audience, int budgetKbps) {
    budget_->setText(audience.isEmpty() ? qs(encoder::text::kIdle)
                                        : qs(encoder::text::kBudgetLine)
                                              .arg(qs(encoder::text::kBudget), audience)
                                              .arg(budgetKbps));
}

void EncoderPane::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    fitFolderLine();
    fitPlanLines();
}

}  // namespace velmora
