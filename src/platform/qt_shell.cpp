#include "platform/qt_shell.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QGuiApplication>
#include <QMessageBox>
#include <QUrl>
#include <QWidget>

#include "platform/ansi.h"
#include "platform/tray_record.h"
#include "texts/window_texts.h"

namespace velmora {

QString logoffRefusal() {
    if (qEnvironmentVariableIsSet("VELMORA_NO_LOGOFF"))
        return QStringLiteral("VELMORA_NO_LOGOFF is set");
    const QString name = QCoreApplication::applicationName();
    if (name.compare(QLatin1String("velmora"), Qt::CaseInsensitive) != 0)
        return QStringLiteral("this program is \"%1\", not velmora").arg(name);
    const QString platform = QGuiApplication::platformName();
    if (platform.isEmpty() || platform == QLatin1String("offscreen") ||
        platform == QLatin1String("minimal"))
        return QStringLiteral("no real display (platform \"%1\")").arg(platform);
    return QString();
}

std::uint32_t mouseMessageFor(QSystemTrayIcon::ActivationReason reason) {
    switch (reason) {
        case QSystemTrayIcon::Trigger:
            return mouse::LeftDown;
        case QSystemTrayIcon::Context:
            return mouse::RightDown;
        case QSystemTrayIcon::DoubleClick:
            return mouse::LeftDblClick;
        case QSystemTrayIcon::MiddleClick:
            return mouse::MiddleDown;
        case QSystemTrayIcon::Unknown:
            break;
    }
    return 0;
}

QtShell::QtShell(QObject* parent, BusAddresses buses) : QObject(parent), buses_(std::move(buses)) {}

QtShell::~QtShell() = default;

std::uint32_t QtShell::registerWindow(QWidget* window) {
    for (const auto& [handle, known] : windows_)
        if (known == window) return handle;
    const std::uint32_t handle = nextHandle_++;
    windows_[handle] = window;
    return handle;
}

std::uint32_t QtShell::registerIcon(const QIcon& icon) {
    for (const auto& [handle, known] : icons_)
        if (known.cacheKey() == icon.cacheKey()) return handle;
    const std::uint32_t handle = nextHandle_++;
    icons_[handle] = icon;
    return handle;
}

QWidget* QtShell::window(std::uint32_t handle) const {
    const auto it = windows_.find(handle);
    return it == windows_.end() ? nullptr : it->second.data();
}

QIcon QtShell::icon(std::uint32_t handle) const {
    const auto it = icons_.find(handle);
    return it == icons_.end() ? QIcon() : it->second;
}

QSystemTrayIcon* QtShell::trayIcon(std::uint32_t window, std::uint32_t id) const {
    const auto it = added_.find({window, id});
    return it == added_.end() ? nullptr : it->second.tray.get();
}

bool QtShell::notifyIcon(NotifyIconMessage message, const NotifyIconRecord& record) {
    const ParsedNotifyIcon fields = parseNotifyIconRecord(record);
    if (fields.cbSize != kNotifyIconRecordSize) {
        qWarning("notifyIcon: record size %u, not %u", fields.cbSize, kNotifyIconRecordSize);
        return false;
    }
    const IconKey key{fields.hWnd, fields.uID};

    if (message == NotifyIconMessage::Delete) {
        const auto it = added_.find(key);
        if (it == added_.end()) return false;
        // The icon may be the one whose signal is running right now.
        QSystemTrayIcon* tray = it->second.tray.release();
        added_.erase(it);
        tray->hide();
        tray->deleteLater();
        return true;
    }

    if (message != NotifyIconMessage::Add || added_.count(key) != 0 ||
        window(fields.hWnd) == nullptr)
        return false;
    auto tray = std::make_unique<QSystemTrayIcon>();
    if (fields.uFlags & nif::Icon) {
        const QIcon image = icon(fields.hIcon);
        if (image.isNull()) return false;
        tray->setIcon(image);
    }
    if (fields.uFlags & nif::Tip) tray->setToolTip(ansi::toQString(fields.tip));
    connect(tray.get(), &QSystemTrayIcon::activated, this,
            [this, key](QSystemTrayIcon::ActivationReason reason) {
                activated(key, mouseMessageFor(reason));
            });
    connect(tray.get(), &QSystemTrayIcon::messageClicked, this,
            [this, key] { activated(key, mouse::MessageClick); });
    tray->show();
    added_[key] = {std::move(tray), (fields.uFlags & nif::Message) != 0};
    return true;
}

void QtShell::activated(IconKey key, std::uint32_t message) {
    const auto it = added_.find(key);
    if (it == added_.end() || !it->second.reportsMouse) return;
    if (message == 0 || !callback_) return;
    // The callback may replace itself; call a copy.
    const IconCallback callback = callback_;
    callback(key.first, message);
}

bool QtShell::hasNotificationArea() const {
    return QSystemTrayIcon::isSystemTrayAvailable();
}

void QtShell::setIconTip(std::uint32_t window, std::uint32_t id, const std::u16string& tip) {
    if (QSystemTrayIcon* tray = trayIcon(window, id))
        tray->setToolTip(QString::fromStdU16String(tip));
}

void QtShell::showIconMessage(std::uint32_t window, std::uint32_t id, const std::u16string& title,
                              const std::u16string& text) {
    constexpr int kShownMilliseconds = 10000;
    if (QSystemTrayIcon* tray = trayIcon(window, id))
        tray->showMessage(QString::fromStdU16String(title), QString::fromStdU16String(text),
                          tray->icon(), kShownMilliseconds);
}

void QtShell::about(std::uint32_t ownerWindow, const std::string& applicationText,
                    const std::string& otherText, std::uint32_t iconHandle) {
    // As the system's about box: "title#first line", or the one text for both.
    const QString app = ansi::toQString(applicationText);
    const qsizetype hash = app.indexOf(u'#');
    const QString title =
        hash < 0 ? QString::fromUtf16(text::kAboutTitle).arg(app) : app.left(hash);
    const QString firstLine = hash < 0 ? app : app.mid(hash + 1);
    QString body = ansi::toQString(otherText);
    body.replace(QLatin1String("\r\n"), QLatin1String("\n"));

    if (aboutBox_) aboutBox_->close();
    auto* box = new QMessageBox(window(ownerWindow));
    box->setObjectName(QStringLiteral("aboutBox"));
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowTitle(title);
    box->setTextFormat(Qt::PlainText);
    box->setText(firstLine + u'\n' + body);
    box->setStandardButtons(QMessageBox::Ok);
    if (const QIcon image = icon(iconHandle); !image.isNull())
        box->setIconPixmap(image.pixmap(48, 48));
    aboutBox_ = box;
    // Window-modal and without a nested event loop: the caller goes on.
    box->open();
}

void QtShell::execute(std::uint32_t, const std::string& verb, const std::string& file,
                      const std::string&, const std::string& directory, std::int32_t) {
    const QString action = ansi::toQString(verb);
    // An empty verb is the default action, which for an address is "open".
    if (!action.isEmpty() && action.compare(QLatin1String("open"), Qt::CaseInsensitive) != 0) {
        qWarning("execute: verb \"%s\" is not supported", qUtf8Printable(action));
        return;
    }
    // "www.example.com" is taken as a web address, an existing relative path
    // as a file in `directory`.
    const QUrl url = QUrl::fromUserInput(ansi::toQString(file), ansi::toQString(directory));
    if (!url.isValid() || !QDesktopServices::openUrl(url))
        qWarning("execute: cannot open \"%s\"", qUtf8Printable(url.toString()));
}

bool QtShell::openFolder(const std::u16string& folder) {
    return !folder.empty() &&
           QDesktopServices::openUrl(QUrl::fromLocalFile(QString::fromStdU16String(folder)));
}

DesktopSession& QtShell::session() {
    if (!session_) session_ = std::make_unique<DesktopSession>(buses_);
    return *session_;
}

void QtShell::exitWindows(std::uint32_t, std::uint32_t) {
    if (const QString refusal = logoffRefusal(); !refusal.isEmpty()) {
        qInfo("Not ending the logon: %s", qUtf8Printable(refusal));
        return;
    }
    session().logOff([](LogoffWay way) {
        if (way == LogoffWay::EndSession)
            qInfo("No session manager took the log-off: the session was ended");
    });
}

void QtShell::findLogoffWay(LogoffWayFound found) {
    session().findLogoffWay(std::move(found));
}

void QtShell::keepAwake(const std::u16string& reason) {
    session().holdAwake(QString::fromStdU16String(reason));
}

void QtShell::letSleep() {
    if (session_) session_->release();
}

}  // namespace velmora
