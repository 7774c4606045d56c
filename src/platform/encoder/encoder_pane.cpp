#include "platform/encoder/encoder_pane.h"

#include <QDialog>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QStackedLayout>
#include <QVBoxLayout>
#include <algorithm>

#include "engine/engine.h"
#include "texts/encoder_texts.h"

namespace velmora {

namespace {

QString tr8(const char* text) {
    return QString::fromUtf8(text);
}

QLabel* titleLabel(QWidget* parent, int scale) {
    auto* title = new QLabel(tr8(encoder::text::kProductName), parent);
    QFont font = title->font();
    font.setPointSize(font.pointSize() * scale);
    font.setBold(true);
    title->setFont(font);
    title->setAlignment(Qt::AlignCenter);
    return title;
}

QLabel* figureLabel(const char* name, QWidget* parent) {
    auto* label = new QLabel(parent);
    label->setObjectName(name);
    label->setTextFormat(Qt::PlainText);
    return label;
}

QString colourFor(bool overBudget) {
    return overBudget ? QStringLiteral("color: #b00") : QString();
}

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
                       .arg(tr8(kSummaryFolder).arg(s.folder.toHtmlEscaped()));
    for (const char* column :
         {kTableFile, kTableAudience, kTableSize, kTableKbps, kTablePicture, kTablePreroll})
        html += QStringLiteral("<th align=\"left\">%1</th>").arg(tr8(column));
    html += QStringLiteral("</tr>");
    for (const FileSummary& f : s.files) {
        const std::int64_t kbps = f.averageKbps();
        const QString picture = f.width > 0 && f.height > 0
                                    ? QStringLiteral("%1×%2").arg(f.width).arg(f.height)
                                    : tr8(kNoPicture);
        html += QStringLiteral(
                    "<tr><td>%1</td><td>%2</td><td align=\"right\">%3</td>"
                    "<td align=\"right\" style=\"%4\">%5/%6 kbps</td><td>%7</td>"
                    "<td align=\"right\">%8</td></tr>")
                    // In one pass, so a name with a % in it stays as it is.
                    .arg(f.fileName.toHtmlEscaped(), f.audience.toHtmlEscaped(), sizeText(f.bytes),
                         colourFor(f.budgetKbps > 0 && kbps > f.budgetKbps), QString::number(kbps),
                         QString::number(f.budgetKbps), picture,
                         tr8(kSecondsValue).arg(prerollText(f.prerollMs)));
    }
    return html + QStringLiteral("</table></body></html>");
}

}  // namespace

PaneFigures paneFigures(std::int64_t encodedMs, std::int64_t durationMs, std::int64_t elapsedMs,
                        std::int64_t bytes) {
    PaneFigures f;
    if (encodedMs > 0) f.kbps = bytes * 8 / encodedMs;
    if (elapsedMs > 0) f.speed = static_cast<double>(encodedMs) / elapsedMs;
    if (durationMs > 0 && encodedMs > 0)
        f.remainingMs = std::max<std::int64_t>(0, durationMs - encodedMs) * elapsedMs / encodedMs;
    return f;
}

QString clockText(std::int64_t ms) {
    const std::int64_t seconds = std::max<std::int64_t>(0, ms) / 1000;
    const auto two = [](std::int64_t v) { return QStringLiteral("%1").arg(v, 2, 10, QChar('0')); };
    if (seconds >= 3600)
        return QStringLiteral("%1:%2:%3")
            .arg(seconds / 3600)
            .arg(two(seconds / 60 % 60), two(seconds % 60));
    return QStringLiteral("%1:%2").arg(two(seconds / 60), two(seconds % 60));
}

QString sizeText(std::int64_t bytes) {
    if (bytes < 1024) return QStringLiteral("%1 B").arg(std::max<std::int64_t>(bytes, 0));
    if (bytes < 1024 * 1024) return QStringLiteral("%1 KB").arg(bytes / 1024.0, 0, 'f', 1);
    return QStringLiteral("%1 MB").arg(bytes / (1024.0 * 1024.0), 0, 'f', 1);
}

