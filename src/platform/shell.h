#pragma once
// The desktop shell as the window uses it: the notification-area icon, the
// about box, opening an address or a folder, keeping the machine awake during
// a job and ending the user's logon. The window speaks in the shell's terms
// (handles, an 88-byte icon record, texts in the ANSI code page); the Qt
// implementation maps them onto Qt and the desktop session.

#include <array>
#include <cstdint>
#include <functional>
#include <string>

namespace velmora {

// NOTIFYICONDATA in its 88-byte ANSI form.
using NotifyIconRecord = std::array<std::uint8_t, 88>;

enum class NotifyIconMessage : std::uint32_t { Add = 0, Delete = 2 };

// How ending the logon goes. The desktop's session manager asks every
// program to close first, so each can save its work or object; ending the
// session (logind) closes them all at once, unsaved work and all.
enum class LogoffWay { SessionManager, EndSession, None };

// Mouse message numbers that the icon reports.
namespace mouse {
inline constexpr std::uint32_t Move = 512;          // WM_MOUSEMOVE
inline constexpr std::uint32_t LeftDown = 513;      // WM_LBUTTONDOWN
inline constexpr std::uint32_t LeftUp = 514;        // WM_LBUTTONUP
inline constexpr std::uint32_t LeftDblClick = 515;  // WM_LBUTTONDBLCLK
inline constexpr std::uint32_t RightDown = 516;     // WM_RBUTTONDOWN
inline constexpr std::uint32_t MiddleDown = 519;    // WM_MBUTTONDOWN
// A click on the icon's passing message (NIN_BALLOONUSERCLICK).
inline constexpr std::uint32_t MessageClick = 1029;
}  // namespace mouse

class Shell {
  public:
    virtual ~Shell() = default;

    // Shell_NotifyIconA. Returns whether the shell did it; callers ignore it.
    virtual bool notifyIcon(NotifyIconMessage message, const NotifyIconRecord& record) = 0;

    // Receives every user action on the icon: the window handle of the
    // icon's record and the number of the mouse message (see `mouse`). A
    // press arrives when the button goes down, not on its release.
    using IconCallback =
        std::function<void(std::uint32_t windowHandle, std::uint32_t mouseMessage)>;
    virtual void setIconCallback(IconCallback callback) = 0;

    // ShellAboutA; texts in the ANSI code page.
    virtual void about(std::uint32_t ownerWindow, const std::string& applicationText,
                       const std::string& otherText, std::uint32_t iconHandle) = 0;

    // ShellExecuteA; texts in the ANSI code page.
    virtual void execute(std::uint32_t window, const std::string& verb, const std::string& file,
                         const std::string& parameters, const std::string& directory,
                         std::int32_t showCommand) = 0;

    // Opens `folder` in the desktop's file manager; false when no program
    // took it. The name in full: a folder may be named in characters the
    // ANSI code page does not hold.
    virtual bool openFolder(const std::u16string& folder) = 0;

    // ExitWindows: ends the user's logon, through the desktop's session
    // manager where one answers.
    virtual void exitWindows(std::uint32_t reserved, std::uint32_t returnCode) = 0;
    // Which way exitWindows would go now. The answer comes later, on the
    // caller's thread, and never from inside this call.
    using LogoffWayFound = std::function<void(LogoffWay)>;
    virtual void findLogoffWay(LogoffWayFound found) = 0;

    // Keeps the machine from sleeping and the session from going idle until
    // letSleep(), telling the desktop `reason`; a second call replaces the
    // first. Neither waits for an answer, and both do nothing where no
    // service listens.
    virtual void keepAwake(const std::u16string& reason) = 0;
    virtual void letSleep() = 0;

    // Whether the desktop has a notification area at all; without one an
    // added icon is never seen.
    virtual bool hasNotificationArea() const = 0;

    // The tip and a passing message of the icon added for (window, id),
    // through the icon's own means: the record the icon was added with
    // stays as it was. Nothing happens when no such icon is shown.
    virtual void setIconTip(std::uint32_t window, std::uint32_t id, const std::u16string& tip) = 0;
    virtual void showIconMessage(std::uint32_t window, std::uint32_t id,
                                 const std::u16string& title, const std::u16string& text) = 0;
};

}  // namespace velmora
