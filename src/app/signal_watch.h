#pragma once
// POSIX signals on the window's thread: the handler only writes the
// signal's number to a pipe, and a socket notifier reads it there, so the
// program answers a signal with its ordinary procedures.

#include <QObject>
#include <initializer_list>
#include <vector>

class QSocketNotifier;

namespace velmora {

class SignalWatch : public QObject {
    Q_OBJECT
  public:
    // Catches the signals `numbers` until destroyed; they then have their default
    // action again. One watch per signal at a time.
    SignalWatch(std::initializer_list<int> numbers, QObject* parent);
    ~SignalWatch() override;

  Q_SIGNALS:
    void caught(int signal);

  private:
    int pipe_[2] = {-1, -1};
    QSocketNotifier* notifier_ = nullptr;
    std::vector<int> signals_;
};

}  // namespace velmora
