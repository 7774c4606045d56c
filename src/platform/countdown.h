#pragma once
// The last chance to keep the logon after a compression: a countdown the user
// can cancel. It never blocks; the answer arrives through `done`.

#include <QDialog>
#include <functional>

class QLabel;
class QPushButton;
class QTimer;

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

// A small non-modal dialog with the seconds left and a cancel button.
// Closing the dialog cancels too.
class QtLogoffCountdown : public QDialog, public LogoffCountdown {
    Q_OBJECT
public:
    explicit QtLogoffCountdown(QWidget* parent = nullptr, int tickMilliseconds = 1000);

    void start(int seconds, Done done) override;
    void cancel() override;
    bool running() const override { return static_cast<bool>(done_); }
    int secondsLeft() const { return secondsLeft_; }

    // One tick of the countdown; the timer calls it each second.
    void tick();

protected:
    void reject() override;

private:
    void finish(bool confirmed);
    void showSecondsLeft();

    QLabel* message_;
    QPushButton* cancelButton_;
    QTimer* timer_;
    int secondsLeft_ = 0;
    Done done_;
};

}  // namespace velmora
