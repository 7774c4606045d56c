#include "platform/encoder/ffmpeg_encoder_component.h"

#include <QFileInfo>
#include <QLineEdit>
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

QString nameOf(Audience audience) {
    const std::string_view name = profileOf(audience).name;
    return QString::fromUtf8(name.data(), static_cast<qsizetype>(name.size()));
}

std::pair<QString, int> slowestOf(const AudienceSet& audiences) {
    const auto audience = slowestAudience(audiences);
    if (!audience) return {QString(), 0};
    return {nameOf(*audience), profileOf(*audience).budgetKbps};
}

// Where an ended job left its files, for a refusal that comes after it.
std::string whereFilesAre(const JobResult& r) {
    const bool stopped = r.outcome == JobOutcome::Stopped;
    const JobSummary made = summaryOf(r);
    if (made.files.size() < 2)
        return text::withSubject(stopped ? text::kEarlierJobStopped : text::kEarlierJobCompleted,
                                 r.destination);
    const QString count =
        QString::fromUtf8(stopped ? text::kEarlierJobStoppedFiles : text::kEarlierJobCompletedFiles)
            .arg(made.files.size());
    return text::withSubject(count.toStdString(), made.folder.toStdString());
}

Variant longOf(std::int64_t v) {
    return Variant::long_(static_cast<std::int32_t>(
        std::clamp<std::int64_t>(v, 0, std::numeric_limits<std::int32_t>::max())));
}

}  // namespace

FfmpegEncoderComponent::FfmpegEncoderComponent(QObject* parent)
    : QObject(parent), reader_([this](const std::string& source, const SourceReading& reading) {
          sourceRead(source, reading);
      }) {
    readDelay_.setSingleShot(true);
    readDelay_.setInterval(kReadDelayMs);
    connect(&readDelay_, &QTimer::timeout, this, [this] {
        if (!planSource_.empty()) reader_.read(planSource_);
    });
}

FfmpegEncoderComponent::~FfmpegEncoderComponent() {
    engine_.stopWithin(kLeavePatience);
}

