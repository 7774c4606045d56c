#include "platform/desktop_session.h"

#include <QDBusConnection>
#include <QDBusError>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusUnixFileDescriptor>
#include <QMetaObject>
#include <QStringList>
#include <optional>
#include <utility>

#include "texts/product.h"

namespace velmora {

namespace {

constexpr const char* kLogind = "org.freedesktop.login1";
constexpr const char* kLogindPath = "/org/freedesktop/login1";
constexpr const char* kLogindManager = "org.freedesktop.login1.Manager";
// The desktop's name for us: the menu entry's (velmora.desktop).
constexpr const char* kAppId = "velmora";

// A question to a bus or a lock: an answer later than this is no answer.
constexpr int kProbeTimeoutMs = 5000;
// A session manager may take its time to say it has begun.
constexpr int kLogoffTimeoutMs = 25000;

// The desktop's own ways to hold off sleep and idleness, besides logind's:
// logind alone lets a user's own suspend through, and some power managers
// never ask it.
struct Inhibitor {
    const char* service;
    const char* path;
    const char* interface;
    const char* inhibit;
    const char* uninhibit;
    bool sessionFlags;  // Inhibit(app_id, toplevel_xid, reason, flags), else Inhibit(app, reason)
};
const Inhibitor kInhibitors[] = {
    {"org.freedesktop.ScreenSaver", "/org/freedesktop/ScreenSaver", "org.freedesktop.ScreenSaver",
     "Inhibit", "UnInhibit", false},
    {"org.freedesktop.PowerManagement", "/org/freedesktop/PowerManagement/Inhibit",
     "org.freedesktop.PowerManagement.Inhibit", "Inhibit", "UnInhibit", false},
    {"org.gnome.SessionManager", "/org/gnome/SessionManager", "org.gnome.SessionManager", "Inhibit",
     "Uninhibit", true},
    {"org.mate.SessionManager", "/org/mate/SessionManager", "org.mate.SessionManager", "Inhibit",
     "Uninhibit", true},
    {"org.cinnamon.SessionManager", "/org/cinnamon/SessionManager", "org.cinnamon.SessionManager",
     "Inhibit", "Uninhibit", true},
};
// The session manager's flags: suspending (4) and marking the session idle (8).
constexpr quint32 kSuspendAndIdle = 4 | 8;

QDBusMessage methodCall(const char* service, const char* path, const char* interface,
                        const char* method) {
    return QDBusMessage::createMethodCall(QLatin1String(service), QLatin1String(path),
                                          QLatin1String(interface), QLatin1String(method));
}

QDBusMessage busCall(const char* method) {
    return methodCall("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                      method);
}

QDBusMessage messageFor(const LogoffCall& c) {
    using Args = LogoffCall::Args;
    QDBusMessage m = methodCall(c.service, c.path, c.interface, c.method);
    switch (c.args) {
        case Args::None:
            break;
        case Args::NoConfirmation:
            m << quint32(1);  // no dialog of its own; programs may still save or object
            break;
        case Args::KsmNoConfirmation:
            m << 0 << 0 << 0;  // no confirmation, log out only, the default way
            break;
        case Args::XfceNoDialogSave:
            m << false << true;  // no dialog, let programs save
            break;
    }
    // Nothing is started for a desktop that is not running, except what
    // that desktop itself starts on demand.
    m.setAutoStartService(c.activated);
    return m;
}

// Whether the session manager took the call. No answer in time is taken
// too: it may be busy closing programs, and ending the session under it
// would take their chance to save.
bool taken(const QDBusMessage& reply) {
    if (reply.type() == QDBusMessage::ReplyMessage) return true;
    const QString error = reply.errorName();
    return error == QLatin1String("org.freedesktop.DBus.Error.NoReply") ||
           error == QLatin1String("org.freedesktop.DBus.Error.Timeout") ||
           error == QLatin1String("org.freedesktop.DBus.Error.TimedOut");
}

}  // namespace

const std::vector<LogoffDesktop>& logoffDesktops() {
    using Args = LogoffCall::Args;
    // GNOME's interface under each of its names: the service, its interface
    // and its object all named alike.
    const auto gnomeLike = [](const char* name, const char* service, const char* path) {
        return LogoffDesktop{
            name, service, {{service, path, service, "Logout", Args::NoConfirmation}}};
    };
    // Each desktop's own name before org.gnome.SessionManager, which others
    // (Budgie, older MATE) answer to as well.
    static const std::vector<LogoffDesktop> desktops = {
        {"KDE Plasma",
         "org.kde.ksmserver",
         {{"org.kde.Shutdown", "/Shutdown", "org.kde.Shutdown", "logout", Args::None, true, true},
          {"org.kde.ksmserver", "/KSMServer", "org.kde.KSMServerInterface", "logout",
           Args::KsmNoConfirmation}}},
        {"Xfce",
         "org.xfce.SessionManager",
         {{"org.xfce.SessionManager", "/org/xfce/SessionManager", "org.xfce.Session.Manager",
           "Logout", Args::XfceNoDialogSave}}},
        {"LXQt",
         "org.lxqt.session",
         {{"org.lxqt.session", "/LXQtSession", "org.lxqt.session", "logout", Args::None, false}}},
        gnomeLike("Cinnamon", "org.cinnamon.SessionManager", "/org/cinnamon/SessionManager"),
        gnomeLike("MATE", "org.mate.SessionManager", "/org/mate/SessionManager"),
        gnomeLike("GNOME", "org.gnome.SessionManager", "/org/gnome/SessionManager"),
    };
    return desktops;
}

QString sessionToEnd(const QString& xdgSessionId) {
    const QString id = xdgSessionId.trimmed();
    return id.isEmpty() ? QStringLiteral("auto") : id;
}

class DesktopSession::Worker : public QObject {
  public:
    explicit Worker(BusAddresses buses) : buses_(std::move(buses)) {}
    ~Worker() override {
        release();
        for (const QString& name : ownConnections_) QDBusConnection::disconnectFromBus(name);
    }

