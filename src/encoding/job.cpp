// Starting and stopping a job, its progress and its completion.

#include <QCheckBox>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>

#include "app/real.h"
#include "platform/qt_text.h"
#include "texts/window_texts.h"

namespace velmora {

void Real::Cmdstart_Click() {
    using namespace encoder;
    // One job at a time: a second start would cut the running job off and
    // put a new file in place of its file.
    if (jobRunning_) return;
    cancelLogoffCountdown();
    const QString source = Textopen->text();
    if (source.isEmpty()) {
        p_.messageBox.show(qs(text::kChooseSourceFirst), qs(text::kNotice));
        return;
    }
    const Status steps[] = {
        p_.encoder.put(prop::InputFilename, Variant::string(u"")),
        p_.encoder.put(prop::OutputFilename, Variant::string(u"")),
        p_.encoder.put(prop::InputFilename, Variant::string(source.toStdU16String())),
        p_.encoder.put(prop::OutputFilename, Variant::string(Textsave->text().toStdU16String())),
    };
    for (const Status& s : steps) {
        if (!s) return enterFailedState(QString::fromStdString(s.message()));
    }
    if (const Status s = p_.encoder.invoke(op::Start); !s) {
        return enterFailedState(QString::fromStdString(s.message()));
    }
    jobRunning_ = true;
    // Until the job ends, however it ends, the machine must not sleep under it.
    p_.shell.keepAwake(
        qs(text::kKeepAwakeReason).arg(QFileInfo(source).fileName()).toStdU16String());
    jobFile_ = Textsave->text();
    // One file per ticked audience: the named one and the others beside it.
    jobFileCount_ = 0;
    for (int n = 1; n <= 8; ++n)
        jobFileCount_ += findChild<QCheckBox*>(QStringLiteral("Check%1").arg(n))->isChecked();
    Labelmul->setText(qs(text::kOneFile));
    Cmdstart->setEnabled(false);
    Cmdstop->setEnabled(true);
    Labelface->setText(qs(text::kStarted4));
    Labeltime->setText(qs(text::kZeroTime));
    Timer->start();
    clock_.resetTime();
}

void Real::Cmdstop_Click() {
    cancelLogoffCountdown();
    succeeded(p_.encoder.invoke(encoder::op::Stop));
    // Nothing ran, so nothing was stopped: a finished job keeps its status.
    if (!jobRunning_) return;
    Cmdstart->setEnabled(true);
    Cmdstop->setEnabled(false);
    Labelface->setText(qs(text::kStoppedByUser));
    Timer->stop();
    Labelmul->setText(qs(text::kOneFileCompressed));
    endJob(JobEnd::Stopped);
}

void Real::ProducerControl1_Progress(std::int32_t percent) {
    Labelmul->setText(qs(text::kProgressPrefix) + QString::number(percent) + u'%');
    p_.shell.setIconTip(module1_.TrayIcon.hWnd, module1_.TrayIcon.uID,
                        (qs(text::kTitle) + u' ' + Labelmul->text()).toStdU16String());
}

void Real::FinishCompression() {
    Timer->stop();
    Cmdstop->setEnabled(false);
    Cmdstart->setEnabled(true);
    Labelface->setText(qs(text::kCompleted));
    Labelmul->setText(qs(text::kDelight));
    endJob(JobEnd::Completed);
    onCompressionFinished();
}

void Real::endJob(JobEnd end) {
    jobRunning_ = false;
    p_.shell.letSleep();
    lastEnd_ = end;
    p_.shell.setIconTip(module1_.TrayIcon.hWnd, module1_.TrayIcon.uID, text::kTitle);
    if (isVisible() && !isMinimized()) return;
    // Several files are told by their count and folder, not path by path.
    const QFileInfo named(jobFile_);
    const QString files =
        jobFileCount_ > 1
            ? qs(text::kFilesInFolder).arg(QString::number(jobFileCount_), named.absolutePath())
            : named.fileName();
    const char16_t* how = end == JobEnd::Completed ? text::kCompleted
                          : end == JobEnd::Stopped ? text::kStoppedByUser
                                                   : text::kFailed;
    p_.shell.showIconMessage(module1_.TrayIcon.hWnd, module1_.TrayIcon.uID, how,
                             files.toStdU16String());
}

void Real::ProducerControl1_Notify(const encoder::Notification& n) {
    using namespace encoder;
    // What the encoder still reports of a job the window no longer runs
    // (stopped, or ended with an error) must not overwrite what it shows.
    if (!jobRunning_) return;
    switch (n.id) {
        case event::Progress: {
            const Variant& percent = n.args[kProgressPercentArg];
            if (percent.is(Variant::Type::Long)) ProducerControl1_Progress(percent.toLong());
            break;
        }
        case event::Completed:
            FinishCompression();
            break;
        case event::Error: {
            const QString message = n.args[1].is(Variant::Type::String)
                                        ? QString::fromStdU16String(n.args[1].toString())
                                        : QString();
            const bool kept =
                n.args.size() > 3 && n.args[3].is(Variant::Type::Long) && n.args[3].toLong() > 0;
            enterFailedState(message, kept);
            break;
        }
        default:
            // Started, Stopped and Statistics change nothing in the window:
            // stop has already shown its state, and the pane shows the rest.
            break;
    }
}

void Real::enterFailedState(const QString& message, bool filesKept) {
    Timer->stop();
    Cmdstart->setEnabled(true);
    Cmdstop->setEnabled(false);
    Labelface->setText(qs(text::kFailed));
    Labelmul->setText(qs(filesKept ? text::kSomeFilesKept : text::kNoFileMade));
    if (jobRunning_) endJob(JobEnd::Failed);
    p_.messageBox.showWarning(message, qs(text::kNotice));
}

bool Real::openJobFolder(const QString& folder) {
    if (folder.isEmpty()) return false;
    if (p_.shell.openFolder(folder.toStdU16String())) return true;
    // No file manager took it: the pane names the folder, to be copied.
    p_.encoder.showFolderNotOpened(folder);
    return false;
}

void Real::Timer_Timer() {
    const int phase = clock_.tick();
    Labeltime->setText(clock_.timeText());
    Labelface->setText(ElapsedClock::animationText(phase));
}

}  // namespace velmora
