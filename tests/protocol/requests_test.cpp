#include "protocol/requests.h"

#include <cjson/cJSON.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

using namespace velmora::protocol;

namespace {

TEST(RequestTexts, AreByteExact) {
    EXPECT_STREQ(kReqGetVOMode, "{\"Cmd\":\"ReqGetVOMode\",\"Content\":{}}");
    EXPECT_STREQ(kReqGetAbilityLevel, "{\"Cmd\":\"ReqGetAbilityLevel\",\"Content\":{\"Module\":\"Image\"}}");
    EXPECT_STREQ(kReqGetVideoParamNet, "{\"Cmd\":\"ReqGetVideoParam\",\"wCmdId\":40001089,\"Content\":{}}");
    EXPECT_STREQ(kReqGetVideoParamUsb, "{\"Cmd\": \"ReqGetVideoParam\", \"wCmdId\": 40001089}");
    EXPECT_STREQ(kReqGetFocusNear, "{\"Cmd\":\"ReqGetFocusNear\",\"Content\":{}}");
    EXPECT_STREQ(kReqSetDefaultParam,
                 "{\"Cmd\":\"ReqSetDefaultParam\",\"wCmdId\":40001093,\"Content\":{\"ChanNum\":0,\"eDefaultParamCfg\":1}}");
    EXPECT_STREQ(kReqGetCodeParam, "{\"Cmd\":\"ReqGetCodeParam\",\"wCmdId\":40001091,\"Content\":{}}");
}

TEST(RequestTexts, CommandIdsAndBuffers) {
    EXPECT_EQ(kHidCmdDeviceInfo, 40001117u);
    EXPECT_EQ(kHidCmdJson, 40001119u);
    EXPECT_EQ(kHidCmdGetVideoParam, 40001089u);
    EXPECT_EQ(kHidCmdSetVideoParam, 40001090u);
    EXPECT_EQ(kHidCmdSetDefault, 40001093u);
    EXPECT_EQ(kHidCmdPtz, 40001006u);
    EXPECT_EQ(kHidCmdUpgradeRequest, 30001008u);
    EXPECT_EQ(kHidCmdUpgradeData, 3004u);
    EXPECT_EQ(kHidCmdUpgradeProgress, 40001207u);
    EXPECT_EQ(kHidCmdReboot, 40001086u);
    EXPECT_EQ(kNetAbilityReplySize - kNetReplyReserve, 8190u);
    EXPECT_EQ(kNetVideoParamReplySize - kNetReplyReserve, 3070u);
    EXPECT_EQ(kUsbVideoParamReplySize, 3072u);
    EXPECT_EQ(kUsbCodeParamReplySize, 2048u);
}

TEST(SetFieldRequest, WrapsTheFieldText) {
    EXPECT_EQ(FormatFieldText("Luminance", 50), "\"Luminance\":50");
    EXPECT_EQ(FormatFieldText("BExpCPS", -10), "\"BExpCPS\":-10");
    EXPECT_EQ(BuildSetFieldRequest(FormatFieldText("Luminance", 50)),
              "{\"Cmd\":\"ReqSetVideoParam\",\"wCmdId\":40001090,\"Content\":{\"ChanNum\":0,\"VideoParam\":{\"Luminance\":50}}}");
    EXPECT_EQ(BuildSetFieldRequest(FormatFieldText("BExpCPS", -10)),
              "{\"Cmd\":\"ReqSetVideoParam\",\"wCmdId\":40001090,\"Content\":{\"ChanNum\":0,\"VideoParam\":{\"BExpCPS\":-10}}}");
}

TEST(SetFieldRequest, OverlongTextIsCutToTheBuffer) {
    std::string longText(2000, 'x');
    std::string request = BuildSetFieldRequest(longText);
    EXPECT_EQ(request.size(), 1023u);
    EXPECT_EQ(request.rfind("{\"Cmd\":\"ReqSetVideoParam\"", 0), 0u);
    // A field text that exactly fills the buffer is kept whole.
    std::string fits(1023 - (std::strlen(kReqSetVideoParamFieldTemplate) - 2), 'y');
    EXPECT_EQ(BuildSetFieldRequest(fits).size(), 1023u);
    EXPECT_EQ(BuildSetFieldRequest(fits).substr(1023 - 4), "y}}}");
}

TEST(PtzRequests, FillTheTemplates) {
    EXPECT_EQ(BuildPtzRequest(kPtzZoomTele),
              "{\"Cmd\":\"ReqPtzCtrl\",\"Content\":{\"PtzCmd\":\"ZoomTele\",\"ParamH\":4,\"ParamV\":4}}");
    EXPECT_EQ(BuildPtzRequest(kPtzFocusStop),
              "{\"Cmd\":\"ReqPtzCtrl\",\"Content\":{\"PtzCmd\":\"FocusStop\",\"ParamH\":4,\"ParamV\":4}}");
    EXPECT_EQ(BuildPresetRequest(kPresetSet, 3),
              "{\"Cmd\": \"ReqPresetCtrl\",\"Content\" : {\"PresetCmd\": \"Set\",\"PresetID\" : 3,\"PresetName\" : \"Preset3\"}}");
    EXPECT_EQ(BuildPresetRequest(kPresetDel, 2),
              "{\"Cmd\": \"ReqPresetCtrl\",\"Content\" : {\"PresetCmd\": \"Del\",\"PresetID\" : 2,\"PresetName\" : \"Preset2\"}}");
    EXPECT_LE(BuildPtzRequest(std::string(1000, 'Z').c_str()).size(), 511u);
}

TEST(WholeRecordRequest, ExactFormattedLayout) {
    VideoParam rec;
    rec.bytes[0] = 50;                 // Luminance
    rec.bytes[1025] = 3;               // ucAEWeightLevel: never sent
    rec.bytes[1026] = 251;             // BExpCPS -5
    rec.bytes[1030] = 0xE8;            // uiMShutterSpeed 1000
    rec.bytes[1031] = 0x03;
    rec.bytes[2052] = 0x64;            // u32CTNum 6500
    rec.bytes[2053] = 0x19;
    rec.bytes[3077] = 9;               // laser-range slot: not a member
    rec.bytes[100] = 7;                // uncovered byte
    rec.bytes[4097] = 1;               // eNightMode
    rec.bytes[5127] = 7;               // u32AIAe (sent after u32AIFocus)
    rec.bytes[6146] = 2;               // eSceneMode, the copy that is sent
    rec.bytes[7167] = 5;               // the Others copy is not sent
    rec.bytes[7169] = 1;               // u32Lut 1
    const std::string expected =
        "{\n"
        "\t\"Cmd\":\t\"ReqSetVideoParam\",\n"
        "\t\"wCmdId\":\t40001090,\n"
        "\t\"Content\":\t{\n"
        "\t\t\"ChanNum\":\t0,\n"
        "\t\t\"VideoParam\":\t{\n"
        "\t\t\t\"Luminance\":\t50,\n"
        "\t\t\t\"Contrast\":\t0,\n"
        "\t\t\t\"Saturation\":\t0,\n"
        "\t\t\t\"ucHue\":\t0,\n"
        "\t\t\t\"Hue\":\t0,\n"
        "\t\t\t\"eExposureMode\":\t0,\n"
        "\t\t\t\"BExpCPS\":\t-5,\n"
        "\t\t\t\"uiMShutterSpeed\":\t1000,\n"
        "\t\t\t\"ucManualIris\":\t0,\n"
        "\t\t\t\"ucAutoGainLimit\":\t0,\n"
        "\t\t\t\"ucManualGain\":\t0,\n"
        "\t\t\t\"bBacklightCompensation\":\t0,\n"
        "\t\t\t\"ucAntiFlicker\":\t0,\n"
        "\t\t\t\"eWDMode\":\t0,\n"
        "\t\t\t\"ucWDRStrength\":\t0,\n"
        "\t\t\t\"eWBMode\":\t0,\n"
        "\t\t\t\"uAwbTolerance\":\t0,\n"
        "\t\t\t\"u32CTNum\":\t6500,\n"
        "\t\t\t\"ucRGGain\":\t0,\n"
        "\t\t\t\"ucBGGain\":\t0,\n"
        "\t\t\t\"u8RgainTuning\":\t0,\n"
        "\t\t\t\"u8GgainTuning\":\t0,\n"
        "\t\t\t\"u8BgainTuning\":\t0,\n"
        "\t\t\t\"ucFocusMode\":\t0,\n"
        "\t\t\t\"ucAFScene\":\t0,\n"
        "\t\t\t\"ucAFArea\":\t0,\n"
        "\t\t\t\"ucFocusDistanceMin\":\t0,\n"
        "\t\t\t\"ucAFSen\":\t0,\n"
        "\t\t\t\"eNightMode\":\t1,\n"
        "\t\t\t\"ucNightDayChnSensity\":\t0,\n"
        "\t\t\t\"uc2DNR\":\t0,\n"
        "\t\t\t\"uc3DNR\":\t0,\n"
        "\t\t\t\"uDpSlope\":\t0,\n"
        "\t\t\t\"ucDefogMode\":\t0,\n"
        "\t\t\t\"ucDelFogClass\":\t0,\n"
        "\t\t\t\"ucGammaVal\":\t0,\n"
        "\t\t\t\"u32AIFocus\":\t0,\n"
        "\t\t\t\"u32AIAe\":\t7,\n"
        "\t\t\t\"ucCamCorrection\":\t0,\n"
        "\t\t\t\"bHorzInvert\":\t0,\n"
        "\t\t\t\"bVertInvert\":\t0,\n"
        "\t\t\t\"ucRotation\":\t0,\n"
        "\t\t\t\"eSceneMode\":\t2,\n"
        "\t\t\t\"u32Lut\":\t1,\n"
        "\t\t\t\"ucDigitalZoom\":\t0\n"
        "\t\t}\n"
        "\t}\n"
        "}";
    std::string text = BuildWriteVideoParamsRequest(rec);
    EXPECT_EQ(text, expected);

    EXPECT_EQ(text.find("ucAEWeightLevel"), std::string::npos);
    size_t members = 0;
    for (size_t pos = text.find("\t\t\t\""); pos != std::string::npos; pos = text.find("\t\t\t\"", pos + 1)) ++members;
    EXPECT_EQ(members, 45u);
}

TEST(WholeRecordRequest, ExtremeValuesAreSentAsTheirTypes) {
    VideoParam rec;
    for (auto& b : rec.bytes) b = 0xFF;
    std::string text = BuildWriteVideoParamsRequest(rec);
    EXPECT_NE(text.find("\"Luminance\":\t255,"), std::string::npos);
    EXPECT_NE(text.find("\"BExpCPS\":\t-1,"), std::string::npos);
    EXPECT_NE(text.find("\"uiMShutterSpeed\":\t-1,"), std::string::npos);
    EXPECT_NE(text.find("\"u32Lut\":\t-1,"), std::string::npos);
    rec.bytes[7169] = 0x00; rec.bytes[7170] = 0x00; rec.bytes[7171] = 0x00; rec.bytes[7172] = 0x80;
    text = BuildWriteVideoParamsRequest(rec);
    EXPECT_NE(text.find("\"u32Lut\":\t-2147483648,"), std::string::npos);
}

// cJSON allocator that fails the n-th allocation and counts what is still held.
struct FailingAllocator {
    static inline int failAt = -1;
    static inline int calls = 0;
    static inline int live = 0;
    static void* Allocate(size_t size) {
        if (calls++ == failAt) return nullptr;
        void* p = std::malloc(size);
        if (p != nullptr) ++live;
        return p;
    }
    static void Free(void* p) {
        if (p != nullptr) --live;
        std::free(p);
    }
};

TEST(WholeRecordRequest, AllocationFailureGivesEmptyTextAndFreesEverything) {
    cJSON_Hooks hooks{&FailingAllocator::Allocate, &FailingAllocator::Free};
    cJSON_InitHooks(&hooks);
    VideoParam rec;
    rec.bytes[0] = 42;
    // Count the allocations of a complete build, then fail each of them in turn.
    FailingAllocator::failAt = -1;
    FailingAllocator::calls = 0;
    FailingAllocator::live = 0;
    std::string full = BuildWriteVideoParamsRequest(rec);
    const int total = FailingAllocator::calls;
    EXPECT_FALSE(full.empty());
    EXPECT_EQ(FailingAllocator::live, 0);
    for (int n = 0; n < total; ++n) {
        FailingAllocator::failAt = n;
        FailingAllocator::calls = 0;
        FailingAllocator::live = 0;
        std::string text = BuildWriteVideoParamsRequest(rec);
        EXPECT_TRUE(text.empty() || text == full) << "allocation " << n;
        EXPECT_EQ(FailingAllocator::live, 0) << "allocation " << n << " failed and left blocks behind";
    }
    cJSON_InitHooks(nullptr);
}

}  // namespace