    void hold(const QString& reason);
    void release();
    void findWay(const Shell::LogoffWayFound& found);
    void logOff(const Shell::LogoffWayFound& done);

  private:
    QDBusConnection bus(QDBusConnection::BusType type);
    // Sends `message` and hands its reply (or the error) to `then`, later,
    // on this thread.
    void call(QDBusConnection::BusType type, const QDBusMessage& message, int timeoutMs,
              std::function<void(const QDBusMessage&)> then);
    void sessionNames(std::function<void(const QStringList&)> then);
    void tryLogoff(std::vector<const LogoffCall*> calls, std::size_t next,
                   Shell::LogoffWayFound done);
    void endSession(const Shell::LogoffWayFound& done);
    void uninhibit(const Inhibitor& inhibitor, quint32 cookie);

    BusAddresses buses_;
    std::optional<QDBusConnection> session_;
    std::optional<QDBusConnection> system_;
    QStringList ownConnections_;
    // Advanced by every hold and release: what arrives for an older one is
    // let go at once.
    int hold_ = 0;
    QDBusUnixFileDescriptor sleepLock_;  // logind's: held open, closed to let go
    struct Cookie {
        const Inhibitor* by;
        quint32 cookie;
    };
    std::vector<Cookie> cookies_;
};

QDBusConnection DesktopSession::Worker::bus(QDBusConnection::BusType type) {
    const bool session = type == QDBusConnection::SessionBus;
    std::optional<QDBusConnection>& slot = session ? session_ : system_;
    if (slot) return *slot;
    const QString& address = session ? buses_.session : buses_.system;
    if (address.isEmpty()) {
        slot = session ? QDBusConnection::sessionBus() : QDBusConnection::systemBus();
    } else {
        const QString name = QStringLiteral("velmora-%1-%2")
                                 .arg(session ? "session" : "system")
                                 .arg(reinterpret_cast<quintptr>(this));
        slot = QDBusConnection::connectToBus(address, name);
        ownConnections_ << name;
    }
    return *slot;
}

void DesktopSession::Worker::call(QDBusConnection::BusType type, const QDBusMessage& message,
                                  int timeoutMs, std::function<void(const QDBusMessage&)> then) {
    const QDBusConnection connection = bus(type);
    // A bus that is not there gives no pending call to watch.
    if (!connection.isConnected())
        return then(
            QDBusMessage::createError(QDBusError::Disconnected, connection.lastError().message()));
    auto* watcher = new QDBusPendingCallWatcher(connection.asyncCall(message, timeoutMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [watcher, then = std::move(then)] {
        // The reply may carry a descriptor: the watcher's copy goes with it.
        watcher->deleteLater();
        then(watcher->reply());
    });
}

void DesktopSession::Worker::sessionNames(std::function<void(const QStringList&)> then) {
    call(QDBusConnection::SessionBus, busCall("ListNames"), kProbeTimeoutMs,
         [then = std::move(then)](const QDBusMessage& reply) {
             then(reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty()
                      ? reply.arguments().front().toStringList()
                      : QStringList());
         });
}

void DesktopSession::Worker::hold(const QString& reason) {
    release();
    const int hold = hold_;
    QDBusMessage lock = methodCall(kLogind, kLogindPath, kLogindManager, "Inhibit");
    lock << QStringLiteral("sleep:idle") << QStringLiteral(VELMORA_PRODUCT_NAME) << reason
         << QStringLiteral("block");
    call(QDBusConnection::SystemBus, lock, kProbeTimeoutMs,
         [this, hold](const QDBusMessage& reply) {
             // Released meanwhile: the descriptor closes with the reply.
             if (hold != hold_ || reply.type() != QDBusMessage::ReplyMessage ||
                 reply.arguments().isEmpty())
                 return;
             sleepLock_ = qvariant_cast<QDBusUnixFileDescriptor>(reply.arguments().front());
         });
    // Only what runs: nothing is started to be asked.
    sessionNames([this, hold, reason](const QStringList& names) {
        if (hold != hold_) return;
        for (const Inhibitor& inhibitor : kInhibitors) {
            if (!names.contains(QLatin1String(inhibitor.service))) continue;
            QDBusMessage m = methodCall(inhibitor.service, inhibitor.path, inhibitor.interface,
                                        inhibitor.inhibit);
            if (inhibitor.sessionFlags)
                m << QString::fromLatin1(kAppId) << quint32(0) << reason << kSuspendAndIdle;
            else
                m << QStringLiteral(VELMORA_PRODUCT_NAME) << reason;
            m.setAutoStartService(false);
            call(QDBusConnection::SessionBus, m, kProbeTimeoutMs,
                 [this, hold, by = &inhibitor](const QDBusMessage& reply) {
                     if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
                         return;
                     const quint32 cookie = reply.arguments().front().toUInt();
                     if (hold == hold_)
                         cookies_.push_back({by, cookie});
                     else
                         uninhibit(*by, cookie);
                 });
        }
    });
}

void DesktopSession::Worker::uninhibit(const Inhibitor& inhibitor, quint32 cookie) {
    QDBusMessage m =
        methodCall(inhibitor.service, inhibitor.path, inhibitor.interface, inhibitor.uninhibit);
    m << cookie;
    m.setAutoStartService(false);
    // Nothing to wait for: a desktop that is gone holds nothing either.
    bus(QDBusConnection::SessionBus).send(m);
}

void DesktopSession::Worker::release() {
    ++hold_;
    sleepLock_ = QDBusUnixFileDescriptor();
    for (const Cookie& c : cookies_) uninhibit(*c.by, c.cookie);
    cookies_.clear();
}

void DesktopSession::Worker::findWay(const Shell::LogoffWayFound& found) {
    sessionNames([this, found](const QStringList& names) {
        for (const LogoffDesktop& desktop : logoffDesktops())
            if (names.contains(QLatin1String(desktop.present)))
                return found(LogoffWay::SessionManager);
        QDBusMessage has = busCall("NameHasOwner");
        has << QString::fromLatin1(kLogind);
        call(QDBusConnection::SystemBus, has, kProbeTimeoutMs, [found](const QDBusMessage& reply) {
            const bool logind = reply.type() == QDBusMessage::ReplyMessage &&
                                !reply.arguments().isEmpty() && reply.arguments().front().toBool();
            found(logind ? LogoffWay::EndSession : LogoffWay::None);
        });
    });
}

void DesktopSession::Worker::logOff(const Shell::LogoffWayFound& done) {
    sessionNames([this, done](const QStringList& names) {
        std::vector<const LogoffCall*> calls;
        for (const LogoffDesktop& desktop : logoffDesktops())
            if (names.contains(QLatin1String(desktop.present)))
                for (const LogoffCall& c : desktop.calls) calls.push_back(&c);
        tryLogoff(std::move(calls), 0, done);
    });
}

void DesktopSession::Worker::tryLogoff(std::vector<const LogoffCall*> calls, std::size_t next,
                                       Shell::LogoffWayFound done) {
    if (next == calls.size()) return endSession(done);
    const LogoffCall& c = *calls[next];
    const QDBusMessage message = messageFor(c);
    if (!c.replies) {
        if (bus(QDBusConnection::SessionBus).send(message)) return done(LogoffWay::SessionManager);
        return tryLogoff(std::move(calls), next + 1, std::move(done));
    }
    call(QDBusConnection::SessionBus, message, kLogoffTimeoutMs,
         [this, calls = std::move(calls), next, done = std::move(done),
          service = c.service](const QDBusMessage& reply) mutable {
             if (taken(reply)) return done(LogoffWay::SessionManager);
             qInfo("%s did not take the log-off: %s", service,
                   qUtf8Printable(reply.errorMessage()));
             tryLogoff(std::move(calls), next + 1, std::move(done));
         });
}

void DesktopSession::Worker::endSession(const Shell::LogoffWayFound& done) {
    QDBusMessage end = methodCall(kLogind, kLogindPath, kLogindManager, "TerminateSession");
    end << sessionToEnd(qEnvironmentVariable("XDG_SESSION_ID"));
    call(QDBusConnection::SystemBus, end, kLogoffTimeoutMs, [done](const QDBusMessage& reply) {
        if (reply.type() == QDBusMessage::ReplyMessage) return done(LogoffWay::EndSession);
        qWarning("Cannot end the logon: %s", qUtf8Printable(reply.errorMessage()));
        done(LogoffWay::None);
    });
}

DesktopSession::DesktopSession(BusAddresses buses, QObject* parent)
    : QObject(parent), worker_(new Worker(std::move(buses))) {
    thread_.setObjectName(QStringLiteral("desktop session"));
    worker_->moveToThread(&thread_);
    // Deleted on its own thread as that ends, letting go of what it holds.
    connect(&thread_, &QThread::finished, worker_, &QObject::deleteLater);
    thread_.start();
}

DesktopSession::~DesktopSession() {
    thread_.quit();
    thread_.wait();
}

void DesktopSession::post(std::function<void(Worker&)> work) {
    QMetaObject::invokeMethod(
        worker_, [worker = worker_, work = std::move(work)] { work(*worker); },
        Qt::QueuedConnection);
}

Shell::LogoffWayFound DesktopSession::here(Shell::LogoffWayFound answer) {
    if (!answer) return [](LogoffWay) {};
    // Called on the worker's thread, which ends before this object does; an
    // answer still queued then goes with this object.
    return [this, answer = std::move(answer)](LogoffWay way) {
        QMetaObject::invokeMethod(
            this, [answer, way] { answer(way); }, Qt::QueuedConnection);
    };
}

void DesktopSession::holdAwake(const QString& reason) {
    post([reason](Worker& w) { w.hold(reason); });
}

void DesktopSession::release() {
    post([](Worker& w) { w.release(); });
}

void DesktopSession::findLogoffWay(Shell::LogoffWayFound found) {
    post([found = here(std::move(found))](Worker& w) { w.findWay(found); });
}

void DesktopSession::logOff(Shell::LogoffWayFound done) {
    post([done = here(std::move(done))](Worker& w) { w.logOff(done); });
}

}  // namespace velmora
