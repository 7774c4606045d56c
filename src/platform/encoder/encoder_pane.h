#pragma once
// What the encoder shows in its rectangle of the window. Idle: the product
// name and the chosen audience's budget. During a job: the source picture
// beside the same picture as the output decodes it, a progress bar, elapsed
// and remaining time, speed against real time and the running bitrate
// against the budget. It takes the job's pictures at most five times a
// second on its own timer (the job never waits for it); the figures are
// those the component raises as Statistics. A job of several
// files (one per ticked audience) shows the fastest audience's picture and
// the slowest's bit rate, the one most likely to overrun its line.

#include <QElapsedTimer>
#include <QImage>
#include <QTimer>
#include <QWidget>
#include <cstdint>
#include <memory>
#include <vector>

#include "engine/job/engine.h"
#include "platform/encoder/plan_text.h"

class QDialog;
class QLabel;
class QPushButton;
class QProgressBar;
class QStackedLayout;

namespace velmora {

namespace encoder {
struct JobPreview;
}

// A running job's figures, from its totals so far: what the component raises
// as Statistics and the job page shows.
struct JobFigures {
    std::int64_t remainingMs = -1;  // -1 while unknown
    double speed = 0;               // source seconds per wall second
    std::int64_t kbps = 0;          // output so far
};
JobFigures jobFigures(std::int64_t encodedMs, std::int64_t durationMs, std::int64_t elapsedMs,
                      std::int64_t bytes);

// "mm:ss", or "h:mm:ss" from an hour on.
QString clockText(std::int64_t ms);

// One file a job left.
struct FileSummary {
    QString fileName;
    QString audience;
    std::int64_t heldMs = 0;
    std::int64_t bytes = 0;
    int budgetKbps = 0;
    std::int64_t prerollMs = 0;  // as the written file states it
    int width = 0, height = 0;   // 0 without a picture
    std::int64_t averageKbps() const { return heldMs > 0 ? bytes * 8 / heldMs : 0; }
};

// What a job that left a file made: one file per ticked audience, the one
// the user named first.
struct JobSummary {
    // Completed; Stopped before the end of the source; Failed, where a later
    // file of a set failed and these had taken their names before.
    enum class Ended : std::uint8_t { Completed, Stopped, Failed };
    Ended ended = Ended::Completed;
    QString folder;  // where the files are
    std::vector<FileSummary> files;
    QString warning;  // from the engine, e.g. damage skipped; empty when none
};

// What the job page shows besides the pictures and the running totals.
struct PaneJob {
    int budgetKbps = 0;  // of the slowest audience, whose file the figures are
    int files = 1;
    bool spaceShort = false;  // the files may not fit in the folder's free space
};

// What the idle page says of the next job before it starts.
struct PanePlan {
    enum class State {
        NoSource,    // none named: the audience's budget and a hint
        Reading,     // the source is being read
        NotRegular,  // a pipe or a device: not read before the job
        Refused,     // what 开始 would refuse (unreadable, no audience, ...)
        Ready,       // what the job will make
    };
    State state = State::NoSource;
    QString message;  // Refused: why, in Chinese
    PlanText text;    // Ready
};

// One picture, scaled to fit with its aspect kept, a caption over its top.
// FFmpeg scales it to the view's size, so painting is a plain copy (Qt's
// smooth scaling would hand the work to threads of its own).
class PictureView : public QWidget {
    Q_OBJECT
  public:
    PictureView(const QString& caption, QWidget* parent = nullptr);
    // Null clears the view.
    void setFrame(encoder::FramePtr frame);
    const QImage& picture() const { return picture_; }

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    encoder::FramePtr frame_;
    QString caption_;
    QImage picture_;
};

class EncoderPane : public QWidget {
    Q_OBJECT
  public:
    static constexpr int kRefreshMs = 200;

    explicit EncoderPane(QWidget* parent = nullptr);

