#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/text_language.h"
#include "upgrade/upgrade_texts.h"

using namespace velmora::platform;
using namespace velmora::upgrade;

using namespace velmora;

TEST(TextPattern, MatchesNumbersAndTextsAndRebuildsTheTranslation) {
    std::vector<std::string> values;
    ASSERT_TRUE(MatchTextPattern("升级[%s](烧写中):%d%%", "升级[uimage](烧写中):33%", &values));
    EXPECT_EQ(values, (std::vector<std::string>{"uimage", "33"}));
    EXPECT_EQ(FillTextPattern("Upgrade [%s] (writing): %d%%", values), "Upgrade [uimage] (writing): 33%");
    // A name holding the pattern's own brackets and digits, a negative number.
    ASSERT_TRUE(MatchTextPattern("升级[%s]失败:%d", "升级[a]b[2]失败:-1008", &values));
    EXPECT_EQ(values, (std::vector<std::string>{"a]b[2", "-1008"}));
    // %s runs to the end; digits in a path stay in the path.
    ASSERT_TRUE(MatchTextPattern("无法打开文件:%s", "无法打开文件:/tmp/fw2.bin", &values));
    EXPECT_EQ(values, (std::vector<std::string>{"/tmp/fw2.bin"}));
    ASSERT_TRUE(MatchTextPattern("升级包过大(须小于4GB):%s", "升级包过大(须小于4GB):", &values));
    EXPECT_EQ(values, (std::vector<std::string>{""}));

    const char* const refused[][2] = {
        {"请求升级失败:%d", "请求升级失败:"},      // %d needs digits
        {"请求升级失败:%d", "请求升级失败:-"},
        {"请求升级失败:%d", "请求升级失败:12x"},   // nothing may follow
        {"请求升级失败:%d", "请求升级失败:x12"},
        {"升级[%s]: %d%%", "升级[uimage]: 33"},   // the percent sign is part of the text
        {"重启失败", "重启失败 "},
    };
    for (const auto& [pattern, text] : refused) EXPECT_FALSE(MatchTextPattern(pattern, text, &values)) << text;
    // A lone percent sign stands for itself; a placeholder without a value stays.
    EXPECT_TRUE(MatchTextPattern("100%", "100%", nullptr));
    EXPECT_EQ(FillTextPattern("%s and %d", {"a"}), "a and %d");
}

TEST(TextPattern, UpgradeTextsAreTranslatedLineByLineAndOnlyForEnglish) {
    EXPECT_EQ(UpgradeTextIn(UiLanguage::Chinese, "升级[uimage]: 5%"), "升级[uimage]: 5%");
    EXPECT_EQ(UpgradeTextIn(UiLanguage::English, "升级[uimage]: 5%"), "Upgrade [uimage]: 5%");
    EXPECT_EQ(UpgradeTextIn(UiLanguage::English, "设备已经重启"), "Device rebooted");
    EXPECT_EQ(UpgradeTextIn(UiLanguage::English, "无法打开文件:/a\nread: Permission denied"),
              "Cannot open the file: /a\nread: Permission denied");
    EXPECT_EQ(UpgradeTextIn(UiLanguage::English, "something else 7"), "something else 7");
    EXPECT_EQ(UpgradeTextIn(UiLanguage::English, ""), "");
}
