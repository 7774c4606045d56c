#include "platform/ansi.h"

#include <gtest/gtest.h>

namespace velmora {
namespace {

std::string bytes(std::initializer_list<unsigned char> list) {
    return std::string(list.begin(), list.end());
}

TEST(Ansi, ChineseBecomesGbkAndAsciiStaysAsItIs) {
    EXPECT_EQ(ansi::toAnsi(u"压缩完成"), bytes({0xD1, 0xB9, 0xCB, 0xF5, 0xCD, 0xEA, 0xB3, 0xC9}));
    EXPECT_EQ(ansi::toAnsi(u"Velmora窗口"), "Velmora" + bytes({0xB4, 0xB0, 0xBF, 0xDA}));
    EXPECT_EQ(ansi::toAnsi(QStringLiteral("c:\\windows\\temp")), "c:\\windows\\temp");
    EXPECT_EQ(ansi::toAnsi(u"€"), bytes({0x80}));  // code page 936's single-byte euro
    EXPECT_EQ(ansi::toAnsi(u""), "");
}

TEST(Ansi, NulAndBlanksSurviveInTheMiddle) {
    const std::u16string tip = std::u16string(u"中\0 ", 3);
    EXPECT_EQ(ansi::toAnsi(tip), bytes({0xD6, 0xD0, 0x00, 0x20}));
}

TEST(Ansi, WhatTheCodePageCannotHoldBecomesOneQuestionMarkEach) {
    EXPECT_EQ(ansi::toAnsi(u"a한b"), "a?b");
    EXPECT_EQ(ansi::toAnsi(u"ก中"), std::string("?") + bytes({0xD6, 0xD0}));
    // A character outside the basic plane is one '?', not two.
    EXPECT_EQ(ansi::toAnsi(u"x\U0001F600y"), "x?y");
    // Lone surrogates, in the middle and at the end.
    EXPECT_EQ(ansi::toAnsi(std::u16string{u'a', char16_t(0xDC00), u'b'}), "a?b");
    EXPECT_EQ(ansi::toAnsi(std::u16string{u'a', char16_t(0xD800)}), "a?");
    // Long texts cross the converter's buffer without losing characters.
    const std::u16string many(1000, u'文');
    EXPECT_EQ(ansi::toAnsi(many).size(), 2000u);
}

TEST(Ansi, BackFromGbk) {
    EXPECT_EQ(ansi::fromAnsi(bytes({0xD1, 0xB9, 0xCB, 0xF5, 0xCD, 0xEA, 0xB3, 0xC9})), u"压缩完成");
    EXPECT_EQ(ansi::toQString("Velmora" + bytes({0xB4, 0xB0, 0xBF, 0xDA})),
              QStringLiteral("Velmora窗口"));
    for (const char16_t* text : {u"", u"Velmorav1.0", u"中文 mixed 文字 ￥é"})
        EXPECT_EQ(ansi::fromAnsi(ansi::toAnsi(text)), text);
}

TEST(Ansi, InvalidBytesBecomeQuestionMarks) {
    EXPECT_EQ(ansi::fromAnsi(bytes({'a', 0xFF, 'b'})), u"a?b");
    // A lead byte cut off at the end.
    EXPECT_EQ(ansi::fromAnsi(bytes({'a', 0xD6})), u"a?");
    // A lead byte with a byte that cannot trail it ('0'; 'b' could): that byte
    // is read again on its own.
    EXPECT_EQ(ansi::fromAnsi(bytes({0xD6, '0', 0xD6, 0xD0})), u"?0中");
}

}  // namespace
}  // namespace velmora
