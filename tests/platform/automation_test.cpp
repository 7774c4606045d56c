#include "platform/automation.h"

#include <gtest/gtest.h>

namespace velmora {
namespace {

TEST(Variant, BooleanIsTheSixteenBitMinusOneOrZero) {
    EXPECT_EQ(Variant::boolean(true).booleanRaw(), -1);
    EXPECT_EQ(Variant::boolean(false).booleanRaw(), 0);
    EXPECT_EQ(Variant::boolean(true).type(), Variant::Type::Boolean);
    // A Boolean is not the Integer -1, nor the Long -1.
    EXPECT_NE(Variant::boolean(true), Variant::integer(-1));
    EXPECT_NE(Variant::integer(1), Variant::long_(1));
}

TEST(Variant, StringsRoundTripThroughUtf16) {
    const std::string texts[] = {"", "c:\\windows\\temp", "请选择文件", "路径 with blanks/视频.rm",
                                 "\xF0\x9F\x8E\xAC emoji"};
    for (const auto& t : texts) EXPECT_EQ(Variant::string(t).toUtf8(), t);
    EXPECT_EQ(Variant::string("请").toString(), u"请");
    EXPECT_EQ(utf8ToUtf16("\xF0\x9F\x8E\xAC").size(), 2u);  // a surrogate pair
}

TEST(Variant, MalformedUtf8BecomesReplacementCharacters) {
    EXPECT_EQ(utf8ToUtf16("a\xFF"
                          "b"),
              u"a\uFFFDb");
    EXPECT_EQ(utf8ToUtf16("\xE4\xBD"), u"\uFFFD\uFFFD");  // cut short at the end
    EXPECT_EQ(utf16ToUtf8(std::u16string(1, char16_t(0xD800))), "\xEF\xBF\xBD");
}

}  // namespace
}  // namespace velmora
