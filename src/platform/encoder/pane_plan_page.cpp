// The pane's plan page: what the next job will make, before it starts, and
// the details window, which shows the table of every file of the plan or of
// a summary.
#include <QDialog>
#include <QHBoxLayout>
#include <QPushButton>
#include <QStackedLayout>
#include <QVBoxLayout>
#include <algorithm>

#include "platform/encoder/encoder_pane.h"
#include "platform/encoder/pane_labels.h"
#include "platform/qt_text.h"
#include "texts/encoder_texts.h"

namespace velmora {

void EncoderPane::buildPlanPage() {
    planPage_ = new QWidget(this);
    planPage_->setObjectName("encoderPlan");
    auto* page = new QVBoxLayout(planPage_);
    page->setContentsMargins(6, 4, 6, 4);
    page->setSpacing(1);
    auto* top = new QHBoxLayout;
    planHeading_ = pane::figureLabel("encoderPlanHeading", planPage_);
    QFont bold = planHeading_->font();
    bold.setBold(true);
    planHeading_->setFont(bold);
    planHeading_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    top->addWidget(planHeading_, 1);
    planDetailsButton_ = new QPushButton(qs(encoder::text::kPlanDetails), planPage_);
    planDetailsButton_->setObjectName("encoderPlanDetailsButton");
    // As tall as a line of text: the page has room for no more.
    planDetailsButton_->setFixedHeight(planHeading_->fontMetrics().height() + 4);
    connect(planDetailsButton_, &QPushButton::clicked, this, &EncoderPane::showPlanDetails);
    top->addWidget(planDetailsButton_);
    page->addLayout(top);
    for (int i = 0; i < 4; ++i) {
        planLines_[i] =
            pane::figureLabel(i % 2 == 0 ? "encoderPlanFile" : "encoderPlanSettings", planPage_);
        // The lines are fitted to the pane, never the pane to them.
        planLines_[i]->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
        if (i % 2 == 1) planLines_[i]->setIndent(12);
        page->addWidget(planLines_[i]);
    }
    planMore_ = pane::figureLabel("encoderPlanMore", planPage_);
    planMore_->setStyleSheet(pane::kQuietStyle);
    page->addWidget(planMore_);
    planNotes_ = pane::figureLabel("encoderPlanNotes", planPage_);
    planNotes_->setWordWrap(true);
    planNotes_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    planNotes_->setStyleSheet("color: #a60");
    page->addWidget(planNotes_);
    page->addStretch();
}

void EncoderPane::setPlan(const PanePlan& plan) {
    using namespace encoder::text;
    using State = PanePlan::State;
    plan_ = plan;
    switch (plan.state) {
        case State::NoSource:
            idleHint_->setText(qs(kIdleHint));
            break;
        case State::Reading:
            idleHint_->setText(qs(kPlanReading));
            break;
        case State::NotRegular:
            idleHint_->setText(qs(kPlanNotRegular));
            break;
        case State::Refused:
            idleHint_->setText(plan.message);
            break;
        case State::Ready:
            idleHint_->clear();
            break;
    }
    idleHint_->setStyleSheet(plan.state == State::Refused ? pane::colourFor(true)
                                                          : QString(pane::kQuietStyle));
    const PlanText& text = plan.text;
    const std::size_t files = text.files.size();
    planHeading_->setText(text.heading);
    planMore_->setText(files > 2 ? qs(kPlanMoreFiles).arg(files - 2) : QString());
    planMore_->setVisible(files > 2);
    planNotes_->setText(text.notes.join(qs(kWarnSeparator)));
    planNotes_->setVisible(!text.notes.isEmpty());
    const QString table = plan.state == State::Ready ? planTable(text) : QString();
    planPage_->setToolTip(table);
    if (details_ && detailsOfPlan_) {
        detailsTable_->setText(table);
        details_->adjustSize();
        if (plan.state != State::Ready) details_->close();
    }
    fitPlanLines();
    const QWidget* current = pages_->currentWidget();
    if (current == idlePage_ || current == planPage_) showIdleOrPlan();
}

void EncoderPane::fitPlanLines() {
    const std::vector<PlanFileText>& files = plan_.text.files;
    // The slowest file, and the fastest when there are two or more.
    const PlanFileText* shown[2] = {files.empty() ? nullptr : &files.front(),
                                    files.size() > 1 ? &files.back() : nullptr};
    const QString gap = QStringLiteral("　");
    for (int i = 0; i < 2; ++i) {
        QLabel* name = planLines_[2 * i];
        QLabel* settings = planLines_[2 * i + 1];
        name->setVisible(shown[i] != nullptr);
        settings->setVisible(shown[i] != nullptr);
        if (!shown[i]) continue;
        const PlanFileText& f = *shown[i];
        const QFontMetrics metrics = name->fontMetrics();
        const QString before = f.audience + gap, after = gap + f.largest;
        // The page may not be laid out yet; it takes the pane's width less its margins.
        const QMargins margins = planPage_->layout()->contentsMargins();
        const int room = std::max(0, width() - margins.left() - margins.right() - 4 -
                                         metrics.horizontalAdvance(before + after));
        name->setText(before + metrics.elidedText(f.name, Qt::ElideMiddle, room) + after);
        name->setToolTip(f.name);
        settings->setText(f.picture + gap + f.sound + gap + f.budget);
    }
}

void EncoderPane::showPlanDetails() {
    if (plan_.state != PanePlan::State::Ready) return;
    showDetails(encoder::text::kPlanDetailsTitle, planTable(plan_.text), true);
}

void EncoderPane::showDetails(const char* title, const QString& html, bool ofPlan) {
    if (!details_) {
        details_ = new QDialog(this, Qt::Tool);
        details_->setObjectName("planDetails");
        auto* layout = new QVBoxLayout(details_);
        detailsTable_ = new QLabel(details_);
        detailsTable_->setObjectName("planDetailsTable");
        detailsTable_->setTextFormat(Qt::RichText);
        // Read and copied by the keyboard too.
        detailsTable_->setTextInteractionFlags(Qt::TextSelectableByMouse |
                                               Qt::TextSelectableByKeyboard);
        layout->addWidget(detailsTable_);
        auto* close = new QPushButton(qs(encoder::text::kPlanDetailsClose), details_);
        connect(close, &QPushButton::clicked, details_, &QDialog::close);
        layout->addWidget(close, 0, Qt::AlignRight);
    }
    detailsOfPlan_ = ofPlan;
    details_->setWindowTitle(qs(title));
    detailsTable_->setText(html);
    details_->adjustSize();
    details_->show();
    details_->raise();
    details_->activateWindow();
}

}  // namespace velmora