    // `audience` empty when none is ticked. The idle page, or the plan when
    // one is set.
    void showIdle(const QString& audience, int budgetKbps);
    // The next job's audience changed: the idle page shows it, and takes the
    // place of a summary; a running job keeps its page.
    void setNextAudience(const QString& audience, int budgetKbps);
    // What the next job will make. Shown in place of the idle page; neither
    // a summary nor a running job gives way to it (see showNext).
    void setPlan(const PanePlan& plan);
    // The settings changed: a summary gives way to the idle page or the plan.
    void showNext();
    // The table of every file, in a small window of its own: the plan's
    // (before a job), or the files' of a summary of several files. Both have
    // a 详情… button, so the keyboard reaches them as the mouse does.
    void showPlanDetails();
    void showSummaryDetails();
    // A job started: read `preview` from now on until it ends.
    void startJob(std::shared_ptr<encoder::JobPreview> preview, const PaneJob& job);
    void showJob(int percent);
    // The running job's latest figures (its Statistics).
    void showFigures(const JobFigures& figures);
    // A job ended with a file: what it made, until the next start or change
    // of settings. With several files the page sums them up and its tooltip
    // holds the table of them.
    void showSummary(const JobSummary& summary);
    // No program could open the summary's `folder`: said on the summary,
    // with the folder's name selectable for copying.
    void showFolderNotOpened(const QString& folder);

  signals:
    // 打开所在文件夹 on a summary: the folder of the files it shows.
    void openFolderClicked(const QString& folder);

  protected:
    void resizeEvent(QResizeEvent* event) override;

  private:
    // The pages but the idle one, each in the file of its name (pane_*_page.cpp).
    void buildPlanPage();
    void buildJobPage();
    void buildSummaryPage();
    // The idle page, or the plan page when the plan is ready.
    void showIdleOrPlan();
    // The plan's lines, long names shortened in the middle to the pane's width.
    void fitPlanLines();
    // The pictures and the elapsed time, on the pane's timer.
    void refresh();
    void stopWatching();
    // The summary's folder line, its middle left out where the pane is too narrow.
    void fitFolderLine();
    void setBudgetText(const QString& audience, int budgetKbps);
    // The details window, made when first asked for, showing `html`.
    void showDetails(const char* title, const QString& html, bool ofPlan);

    QStackedLayout* pages_;
    QWidget* idlePage_;
    QWidget* jobPage_;
    QWidget* summaryPage_;
    QWidget* planPage_;
    QLabel* budget_;
    QLabel* idleHint_;
    QLabel* planHeading_;
    QLabel* planLines_[4];  // two lines each for the slowest and the fastest file
    QLabel* planMore_;
    QLabel* planNotes_;
    QPushButton* planDetailsButton_;
    QDialog* details_ = nullptr;  // made when first asked for
    QLabel* detailsTable_ = nullptr;
    bool detailsOfPlan_ = true;  // what the details window shows: the plan, or the files
    PanePlan plan_;
    QPushButton* summaryDetailsButton_;
    QString summaryTable_;  // the files' table; empty for one file
    QPushButton* openFolder_;
    QLabel* folderNotOpened_;
    QString summaryFolder_;
    QLabel* summaryTitle_;
    QLabel* summaryFile_;
    QLabel* summaryFigures_;
    QLabel* summaryWarning_;
    QLabel* summaryHint_;
    QString folderLine_;  // in full; empty unless the summary shows several files
    QProgressBar* progress_;
    QLabel* percent_;
    PictureView* source_;
    PictureView* output_;
    QLabel* elapsed_;
    QLabel* remaining_;
    QLabel* speed_;
    QLabel* bitRate_;
    QLabel* spaceShort_;
    QTimer refresh_;
    QElapsedTimer clock_;
    std::shared_ptr<encoder::JobPreview> preview_;
    PaneJob job_;
};

// A picture the preview hands over, as an image that fits `box` with its
// aspect kept (its own size when `box` is empty); null on failure.
QImage pictureOf(const AVFrame* frame, QSize box = {});

}  // namespace velmora
