// Running a job: start and stop, the engine's reports taken on its threads,
// and the notifications raised on the component's own thread.
#include <QFileInfo>
#include <QMetaObject>
#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

#include "platform/encoder/encoder_pane.h"
#include "platform/encoder/ffmpeg_encoder_component.h"
#include "platform/qt_text.h"
#include "texts/encoder_texts.h"

namespace velmora {

using namespace encoder;

namespace {

// Where an ended job left its files, for a refusal that comes after it.
std::string whereFilesAre(const JobResult& r) {
    const bool stopped = r.outcome == JobOutcome::Stopped;
    const JobSummary made = summaryOf(r);
    if (made.files.size() < 2)
        return text::withSubject(stopped ? text::kEarlierJobStopped : text::kEarlierJobCompleted,
                                 r.destination);
    const QString count =
        qs(stopped ? text::kEarlierJobStoppedFiles : text::kEarlierJobCompletedFiles)
            .arg(made.files.size());
    return text::withSubject(count.toStdString(), made.folder.toStdString());
}

Variant longOf(std::int64_t v) {
    return Variant::long_(static_cast<std::int32_t>(
        std::clamp<std::int64_t>(v, 0, std::numeric_limits<std::int32_t>::max())));
}

// The job's figures so far as the contract's Statistics, and back again for the pane.
Notification statisticsOf(const JobProgress& p) {
    const JobFigures f = jobFigures(p.encodedMs, p.durationMs, p.elapsedMs, p.bytes);
    return {event::Statistics,
            {longOf(f.kbps), Variant::long_(p.budgetKbps), longOf(std::llround(f.speed * 100)),
             f.remainingMs < 0 ? Variant::long_(-1) : longOf(f.remainingMs)}};
}

JobFigures figuresOf(const Notification& statistics) {
    return {.remainingMs = statistics.args[3].toLong(),
            .speed = statistics.args[2].toLong() / 100.0,
            .kbps = statistics.args[0].toLong()};
}

}  // namespace

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

// Worker threads from here: only build the notification and queue it.
void FfmpegEncoderComponent::jobProgress(const JobProgress& p) {
    {
        std::lock_guard lock(mailboxMutex_);
        lastProgress_ = p;
    }
    post({event::Progress,
          {longOf(p.encodedMs), longOf(p.durationMs), Variant::long_(p.percent), longOf(p.bytes)}});
    post(statisticsOf(p));
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
                  {Variant::long_(errorCodeOf(r.errorKind)), Variant::string(r.message),
                   Variant::long_(r.percent), Variant::long_(r.bytes)}},
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
                pane_->startJob(preview_, {.budgetKbps = info->plan.budgetKbps,
                                           .files = static_cast<int>(info->files.size()),
                                           .spaceShort = info->spaceShort()});
        } else if (n.id == event::Progress) {
            pane_->showJob(n.args[kProgressPercentArg].toLong());
        } else if (n.id == event::Statistics) {
            // The remaining time counts the length the engine now expects,
            // shorter once it closes gaps in the source.
            pane_->showFigures(figuresOf(n));
        } else {
            // Completed, Stopped or Error: what the job left, if anything
            // (after an error, the files of a set that took their names first).
            const JobSummary made = mail.result ? summaryOf(*mail.result) : JobSummary{};
            if (!made.files.empty())
                pane_->showSummary(made);
            else
                showIdle();
        }
    }
    if (sink_) sink_(n);
}

JobSummary summaryOf(const JobResult& r) {
    JobSummary s;
    s.ended = r.outcome == JobOutcome::Completed ? JobSummary::Ended::Completed
              : r.outcome == JobOutcome::Stopped ? JobSummary::Ended::Stopped
                                                 : JobSummary::Ended::Failed;
    s.folder = QFileInfo(QString::fromStdString(r.destination)).absolutePath();
    for (const JobResult::File& f : r.files) {
        if (f.bytes <= 0) continue;  // nothing kept
        s.files.push_back({QFileInfo(QString::fromStdString(f.destination)).fileName(),
                           audienceName(f.audience), f.encodedMs, f.bytes, f.budgetKbps,
                           f.prerollMs, f.width, f.height});
    }
    // The engine's own word on the files: damage skipped, the source ended
    // early, gaps closed, a rate it could not believe.
    s.warning = QString::fromStdString(r.warning);
    return s;
}

}  // namespace velmora
