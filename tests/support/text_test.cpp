#include <gtest/gtest.h>

#include "platform/support/TextUtil.h"

using namespace Mirel;

TEST(TextUtilTest, CaseAndSuffixesTouchAsciiLettersOnly) {
    EXPECT_EQ(AsciiLower("DB1.VDB"), "db1.vdb");
    // UTF-8 "É" (c3 89) and bytes above 0x7f stay as they are.
    EXPECT_EQ(AsciiLower("\xc3\x89Z\xff"), "\xc3\x89z\xff");
    EXPECT_TRUE(EndsWith("a.vrl", ".vrl"));
    EXPECT_FALSE(EndsWith("a.VRL", ".vrl"));
    EXPECT_FALSE(EndsWith("rl", ".vrl"));
    EXPECT_TRUE(EndsWithNoCase("a.VdB", ".vdb"));
    EXPECT_TRUE(EndsWithNoCase("a.vdb", ".VDB"));
    EXPECT_FALSE(EndsWithNoCase("a.vdb.rc", ".vdb"));
    EXPECT_FALSE(EndsWithNoCase("db", ".vdb"));
    EXPECT_TRUE(EndsWithNoCase("", ""));
}

TEST(TextUtilTest, HexTextAndItsDigits) {
    const unsigned char bytes[] = {0x00, 0x0f, 0xa5, 0xff};
    EXPECT_EQ(HexText(bytes, 4), "000fa5ff");
    EXPECT_EQ(HexText(bytes, 4, true), "000FA5FF");
    EXPECT_EQ(HexText(bytes, 0), "");
    EXPECT_EQ(HexDigitValue('0'), 0);
    EXPECT_EQ(HexDigitValue('9'), 9);
    EXPECT_EQ(HexDigitValue('a'), 10);
    EXPECT_EQ(HexDigitValue('F'), 15);
    for (char c : {'g', 'G', '/', ':', '@', '`', ' ', '\0'}) EXPECT_EQ(HexDigitValue(c), -1) << c;

    // The CRC-32C of "123456789", as docs/formats.md writes it.
    EXPECT_EQ(Hex32(0xE3069283u), "e3069283");
    EXPECT_EQ(Hex32(0x0000000Au), "0000000a");
    std::uint32_t v = 1;
    ASSERT_TRUE(ParseHex32("E3069283", v));
    EXPECT_EQ(v, 0xE3069283u);
    ASSERT_TRUE(ParseHex32("0000000a", v));
    EXPECT_EQ(v, 10u);
    for (const char* bad : {"", "0000000", "000000000", "0000000g", "0x000000", " 0000000"}) {
        v = 7;
        EXPECT_FALSE(ParseHex32(bad, v)) << bad;
        EXPECT_EQ(v, 7u) << "a refused text leaves the value alone";
    }
}
