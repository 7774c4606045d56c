#include "platform/encoder/ffmpeg_encoder_component.h"

#include <QFileInfo>
#include <QMetaObject>
#include <QVBoxLayout>
#include <QWidget>
#include <algorithm>
#include <limits>
#include <utility>

#include "platform/encoder/encoder_pane.h"
#include "texts/encoder_texts.h"

namespace velmora {

using namespace encoder;

namespace {

enum class Kind { Boolean, Long, String };

std::optional<Kind> kindOf(DispId id) {
    switch (id) {
        case prop::Unnamed3155:
        case prop::Unnamed3156:
            return Kind::Boolean;
        case prop::Unnamed3151:
        case prop::AudioContent:
        case prop::VideoQuality:
            return Kind::Long;
        case prop::InputFilename:
        case prop::OutputFilename:
        case prop::TempDirectory:
            return Kind::String;
        default:
            return audienceForProperty(id) ? std::optional(Kind::Boolean) : std::nullopt;
    }
}

bool hasKind(const Variant& value, Kind kind) {
    switch (kind) {
        case Kind::Boolean:
            return value.is(Variant::Type::Boolean);
        case Kind::Long:
            return value.is(Variant::Type::Long);
        case Kind::String:
            return value.is(Variant::Type::String);
    }
    return false;
}

const char* kindName(Kind kind) {
    switch (kind) {
        case Kind::Boolean:
            return "Boolean";
        case Kind::Long:
            return "Long";
        case Kind::String:
            return "String";
    }
    return "?";
}

std::pair<QString, int> slowestOf(const AudienceSet& audiences) {
    const auto audience = slowestAudience(audiences);
    if (!audience) return {QString(), 0};
    const AudienceProfile& p = profileOf(*audience);
    return {QString::fromUtf8(p.name.data(), static_cast<int>(p.name.size())), p.budgetKbps};
}

Variant longOf(std::int64_t v) {
    return Variant::long_(static_cast<std::int32_t>(
        std::clamp<std::int64_t>(v, 0, std::numeric_limits<std::int32_t>::max())));
}

}  // namespace

FfmpegEncoderComponent::FfmpegEncoderComponent(QObject* parent) : QObject(parent) {}

FfmpegEncoderComponent::~FfmpegEncoderComponent() {
    engine_.stopWithin(kLeavePatience);
}

Status FfmpegEncoderComponent::put(DispId id, const Variant& value) {
    const std::optional<Kind> kind = kindOf(id);
    if (!kind) return Status::fail(text::withReason(text::kUnknownId, std::to_string(id)));
    if (!hasKind(value, *kind))
        return Status::fail(text::withReason(text::kWrongType,
                                             text::withSubject(std::to_string(id), text::kNeeds) +
                                                 kindName(*kind) + text::kGot + value.describe()));

    if (const auto audience = audienceForProperty(id)) {
        next_.audiences.set(static_cast<std::size_t>(*audience), value.toBool());
        settingsChanged();
        return Status::ok();
    }
    switch (id) {
        case prop::InputFilename:
            next_.source = value.toUtf8();
            break;
        case prop::OutputFilename:
            next_.destination = value.toUtf8();
            break;
        case prop::TempDirectory:
            // Accepted and checked, not used: the temporary file lives beside
            // the destination so the final rename never crosses file systems.
            break;
        case prop::AudioContent:
        case prop::VideoQuality: {
            const std::int32_t v = value.toLong();
            if (v < 0 || v > 4)
                return Status::fail(text::withReason(
                    text::kOutOfRange, text::withSubject(std::to_string(id), std::to_string(v))));
            (id == prop::AudioContent ? next_.audioContent : next_.videoQuality) = v;
            settingsChanged();
            break;
        }
        default:
            break;  // 3151, 3155, 3156: accepted, nothing to do here
    }
    return Status::ok();
}

Status FfmpegEncoderComponent::invoke(DispId id) {
    if (id == op::Start) return start();
    if (id == op::Stop) {
        stop();
        return Status::ok();
    }
    return Status::fail(text::withReason(text::kUnknownId, std::to_string(id)));
}

// The source is opened on the job's thread, so neither a pipe that sends
// nothing nor a stalled mount holds up the window; a refusal found there
// arrives as Error.
Status FfmpegEncoderComponent::start() {
    // A running job ends first, and nothing it still had on its way may
    // stand under the new job.
    const std::shared_ptr<const JobResult> earlier = endJob();
    showIdle();
    JobSettings job = next_;
    // Pictures cost the job a decode of its own video; only when someone sees them.
    if (pane_) job.preview = std::make_shared<JobPreview>();
    preview_ = job.preview;
    earlierJob_.clear();
    // A refusal after the earlier job was ended says where its file is.
    if (earlier && earlier->outcome != JobOutcome::Failed)
        earlierJob_ =
            text::withSubject(earlier->outcome == JobOutcome::Stopped ? text::kEarlierJobStopped
                                                                      : text::kEarlierJobCompleted,
                              earlier->destination);
    const Status s = engine_.launch(job, *this);
    if (!s) return earlierJob_.empty() ? s : Status::fail(s.message() + "\n" + earlierJob_);
    destination_ = job.destination;
    // The job's page from the click on, while the source is being opened.
    if (pane_) pane_->startJob(preview_, 0, slowestOf(job.audiences).second);
    return s;
}

std::shared_ptr<const JobResult> FfmpegEncoderComponent::endJob() {
    const bool ended = engine_.stopWithin(kStopPatience);
    JobProgress progress;
    {
        std::lock_guard lock(mailboxMutex_);
        progress = lastProgress_;
    }
    std::shared_ptr<const JobResult> last = dropQueued();
    if (ended || last) return last;
    // Let go, held in a read: it completes its file on its own, as far as it came.
    auto result = std::make_shared<JobResult>();
    result->outcome = JobOutcome::Stopped;
    result->destination = destination_;
    result->percent = progress.percent;
    result->bytes = progress.bytes;
    result->encodedMs = progress.encodedMs;
    return result;
}

// Whatever the job had on its way is older than the stop: a percentage or a
// completion arriving now would stand over the caller's stopped state. Its
// end is raised once more, as the stop made it.
void FfmpegEncoderComponent::stop() {
    const std::shared_ptr<const JobResult> last = endJob();
    if (!last) return;
    JobResult stopped = *last;
    if (stopped.outcome == JobOutcome::Completed) stopped.outcome = JobOutcome::Stopped;
    jobFinished(stopped);
}

// Before the job's threads run, so Started is always the job's first notification.
void FfmpegEncoderComponent::jobStarted(const JobInfo& info) {
    post({event::Started,
          {Variant::string(info.source), Variant::string(info.destination), longOf(info.durationMs),
           Variant::long_(info.plan.budgetKbps)}});
}

void FfmpegEncoderComponent::attachView(QWidget* host) {
    if (!host) return;
    pane_ = new EncoderPane(host);
    if (!host->layout()) {
        auto* layout = new QVBoxLayout(host);
        layout->setContentsMargins(0, 0, 0, 0);
    }
    host->layout()->addWidget(pane_);
    showIdle();
}

// Worker threads from here: only build the notification and queue it.
void FfmpegEncoderComponent::jobProgress(const JobProgress& p) {
    {
        std::lock_guard lock(mailboxMutex_);
        lastProgress_ = p;
    }
    post({event::Progress,
          {longOf(p.encodedMs), longOf(p.durationMs), Variant::long_(p.percent), longOf(p.bytes)}});
    const std::int64_t kbps = p.encodedMs > 0 ? p.bytes * 8 / p.encodedMs : 0;
    const std::int64_t speed = p.elapsedMs > 0 ? p.encodedMs * 100 / p.elapsedMs : 0;
    const std::int64_t remaining = p.durationMs > 0 && p.encodedMs > 0
                                       ? (p.durationMs - p.encodedMs) * p.elapsedMs / p.encodedMs
                                       : -1;
    post({event::Statistics,
          {longOf(kbps), Variant::long_(p.budgetKbps), longOf(speed),
           Variant::long_(static_cast<std::int32_t>(std::max<std::int64_t>(remaining, -1)))}});
}

void FfmpegEncoderComponent::jobFinished(const JobResult& r) {
    auto result = std::make_shared<const JobResult>(r);
    {
        std::lock_guard lock(mailboxMutex_);
        undelivered_ = result;
    }
    switch (r.outcome) {
        case JobOutcome::Completed:
            post({event::Completed,
                  {Variant::string(r.destination), longOf(r.bytes), Variant::long_(100),
                   longOf(r.encodedMs)}},
                 result);
            break;
        case JobOutcome::Stopped:
            post({event::Stopped,
                  {Variant::string(r.destination), longOf(r.bytes), Variant::long_(r.percent),
                   longOf(r.encodedMs)}},
                 result);
            break;
        case JobOutcome::Failed:
            post({event::Error,
                  {Variant::long_(1), Variant::string(r.message), Variant::long_(r.percent),
                   Variant::long_(0)}},
                 result);
            break;
    }
}

void FfmpegEncoderComponent::post(Notification notification,
                                  std::shared_ptr<const JobResult> result) {
    // The data goes through our own lock and only a wake-up through Qt's
    // queue; queued even on this thread, so the sink never runs inside
    // put() or invoke().
    std::lock_guard lock(mailboxMutex_);
    mailbox_.push_back({job_, std::move(notification), std::move(result)});
    if (wakePending_) return;
    wakePending_ = true;
    QMetaObject::invokeMethod(this, &FfmpegEncoderComponent::deliverPending, Qt::QueuedConnection);
}

// Called on this object's thread once the job's threads are joined, so
// nothing of those jobs can be posted after it.
std::shared_ptr<const JobResult> FfmpegEncoderComponent::dropQueued() {
    std::lock_guard lock(mailboxMutex_);
    ++job_;
    mailbox_.clear();
    lastProgress_ = {};
    return std::exchange(undelivered_, nullptr);
}

void FfmpegEncoderComponent::deliverPending() {
    std::deque<Mail> pending;
    {
        std::lock_guard lock(mailboxMutex_);
        pending.swap(mailbox_);
        wakePending_ = false;
    }
    for (const Mail& mail : pending) {
        {
            // The sink may have stopped or started a job meanwhile.
            std::lock_guard lock(mailboxMutex_);
            if (mail.job != job_) continue;
            if (mail.result && mail.result == undelivered_) undelivered_.reset();
        }
        deliver(mail);
    }
}

void FfmpegEncoderComponent::deliver(const Mail& mail) {
    Notification n = mail.notification;
    if (n.id == event::Started) {
        budgetKbps_ = n.args[3].toLong();
        earlierJob_.clear();
    }
    if (n.id == event::Error && !earlierJob_.empty())
        n.args[1] = Variant::string(n.args[1].toUtf8() + "\n" + earlierJob_);
    if (pane_) {
        if (n.id == event::Started)
            // Started carries the duration and the budget last.
            pane_->startJob(preview_, n.args[2].toLong(), n.args[3].toLong());
        else if (n.id == event::Progress)
            // The length to expect shrinks as the engine closes gaps in the source.
            pane_->showJob(n.args[kProgressPercentArg].toLong(), n.args[1].toLong());
        else if ((n.id == event::Completed || n.id == event::Stopped) && mail.result &&
                 mail.result->bytes > 0)
            pane_->showSummary(summaryOf(*mail.result, budgetKbps_));
        else if (n.id != event::Statistics)
            showIdle();  // an error, or a job that left no file
    }
    if (sink_) sink_(n);
}

JobSummary summaryOf(const JobResult& r, int budgetKbps) {
    JobSummary s;
    s.fileName = QFileInfo(QString::fromStdString(r.destination)).fileName();
    s.completed = r.outcome == JobOutcome::Completed;
    s.heldMs = r.encodedMs;
    s.bytes = r.bytes;
    s.budgetKbps = budgetKbps;
    s.prerollMs = r.prerollMs;
    // The engine's own word on the file: damage skipped, the source ended
    // early, gaps closed, a rate it could not believe.
    s.warning = QString::fromStdString(r.warning);
    return s;
}

void FfmpegEncoderComponent::showIdle() {
    if (!pane_) return;
    const auto [name, budget] = slowestOf(next_.audiences);
    pane_->showIdle(name, budget);
}

// The next job's settings: the idle page shows them, and a summary of the
// last job gives way to them; a running job keeps its page.
void FfmpegEncoderComponent::settingsChanged() {
    if (!pane_) return;
    const auto [name, budget] = slowestOf(next_.audiences);
    pane_->setNextAudience(name, budget);
}

}  // namespace velmora
