#include "protocol/replies.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <string>

#include "protocol/requests.h"
#include "protocol/sample_replies.h"

using namespace velmora::protocol;

namespace {

using protocol_test::FullVideoParamMembers;
using protocol_test::Members;
using protocol_test::VideoParamReply;

VideoParam Pattern() {
    VideoParam rec;
    for (size_t i = 0; i < kVideoParamSize; ++i) rec.bytes[i] = static_cast<uint8_t>(i * 7 + 3);
    return rec;
}

bool Same(const VideoParam& a, const VideoParam& b) { return std::memcmp(a.bytes, b.bytes, kVideoParamSize) == 0; }

TEST(VideoParamsReply, FullReplyFillsEveryFieldAndNothingElse) {
    VideoParam rec;
    ASSERT_EQ(ParseVideoParamsReply(VideoParamReply(FullVideoParamMembers()).c_str(), rec), 0);

    VideoParam expected;
    for (const auto& [member, value] : FullVideoParamMembers()) {
        for (const VideoParamField& f : VideoParamFields()) {
            if (member == f.member) StoreReplyNumber(expected, f, std::stod(value));
        }
    }
    EXPECT_TRUE(Same(rec, expected));  // uncovered bytes (and 3077) stay 0
    EXPECT_EQ(rec.bytes[1026], 251);   // BExpCPS -5
    EXPECT_EQ(rec.bytes[6146], 2);
    EXPECT_EQ(rec.bytes[7167], 2);
    EXPECT_EQ(0, std::memcmp(rec.bytes + 7169, "\x01\x00\x00\x00", 4));
    EXPECT_EQ(ReadInt32LE(rec, 1030), 100000);
    EXPECT_EQ(rec.bytes[kFocusLaserRangeOffset], 0);

    // The record goes back out with the values it came in with.
    std::string request = BuildWriteVideoParamsRequest(rec);
    EXPECT_NE(request.find("\"BExpCPS\":\t-5,"), std::string::npos);
    EXPECT_NE(request.find("\"uiMShutterSpeed\":\t100000,"), std::string::npos);
    EXPECT_NE(request.find("\"eSceneMode\":\t2,"), std::string::npos);
    EXPECT_EQ(request.find("ucAEWeightLevel"), std::string::npos);
}

TEST(VideoParamsReply, MemberNamesIgnoreCase) {
    Members members = FullVideoParamMembers();
    for (auto& m : members) {
        for (char& c : m.first) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    std::string text = "{\"CONTENT\":{\"nresult\":0,\"videoparam\":{";
    for (size_t i = 0; i < members.size(); ++i) text += (i ? "," : "") + ("\"" + members[i].first + "\":" + members[i].second);
    text += "}}}";
    VideoParam rec;
    ASSERT_EQ(ParseVideoParamsReply(text.c_str(), rec), 0);
    EXPECT_EQ(rec.bytes[0], 11);
    EXPECT_EQ(rec.bytes[7167], 2);
}

TEST(VideoParamsReply, MissingOptionalMembersKeepTheirBytes) {
    Members members;
    for (const auto& m : FullVideoParamMembers()) {
        if (m.first != "uAwbTolerance" && m.first != "ucCamCorrection") members.push_back(m);
    }
    VideoParam rec;
    rec.bytes[2049] = 77;
    rec.bytes[5129] = 88;
    ASSERT_EQ(ParseVideoParamsReply(VideoParamReply(members).c_str(), rec), 0);
    EXPECT_EQ(rec.bytes[2049], 77);
    EXPECT_EQ(rec.bytes[5129], 88);
    EXPECT_EQ(rec.bytes[0], 11);
}

TEST(VideoParamsReply, AnyMissingRequiredMemberLeavesTheRecordUntouched) {
    const VideoParam before = Pattern();
    for (const auto& omitted : FullVideoParamMembers()) {
        if (omitted.first == "uAwbTolerance" || omitted.first == "ucCamCorrection") continue;
        Members members;
        for (const auto& m : FullVideoParamMembers()) {
            if (m.first != omitted.first) members.push_back(m);
        }
        VideoParam rec = before;
        EXPECT_EQ(ParseVideoParamsReply(VideoParamReply(members).c_str(), rec), kReplyIncomplete) << omitted.first;
        EXPECT_TRUE(Same(rec, before)) << omitted.first;
    }
    // A member of the wrong type counts as missing.
    Members members = FullVideoParamMembers();
    members.back().second = "\"1\"";
    VideoParam rec = before;
    EXPECT_EQ(ParseVideoParamsReply(VideoParamReply(members).c_str(), rec), kReplyIncomplete);
    EXPECT_TRUE(Same(rec, before));
}

TEST(VideoParamsReply, RefusalsAndBrokenEnvelopes) {
    const VideoParam before = Pattern();
    struct Case { std::string text; int result; };
    const Case cases[] = {
        {VideoParamReply(FullVideoParamMembers(), "-5"), -5},
        {VideoParamReply(FullVideoParamMembers(), "-2147483648"), -2147483647 - 1},
        {"not json", kReplyNotParsed},
        {"", kReplyNotParsed},
        {"[1,2,3]", kReplyNotParsed},
        {"{\"Content\":{\"VideoParam\":{}}}", kReplyIncomplete},  // no nResult
        {"{\"nResult\":0}", kReplyIncomplete},                    // no Content
        {"{\"Content\":{\"nResult\":0}}", kReplyIncomplete},      // no VideoParam
        {"{\"Content\":{\"nResult\":0,\"VideoParam\":[1]}}", kReplyIncomplete},
        {"{\"Content\":[],\"nResult\":0}", kReplyIncomplete},
        {"{\"Content\":{\"nResult\":\"0\",\"VideoParam\":{}}}", kReplyIncomplete},
    };
    for (const Case& c : cases) {
        VideoParam rec = before;
        EXPECT_EQ(ParseVideoParamsReply(c.text.c_str(), rec), c.result) << c.text;
        EXPECT_TRUE(Same(rec, before)) << c.text;
    }
    // Numbers beyond int32, fractions and booleans are converted, not refused.
    Members members = FullVideoParamMembers();
    for (auto& m : members) {
        if (m.first == "uiMShutterSpeed") m.second = "1e20";
        if (m.first == "Luminance") m.second = "49.9";
        if (m.first == "bHorzInvert") m.second = "true";
    }
    VideoParam rec;
    ASSERT_EQ(ParseVideoParamsReply(VideoParamReply(members).c_str(), rec), 0);
    EXPECT_EQ(ReadInt32LE(rec, 1030), 2147483647);
    EXPECT_EQ(rec.bytes[0], 49);
    EXPECT_EQ(rec.bytes[6143], 1);
}

TEST(FocusNearReply, ReadsFocusNearOnly) {
    EXPECT_EQ(ParseFocusNear("{\"Content\":{\"FocusNear\":12}}"), 12);
    EXPECT_EQ(ParseFocusNear("{\"Content\":{\"nResult\":-3,\"focusnear\":7}}"), 7);  // nResult not consulted
    EXPECT_EQ(ParseFocusNear("{\"Content\":{\"FocusNear\":-3}}"), -3);
    EXPECT_EQ(ParseFocusNear("{\"Content\":{}}"), kFocusNearUnusable);
    EXPECT_EQ(ParseFocusNear("{\"FocusNear\":5}"), kFocusNearUnusable);
    EXPECT_EQ(ParseFocusNear("{\"Content\":{\"FocusNear\":\"5\"}}"), kFocusNearUnusable);
    EXPECT_EQ(ParseFocusNear("garbage"), kFocusNearUnusable);
    EXPECT_EQ(ParseFocusNear(""), kFocusNearUnusable);
}

TEST(FrameRateReply, DividesDwFpsByThousand) {
    auto reply = [](const std::string& fps) {
        return "{\"Content\":{\"nResult\":0,\"CodeParam\":{\"stMainStreamParam\":{\"dwFps\":" + fps + "}}}}";
    };
    EXPECT_EQ(ParseFrameRateReply(reply("25000").c_str()), 25);
    EXPECT_EQ(ParseFrameRateReply(reply("29970").c_str()), 29);
    EXPECT_EQ(ParseFrameRateReply(reply("999").c_str()), 0);
    EXPECT_EQ(ParseFrameRateReply(reply("-5000").c_str()), 0);
    EXPECT_EQ(ParseFrameRateReply(""), 0);  // failed exchange: empty reply buffer
    EXPECT_EQ(ParseFrameRateReply("{oops"), 0);
    EXPECT_EQ(ParseFrameRateReply("{\"nResult\":0}"), -1);
    EXPECT_EQ(ParseFrameRateReply("{\"Content\":{\"CodeParam\":{}}}"), -1);
    EXPECT_EQ(ParseFrameRateReply("{\"Content\":{\"nResult\":-8}}"), -8);
    EXPECT_EQ(ParseFrameRateReply("{\"Content\":{\"nResult\":0}}"), -1);
    EXPECT_EQ(ParseFrameRateReply("{\"Content\":{\"nResult\":0,\"CodeParam\":{\"stMainStreamParam\":{}}}}"), -1);
}

TEST(VoModeReply, FrameRateFollowsTheLetterP) {
    struct Case { const char* name; int fps; };
    const Case cases[] = {
        {"1080P25", 25}, {"720P30", 30}, {"1080P", 0},    {"1080PP50", 50}, {"P25", 0},
        {"PP1080P60", 60}, {"1080P25P", 25}, {"1080Px", 0}, {"1080", 0},     {"", 0},
        {"4KP29.97", 29}, {"1080p25", 0}, {"1P99999999999", 2147483647},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(FrameRateFromVoModeName(c.name), c.fps) << c.name;
        std::string text = std::string("{\"Content\":{\"nResult\":0,\"VOMode\":{\"Name\":\"") + c.name + "\"}}}";
        EXPECT_EQ(ParseVoModeReply(text.c_str()), c.fps) << c.name;
    }
    EXPECT_EQ(ParseVoModeReply("not json"), 0);
    EXPECT_EQ(ParseVoModeReply("{\"Content\":{\"nResult\":-7,\"VOMode\":{\"Name\":\"1080P25\"}}}"), -7);
    EXPECT_EQ(ParseVoModeReply("{\"Content\":{\"nResult\":0}}"), -1);
    EXPECT_EQ(ParseVoModeReply("{\"Content\":{\"nResult\":0,\"VOMode\":{}}}"), -1);
    EXPECT_EQ(ParseVoModeReply("{\"Content\":{\"nResult\":0,\"VOMode\":{\"Name\":25}}}"), -1);
    EXPECT_EQ(ParseVoModeReply("{\"Content\":{\"VOMode\":{\"Name\":\"1080P25\"}}}"), -1);
}

TEST(DeviceInfoReply, TopLevelMembers) {
    UsbDeviceInfo info{};
    ASSERT_EQ(ParseDeviceInfoReply("{\"DeviceName\":\"Cam A\",\"ProductModel\":\"VX-200\",\"Serial\":\"SN001\","
                                   "\"BuildDate\":\"2023-05-01\",\"BiosVersion\":258}",
                                   info),
              0);
    EXPECT_STREQ(info.DeviceName, "Cam A");
    EXPECT_STREQ(info.ProductModel, "VX-200");
    EXPECT_STREQ(info.Serial, "SN001");
    EXPECT_STREQ(info.BuildDate, "2023-05-01");
    EXPECT_STREQ(info.BiosVersion, "1.02");

    struct Bios { const char* value; const char* text; };
    const Bios versions[] = {{"0", "0.00"}, {"43981", "ab.cd"}, {"74565", "23.45"}, {"-1", "ff.ff"}, {"266", "1.0a"}};
    for (const Bios& b : versions) {
        UsbDeviceInfo v{};
        ASSERT_EQ(ParseDeviceInfoReply((std::string("{\"biosversion\":") + b.value + "}").c_str(), v), 0);
        EXPECT_STREQ(v.BiosVersion, b.text) << b.value;
    }
}

TEST(DeviceInfoReply, LongTextsAreCutAndMissingMembersKeepFields) {
    UsbDeviceInfo info{};
    std::strcpy(info.Serial, "keep");
    std::string longName(40, 'N');
    // 11 three-byte characters (33 bytes): the cut keeps 10 whole characters.
    std::string chinese;
    for (int i = 0; i < 11; ++i) chinese += "\xe6\x91\x84";
    std::string text = "{\"DeviceName\":\"" + longName + "\",\"ProductModel\":\"" + chinese +
                       "\",\"BuildDate\":\"2023-05-01T12:00:00\",\"Serial\":17}";
    ASSERT_EQ(ParseDeviceInfoReply(text.c_str(), info), 0);
    EXPECT_EQ(std::string(info.DeviceName), std::string(32, 'N'));
    EXPECT_EQ(std::string(info.ProductModel).size(), 30u);
    EXPECT_EQ(std::string(info.BuildDate), "2023-05-01T12:0");
    EXPECT_STREQ(info.Serial, "keep");
    EXPECT_STREQ(info.BiosVersion, "");

    UsbDeviceInfo untouched{};
    std::strcpy(untouched.DeviceName, "old");
    EXPECT_EQ(ParseDeviceInfoReply("garbage", untouched), kReplyNotParsed);
    EXPECT_EQ(ParseDeviceInfoReply("", untouched), kReplyNotParsed);
    EXPECT_EQ(ParseDeviceInfoReply("\"DeviceName\"", untouched), kReplyNotParsed);
    EXPECT_STREQ(untouched.DeviceName, "old");
}

}  // namespace

TEST(SetReply, ARefusalInNResultIsTheResult) {
    EXPECT_EQ(SetReplyResult("{\"Content\":{\"nResult\":-7}}", 0), -7);
    EXPECT_EQ(SetReplyResult("{\"content\":{\"NRESULT\":-7}}", 0), -7);  // members ignore case
    EXPECT_EQ(SetReplyResult("{\"Content\":{\"nResult\":0}}", 0), 0);
    EXPECT_EQ(SetReplyResult("{\"Content\":{\"nResult\":-7}}", -302), -302);  // the transport failed first
    // An empty body or one without nResult keeps the transport's result; garbage is no answer.
    EXPECT_EQ(SetReplyResult("", 0), 0);
    EXPECT_EQ(SetReplyResult("not json", 0), kReplyNotParsed);
    EXPECT_EQ(SetReplyResult("[0]", 0), kReplyNotParsed);
    EXPECT_EQ(SetReplyResult("{\"Content\":{}}", 0), 0);
    EXPECT_EQ(SetReplyResult("{\"Content\":{\"nResult\":\"-7\"}}", 0), 0);
}
