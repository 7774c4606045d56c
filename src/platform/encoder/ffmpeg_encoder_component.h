#pragma once
// The encoder component of the window: takes the contract's property writes
// and calls, runs the engine on its own threads and raises the notifications
// on this object's thread through queued calls. Its pane shows what those
// notifications carry.

#include <QObject>
#include <QPointer>
#include <QTimer>
#include <chrono>
#include <deque>
#include <mutex>
#include <utility>

#include "engine/job/engine.h"
#include "platform/encoder/plan_reader.h"
#include "platform/encoder_component.h"

namespace velmora {

class EncoderPane;
struct JobSummary;

// What the pane keeps of an ended job: the files it left, the named one first.
JobSummary summaryOf(const encoder::JobResult& result);

// The slowest of `audiences` by name, and its budget; empty and 0 without one.
std::pair<QString, int> slowestOf(const encoder::AudienceSet& audiences);

class FfmpegEncoderComponent : public QObject,
                               public EncoderComponent,
                               private encoder::JobObserver {
    Q_OBJECT
  public:
    // The longest Start and Stop wait for a job to end: one held in a read
    // the kernel does not cut short is let go after it.
    static constexpr std::chrono::milliseconds kStopPatience{400};
    // Leaving waits longer: a job let go then ends with the process, its
    // file unfinished.
    static constexpr std::chrono::milliseconds kLeavePatience{3000};

    explicit FfmpegEncoderComponent(QObject* parent = nullptr);
    // Stops a running job as Stop does (the file is completed).
    ~FfmpegEncoderComponent() override;

    Status put(DispId id, const Variant& value) override;
    Status invoke(DispId id) override;
    void setNotificationSink(NotificationSink sink) override { sink_ = std::move(sink); }
    void attachView(QWidget* host) override;
    // The pane's plan follows the boxes from now on.
    void linkView(const ViewLinks& links) override;
    void showFolderNotOpened(const QString& folder) override;
    // How long a name typed into the source box must stand before it is read.
    static constexpr int kReadDelayMs = 150;

    bool isRunning() const { return engine_.running(); }
    // The settings the next start will use.
    const encoder::JobSettings& nextJob() const { return next_; }
    // What reads the source box's name for the pane's plan.
    const PlanReader& planReader() const { return reader_; }

  private:
    // A notification on its way to this object's thread, with the job it
    // belongs to; a job's first one carries what it will do, its last one
    // its result.
    struct Mail {
        std::uint64_t job = 0;
        encoder::Notification notification;
        std::shared_ptr<const encoder::JobResult> result;
        std::shared_ptr<const encoder::JobInfo> info;
    };

    Status start();
    void stop();
    // Ends the running job (within kStopPatience) and forgets what it still
    // had on its way; returns its end if not delivered yet.
    std::shared_ptr<const encoder::JobResult> endJob();
    void jobStarted(const encoder::JobInfo& info) override;
    void jobProgress(const encoder::JobProgress& progress) override;
    void jobFinished(const encoder::JobResult& result) override;
    void post(encoder::Notification notification,
              std::shared_ptr<const encoder::JobResult> result = nullptr,
              std::shared_ptr<const encoder::JobInfo> info = nullptr);
    void deliverPending();
    // Forgets everything the jobs so far still have on its way; returns the
    // result of an ended job that was not delivered yet.
    std::shared_ptr<const encoder::JobResult> dropQueued();
    void deliver(const Mail& mail);
    void showIdle();
    void settingsChanged();
    // The source box changed: its name is read for the plan once it stands.
    void sourceNameChanged();
    void sourceRead(const std::string& source, const SourceReading& reading);
    // The pane's plan from what is known of the source named now.
    void replan();

    encoder::JobSettings next_;
    NotificationSink sink_;
    QPointer<EncoderPane> pane_;
    std::shared_ptr<encoder::JobPreview> preview_;  // the running job's, when a pane watches

    ViewLinks links_;
    QTimer readDelay_;
    PlanReader reader_;
    std::string planSource_;                 // the name in the source box when last read
    std::optional<SourceReading> planRead_;  // what was read of it, once read

    std::string destination_;  // of the running or last job
    // Added to a refusal found while the job opens its source: where the job
    // it replaced left its file.
    std::string earlierJob_;

    // Notifications on their way from the workers to this object's thread.
    std::mutex mailboxMutex_;
    std::deque<Mail> mailbox_;
    bool wakePending_ = false;
    std::uint64_t job_ = 0;                                  // advanced by every start and stop
    std::shared_ptr<const encoder::JobResult> undelivered_;  // an end not yet delivered
    encoder::JobProgress lastProgress_;                      // of the running job
    std::shared_ptr<const encoder::JobInfo> info_;           // of the running job, once started

    // Last, so that a job still running ends (or is let go) before the
    // mailbox and the pane it reports to go.
    encoder::Engine engine_;
};

}  // namespace velmora
