#include "platform/tray_record.h"

#include <algorithm>

#include "platform/ansi.h"

namespace velmora {

namespace {

constexpr std::size_t kTipOffset = 24;

void putU32(NotifyIconRecord& bytes, std::size_t offset, std::uint32_t value) {
    for (std::size_t i = 0; i < 4; ++i)
        bytes[offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

std::uint32_t getU32(const NotifyIconRecord& bytes, std::size_t offset) {
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < 4; ++i) value |= std::uint32_t{bytes[offset + i]} << (8 * i);
    return value;
}

// In GBK a byte from 0x81 to 0xFE leads a two-byte character.
bool isLeadByte(unsigned char c) {
    return c >= 0x81 && c <= 0xFE;
}

// The longest prefix of `text` of at most `limit` bytes that ends on a
// character boundary.
std::size_t boundaryWithin(const std::string& text, std::size_t limit) {
    std::size_t at = 0;
    while (at < text.size()) {
        const std::size_t width = isLeadByte(static_cast<unsigned char>(text[at])) ? 2 : 1;
        if (at + width > limit) break;
        at += width;
    }
    return std::min(at, text.size());
}

}  // namespace

void assignFixed(std::u16string& field, std::size_t length, std::u16string_view value) {
    field.assign(value.substr(0, length));
    field.resize(length, u' ');
}

void fillTrayIcon(TrayIconData& record, std::uint32_t windowHandle, std::uint32_t iconHandle) {
    record.hWnd = windowHandle;
    record.uID = iconHandle;
    record.uFlags = nif::Message | nif::Icon | nif::Tip;
    record.uCallbackMessage = mouse::Move;
    record.hIcon = iconHandle;
    std::u16string tip(kProductTip);
    tip.push_back(u'\0');
    assignFixed(record.szTip, kTipLength, tip);
    record.cbSize = kNotifyIconRecordSize;
}

NotifyIconRecord toAnsiRecord(const TrayIconData& record) {
    NotifyIconRecord bytes{};
    putU32(bytes, 0, record.cbSize);
    putU32(bytes, 4, record.hWnd);
    putU32(bytes, 8, record.uID);
    putU32(bytes, 12, record.uFlags);
    putU32(bytes, 16, record.uCallbackMessage);
    putU32(bytes, 20, record.hIcon);

    std::string tip = ansi::toAnsi(record.szTip);
    const std::size_t nul = tip.find('\0');
    if (nul == std::string::npos || nul >= kTipLength) {
        tip.resize(boundaryWithin(tip, kTipLength - 1));
        tip.push_back('\0');
    } else {
        // A double-byte character must not be cut in half at the end.
        tip.resize(boundaryWithin(tip, kTipLength));
    }
    std::copy(tip.begin(), tip.end(), bytes.begin() + kTipOffset);
    return bytes;
}

ParsedNotifyIcon parseNotifyIconRecord(const NotifyIconRecord& bytes) {
    ParsedNotifyIcon parsed;
    parsed.cbSize = getU32(bytes, 0);
    parsed.hWnd = getU32(bytes, 4);
    parsed.uID = getU32(bytes, 8);
    parsed.uFlags = getU32(bytes, 12);
    parsed.uCallbackMessage = getU32(bytes, 16);
    parsed.hIcon = getU32(bytes, 20);
    const auto tipBegin = bytes.begin() + kTipOffset;
    parsed.tip.assign(tipBegin, std::find(tipBegin, bytes.end(), std::uint8_t{0}));
    return parsed;
}

}  // namespace velmora
