#include "platform/tray_record.h"

#include <gtest/gtest.h>

#include "platform/ansi.h"
#include "support/recording_shell.h"

namespace velmora {
namespace {

std::string tipBytes(const NotifyIconRecord& r) {
    return std::string(r.begin() + 24, r.end());
}

// Handles whose four bytes all differ, so a swapped or shifted field shows.
constexpr std::uint32_t kWindow = 0x0A0B0C0D;
constexpr std::uint32_t kIcon = 0x11223344;

TEST(TrayIconRecord, RegistrationFillsEveryField) {
    TrayIconData t;
    fillTrayIcon(t, kWindow, kIcon);
    EXPECT_EQ(t.cbSize, 88u);
    EXPECT_EQ(t.hWnd, kWindow);
    EXPECT_EQ(t.uID, kIcon);
    EXPECT_EQ(t.hIcon, kIcon);
    EXPECT_EQ(t.uFlags, 7u);
    EXPECT_EQ(t.uCallbackMessage, 512u);
    // The tip, one NUL, then blanks to 64 characters.
    ASSERT_EQ(t.szTip.size(), 64u);
    EXPECT_EQ(t.szTip.substr(0, 12), std::u16string(u"Velmorav1.0\0", 12));
    EXPECT_EQ(t.szTip.substr(12), std::u16string(52, u' '));
}

TEST(TrayIconRecord, AnsiFormIsLittleEndianAtTheShellsOffsets) {
    TrayIconData t;
    fillTrayIcon(t, kWindow, kIcon);
    const NotifyIconRecord r = toAnsiRecord(t);
    EXPECT_EQ((std::vector<std::uint8_t>(r.begin(), r.begin() + 24)),
              (std::vector<std::uint8_t>{88,   0,    0,    0,        // cbSize
                                         0x0D, 0x0C, 0x0B, 0x0A,     // hWnd
                                         0x44, 0x33, 0x22, 0x11,     // uID
                                         7,    0,    0,    0,        // uFlags
                                         0x00, 0x02, 0,    0,        // uCallbackMessage
                                         0x44, 0x33, 0x22, 0x11}));  // hIcon
    EXPECT_EQ(tipBytes(r), std::string("Velmorav1.0\0", 12) + std::string(52, ' '));

    const ParsedNotifyIcon p = parseNotifyIconRecord(r);
    EXPECT_EQ(p.cbSize, 88u);
    EXPECT_EQ(p.hWnd, kWindow);
    EXPECT_EQ(p.uID, kIcon);
    EXPECT_EQ(p.uFlags, 7u);
    EXPECT_EQ(p.uCallbackMessage, 512u);
    EXPECT_EQ(p.hIcon, kIcon);
    EXPECT_EQ(p.tip, "Velmorav1.0");
}

TEST(TrayIconRecord, ChineseTipIsWrittenInGbk) {
    TrayIconData t;
    fillTrayIcon(t, 1, 2);
    assignFixed(t.szTip, kTipLength, std::u16string(u"压缩完成\0", 5));
    const NotifyIconRecord r = toAnsiRecord(t);
    EXPECT_EQ(tipBytes(r).substr(0, 9), std::string("\xD1\xB9\xCB\xF5\xCD\xEA\xB3\xC9\0", 9));
    EXPECT_EQ(tipBytes(r).substr(9), std::string(55, ' '));
    EXPECT_EQ(ansi::toQString(parseNotifyIconRecord(r).tip), QStringLiteral("压缩完成"));
}

TEST(TrayIconRecord, OverlongTipIsCutOnACharacterBoundaryWithItsNul) {
    TrayIconData t;
    fillTrayIcon(t, 1, 2);
    // 40 characters of two bytes each and no NUL: 80 bytes do not fit.
    assignFixed(t.szTip, kTipLength, std::u16string(40, u'文'));
    std::string tip = tipBytes(toAnsiRecord(t));
    EXPECT_EQ(tip.substr(0, 62), ansi::toAnsi(std::u16string(31, u'文')));
    EXPECT_EQ(tip.substr(62), std::string(2, '\0'));

    // The NUL stands after the 64th byte once converted; an odd count of
    // single bytes before the Chinese ones leaves no room for half a character.
    std::u16string text = u"a" + std::u16string(40, u'文');
    text.push_back(u'\0');
    assignFixed(t.szTip, kTipLength, text);
    tip = tipBytes(toAnsiRecord(t));
    EXPECT_EQ(tip.substr(0, 63), std::string("a") + ansi::toAnsi(std::u16string(31, u'文')));
    EXPECT_EQ(tip[63], '\0');
    EXPECT_EQ(parseNotifyIconRecord(toAnsiRecord(t)).tip.size(), 63u);
}

TEST(TrayIconRecord, FixedFieldIsCutOrFilledWithBlanks) {
    std::u16string field;
    assignFixed(field, 4, u"ab");
    EXPECT_EQ(field, u"ab  ");
    assignFixed(field, 4, u"abcdef");
    EXPECT_EQ(field, u"abcd");
}

TEST(TrayIconRecord, EveryShellCallGetsTheConvertedRecord) {
    testing::RecordingShell shell;
    TrayIconData record;
    fillTrayIcon(record, kWindow, kIcon);
    EXPECT_TRUE(notifyIcon(shell, NotifyIconMessage::Add, record));
    EXPECT_TRUE(notifyIcon(shell, NotifyIconMessage::Delete, record));
    EXPECT_FALSE(notifyIcon(shell, NotifyIconMessage::Delete, record));
    ASSERT_EQ(shell.notifyCalls().size(), 3u);
    for (const auto& call : shell.notifyCalls()) EXPECT_EQ(call.record, toAnsiRecord(record));
    EXPECT_EQ(shell.count(NotifyIconMessage::Delete), 2);
}

TEST(RecordingShell, FiresTheCallbackOnlyWhileTheIconIsShown) {
    testing::RecordingShell shell;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> seen;
    shell.setIconCallback([&](std::uint32_t w, std::uint32_t m) { seen.emplace_back(w, m); });
    EXPECT_FALSE(shell.fireIcon(mouse::LeftDown));
    TrayIconData t;
    fillTrayIcon(t, kWindow, kIcon);
    ASSERT_TRUE(notifyIcon(shell, NotifyIconMessage::Add, t));
    EXPECT_FALSE(notifyIcon(shell, NotifyIconMessage::Add, t));
    EXPECT_TRUE(shell.fireIcon(mouse::RightDown));
    ASSERT_TRUE(shell.shownIcon());
    EXPECT_EQ(shell.shownIcon()->tip, "Velmorav1.0");
    notifyIcon(shell, NotifyIconMessage::Delete, t);
    EXPECT_FALSE(shell.fireIcon(mouse::LeftDown));
    EXPECT_EQ(seen,
              (std::vector<std::pair<std::uint32_t, std::uint32_t>>{{kWindow, mouse::RightDown}}));
}

}  // namespace
}  // namespace velmora