QImage pictureOf(const AVFrame* frame, QSize box) {
    if (!frame || frame->width <= 0 || frame->height <= 0) return {};
    const QSize size = box.isEmpty()
                           ? QSize(frame->width, frame->height)
                           : QSize(frame->width, frame->height).scaled(box, Qt::KeepAspectRatio);
    if (size.isEmpty()) return {};
    const encoder::FramePtr rgb = encoder::toRgb32(*frame, size.width(), size.height());
    if (!rgb) return {};
    return QImage(rgb->data[0], rgb->width, rgb->height, rgb->linesize[0], QImage::Format_RGB32)
        .copy();
}

PictureView::PictureView(const QString& caption, QWidget* parent)
    : QWidget(parent), caption_(caption) {
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void PictureView::setFrame(encoder::FramePtr frame) {
    frame_ = std::move(frame);
    picture_ = frame_ ? pictureOf(frame_.get(), size()) : QImage();
    update();
}

void PictureView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), QColor(24, 24, 28));
    const QFontMetrics metrics(font());
    // Resized since: scale again rather than let the painter do it.
    if (frame_ && picture_.size() != picture_.size().scaled(size(), Qt::KeepAspectRatio))
        picture_ = pictureOf(frame_.get(), size());
    if (!picture_.isNull()) {
        painter.drawImage(
            QPoint((width() - picture_.width()) / 2, (height() - picture_.height()) / 2), picture_);
    } else {
        painter.setPen(QColor(140, 140, 150));
        painter.drawText(rect(), Qt::AlignCenter, tr8(encoder::text::kNoPicture));
    }
    const QRect band(0, 0, metrics.horizontalAdvance(caption_) + 8, metrics.height() + 2);
    painter.fillRect(band, QColor(0, 0, 0, 150));
    painter.setPen(Qt::white);
    painter.drawText(band, Qt::AlignCenter, caption_);
}

