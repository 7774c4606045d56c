#pragma once
// The desktop session over D-Bus: ending the logon as the desktop does it,
// and keeping the machine awake while a job runs. Every call goes out on a
// thread of this object's own and none is waited for, so a bus that answers
// late, or not at all, never holds up the window; where no service answers,
// nothing happens.

#include <QObject>
#include <QString>
#include <QThread>
#include <functional>
#include <vector>

#include "platform/shell.h"

namespace velmora {

// The buses to use; empty for the ones the environment names (the user's
// session bus and the system bus: DBUS_SESSION_BUS_ADDRESS and
// DBUS_SYSTEM_BUS_ADDRESS where set).
struct BusAddresses {
    QString session;
    QString system;
};

// A session manager's log-off call: which desktops answer to it, and how.
struct LogoffCall {
    const char* service;
    const char* path;
    const char* interface;
    const char* method;
    enum class Args { None, NoConfirmation, KsmNoConfirmation, XfceNoDialogSave } args;
    bool replies = true;     // false: the method never answers (LXQt's)
    bool activated = false;  // the service starts when called (Plasma 6's org.kde.Shutdown)
};

// A desktop whose session manager logs off without asking, letting every
// program save or object: present when `present` owns a name on the session
// bus; its calls are tried in order until one is taken.
struct LogoffDesktop {
    const char* name;
    const char* present;
    std::vector<LogoffCall> calls;
};
const std::vector<LogoffDesktop>& logoffDesktops();

// The logind session to end where no session manager answers: the one in
// XDG_SESSION_ID, or logind's "auto" (the caller's session, else the user's
// graphical one).
QString sessionToEnd(const QString& xdgSessionId);

class DesktopSession : public QObject {
    Q_OBJECT
  public:
    explicit DesktopSession(BusAddresses buses = {}, QObject* parent = nullptr);
    // Lets go of whatever it holds and ends its thread.
    ~DesktopSession() override;
    DesktopSession(const DesktopSession&) = delete;
    DesktopSession& operator=(const DesktopSession&) = delete;

    // logind's sleep and idle lock on the system bus, and the desktop's own
    // inhibitors on the session bus, until release(). A lock that arrives
    // after release() (or after a newer hold) is let go at once.
    void holdAwake(const QString& reason);
    void release();

    // Which way logOff() would go now; `found` runs on this object's thread.
    void findLogoffWay(Shell::LogoffWayFound found);
    // The first session manager present that takes the call; where none
    // does, logind's TerminateSession of our own session. `done` (on this
    // object's thread) tells which way it went: None when neither answered.
    void logOff(Shell::LogoffWayFound done = {});

  private:
    class Worker;
    // Runs `work` on the worker's thread.
    void post(std::function<void(Worker&)> work);
    // Wraps `answer` so that it runs on this object's thread, if it still lives.
    Shell::LogoffWayFound here(Shell::LogoffWayFound answer);

    QThread thread_;
    Worker* worker_;
};

}  // namespace velmora