Status FfmpegEncoderComponent::put(DispId id, const Variant& value) {
    const std::optional<Kind> kind = kindOf(id);
    if (!kind)
        return Status::fail(ErrorKind::BadRequest,
                            text::withReason(text::kUnknownId, std::to_string(id)));
    if (!hasKind(value, *kind))
        return Status::fail(ErrorKind::BadRequest,
                            text::withReason(text::kWrongType,
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
                return Status::fail(
                    ErrorKind::BadRequest,
                    text::withReason(text::kOutOfRange,
                                     text::withSubject(std::to_string(id), std::to_string(v))));
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
    return Status::fail(ErrorKind::BadRequest,
                        text::withReason(text::kUnknownId, std::to_string(id)));
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
    if (earlier && earlier->outcome != JobOutcome::Failed) earlierJob_ = whereFilesAre(*earlier);
    const Status s = engine_.launch(job, *this);
    if (!s) return earlierJob_.empty() ? s : s.reworded(s.message() + "\n" + earlierJob_);
    destination_ = job.destination;
    // The job's page from the click on, while the source is being opened.
    if (pane_)
        pane_->startJob(
            preview_, {.budgetKbps = slowestOf(job.audiences).second,
                       .files = static_cast<int>(jobFiles(job.destination, job.audiences).size())});
    return s;
}

std::shared_ptr<const JobResult> FfmpegEncoderComponent::endJob() {
    const bool ended = engine_.stopWithin(kStopPatience);
    JobProgress progress;
    std::shared_ptr<const JobInfo> info;
    {
        std::lock_guard lock(mailboxMutex_);
        progress = lastProgress_;
        info = info_;
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
    // Of its files only the named one's progress is known: it stands for them.
    if (info && !info->files.empty()) {
        const JobInfo::File& named = info->files.front();
        JobResult::File file{.audience = named.audience,
                             .destination = named.destination,
                             .bytes = progress.bytes,
                             .encodedMs = progress.encodedMs,
                             .budgetKbps = named.plan.budgetKbps};
        if (named.plan.video) {
            file.width = named.plan.video->width;
            file.height = named.plan.video->height;
        }
        result->files = {file};
    }
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
    auto started = std::make_shared<const JobInfo>(info);
    {
        std::lock_guard lock(mailboxMutex_);
        info_ = started;
    }
    post({event::Started,
          {Variant::string(info.source), Variant::string(info.destination), longOf(info.durationMs),
           Variant::long_(info.plan.budgetKbps)}},
         nullptr, started);
}

void FfmpegEncoderComponent::attachView(QWidget* host) {
    if (!host) return;
    pane_ = new EncoderPane(host);
    if (!host->layout()) {
        auto* layout = new QVBoxLayout(host);
        layout->setContentsMargins(0, 0, 0, 0);
    }
    host->layout()->addWidget(pane_);
    connect(pane_, &EncoderPane::openFolderClicked, this, [this](const QString& folder) {
        if (links_.openFolder) links_.openFolder(folder);
    });
    showIdle();
    replan();
}

void FfmpegEncoderComponent::linkView(const ViewLinks& links) {
    links_ = links;
    if (links_.source)
        connect(links_.source, &QLineEdit::textChanged, this,
                &FfmpegEncoderComponent::sourceNameChanged);
    if (links_.destination)
        connect(links_.destination, &QLineEdit::textChanged, this, [this] {
            if (pane_) pane_->showNext();
            replan();
        });
    sourceNameChanged();
}

// Read once the name stands: typing a path asks for one read, not one a key.
void FfmpegEncoderComponent::sourceNameChanged() {
    planSource_ = links_.source ? links_.source->text().toStdString() : std::string();
    planRead_.reset();
    reader_.cancel();
    if (planSource_.empty())
        readDelay_.stop();
    else
        readDelay_.start();
    if (pane_) pane_->showNext();
    replan();
}

void FfmpegEncoderComponent::sourceRead(const std::string& source, const SourceReading& reading) {
    if (source != planSource_) return;
    planRead_ = reading;
    replan();
}

// Nothing is written to the component here: the plan is made from the boxes'
// names and the choices the next start will use, by the planner the job uses.
void FfmpegEncoderComponent::replan() {
    if (!pane_) return;
    using State = PanePlan::State;
    PanePlan plan;
    if (planSource_.empty()) {
        plan.state = State::NoSource;
    } else if (!planRead_) {
        plan.state = State::Reading;
    } else if (planRead_->kind == SourceReading::Kind::NotRegular) {
        plan.state = State::NotRegular;
    } else if (planRead_->kind == SourceReading::Kind::Failed) {
        plan.state = State::Refused;
        plan.message = planRead_->message;
    } else {
        JobSettings job = next_;
        job.source = planSource_;
        job.destination =
            links_.destination ? links_.destination->text().toStdString() : std::string();
        if (job.destination.empty()) job.destination = text::kPlanUnnamed;
        JobInfo info;
        if (const Status s = planJob(job, planRead_->facts, info); !s) {
            plan.state = State::Refused;
            plan.message = QString::fromStdString(s.message());
        } else {
            // Files named after the placeholder go nowhere yet.
            if (links_.destination && links_.destination->text().isEmpty())
                info.destination.clear();
            plan.state = State::Ready;
            plan.text = planText(info, job.audioContent, job.videoQuality);
        }
    }
    pane_->setPlan(plan);
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
                                  std::shared_ptr<const JobResult> result,
                                  std::shared_ptr<const JobInfo> info) {
    // The data goes through our own lock and only a wake-up through Qt's
    // queue; queued even on this thread, so the sink never runs inside
    // put() or invoke().
    std::lock_guard lock(mailboxMutex_);
    mailbox_.push_back({job_, std::move(notification), std::move(result), std::move(info)});
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
    info_.reset();
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
    if (n.id == event::Started) earlierJob_.clear();
    if (n.id == event::Error && !earlierJob_.empty())
        n.args[1] = Variant::string(n.args[1].toUtf8() + "\n" + earlierJob_);
    if (pane_) {
        if (n.id == event::Started) {
            if (const JobInfo* info = mail.info.get())
                pane_->startJob(preview_, {.durationMs = info->durationMs,
                                           .budgetKbps = info->plan.budgetKbps,
                                           .files = static_cast<int>(info->files.size()),
                                           .spaceShort = info->spaceShort()});
        } else if (n.id == event::Progress) {
            // The length to expect shrinks as the engine closes gaps in the source.
            pane_->showJob(n.args[kProgressPercentArg].toLong(), n.args[1].toLong());
        } else if (n.id != event::Statistics) {
            // Completed, Stopped or Error: what the job left, if anything.
            const JobSummary made = mail.result ? summaryOf(*mail.result) : JobSummary{};
            if (n.id != event::Error && !made.files.empty())
                pane_->showSummary(made);
            else
                showIdle();
        }
    }
    if (sink_) sink_(n);
}

JobSummary summaryOf(const JobResult& r) {
    JobSummary s;
    s.completed = r.outcome == JobOutcome::Completed;
    s.folder = QFileInfo(QString::fromStdString(r.destination)).absolutePath();
    for (const JobResult::File& f : r.files) {
        if (f.bytes <= 0) continue;  // nothing kept
        s.files.push_back({QFileInfo(QString::fromStdString(f.destination)).fileName(),
                           nameOf(f.audience), f.encodedMs, f.bytes, f.budgetKbps, f.prerollMs,
                           f.width, f.height});
    }
    // The engine's own word on the files: damage skipped, the source ended
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
    replan();
}

}  // namespace velmora
