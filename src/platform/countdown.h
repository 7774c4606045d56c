#pragma once
// The last chance to keep the logon after a compression: a countdown the user
// can cancel, and the question asked when the switch is ticked with a job
// already finished. Neither blocks; the answers arrive through callbacks.

#include <QDialog>
#include <QMessageBox>
#include <QPointer>
#include <QTimer>
#include <functional>
#include <optional>

#include "platform/shell.h"

namespace velmora {

// When the user wants the logon to end, asked after a finished job.
enum class LogoffWhen { Now, AfterNextJob, Never };

class LogoffCountdown {
  public:
    using Done = std::function<void(bool confirmed)>;
    using Answered = std::function<void(LogoffWhen)>;
    virtual ~LogoffCountdown() = default;

    // Counts `seconds` down (at least 1), then calls done(true). At most one
    // countdown runs: starting another cancels the earlier one first.
    virtual void start(int seconds, Done done) = 0;
    // How the logon will end, once the desktop has said: whether the other
    // programs may save first. A countdown starts not knowing.
    virtual void setLogoffWay(LogoffWay way) = 0;
    // Ends a running countdown with done(false); nothing when none runs.
    virtual void cancel() = 0;
    virtual bool running() const = 0;

    // Asks whether to end the logon now (after a countdown of
    // `countdownSeconds`), after the next job, or not at all; nothing counts
    // down while it asks. AfterNextJob is the default answer: Return gives it,
    // Escape and the close box give Never. At most one question is open:
    // asking again withdraws the earlier one.
    virtual void ask(int countdownSeconds, Answered answered) = 0;
    // Closes an open question without an answer; nothing when none is open.
    virtual void withdraw() = 0;
    virtual bool asking() const = 0;
};

// Where a dialog of `size` goes so that it covers nothing of a window's
// `frame`: beside it on the right, below, on the left or above, within the
// screen's `available` area. Where none of these has room, centred over
// `spare` (a part of the window without controls), still within `available`.
QPoint asideOf(const QRect& available, const QRect& frame, const QSize& size, const QRect& spare);

// A small non-modal dialog with the seconds left and a cancel button; its
// close box cancels too. It opens beside the parent window, or over the
// window's spare area where the screen has no room beside it. The question
// is a message box modal to the parent window alone. Both dialogs are made
// when first needed, as children of the parent window, which may delete them
// with itself.
class QtLogoffCountdown : public LogoffCountdown {
  public:
    explicit QtLogoffCountdown(QWidget* parent = nullptr, int tickMilliseconds = 1000);
    ~QtLogoffCountdown() override;
    QtLogoffCountdown(const QtLogoffCountdown&) = delete;
    QtLogoffCountdown& operator=(const QtLogoffCountdown&) = delete;

    void setParent(QWidget* parent) { parent_ = parent; }
    // A part of the parent window with no controls, for a countdown that
    // finds no room beside the window.
    void setSpareArea(QWidget* spare) { spare_ = spare; }

    void start(int seconds, Done done) override;
    void cancel() override;
    void setLogoffWay(LogoffWay way) override;
    bool running() const override { return static_cast<bool>(done_); }
    void ask(int countdownSeconds, Answered answered) override;
    void withdraw() override;
    bool asking() const override { return static_cast<bool>(answered_); }

    int secondsLeft() const { return secondsLeft_; }
    // The dialog ("logoffCountdown", with "countdownText" and
    // "countdownCancel"), or null before the first start.
    QDialog* dialog() const { return dialog_; }
    // The question ("logoffQuestion", with the buttons "logoffNow",
    // "logoffAfterNextJob" and "logoffNever"), or null before the first ask().
    QMessageBox* question() const { return question_; }

    // One second passes; the timer calls it.
    void tick();

  private:
    QDialog* makeDialog();
    void finish(bool confirmed);
    void showSecondsLeft();
    void placeDialog();
    QMessageBox* makeQuestion();
    void answer(LogoffWhen when);

    QPointer<QWidget> parent_;
    QPointer<QWidget> spare_;
    QPointer<QDialog> dialog_;
    QPointer<QMessageBox> question_;
    Answered answered_;
    QTimer timer_;
    int secondsLeft_ = 0;
    std::optional<LogoffWay> way_;
    Done done_;
};

}  // namespace velmora
