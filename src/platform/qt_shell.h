#pragma once
// The shell on a Qt desktop. The window registers itself and its icon to get
// the handle numbers it writes into the icon record; the icon record becomes
// a QSystemTrayIcon, the about box a QMessageBox, "open" the desktop's URL
// handler; keeping awake and ending the logon go to the desktop session
// over D-Bus (desktop_session.h).

#include <QIcon>
#include <QMessageBox>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QSystemTrayIcon>
#include <QWidget>
#include <map>
#include <memory>
#include <utility>

#include "platform/desktop_session.h"
#include "platform/shell.h"

namespace velmora {

// Why ending the logon is refused in this process, or empty when it is not.
// Refused when VELMORA_NO_LOGOFF is set (end-to-end runs set it), when the
// program is not "velmora" (every test program) or when there is no real
// display (offscreen and minimal platforms, as every unit test runs).
QString logoffRefusal();

// The mouse message that an activation of the icon stands for; 0 for none.
// On X11 Qt reports Trigger, Context and MiddleClick on the button's press.
std::uint32_t mouseMessageFor(QSystemTrayIcon::ActivationReason reason);

class QtShell : public QObject, public Shell {
    Q_OBJECT
  public:
    // `buses`: where the desktop session is asked (the environment's buses
    // unless given).
    explicit QtShell(QObject* parent = nullptr, BusAddresses buses = {});
    ~QtShell() override;

    // Handle numbers for the icon record and the other calls; never 0. The
    // same window or icon registered again keeps its number.
    std::uint32_t registerWindow(QWidget* window);
    std::uint32_t registerIcon(const QIcon& icon);
    QWidget* window(std::uint32_t handle) const;
    QIcon icon(std::uint32_t handle) const;

    bool notifyIcon(NotifyIconMessage message, const NotifyIconRecord& record) override;
    void setIconCallback(IconCallback callback) override { callback_ = std::move(callback); }
    void about(std::uint32_t ownerWindow, const std::string& applicationText,
               const std::string& otherText, std::uint32_t iconHandle) override;
    void execute(std::uint32_t window, const std::string& verb, const std::string& file,
                 const std::string& parameters, const std::string& directory,
                 std::int32_t showCommand) override;
    bool openFolder(const std::u16string& folder) override;
    void exitWindows(std::uint32_t reserved, std::uint32_t returnCode) override;
    void findLogoffWay(LogoffWayFound found) override;
    void keepAwake(const std::u16string& reason) override;
    void letSleep() override;
    bool hasNotificationArea() const override;
    void setIconTip(std::uint32_t window, std::uint32_t id, const std::u16string& tip) override;
    void showIconMessage(std::uint32_t window, std::uint32_t id, const std::u16string& title,
                         const std::u16string& text) override;

    // The icon added for (window, id), or null; and the about box on screen.
    QSystemTrayIcon* trayIcon(std::uint32_t window, std::uint32_t id) const;
    QMessageBox* aboutBox() const { return aboutBox_; }

  private:
    struct AddedIcon {
        std::unique_ptr<QSystemTrayIcon> tray;
        bool reportsMouse = false;
    };
    using IconKey = std::pair<std::uint32_t, std::uint32_t>;  // hWnd, uID

    // Reports `message` (a mouse message number) for the icon; 0 reports nothing.
    void activated(IconKey key, std::uint32_t message);
    // Made when first asked for: a program that never runs a job or ends
    // the logon never opens a bus.
    DesktopSession& session();

    std::uint32_t nextHandle_ = 1;
    std::map<std::uint32_t, QPointer<QWidget>> windows_;
    std::map<std::uint32_t, QIcon> icons_;
    std::map<IconKey, AddedIcon> added_;
    IconCallback callback_;
    QPointer<QMessageBox> aboutBox_;
    BusAddresses buses_;
    std::unique_ptr<DesktopSession> session_;
};

}  // namespace velmora
