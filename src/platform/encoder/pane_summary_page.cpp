// The pane's summary page: what an ended job left, until the next start or
// change of settings.
#include <QDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QStackedLayout>
#include <QVBoxLayout>
#include <algorithm>

#include "platform/encoder/encoder_pane.h"
#include "platform/encoder/pane_labels.h"
#include "platform/qt_text.h"
#include "texts/encoder_texts.h"

namespace velmora {

namespace {

// Seconds in tenths, rounded up: the wait is never understated.
QString prerollText(std::int64_t ms) {
    const std::int64_t tenths = (std::max<std::int64_t>(ms, 0) + 99) / 100;
    return QStringLiteral("%1.%2").arg(tenths / 10).arg(tenths % 10);
}

// The tooltip of a summary of several files: their folder, then a row each.
QString filesTable(const JobSummary& s) {
    using namespace encoder::text;
    // A tooltip wraps rich text at a width of its own choosing; a row per line reads better.
    QString html = QStringLiteral(
                       "<html><head><style>p, th, td { white-space: nowrap; }</style></head>"
                       "<body><p>%1</p><table cellspacing=\"0\" cellpadding=\"3\"><tr>")
                       .arg(qs(kSummaryFolder).arg(s.folder.toHtmlEscaped()));
    for (const char* column :
         {kTableFile, kTableAudience, kTableSize, kTableKbps, kTablePicture, kTablePreroll})
        html += QStringLiteral("<th align=\"left\">%1</th>").arg(qs(column));
    html += QStringLiteral("</tr>");
    for (const FileSummary& f : s.files) {
        const std::int64_t kbps = f.averageKbps();
        const QString picture = f.width > 0 && f.height > 0
                                    ? QStringLiteral("%1×%2").arg(f.width).arg(f.height)
                                    : qs(kNoPicture);
        html +=
            QStringLiteral(
                "<tr><td>%1</td><td>%2</td><td align=\"right\">%3</td>"
                "<td align=\"right\" style=\"%4\">%5/%6 kbps</td><td>%7</td>"
                "<td align=\"right\">%8</td></tr>")
                // In one pass, so a name with a % in it stays as it is.
                .arg(f.fileName.toHtmlEscaped(), f.audience.toHtmlEscaped(), qs(sizeText(f.bytes)),
                     pane::colourFor(f.budgetKbps > 0 && kbps > f.budgetKbps),
                     QString::number(kbps), QString::number(f.budgetKbps), picture,
                     qs(kSecondsValue).arg(prerollText(f.prerollMs)));
    }
    return html + QStringLiteral("</table></body></html>");
}

}  // namespace

void EncoderPane::buildSummaryPage() {
    summaryPage_ = new QWidget(this);
    summaryPage_->setObjectName("encoderSummary");
    auto* summary = new QVBoxLayout(summaryPage_);
    summary->addStretch();
    summaryTitle_ = pane::figureLabel("encoderSummaryTitle", summaryPage_);
    QFont bold = summaryTitle_->font();
    bold.setBold(true);
    summaryTitle_->setFont(bold);
    summaryFile_ = pane::figureLabel("encoderSummaryFile", summaryPage_);
    summaryFigures_ = pane::figureLabel("encoderSummaryFigures", summaryPage_);
    summaryWarning_ = pane::figureLabel("encoderSummaryWarning", summaryPage_);
    summaryWarning_->setStyleSheet(pane::colourFor(true));
    summaryWarning_->setWordWrap(true);
    summaryHint_ = pane::figureLabel("encoderSummaryHint", summaryPage_);
    summaryHint_->setText(qs(encoder::text::kSummaryDetailsHint));
    summaryHint_->setStyleSheet(pane::kQuietStyle);
    for (QLabel* label :
         {summaryTitle_, summaryFile_, summaryFigures_, summaryWarning_, summaryHint_}) {
        label->setAlignment(Qt::AlignCenter);
        summary->addWidget(label);
    }
    folderNotOpened_ = pane::figureLabel("encoderFolderNotOpened", summaryPage_);
    folderNotOpened_->setStyleSheet(pane::colourFor(true));
    folderNotOpened_->setAlignment(Qt::AlignCenter);
    folderNotOpened_->setWordWrap(true);
    // Selected and copied with the mouse or the keyboard.
    folderNotOpened_->setTextInteractionFlags(Qt::TextSelectableByMouse |
                                              Qt::TextSelectableByKeyboard);
    folderNotOpened_->hide();
    summary->addWidget(folderNotOpened_);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    summaryDetailsButton_ = new QPushButton(qs(encoder::text::kPlanDetails), summaryPage_);
    summaryDetailsButton_->setObjectName("encoderSummaryDetailsButton");
    connect(summaryDetailsButton_, &QPushButton::clicked, this, &EncoderPane::showSummaryDetails);
    buttons->addWidget(summaryDetailsButton_);
    openFolder_ = new QPushButton(qs(encoder::text::kOpenFolder), summaryPage_);
    openFolder_->setObjectName("encoderOpenFolder");
    connect(openFolder_, &QPushButton::clicked, this,
            [this] { emit openFolderClicked(summaryFolder_); });
    buttons->addWidget(openFolder_);
    buttons->addStretch();
    summary->addLayout(buttons);
    summary->addStretch();
}

void EncoderPane::showSummaryDetails() {
    if (summaryTable_.isEmpty()) return;
    showDetails(encoder::text::kSummaryDetailsTitle, summaryTable_, false);
}

void EncoderPane::showFolderNotOpened(const QString& folder) {
    // A job running now has the pane; its summary will say nothing of this.
    if (pages_->currentWidget() == jobPage_) return;
    folderNotOpened_->setText(qs(encoder::text::kNoFolderOpener) + u'\n' + folder);
    folderNotOpened_->show();
    pages_->setCurrentWidget(summaryPage_);
}

void EncoderPane::showSummary(const JobSummary& s) {
    using namespace encoder::text;
    stopWatching();
    if (s.files.empty()) return;
    using Ended = JobSummary::Ended;
    summaryTitle_->setText(qs(s.ended == Ended::Completed ? kSummaryCompleted
                              : s.ended == Ended::Stopped ? kSummaryStopped
                                                          : kSummaryFailedKept));
    const FileSummary& named = s.files.front();
    const bool several = s.files.size() > 1;
    if (several) {
        std::int64_t total = 0;
        for (const FileSummary& f : s.files) total += f.bytes;
        summaryFile_->setText(qs(kSummaryFiles)
                                  .arg(s.files.size())
                                  .arg(qs(sizeText(total)), clockText(named.heldMs)));
        folderLine_ = qs(kSummaryFolder).arg(s.folder);
        fitFolderLine();
        summaryFigures_->setStyleSheet({});
    } else {
        const std::int64_t kbps = named.averageKbps();
        folderLine_.clear();
        summaryFile_->setText(named.fileName);
        summaryFigures_->setText(qs(kSummaryFigures)
                                     .arg(clockText(named.heldMs), qs(sizeText(named.bytes)))
                                     .arg(kbps)
                                     .arg(named.budgetKbps)
                                     .arg(prerollText(named.prerollMs)));
        summaryFigures_->setStyleSheet(
            pane::colourFor(named.budgetKbps > 0 && kbps > named.budgetKbps));
    }
    summaryHint_->setVisible(several);
    summaryDetailsButton_->setVisible(several);
    folderNotOpened_->hide();
    summaryFolder_ = s.folder;
    summaryTable_ = several ? filesTable(s) : QString();
    summaryPage_->setToolTip(summaryTable_);
    if (details_ && !detailsOfPlan_ && details_->isVisible()) {
        if (several)
            showSummaryDetails();
        else
            details_->close();
    }
    summaryWarning_->setText(s.warning);
    summaryWarning_->setVisible(!s.warning.isEmpty());
    pages_->setCurrentWidget(summaryPage_);
}

void EncoderPane::fitFolderLine() {
    if (folderLine_.isEmpty()) return;
    // A deep folder would widen the pane, whose size is fixed: its middle gives way.
    const int margins = summaryPage_->layout()->contentsMargins().left() +
                        summaryPage_->layout()->contentsMargins().right();
    summaryFigures_->setText(summaryFigures_->fontMetrics().elidedText(
        folderLine_, Qt::ElideMiddle, std::max(width() - margins, 0)));
}

}  // namespace velmora