EncoderPane::EncoderPane(QWidget* parent) : QWidget(parent) {
    setObjectName("encoderPane");
    pages_ = new QStackedLayout(this);

    idlePage_ = new QWidget(this);
    auto* idle = new QVBoxLayout(idlePage_);
    idle->addStretch();
    idle->addWidget(titleLabel(idlePage_, 2));
    budget_ = new QLabel(idlePage_);
    budget_->setObjectName("encoderBudget");
    budget_->setAlignment(Qt::AlignCenter);
    idle->addWidget(budget_);
    idleHint_ = figureLabel("encoderIdleHint", idlePage_);
    idleHint_->setAlignment(Qt::AlignCenter);
    idleHint_->setWordWrap(true);
    idle->addWidget(idleHint_);
    idle->addStretch();
    buildPlanPage();

    jobPage_ = new QWidget(this);
    auto* job = new QVBoxLayout(jobPage_);
    job->setContentsMargins(4, 4, 4, 4);
    job->setSpacing(3);
    auto* top = new QHBoxLayout;
    top->setSpacing(4);
    source_ = new PictureView(tr8(encoder::text::kSourcePicture), jobPage_);
    source_->setObjectName("encoderSourcePicture");
    output_ = new PictureView(tr8(encoder::text::kOutputPicture), jobPage_);
    output_->setObjectName("encoderOutputPicture");
    top->addWidget(source_, 4);
    top->addWidget(output_, 4);
    auto* figures = new QVBoxLayout;
    figures->setSpacing(1);
    elapsed_ = figureLabel("encoderElapsed", jobPage_);
    remaining_ = figureLabel("encoderRemaining", jobPage_);
    speed_ = figureLabel("encoderSpeed", jobPage_);
    bitRate_ = figureLabel("encoderBitRate", jobPage_);
    bitRate_->setWordWrap(true);
    spaceShort_ = figureLabel("encoderSpaceShort", jobPage_);
    spaceShort_->setText(tr8(encoder::text::kSpaceShort));
    spaceShort_->setStyleSheet(colourFor(true));
    spaceShort_->setWordWrap(true);
    for (QLabel* label : {elapsed_, remaining_, speed_, bitRate_, spaceShort_})
        figures->addWidget(label);
    figures->addStretch();
    top->addLayout(figures, 3);
    job->addLayout(top, 1);
    auto* bottom = new QHBoxLayout;
    progress_ = new QProgressBar(jobPage_);
    progress_->setObjectName("encoderProgress");
    progress_->setRange(0, 100);
    progress_->setTextVisible(false);
    progress_->setFixedHeight(12);
    bottom->addWidget(progress_, 1);
    percent_ = new QLabel(jobPage_);
    percent_->setObjectName("encoderPercent");
    bottom->addWidget(percent_);
    job->addLayout(bottom);

    summaryPage_ = new QWidget(this);
    summaryPage_->setObjectName("encoderSummary");
    auto* summary = new QVBoxLayout(summaryPage_);
    summary->addStretch();
    summaryTitle_ = figureLabel("encoderSummaryTitle", summaryPage_);
    QFont bold = summaryTitle_->font();
    bold.setBold(true);
    summaryTitle_->setFont(bold);
    summaryFile_ = figureLabel("encoderSummaryFile", summaryPage_);
    summaryFigures_ = figureLabel("encoderSummaryFigures", summaryPage_);
    summaryWarning_ = figureLabel("encoderSummaryWarning", summaryPage_);
    summaryWarning_->setStyleSheet(colourFor(true));
    summaryWarning_->setWordWrap(true);
    summaryHint_ = figureLabel("encoderSummaryHint", summaryPage_);
    summaryHint_->setText(tr8(encoder::text::kSummaryDetailsHint));
    summaryHint_->setStyleSheet("color: #666");
    for (QLabel* label :
         {summaryTitle_, summaryFile_, summaryFigures_, summaryWarning_, summaryHint_}) {
        label->setAlignment(Qt::AlignCenter);
        summary->addWidget(label);
    }
    openFolder_ = new QPushButton(tr8(encoder::text::kOpenFolder), summaryPage_);
    openFolder_->setObjectName("encoderOpenFolder");
    connect(openFolder_, &QPushButton::clicked, this,
            [this] { emit openFolderClicked(summaryFolder_); });
    summary->addWidget(openFolder_, 0, Qt::AlignCenter);
    summary->addStretch();

    pages_->addWidget(idlePage_);
    pages_->addWidget(planPage_);
    pages_->addWidget(jobPage_);
    pages_->addWidget(summaryPage_);
    refresh_.setInterval(kRefreshMs);
    connect(&refresh_, &QTimer::timeout, this, &EncoderPane::refresh);
    showIdle({}, 0);
}

