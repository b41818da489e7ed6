#include "protocol/ability_list.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/codepage.h"
#include "protocol/replies.h"

using namespace velmora::platform;
using namespace velmora::protocol;

namespace {

// One Image element with choices, in the shape of either transport.
std::string Element(AbilityShape shape, const std::string& key, const std::string& options,
                    const std::string& title = "白平衡") {
    std::string zh = shape == AbilityShape::Network
                         ? "{\"Title\":\"" + title + "\",\"Value\":{\"Options\":{" + options + "}}}"
                         : "{\"Title\":\"" + title + "\",\"Options\":{" + options + "}}";
    return "{\"Key\":\"" + key + "\",\"Display\":1,\"Control\":\"combo\",\"zh\":" + zh + "}";
}

std::string Reply(const std::string& elements, const std::string& result = "0") {
    return "{\"Content\":{\"nResult\":" + result + ",\"Image\":[" + elements + "]}}";
}

std::string Repeat(const std::string& s, int n) {
    std::string out;
    for (int i = 0; i < n; ++i) out += s;
    return out;
}

TEST(AbilityListReply, NetworkShapeConvertsLabelsToCp936) {
    std::string text = Reply(Element(AbilityShape::Network, "eWBMode", "\"0\":\"自动\",\"1\":\"手动\",\"2\":\"室内\"") +
                             ",{\"Key\":\"bBacklightCompensation\",\"Display\":2,\"DisplayRule\":\"ssc8836\"}" +
                             ",{\"Key\":\"u8GgainTuning\",\"Display\":0,\"DisplayRule\":\"ignored\"}");
    AbilityList list;
    ASSERT_EQ(ParseAbilityListReply(text.c_str(), AbilityShape::Network, 0, list), 0);
    ASSERT_EQ(list.size(), 3u);

    const AbilityItem& wb = list[0];
    EXPECT_STREQ(wb.key, "eWBMode");
    EXPECT_EQ(wb.display, 1);
    EXPECT_STREQ(wb.title, "白平衡");  // the title is kept as sent
    ASSERT_EQ(wb.OptionCount(), 3);
    const char* labels[] = {"自动", "手动", "室内"};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(wb.options[i].value, i);
        EXPECT_EQ(std::string(wb.options[i].label), velmora::platform::Utf8ToCp936(labels[i]));
    }
    EXPECT_EQ(list[1].display, 2);
    EXPECT_STREQ(list[1].displayRule, "ssc8836");
    EXPECT_EQ(list[1].OptionCount(), 0);
    EXPECT_EQ(list[2].display, 0);
    EXPECT_STREQ(list[2].displayRule, "");

    ASSERT_NE(list.Find("EWBMODE"), nullptr);
    EXPECT_EQ(list.Find("eWBMode"), &list[0]);
    EXPECT_EQ(list.Find("eWB"), nullptr);
}

TEST(AbilityListReply, UsbShapeCopiesLabelsUnchanged) {
    std::string text = Reply(Element(AbilityShape::Usb, "ucAntiFlicker", "\"50Hz\":\"50Hz\",\"60Hz\":\"60赫兹\",\"off\":\"关\""));
    AbilityList list;
    ASSERT_EQ(ParseAbilityListReply(text.c_str(), AbilityShape::Usb, 0, list), 0);
    ASSERT_EQ(list.size(), 1u);
    ASSERT_EQ(list[0].OptionCount(), 3);
    EXPECT_EQ(list[0].options[0].value, 50);
    EXPECT_EQ(list[0].options[1].value, 60);
    EXPECT_EQ(list[0].options[2].value, 0);
    EXPECT_STREQ(list[0].options[1].label, "60赫兹");  // UTF-8 bytes as sent
    EXPECT_STREQ(list[0].options[2].label, "关");

    // The choices sit in a different place per transport: a network-shaped reply read as USB
    // (and the reverse) gives items without options.
    AbilityList other;
    ASSERT_EQ(ParseAbilityListReply(text.c_str(), AbilityShape::Network, 0, other), 0);
    ASSERT_EQ(other.size(), 1u);
    EXPECT_EQ(other[0].OptionCount(), 0);
}

TEST(AbilityListReply, OptionValuesFromMemberNames) {
    EXPECT_EQ(AbilityOptionValueFromName("50Hz"), 50);
    EXPECT_EQ(AbilityOptionValueFromName("abc"), 0);
    EXPECT_EQ(AbilityOptionValueFromName(""), 0);
    EXPECT_EQ(AbilityOptionValueFromName("-3"), -3);
    EXPECT_EQ(AbilityOptionValueFromName("007"), 7);
    EXPECT_EQ(AbilityOptionValueFromName("99999999999999999999"), 2147483647);
    EXPECT_EQ(AbilityOptionValueFromName("-99999999999999999999"), -2147483647 - 1);
}

