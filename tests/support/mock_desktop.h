#pragma once
// A mock desktop on two private D-Bus buses of its own (a session bus and a
// system bus), made by tests/support/dbus/desktop_mocks.py with
// python3-dbusmock: logind, and the desktop's session manager and
// inhibitors. Nothing reaches the machine's buses.

#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <memory>

#include "platform/desktop_session.h"

namespace velmora::testing {

class MockDesktop {
  public:
    // `desktop` as desktop_mocks.py names it (gnome, kde, none, ...).
    explicit MockDesktop(const char* desktop);
    ~MockDesktop();
    MockDesktop(const MockDesktop&) = delete;
    MockDesktop& operator=(const MockDesktop&) = delete;

    // Empty when the buses and the mocks run; else why not (a missing tool).
    const QString& failure() const { return failure_; }
    BusAddresses buses() const { return buses_; }

    // Every call the mock of `service` took so far, as "Method args".
    QStringList calls(const QString& service) const;
    // What is held now: "logind what who why mode" and "<service> reason".
    QStringList held() const;

  private:
    bool startBus(QProcess& bus, const char* kind, QString& address);

    QTemporaryDir dir_;
    QProcess sessionBus_;
    QProcess systemBus_;
    QProcess mocks_;
    BusAddresses buses_;
    QString failure_;
};

}  // namespace velmora::testing