void EncoderPane::buildPlanPage() {
    planPage_ = new QWidget(this);
    planPage_->setObjectName("encoderPlan");
    auto* page = new QVBoxLayout(planPage_);
    page->setContentsMargins(6, 4, 6, 4);
    page->setSpacing(1);
    auto* top = new QHBoxLayout;
    planHeading_ = figureLabel("encoderPlanHeading", planPage_);
    QFont bold = planHeading_->font();
    bold.setBold(true);
    planHeading_->setFont(bold);
    planHeading_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    top->addWidget(planHeading_, 1);
    planDetailsButton_ = new QPushButton(tr8(encoder::text::kPlanDetails), planPage_);
    planDetailsButton_->setObjectName("encoderPlanDetailsButton");
    planDetailsButton_->setFocusPolicy(Qt::NoFocus);
    // As tall as a line of text: the page has room for no more.
    planDetailsButton_->setFixedHeight(planHeading_->fontMetrics().height() + 4);
    connect(planDetailsButton_, &QPushButton::clicked, this, &EncoderPane::showPlanDetails);
    top->addWidget(planDetailsButton_);
    page->addLayout(top);
    for (int i = 0; i < 4; ++i) {
        planLines_[i] =
            figureLabel(i % 2 == 0 ? "encoderPlanFile" : "encoderPlanSettings", planPage_);
        // The lines are fitted to the pane, never the pane to them.
        planLines_[i]->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
        if (i % 2 == 1) planLines_[i]->setIndent(12);
        page->addWidget(planLines_[i]);
    }
    planMore_ = figureLabel("encoderPlanMore", planPage_);
    planMore_->setStyleSheet("color: #666");
    page->addWidget(planMore_);
    planNotes_ = figureLabel("encoderPlanNotes", planPage_);
    planNotes_->setWordWrap(true);
    planNotes_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    planNotes_->setStyleSheet("color: #a60");
    page->addWidget(planNotes_);
    page->addStretch();
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

void EncoderPane::setPlan(const PanePlan& plan) {
    using namespace encoder::text;
    using State = PanePlan::State;
    plan_ = plan;
    switch (plan.state) {
        case State::NoSource:
            idleHint_->setText(tr8(kIdleHint));
            break;
        case State::Reading:
            idleHint_->setText(tr8(kPlanReading));
            break;
        case State::NotRegular:
            idleHint_->setText(tr8(kPlanNotRegular));
            break;
        case State::Refused:
            idleHint_->setText(plan.message);
            break;
        case State::Ready:
            idleHint_->clear();
            break;
    }
    idleHint_->setStyleSheet(plan.state == State::Refused ? colourFor(true)
                                                          : QStringLiteral("color: #666"));
    const PlanText& text = plan.text;
    const std::size_t files = text.files.size();
    planHeading_->setText(text.heading);
    planMore_->setText(files > 2 ? tr8(kPlanMoreFiles).arg(files - 2) : QString());
    planMore_->setVisible(files > 2);
    planNotes_->setText(text.notes.join(tr8(kWarnSeparator)));
    planNotes_->setVisible(!text.notes.isEmpty());
    const QString table = plan.state == State::Ready ? planTable(text) : QString();
    planPage_->setToolTip(table);
    if (planDetails_) {
        planTable_->setText(table);
        planDetails_->adjustSize();
        if (plan.state != State::Ready) planDetails_->close();
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
    if (!planDetails_) {
        planDetails_ = new QDialog(this, Qt::Tool);
        planDetails_->setObjectName("planDetails");
        planDetails_->setWindowTitle(tr8(encoder::text::kPlanDetailsTitle));
        auto* layout = new QVBoxLayout(planDetails_);
        planTable_ = new QLabel(planDetails_);
        planTable_->setObjectName("planDetailsTable");
        planTable_->setTextFormat(Qt::RichText);
        planTable_->setTextInteractionFlags(Qt::TextSelectableByMouse);
        layout->addWidget(planTable_);
        auto* close = new QPushButton(tr8(encoder::text::kPlanDetailsClose), planDetails_);
        connect(close, &QPushButton::clicked, planDetails_, &QDialog::close);
        layout->addWidget(close, 0, Qt::AlignRight);
    }
    planTable_->setText(planTable(plan_.text));
    planDetails_->adjustSize();
    planDetails_->show();
    planDetails_->raise();
}

void EncoderPane::setBudgetText(const QString& audience, int budgetKbps) {
    budget_->setText(audience.isEmpty() ? tr8(encoder::text::kIdle)
                                        : tr8(encoder::text::kBudgetLine)
                                              .arg(tr8(encoder::text::kBudget), audience)
                                              .arg(budgetKbps));
}

void EncoderPane::stopWatching() {
    refresh_.stop();
    preview_.reset();
    source_->setFrame(nullptr);
    output_->setFrame(nullptr);
}

void EncoderPane::showSummary(const JobSummary& s) {
    using namespace encoder::text;
    stopWatching();
    if (s.files.empty()) return;
    summaryTitle_->setText(tr8(s.completed ? kSummaryCompleted : kSummaryStopped));
    const FileSummary& named = s.files.front();
    const bool several = s.files.size() > 1;
    if (several) {
        std::int64_t total = 0;
        for (const FileSummary& f : s.files) total += f.bytes;
        summaryFile_->setText(
            tr8(kSummaryFiles).arg(s.files.size()).arg(sizeText(total), clockText(named.heldMs)));
        folderLine_ = tr8(kSummaryFolder).arg(s.folder);
        fitFolderLine();
        summaryFigures_->setStyleSheet({});
    } else {
        const std::int64_t kbps = named.averageKbps();
        folderLine_.clear();
        summaryFile_->setText(named.fileName);
        summaryFigures_->setText(tr8(kSummaryFigures)
                                     .arg(clockText(named.heldMs), sizeText(named.bytes))
                                     .arg(kbps)
                                     .arg(named.budgetKbps)
                                     .arg(prerollText(named.prerollMs)));
        summaryFigures_->setStyleSheet(colourFor(named.budgetKbps > 0 && kbps > named.budgetKbps));
    }
    summaryHint_->setVisible(several);
    summaryFolder_ = s.folder;
    summaryPage_->setToolTip(several ? filesTable(s) : QString());
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

void EncoderPane::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    fitFolderLine();
    fitPlanLines();
}

void EncoderPane::startJob(std::shared_ptr<encoder::JobPreview> preview, const PaneJob& job) {
    preview_ = std::move(preview);
    job_ = job;
    spaceShort_->setVisible(job.spaceShort);
    clock_.start();
    showJob(0);
    refresh();
    refresh_.start();
}

void EncoderPane::showJob(int percent, std::int64_t durationMs) {
    progress_->setValue(percent);
    percent_->setText(QStringLiteral("%1%").arg(percent));
    pages_->setCurrentWidget(jobPage_);
    if (durationMs > 0 && durationMs != job_.durationMs) {
        job_.durationMs = durationMs;
        refresh();
    }
}

void EncoderPane::refresh() {
    const std::int64_t elapsed = clock_.isValid() ? clock_.elapsed() : 0;
    std::int64_t encodedMs = 0, bytes = 0;
    if (preview_) {
        encodedMs = preview_->encodedMs.load(std::memory_order_relaxed);
        bytes = preview_->bytes.load(std::memory_order_relaxed);
        if (auto pair = preview_->frames.take()) {
            source_->setFrame(std::move(pair->source));
            output_->setFrame(std::move(pair->output));
        }
    }
    const PaneFigures f = paneFigures(encodedMs, job_.durationMs, elapsed, bytes);
    elapsed_->setText(
        QStringLiteral("%1 %2").arg(tr8(encoder::text::kElapsed), clockText(elapsed)));
    remaining_->setText(QStringLiteral("%1 %2").arg(
        tr8(encoder::text::kRemaining),
        f.remainingMs >= 0 ? clockText(f.remainingMs) : tr8(encoder::text::kUnknown)));
    speed_->setText(QStringLiteral("%1 %2 %3")
                        .arg(tr8(encoder::text::kSpeed))
                        .arg(f.speed, 0, 'f', 1)
                        .arg(tr8(encoder::text::kRealTime)));
    QString bitRate = QStringLiteral("%1 %2/%3 kbps")
                          .arg(tr8(encoder::text::kBitRate))
                          .arg(f.kbps)
                          .arg(job_.budgetKbps);
    if (job_.files > 1) bitRate += tr8(encoder::text::kJobFiles).arg(job_.files);
    bitRate_->setText(bitRate);
    const QString colour = colourFor(job_.budgetKbps > 0 && f.kbps > job_.budgetKbps);
    if (bitRate_->styleSheet() != colour) bitRate_->setStyleSheet(colour);
}

}  // namespace velmora
