// The pane's job page: the source and output pictures side by side, the
// running figures and the progress bar.
#include <QAccessibleWidget>
#include <QHBoxLayout>
#include <QPainter>
#include <QProgressBar>
#include <QStackedLayout>
#include <QVBoxLayout>
#include <algorithm>

#include "engine/job/engine.h"
#include "platform/encoder/encoder_pane.h"
#include "platform/encoder/pane_labels.h"
#include "platform/qt_text.h"
#include "texts/encoder_texts.h"

namespace velmora {

JobFigures jobFigures(std::int64_t encodedMs, std::int64_t durationMs, std::int64_t elapsedMs,
                      std::int64_t bytes) {
    JobFigures f;
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

namespace {

// A picture to a screen reader: an image named by its caption, not a blank
// panel.
QAccessibleInterface* pictureAccessible(const QString& className, QObject* object) {
    if (className != QLatin1String(PictureView::staticMetaObject.className())) return nullptr;
    return new QAccessibleWidget(static_cast<QWidget*>(object), QAccessible::Graphic);
}

}  // namespace

PictureView::PictureView(const QString& caption, QWidget* parent)
    : QWidget(parent), caption_(caption) {
    static const bool accessible = [] {
        QAccessible::installFactory(pictureAccessible);
        return true;
    }();
    (void)accessible;
    setAttribute(Qt::WA_OpaquePaintEvent);
    setAccessibleName(caption);
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
        painter.drawText(rect(), Qt::AlignCenter, qs(encoder::text::kNoPicture));
    }
    const QRect band(0, 0, metrics.horizontalAdvance(caption_) + 8, metrics.height() + 2);
    painter.fillRect(band, QColor(0, 0, 0, 150));
    painter.setPen(Qt::white);
    painter.drawText(band, Qt::AlignCenter, caption_);
}

void EncoderPane::buildJobPage() {
    jobPage_ = new QWidget(this);
    auto* job = new QVBoxLayout(jobPage_);
    job->setContentsMargins(4, 4, 4, 4);
    job->setSpacing(3);
    auto* top = new QHBoxLayout;
    top->setSpacing(4);
    source_ = new PictureView(qs(encoder::text::kSourcePicture), jobPage_);
    source_->setObjectName("encoderSourcePicture");
    output_ = new PictureView(qs(encoder::text::kOutputPicture), jobPage_);
    output_->setObjectName("encoderOutputPicture");
    top->addWidget(source_, 4);
    top->addWidget(output_, 4);
    auto* figures = new QVBoxLayout;
    figures->setSpacing(1);
    elapsed_ = pane::figureLabel("encoderElapsed", jobPage_);
    remaining_ = pane::figureLabel("encoderRemaining", jobPage_);
    speed_ = pane::figureLabel("encoderSpeed", jobPage_);
    bitRate_ = pane::figureLabel("encoderBitRate", jobPage_);
    bitRate_->setWordWrap(true);
    spaceShort_ = pane::figureLabel("encoderSpaceShort", jobPage_);
    spaceShort_->setText(qs(encoder::text::kSpaceShort));
    spaceShort_->setStyleSheet(pane::colourFor(true));
    spaceShort_->setWordWrap(true);
    for (QLabel* label : {elapsed_, remaining_, speed_, bitRate_, spaceShort_})
        figures->addWidget(label);
    figures->addStretch();
    top->addLayout(figures, 3);
    job->addLayout(top, 1);
    auto* bottom = new QHBoxLayout;
    progress_ = new QProgressBar(jobPage_);
    progress_->setObjectName("encoderProgress");
    progress_->setAccessibleName(qs(encoder::text::kProgressName));
    progress_->setRange(0, 100);
    progress_->setTextVisible(false);
    progress_->setFixedHeight(12);
    bottom->addWidget(progress_, 1);
    percent_ = new QLabel(jobPage_);
    percent_->setObjectName("encoderPercent");
    percent_->setAccessibleDescription(qs(encoder::text::kProgressName));
    bottom->addWidget(percent_);
    job->addLayout(bottom);
}

void EncoderPane::stopWatching() {
    refresh_.stop();
    preview_.reset();
    source_->setFrame(nullptr);
    output_->setFrame(nullptr);
}

void EncoderPane::startJob(std::shared_ptr<encoder::JobPreview> preview, const PaneJob& job) {
    preview_ = std::move(preview);
    job_ = job;
    spaceShort_->setVisible(job.spaceShort);
    clock_.start();
    showJob(0);
    showFigures({});
    refresh();
    refresh_.start();
}

void EncoderPane::showJob(int percent) {
    progress_->setValue(percent);
    percent_->setText(QStringLiteral("%1%").arg(percent));
    pages_->setCurrentWidget(jobPage_);
}

void EncoderPane::showFigures(const JobFigures& f) {
    using namespace encoder::text;
    remaining_->setText(QStringLiteral("%1 %2").arg(
        qs(kRemaining), f.remainingMs >= 0 ? clockText(f.remainingMs) : qs(kUnknown)));
    speed_->setText(
        QStringLiteral("%1 %2 %3").arg(qs(kSpeed)).arg(f.speed, 0, 'f', 1).arg(qs(kRealTime)));
    QString bitRate =
        QStringLiteral("%1 %2/%3 kbps").arg(qs(kBitRate)).arg(f.kbps).arg(job_.budgetKbps);
    if (job_.files > 1) bitRate += qs(kJobFiles).arg(job_.files);
    bitRate_->setText(bitRate);
    const QString colour = pane::colourFor(job_.budgetKbps > 0 && f.kbps > job_.budgetKbps);
    if (bitRate_->styleSheet() != colour) bitRate_->setStyleSheet(colour);
}

void EncoderPane::refresh() {
    const std::int64_t elapsed = clock_.isValid() ? clock_.elapsed() : 0;
    if (preview_) {
        if (auto pair = preview_->frames.take()) {
            source_->setFrame(std::move(pair->source));
            output_->setFrame(std::move(pair->output));
        }
    }
    elapsed_->setText(QStringLiteral("%1 %2").arg(qs(encoder::text::kElapsed), clockText(elapsed)));
}

}  // namespace velmora