TEST(AbilityListReply, LabelLengthRules) {
    const std::string cn15 = Repeat("测", 15);  // 30 bytes in CP936
    const std::string cn16 = Repeat("测", 16);  // 32 bytes
    const std::string ascii31(31, 'a');
    const std::string ascii40(40, 'b');
    std::string options = "\"1\":\"" + cn15 + "\",\"2\":\"" + cn16 + "\",\"3\":\"" + ascii31 + "\",\"4\":\"" + ascii40 + "\"";

    AbilityList net;
    ASSERT_EQ(ParseAbilityListReply(Reply(Element(AbilityShape::Network, "ucGammaVal", options)).c_str(),
                                    AbilityShape::Network, 0, net),
              0);
    ASSERT_EQ(net[0].OptionCount(), 4);
    EXPECT_EQ(std::string(net[0].options[0].label), velmora::platform::Utf8ToCp936(cn15));
    EXPECT_STREQ(net[0].options[1].label, "");  // longer than 30 bytes: left empty
    EXPECT_STREQ(net[0].options[2].label, "");
    EXPECT_STREQ(net[0].options[3].label, "");
    EXPECT_EQ(net[0].options[1].value, 2);      // the option itself stays

    AbilityList usb;
    ASSERT_EQ(ParseAbilityListReply(Reply(Element(AbilityShape::Usb, "ucGammaVal", options)).c_str(), AbilityShape::Usb,
                                    0, usb),
              0);
    ASSERT_EQ(usb[0].OptionCount(), 4);
    EXPECT_EQ(std::string(usb[0].options[2].label), ascii31);
    EXPECT_EQ(std::string(usb[0].options[3].label), std::string(31, 'b'));
    EXPECT_EQ(std::string(usb[0].options[0].label), Repeat("测", 10));  // 45 UTF-8 bytes cut at a character: 30
}

TEST(AbilityListReply, OverlongTextsAreCutAndBadElementsSkipped) {
    std::string key(100, 'k');
    std::string title(100, 't');
    std::string rule(100, 'r');
    std::string text = Reply("{\"Key\":\"" + key + "\",\"Display\":1,\"zh\":{\"Title\":\"" + title + "\"}}," +
                             "{\"Key\":\"r\",\"Display\":258,\"DisplayRule\":\"" + rule + "\"}," +
                             "{\"Display\":1},"                // no Key
                             "{\"Key\":\"noDisplay\"},"        // no Display
                             "{\"Key\":5,\"Display\":1},"      // Key not a text
                             "[1,2],7,\"x\","                  // not objects
                             "{\"Key\":\"bare\",\"Display\":3}," // no zh at all
                             "{\"Key\":\"badopts\",\"Display\":1,\"zh\":{\"Value\":{\"Options\":[1,2]}}}");
    AbilityList list;
    ASSERT_EQ(ParseAbilityListReply(text.c_str(), AbilityShape::Network, 0, list), 0);
    ASSERT_EQ(list.size(), 4u);
    EXPECT_EQ(std::string(list[0].key), std::string(63, 'k'));
    EXPECT_EQ(std::string(list[0].title), std::string(63, 't'));
    EXPECT_EQ(list[1].display, 2);  // low byte of 258
    EXPECT_EQ(std::string(list[1].displayRule), std::string(31, 'r'));
    EXPECT_STREQ(list[2].key, "bare");
    EXPECT_EQ(list[2].OptionCount(), 0);
    EXPECT_STREQ(list[3].key, "badopts");
    EXPECT_EQ(list[3].OptionCount(), 0);
}

TEST(AbilityListReply, RebuildsOrKeepsTheOldList) {
    AbilityList list;
    std::string first = Reply(Element(AbilityShape::Network, "eWBMode", "\"0\":\"a\",\"1\":\"b\",\"2\":\"c\"") + "," +
                              Element(AbilityShape::Network, "ucGammaVal", "\"0\":\"g\""));
    ASSERT_EQ(ParseAbilityListReply(first.c_str(), AbilityShape::Network, 0, list), 0);
    ASSERT_EQ(list.size(), 2u);

    // Replies that fail keep the old list: not JSON (-310), a refusal, a missing envelope or Image.
    EXPECT_EQ(ParseAbilityListReply("garbage", AbilityShape::Network, 0, list), kReplyNotParsed);
    EXPECT_EQ(ParseAbilityListReply("", AbilityShape::Usb, 0, list), kReplyNotParsed);
    EXPECT_EQ(ParseAbilityListReply(Reply("", "-9").c_str(), AbilityShape::Network, 0, list), -9);
    EXPECT_EQ(ParseAbilityListReply("{\"Content\":{\"Image\":[]}}", AbilityShape::Network, 0, list), kReplyIncomplete);
    EXPECT_EQ(ParseAbilityListReply("{\"Content\":{\"nResult\":0}}", AbilityShape::Network, 0, list), kReplyIncomplete);
    EXPECT_EQ(ParseAbilityListReply("{\"Content\":{\"nResult\":0,\"Image\":{}}}", AbilityShape::Network, 0, list),
              kReplyIncomplete);
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].OptionCount(), 3);

    // A second read leaves exactly the second reply's items.
    std::string second = Reply(Element(AbilityShape::Network, "eWBMode", "\"5\":\"x\""));
    ASSERT_EQ(ParseAbilityListReply(second.c_str(), AbilityShape::Network, 0, list), 0);
    ASSERT_EQ(list.size(), 1u);
    ASSERT_EQ(list[0].OptionCount(), 1);
    EXPECT_EQ(list[0].options[0].value, 5);
    EXPECT_EQ(list.Find("ucGammaVal"), nullptr);

    // An empty Image empties the list.
    ASSERT_EQ(ParseAbilityListReply(Reply("").c_str(), AbilityShape::Usb, 0, list), 0);
    EXPECT_TRUE(list.empty());
}

}  // namespace
