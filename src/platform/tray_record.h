#pragma once
// The notification-area icon's record as the program holds it, and its
// conversion to the shell's 88-byte ANSI form.
//
// The program holds one record for the whole run, fills it once
// at start-up with fillTrayIcon() and passes it unchanged to every add and
// remove: notifyIcon(shell, NotifyIconMessage::Add, module1.TrayIcon).

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/shell.h"
#include "texts/window_texts.h"

namespace velmora {

// uFlags bits: which of the record's fields the shell should use.
namespace nif {
inline constexpr std::uint32_t Message = 1;
inline constexpr std::uint32_t Icon = 2;
inline constexpr std::uint32_t Tip = 4;
}  // namespace nif

inline constexpr std::uint32_t kNotifyIconRecordSize = 88;
inline constexpr std::size_t kTipLength = 64;
inline constexpr std::u16string_view kProductTip = text::kTitle;

struct TrayIconData {
    std::uint32_t cbSize = 0;
    std::uint32_t hWnd = 0;
    std::uint32_t uID = 0;
    std::uint32_t uFlags = 0;
    std::uint32_t uCallbackMessage = 0;
    std::uint32_t hIcon = 0;
    // Always kTipLength characters; see assignFixed().
    std::u16string szTip = std::u16string(kTipLength, u' ');
};

// Assigns to a fixed-length text field: `value` cut to the field's length,
// or followed by blanks up to it.
void assignFixed(std::u16string& field, std::size_t length, std::u16string_view value);

// Fills the record in the order of the icon's registration: window handle,
// icon id, flags and callback message (mouse-move), icon, tip with its NUL,
// size.
void fillTrayIcon(TrayIconData& record, std::uint32_t windowHandle, std::uint32_t iconHandle);

// The 88 bytes the shell receives: six little-endian 32-bit fields, then the
// tip converted to the ANSI code page in 64 bytes. The converted text is cut
// to 64 bytes on a character boundary; if no NUL is left within them, the
// tip is shortened so that one is.
NotifyIconRecord toAnsiRecord(const TrayIconData& record);

// The shell's side: the fields read back from 88 bytes, the tip as the ANSI
// bytes before the first NUL.
struct ParsedNotifyIcon {
    std::uint32_t cbSize = 0;
    std::uint32_t hWnd = 0;
    std::uint32_t uID = 0;
    std::uint32_t uFlags = 0;
    std::uint32_t uCallbackMessage = 0;
    std::uint32_t hIcon = 0;
    std::string tip;
};
ParsedNotifyIcon parseNotifyIconRecord(const NotifyIconRecord& bytes);

// Shell_NotifyIconA as the program calls it: the record is converted before
// each call.
inline bool notifyIcon(Shell& shell, NotifyIconMessage message, const TrayIconData& record) {
    return shell.notifyIcon(message, toAnsiRecord(record));
}

}  // namespace velmora
