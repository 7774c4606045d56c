#pragma once
// The last chance to keep the logon after a compression: a countdown the user
// can cancel. It never blocks; the answer arrives through `done`.

#include <QDialog>
#include <QPointer>
#include <QTimer>
#include <functional>

namespace velmora {

class LogoffCountdown {
  public:
    using Done = std::function<void(bool confirmed)>;
    virtual ~LogoffCountdown() = default;

    // Counts `seconds` down (at least 1), then calls done(true). At most one
    // countdown runs: starting another cancels the earlier one first.
    virtual void start(int seconds, Done done) = 0;
    // Ends a running countdown with done(false); nothing when none runs.
    virtual void cancel() = 0;
    virtual bool running() const = 0;
};

// A small non-modal dialog with the seconds left and a cancel button; its
// close box cancels too. The dialog is made on the first start() as a child
// of the parent window, which may delete it with itself.
class QtLogoffCountdown : public LogoffCountdown {
  public:
    explicit QtLogoffCountdown(QWidget* parent = nullptr, int tickMilliseconds = 1000);
    ~QtLogoffCountdown() override;
    QtLogoffCountdown(const QtLogoffCountdown&) = delete;
    QtLogoffCountdown& operator=(const QtLogoffCountdown&) = delete;

    void setParent(QWidget* parent) { parent_ = parent; }

    void start(int seconds, Done done) override;
    void cancel() override;
    bool running() const override { return static_cast<bool>(done_); }

    int secondsLeft() const { return secondsLeft_; }
    // The dialog ("logoffCountdown", with "countdownText" and
    // "countdownCancel"), or null before the first start.
    QDialog* dialog() const { return dialog_; }

    // One second passes; the timer calls it.
    void tick();

  private:
    QDialog* makeDialog();
    void finish(bool confirmed);
    void showSecondsLeft();

    QPointer<QWidget> parent_;
    QPointer<QDialog> dialog_;
    QTimer timer_;
    int secondsLeft_ = 0;
    Done done_;
};

}  // namespace velmora
