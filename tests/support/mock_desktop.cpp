#include "support/mock_desktop.h"

#include <QFile>
#include <QProcessEnvironment>
#include <QStandardPaths>

namespace velmora::testing {

namespace {

constexpr int kStartMs = 30000;  // a ceiling for a busy machine, not a speed

const QString& mocksScript() {
    static const QString script = QStringLiteral(VELMORA_DESKTOP_MOCKS);
    return script;
}

}  // namespace

MockDesktop::MockDesktop(const char* desktop) {
    for (const char* tool : {"dbus-daemon", "python3"})
        if (QStandardPaths::findExecutable(QLatin1String(tool)).isEmpty()) {
            failure_ = QStringLiteral("%1 is missing: run scripts/install-deps").arg(tool);
            return;
        }
    if (!dir_.isValid() || !startBus(sessionBus_, "session", buses_.session) ||
        !startBus(systemBus_, "system", buses_.system))
        return;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("DBUS_SESSION_BUS_ADDRESS", buses_.session);
    env.insert("DBUS_SYSTEM_BUS_ADDRESS", buses_.system);
    mocks_.setProcessEnvironment(env);
    mocks_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    mocks_.start(QStringLiteral("/usr/bin/python3"),
                 {mocksScript(), QStringLiteral("serve"), QLatin1String(desktop), dir_.path()});
    if (!mocks_.waitForReadyRead(kStartMs) || !mocks_.readAll().startsWith("ready"))
        failure_ = QStringLiteral("the mocks did not start (python3-dbusmock installed?)");
}

MockDesktop::~MockDesktop() {
    // The mocks end when their input closes, and the buses then.
    if (mocks_.state() != QProcess::NotRunning) {
        mocks_.closeWriteChannel();
        if (!mocks_.waitForFinished(kStartMs)) mocks_.kill();
        mocks_.waitForFinished();
    }
    for (QProcess* bus : {&sessionBus_, &systemBus_}) {
        if (bus->state() == QProcess::NotRunning) continue;
        bus->terminate();
        if (!bus->waitForFinished(kStartMs)) bus->kill();
        bus->waitForFinished();
    }
}

bool MockDesktop::startBus(QProcess& bus, const char* kind, QString& address) {
    QProcess config;
    config.start(QStringLiteral("/usr/bin/python3"),
                 {mocksScript(), QStringLiteral("config"), QLatin1String(kind), dir_.path()});
    config.waitForFinished(kStartMs);
    const QString file = dir_.filePath(QStringLiteral("%1.conf").arg(kind));
    QFile out(file);
    if (config.exitCode() != 0 || !out.open(QIODevice::WriteOnly)) {
        failure_ = QStringLiteral("no configuration for the %1 bus").arg(kind);
        return false;
    }
    out.write(config.readAllStandardOutput());
    out.close();
    bus.start(QStringLiteral("dbus-daemon"),
              {QStringLiteral("--config-file=") + file, QStringLiteral("--nofork"),
               QStringLiteral("--print-address=1")});
    // The daemon says where it listens once it does.
    while (bus.state() != QProcess::NotRunning && !bus.canReadLine() &&
           bus.waitForReadyRead(kStartMs)) {
    }
    address = QString::fromUtf8(bus.readLine()).trimmed();
    if (address.isEmpty()) failure_ = QStringLiteral("the %1 bus did not start").arg(kind);
    return !address.isEmpty();
}

QStringList MockDesktop::calls(const QString& service) const {
    QFile log(dir_.filePath(service + QStringLiteral(".log")));
    if (!log.open(QIODevice::ReadOnly)) return {};
    QStringList out;
    // "<time> Method args": the time goes.
    for (const QByteArray& line : log.readAll().split('\n'))
        if (const qsizetype space = line.indexOf(' '); space > 0)
            out << QString::fromUtf8(line.mid(space + 1));
    return out;
}

QStringList MockDesktop::held() const {
    QProcess list;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("DBUS_SESSION_BUS_ADDRESS", buses_.session);
    env.insert("DBUS_SYSTEM_BUS_ADDRESS", buses_.system);
    list.setProcessEnvironment(env);
    list.start(QStringLiteral("/usr/bin/python3"), {mocksScript(), QStringLiteral("held")});
    list.waitForFinished(kStartMs);
    return QString::fromUtf8(list.readAllStandardOutput()).split(u'\n', Qt::SkipEmptyParts);
}

}  // namespace velmora::testing
