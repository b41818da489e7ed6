#include "protocol/video_param.h"

#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <string>

using namespace velmora::protocol;

namespace {

TEST(VideoParamLayout, FieldTableHoldsTheRecordLayout) {
    auto fields = VideoParamFields();
    ASSERT_EQ(fields.size(), 47u);  // 46 members, eSceneMode twice
    // Strictly increasing, non-overlapping, inside the record.
    for (size_t i = 1; i < fields.size(); ++i) {
        EXPECT_GE(fields[i].offset, fields[i - 1].offset + fields[i - 1].width) << fields[i].member;
    }
    EXPECT_LE(fields.back().offset + fields.back().width, kVideoParamSize);

    struct Expect { const char* member; uint16_t offset; uint8_t width; bool isSigned; };
    const Expect expected[] = {
        {"Luminance", 0, 1, false},        {"Hue", 4, 1, false},           {"eExposureMode", 1024, 1, false},
        {"ucAEWeightLevel", 1025, 1, false}, {"BExpCPS", 1026, 1, true},   {"uiMShutterSpeed", 1030, 4, true},
        {"ucAntiFlicker", 1037, 1, false}, {"eWBMode", 2048, 1, false},    {"u32CTNum", 2052, 4, true},
        {"u8BgainTuning", 2058, 1, false}, {"ucFocusMode", 3072, 1, false}, {"ucAFSen", 3076, 1, false},
        {"eNightMode", 4097, 1, false},    {"ucNightDayChnSensity", 4098, 1, false},
        {"uc2DNR", 5121, 1, false},        {"ucCamCorrection", 5129, 1, false},
        {"bHorzInvert", 6143, 1, false},   {"eSceneMode", 6146, 1, false}, {"ucDigitalZoom", 7168, 1, false},
        {"u32Lut", 7169, 4, true},
    };
    for (const Expect& e : expected) {
        const VideoParamField* f = FindVideoParamField(e.member);
        ASSERT_NE(f, nullptr) << e.member;
        EXPECT_EQ(f->offset, e.offset) << e.member;
        EXPECT_EQ(f->width, e.width) << e.member;
        EXPECT_EQ(f->isSigned, e.isSigned) << e.member;
    }
    // Only two members are optional; the second scene-mode copy sits at the Others slice.
    int optional = 0;
    int sceneCopies = 0;
    for (const VideoParamField& f : fields) {
        if (f.optional) {
            ++optional;
            EXPECT_TRUE(std::string(f.member) == "uAwbTolerance" || std::string(f.member) == "ucCamCorrection");
        }
        if (std::string(f.member) == "eSceneMode") {
            ++sceneCopies;
            EXPECT_TRUE(f.offset == kSceneModeOffset || f.offset == kSceneModeCopyOffset);
        }
        EXPECT_NE(f.offset, kFocusLaserRangeOffset);
    }
    EXPECT_EQ(optional, 2);
    EXPECT_EQ(sceneCopies, 2);
    EXPECT_EQ(kSceneModeCopyOffset, kOthersSlice);
}

TEST(VideoParamLayout, LookupIgnoresCase) {
    ASSERT_NE(FindVideoParamField("luminance"), nullptr);
    EXPECT_EQ(FindVideoParamField("luminance")->offset, 0);
    EXPECT_EQ(FindVideoParamField("ESCENEMODE")->offset, kSceneModeOffset);
    EXPECT_EQ(FindVideoParamField("bexpcps")->offset, kExpCompensationOffset);
    EXPECT_EQ(FindVideoParamField("Lumin"), nullptr);
    EXPECT_EQ(FindVideoParamField(""), nullptr);
    EXPECT_EQ(FindVideoParamField("nMaxValDistance"), nullptr);
}

TEST(VideoParamConversion, ReplyNumbersAreTruncatedAndKeepTheirLowBytes) {
    VideoParam rec;
    const VideoParamField& exp = *FindVideoParamField("BExpCPS");
    const VideoParamField& lum = *FindVideoParamField("Luminance");
    const VideoParamField& lut = *FindVideoParamField("u32Lut");

    StoreReplyNumber(rec, exp, -5);
    EXPECT_EQ(rec.bytes[1026], 251);
    EXPECT_EQ(ReadFieldForSend(rec, exp), -5);
    StoreReplyNumber(rec, exp, 200);  // a signed byte sends 200 back as -56
    EXPECT_EQ(ReadFieldForSend(rec, exp), -56);

    StoreReplyNumber(rec, lum, -1);
    EXPECT_EQ(rec.bytes[0], 255);
    EXPECT_EQ(ReadFieldForSend(rec, lum), 255);  // unsigned fields are sent 0..255
    StoreReplyNumber(rec, lum, 300);
    EXPECT_EQ(rec.bytes[0], 44);
    StoreReplyNumber(rec, lum, 2.9);
    EXPECT_EQ(rec.bytes[0], 2);
    StoreReplyNumber(rec, lum, -2.9);  // toward zero: -2
    EXPECT_EQ(rec.bytes[0], 254);

    StoreReplyNumber(rec, lut, 1);
    EXPECT_EQ(0, std::memcmp(rec.bytes + 7169, "\x01\x00\x00\x00", 4));
    StoreReplyNumber(rec, lut, -2);
    EXPECT_EQ(0, std::memcmp(rec.bytes + 7169, "\xfe\xff\xff\xff", 4));
    EXPECT_EQ(ReadFieldForSend(rec, lut), -2);
    StoreReplyNumber(rec, lut, 1e12);
    EXPECT_EQ(ReadFieldForSend(rec, lut), std::numeric_limits<int32_t>::max());
    StoreReplyNumber(rec, lut, -1e12);
    EXPECT_EQ(ReadFieldForSend(rec, lut), std::numeric_limits<int32_t>::min());
    EXPECT_EQ(rec.bytes[7173], 0);  // nothing spills past the field
    EXPECT_EQ(TruncateToInt32(std::numeric_limits<double>::quiet_NaN()), 0);
}

}  // namespace

TEST(VideoParamLayout, ValueRangesFollowTheFieldWidths) {
    const VideoParamField& luminance = *FindVideoParamField("Luminance");
    const VideoParamField& exposureComp = *FindVideoParamField("BExpCPS");
    const VideoParamField& shutter = *FindVideoParamField("uiMShutterSpeed");
    EXPECT_TRUE(FieldValueFits(luminance, 255));
    EXPECT_FALSE(FieldValueFits(luminance, 1000));  // would arrive as 232
    EXPECT_FALSE(FieldValueFits(luminance, -1));
    EXPECT_TRUE(FieldValueFits(exposureComp, -128));
    EXPECT_FALSE(FieldValueFits(exposureComp, 128));
    EXPECT_TRUE(FieldValueFits(shutter, -2147483648LL));
    EXPECT_FALSE(FieldValueFits(shutter, 2147483648LL));
}

TEST(VideoParamLayout, WholeRecordOrderLeavesOutTheUnsentFields) {
    auto sent = WholeRecordFields();
    ASSERT_EQ(sent.size(), kWholeRecordMemberCount);
    for (size_t i = 0; i < sent.size(); ++i) EXPECT_EQ(sent[i]->sendOrder, static_cast<int>(i));
    for (const VideoParamField* f : sent) {
        EXPECT_NE(f->offset, kAEWeightLevelOffset);
        EXPECT_NE(f->offset, kSceneModeCopyOffset);
    }
}
