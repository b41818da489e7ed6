#include "platform/codepage.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace velmora::platform;

using namespace velmora;

TEST(Codepage, RoundTripsChineseAndAscii) {
    const std::string utf8 = "云台相机 Cam-01";
    std::string cp;
    ASSERT_TRUE(Utf8ToCp936(utf8, cp));
    // Four Chinese characters take two bytes each in CP936.
    EXPECT_EQ(cp.size(), 4u * 2 + std::strlen(" Cam-01"));
    EXPECT_EQ(Cp936ToUtf8(cp), utf8);
}

TEST(Codepage, InvalidInputGivesEmptyAndFalse) {
    std::string out = "stale";
    EXPECT_FALSE(Utf8ToCp936(std::string("\xff\xfe", 2), out));
    EXPECT_TRUE(out.empty());
    EXPECT_FALSE(Utf8ToCp936("😀", out));  // no CP936 form
    EXPECT_EQ(Cp936ToUtf8(std::string("\x81", 1)), "");  // lead byte without trail
}

TEST(Codepage, FieldCopyCutsBetweenCharacters) {
    std::string cp = Utf8ToCp936("相机相机");  // 8 bytes
    char field[6];
    std::memset(field, 'x', sizeof field);
    CopyCp936Field(field, sizeof field, cp);
    // Room for 5 bytes: two whole characters (4 bytes), never half of the third.
    EXPECT_EQ(std::strlen(field), 4u);
    EXPECT_EQ(Cp936ToUtf8(field), "相机");

    char small[4];
    CopyCp936Field(small, sizeof small, "abcdef");
    EXPECT_STREQ(small, "abc");
}

TEST(Codepage, Utf8FieldCopyNeverSplitsACharacter) {
    char field[8];
    CopyUtf8Field(field, sizeof field, "ab相机相机");  // 2 + 4 x 3 bytes
    EXPECT_STREQ(field, "ab相");  // room for 7 bytes: the second character would not fit whole
    CopyUtf8Field(field, sizeof field, std::string("\xff\xfe\xfd\xfc\xfb\xfa\xf9\xf8", 8));
    EXPECT_EQ(std::strlen(field), 7u);  // not UTF-8: a plain byte cut
    CopyUtf8Field(field, sizeof field, "short");
    EXPECT_STREQ(field, "short");
}
