// The notification-area icon and the ways the window is hidden, shown and
// closed.

#include <QCursor>
#include <QFileInfo>
#include <QMenu>

#include "app/real.h"

namespace velmora {

std::uint32_t Real::hWnd() const {
    return handleOf(const_cast<Real*>(this));
}

std::uint32_t Real::handleOf(QWidget* window) const {
    if (p_.windowHandle) return p_.windowHandle(window);
    return static_cast<std::uint32_t>(window->winId());
}

std::uint32_t Real::hIcon() const {
    if (p_.iconHandle) return p_.iconHandle(icon_);
    return static_cast<std::uint32_t>(icon_.cacheKey());
}

void Real::registerTrayIcon() {
    fillTrayIcon(module1_.TrayIcon, hWnd(), hIcon());
    p_.shell.setIconCallback([this](std::uint32_t window, std::uint32_t mouseMessage) {
        if (window == module1_.TrayIcon.hWnd) Form_MouseMove(mouseMessage);
    });
    (void)notifyIcon(p_.shell, NotifyIconMessage::Add, module1_.TrayIcon);
}

void Real::removeTrayIcon() {
    (void)notifyIcon(p_.shell, NotifyIconMessage::Delete, module1_.TrayIcon);
}

// The icon reports the mouse message number of what the user did on it.
void Real::Form_MouseMove(std::uint32_t mouseMessage) {
    switch (mouseMessage) {
        case mouse::LeftDown:
            bringBack();
            break;
        case mouse::RightDown:
            tuopan->popup(QCursor::pos());
            break;
        case mouse::MessageClick: {
            // The message after a job names its files: the click shows where
            // they are, or the window, where the pane says why it cannot. A
            // failed job kept none.
            const bool leftFiles = lastEnd_ == JobEnd::Completed || lastEnd_ == JobEnd::Stopped;
            if (!leftFiles || !openJobFolder(QFileInfo(jobFile_).absolutePath())) bringBack();
            break;
        }
        default:
            break;
    }
}

void Real::a23_Click() {
    // Without a notification area a hidden window could not be brought back.
    if (p_.shell.hasNotificationArea()) {
        hide();
    } else {
        showMinimized();
    }
}

void Real::xiansi_Click() {
    bringBack();
}

// Shown is not enough: a window minimised from its title bar stays iconic.
void Real::bringBack() {
    if (isMinimized()) setWindowState(windowState() & ~Qt::WindowMinimized);
    show();
    raise();
    activateWindow();
}

void Real::a14_Click() {
    // Leaves at once: no stop call; the encoder finishes its file as it is
    // destroyed.
    removeTrayIcon();
    p_.endProgram();
}

void Real::Form_QueryUnload() {
    removeTrayIcon();
}

void Real::Form_Unload() {
    removeTrayIcon();
    p_.endProgram();
}

}  // namespace velmora
