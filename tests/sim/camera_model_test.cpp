#include "sim/camera_model.h"

#include <cjson/cJSON.h>
#include <gtest/gtest.h>

#include <memory>
#include <vector>

using namespace velmora::sim;

namespace {

struct Json {
    cJSON* root = nullptr;
    explicit Json(const std::string& text) : root(cJSON_Parse(text.c_str())) {}
    ~Json() { cJSON_Delete(root); }
    Json(const Json&) = delete;
    Json& operator=(const Json&) = delete;
    const cJSON* Content() const { return cJSON_GetObjectItem(root, "Content"); }
    int Result() const { return cJSON_GetObjectItem(Content(), "nResult")->valueint; }
};

std::string Set(const std::string& members) {
    return "{\"Cmd\":\"ReqSetVideoParam\",\"wCmdId\":40001090,\"Content\":{\"ChanNum\":0,\"VideoParam\":{" + members +
           "}}}";
}

// A clock the test moves by hand.
struct FakeClock {
    CameraModel::Clock::time_point now{};
    std::function<CameraModel::Clock::time_point()> Fn() {
        return [this] { return now; };
    }
    void Advance(int ms) { now += std::chrono::milliseconds(ms); }
};

CameraModel::Options WithClock(FakeClock& clock, int flashMs = 1000) {
    CameraModel::Options o;
    o.clock = clock.Fn();
    o.flashMs = flashMs;
    return o;
}

}  // namespace

TEST(CameraModelTest, ReadReplyCarriesEveryRecordMemberWithDefaults) {
    CameraModel m({});
    int32_t status = -99;
    Json reply(m.HandleJson("{\"Cmd\": \"ReqGetVideoParam\", \"wCmdId\": 40001089}", Shape::Usb, &status));
    ASSERT_NE(reply.root, nullptr);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(reply.Result(), 0);
    const cJSON* vp = cJSON_GetObjectItem(reply.Content(), "VideoParam");
    ASSERT_TRUE(cJSON_IsObject(vp));
    EXPECT_EQ(cJSON_GetArraySize(vp), 46);
    for (const ParamInfo& p : CameraModel::Params()) {
        const cJSON* item = cJSON_GetObjectItemCaseSensitive(vp, p.name);
        ASSERT_TRUE(cJSON_IsNumber(item)) << p.name;
        EXPECT_EQ(item->valueint, p.factory) << p.name;
    }
}

TEST(CameraModelTest, SetStoresValuesAsTheCameraWould) {
    CameraModel m({});
    int32_t status = -99;
    // Several members at once; unknown members and non-numbers are ignored; names match in any case.
    Json r(m.HandleJson(Set("\"Luminance\":77,\"contrast\":12,\"nMaxValDistance\":3,\"Saturation\":\"x\","
                            "\"BExpCPS\":-10,\"ucManualGain\":-1,\"ucHue\":300,\"u32CTNum\":6550,\"u32Lut\":-2,"
                            "\"Hue\":12.9"),
                        Shape::Usb, &status));
    EXPECT_EQ(status, 0);
    EXPECT_EQ(r.Result(), 0);
    EXPECT_EQ(m.Get("Luminance"), 77);
    EXPECT_EQ(m.Get("Contrast"), 12);
    EXPECT_EQ(m.Get("Saturation"), 50);
    EXPECT_EQ(m.Get("BExpCPS"), -10);     // signed byte
    EXPECT_EQ(m.Get("ucManualGain"), 255);  // -1 keeps its low 8 bits
    EXPECT_EQ(m.Get("ucHue"), 44);         // 300 & 0xFF
    EXPECT_EQ(m.Get("u32CTNum"), 6550);
    EXPECT_EQ(m.Get("u32Lut"), -2);
    EXPECT_EQ(m.Get("Hue"), 12);           // truncated toward zero
    EXPECT_FALSE(m.Get("nMaxValDistance").has_value());

    // A read afterwards reports what was stored.
    Json read(m.HandleJson("{\"Cmd\":\"ReqGetVideoParam\",\"wCmdId\":40001089,\"Content\":{}}", Shape::Network, &status));
    const cJSON* vp = cJSON_GetObjectItem(read.Content(), "VideoParam");
    EXPECT_EQ(cJSON_GetObjectItem(vp, "BExpCPS")->valueint, -10);
    EXPECT_EQ(cJSON_GetObjectItem(vp, "ucManualGain")->valueint, 255);
}

TEST(CameraModelTest, RestoreDefaultsResetsEverythingAndNotifies) {
    CameraModel m({});
    std::vector<std::pair<std::string, int32_t>> seen;
    m.SetChangeHook([&](const std::string& member, int32_t v) { seen.emplace_back(member, v); });
    int32_t status = 0;
    m.HandleJson(Set("\"Luminance\":90,\"bHorzInvert\":1"), Shape::Usb, &status);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0], std::make_pair(std::string("Luminance"), 90));
    seen.clear();
    m.HandleJson(Set("\"Luminance\":90"), Shape::Usb, &status);  // no change, no notice
    EXPECT_TRUE(seen.empty());

    Json r(m.HandleJson("{\"Cmd\":\"ReqSetDefaultParam\",\"wCmdId\":40001093,\"Content\":{\"ChanNum\":0,"
                        "\"eDefaultParamCfg\":1}}",
                        Shape::Usb, &status));
    EXPECT_EQ(status, 0);
    EXPECT_EQ(m.Get("Luminance"), 50);
    EXPECT_EQ(m.Get("bHorzInvert"), 0);
    EXPECT_EQ(seen.size(), 2u);

    m.HandleJson("{\"Cmd\":\"ReqSetDefaultParam\",\"Content\":{\"eDefaultParamCfg\":0}}", Shape::Usb, &status);
    EXPECT_EQ(status, kErrBadParam);
}

TEST(CameraModelTest, AbilityListShapesDifferByTransport) {
    CameraModel m({});
    int32_t status = -1;
    const std::string req = "{\"Cmd\":\"ReqGetAbilityLevel\",\"Content\":{\"Module\":\"Image\"}}";
    const std::string usbText = m.HandleJson(req, Shape::Usb, &status);
    EXPECT_EQ(status, 0);
    // The host's USB reply buffer is 3072 bytes, one kept for the terminator.
    EXPECT_LT(usbText.size(), 3071u);
    Json usb(usbText);
    Json net(m.HandleJson(req, Shape::Network, &status));
    const cJSON* usbImage = cJSON_GetObjectItem(usb.Content(), "Image");
    const cJSON* netImage = cJSON_GetObjectItem(net.Content(), "Image");
    ASSERT_EQ(cJSON_GetArraySize(usbImage), cJSON_GetArraySize(netImage));

    bool sawShutter = false, sawRule = false, sawHz = false;
    for (int i = 0; i < cJSON_GetArraySize(usbImage); ++i) {
        const cJSON* u = cJSON_GetArrayItem(usbImage, i);
        const cJSON* n = cJSON_GetArrayItem(netImage, i);
        const std::string key = cJSON_GetObjectItem(u, "Key")->valuestring;
        const int display = cJSON_GetObjectItem(u, "Display")->valueint;
        const cJSON* uzh = cJSON_GetObjectItem(u, "zh");
        const cJSON* nzh = cJSON_GetObjectItem(n, "zh");
        if (display == 2) {
            EXPECT_STREQ(cJSON_GetObjectItem(u, "DisplayRule")->valuestring, "ssc8836");
            sawRule = true;
            continue;
        }
        if (display == 0) continue;
        const cJSON* usbOptions = cJSON_GetObjectItem(uzh, "Options");
        const cJSON* netOptions = cJSON_GetObjectItem(cJSON_GetObjectItem(nzh, "Value"), "Options");
        ASSERT_TRUE(cJSON_IsObject(usbOptions)) << key;
        ASSERT_TRUE(cJSON_IsObject(netOptions)) << key;
        EXPECT_EQ(cJSON_GetObjectItem(nzh, "Options"), nullptr) << key;
        EXPECT_EQ(cJSON_GetObjectItem(cJSON_GetObjectItem(uzh, "Value"), "Options"), nullptr) << key;
        if (key == "uiMShutterSpeed") {
            sawShutter = true;
            EXPECT_STREQ(cJSON_GetObjectItem(usbOptions, "7")->valuestring, "1/25");
            EXPECT_STREQ(cJSON_GetObjectItem(netOptions, "30")->valuestring, "1/50");
            EXPECT_STREQ(cJSON_GetObjectItem(uzh, "Title")->valuestring, "快门速度");
        }
        if (cJSON_GetObjectItem(usbOptions, "50Hz")) sawHz = true;
    }
    EXPECT_TRUE(sawShutter);
    EXPECT_TRUE(sawRule);
    EXPECT_TRUE(sawHz);
}

TEST(CameraModelTest, QueriesAndTransportOnlyRequests) {
    CameraModel m({});
    int32_t status = -1;
    Json fps(m.HandleJson("{\"Cmd\":\"ReqGetCodeParam\",\"wCmdId\":40001091,\"Content\":{}}", Shape::Usb, &status));
    EXPECT_EQ(cJSON_GetObjectItem(cJSON_GetObjectItem(cJSON_GetObjectItem(fps.Content(), "CodeParam"),
                                                      "stMainStreamParam"), "dwFps")->valueint, 25000);
    Json near(m.HandleJson("{\"Cmd\":\"ReqGetFocusNear\",\"Content\":{}}", Shape::Usb, &status));
    EXPECT_EQ(cJSON_GetObjectItem(near.Content(), "FocusNear")->valueint, 1250);

    Json vo(m.HandleJson("{\"Cmd\":\"ReqGetVOMode\",\"Content\":{}}", Shape::Network, &status));
    EXPECT_EQ(status, 0);
    EXPECT_STREQ(cJSON_GetObjectItem(cJSON_GetObjectItem(vo.Content(), "VOMode"), "Name")->valuestring, "1080P25");
    Json voUsb(m.HandleJson("{\"Cmd\":\"ReqGetVOMode\",\"Content\":{}}", Shape::Usb, &status));
    EXPECT_EQ(status, kErrNotOnTransport);
    EXPECT_EQ(voUsb.Result(), kErrNotOnTransport);
}

TEST(CameraModelTest, BadRequestsAreRefusedWithAReply) {
    CameraModel m({});
    const std::vector<std::pair<std::string, int32_t>> cases = {
        {"", kErrBadRequest},
        {"not json", kErrBadRequest},
        {"[1,2]", kErrBadRequest},
        {"{\"Cmd\":5}", kErrBadRequest},
        {"{\"Cmd\":\"ReqFly\"}", kErrUnknownCmd},
        {"{\"Cmd\":\"ReqSetVideoParam\",\"Content\":{}}", kErrBadParam},
        {"{\"Cmd\":\"ReqSetVideoParam\",\"Content\":{\"ChanNum\":1,\"VideoParam\":{}}}", kErrBadParam},
        {"{\"Cmd\":\"ReqGetAbilityLevel\",\"Content\":{\"Module\":\"Audio\"}}", kErrBadParam},
        {"{\"Cmd\":\"ReqPtzCtrl\",\"Content\":{\"PtzCmd\":\"Spin\"}}", kErrBadParam},
        {"{\"Cmd\":\"ReqPresetCtrl\",\"Content\":{\"PresetCmd\":\"Set\",\"PresetID\":0}}", kErrBadParam},
    };
    for (const auto& [text, code] : cases) {
        int32_t status = 0;
        Json r(m.HandleJson(text, Shape::Usb, &status));
        EXPECT_EQ(status, code) << text;
        ASSERT_NE(r.root, nullptr) << text;
        EXPECT_EQ(r.Result(), code) << text;
    }
    // Trailing NUL bytes (the terminator the host sends) are fine.
    int32_t status = -1;
    m.HandleJson(std::string("{\"Cmd\":\"ReqGetFocusNear\"}\0\0", 26), Shape::Usb, &status);
    EXPECT_EQ(status, 0);
}

TEST(CameraModelTest, ZoomFocusMoveWhileHeldAndPresetsKeepPositions) {
    FakeClock clock;
    CameraModel m(WithClock(clock));
    int32_t status = -1;
    auto ptz = [&](const char* cmd) {
        m.HandleJson(std::string("{\"Cmd\":\"ReqPtzCtrl\",\"Content\":{\"PtzCmd\":\"") + cmd +
                         "\",\"ParamH\":4,\"ParamV\":4}}",
                     Shape::Usb, &status);
        EXPECT_EQ(status, 0) << cmd;
    };
    auto preset = [&](const char* cmd, int id) {
        m.HandleJson(std::string("{\"Cmd\": \"ReqPresetCtrl\",\"Content\" : {\"PresetCmd\": \"") + cmd +
                         "\",\"PresetID\" : " + std::to_string(id) + ",\"PresetName\" : \"Preset" +
                         std::to_string(id) + "\"}}",
                     Shape::Usb, &status);
        return status;
    };
    EXPECT_EQ(m.ZoomPosition(), 0);
    ptz("ZoomTele");
    clock.Advance(1000);
    ptz("Stop");
    ptz("ZoomStop");
    const int zoomed = m.ZoomPosition();
    EXPECT_EQ(zoomed, 200);
    clock.Advance(1000);
    EXPECT_EQ(m.ZoomPosition(), zoomed);  // stopped
    ptz("ZoomTele");
    clock.Advance(60000);
    EXPECT_EQ(m.ZoomPosition(), CameraModel::kZoomMax);  // clamped at the end stop
    ptz("ZoomStop");

    const int focus = m.FocusPosition();
    ptz("FocusNear");
    clock.Advance(500);
    ptz("FocusStop");
    EXPECT_EQ(m.FocusPosition(), focus - 100);

    EXPECT_EQ(preset("Set", 2), 0);
    ASSERT_TRUE(m.Preset(2).has_value());
    EXPECT_EQ(m.Preset(2)->zoom, CameraModel::kZoomMax);
    ptz("ZoomWide");
    clock.Advance(2000);
    ptz("ZoomStop");
    EXPECT_EQ(m.ZoomPosition(), CameraModel::kZoomMax - 400);
    EXPECT_EQ(preset("Call", 2), 0);
    EXPECT_EQ(m.ZoomPosition(), CameraModel::kZoomMax);
    EXPECT_EQ(m.FocusPosition(), focus - 100);
    EXPECT_EQ(preset("Call", 3), kErrNoPreset);
    EXPECT_EQ(preset("Del", 2), 0);
    EXPECT_FALSE(m.Preset(2).has_value());
    EXPECT_EQ(preset("Call", 2), kErrNoPreset);
}

TEST(CameraModelTest, UpgradeRunsFromAnnounceToFinishedAndNewVersion) {
    FakeClock clock;
    CameraModel m(WithClock(clock, 1000));
    int32_t status = -1;
    auto field = [](const std::string& text, const char* name) {
        Json j(text);
        return cJSON_GetObjectItem(j.root, name)->valueint;
    };
    const std::vector<uint8_t> block(1000, 0xAB);
    // Data before an announcement is refused.
    m.UpgradeData(block.data(), block.size(), &status);
    EXPECT_EQ(status, kErrNotAnnounced);

    m.UpgradeAnnounce("{\n\t\"FileType\":\t2,\n\t\"FileSize\":\t1500\n}", &status);
    ASSERT_EQ(status, 0);
    std::string r = m.UpgradeData(block.data(), block.size(), &status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(field(r, "UpdateStatus"), 1);
    EXPECT_EQ(field(r, "Progress"), 66);
    m.UpgradeData(block.data(), 600, &status);  // beyond the announced size
    EXPECT_EQ(status, kErrTooMuchData);
    r = m.UpgradeData(block.data(), 500, &status);
    EXPECT_EQ(field(r, "Progress"), 100);
    EXPECT_EQ(m.Upgrade().state, UpgradeState::Flashing);
    EXPECT_EQ(m.Upgrade().received, 1500u);

    // A new announcement while writing is refused.
    m.UpgradeAnnounce("{\"FileType\":2,\"FileSize\":10}", &status);
    EXPECT_EQ(status, kErrBusy);

    int last = -1;
    for (int i = 0; i < 4; ++i) {
        clock.Advance(200);
        r = m.UpgradeProgress(&status);
        EXPECT_EQ(field(r, "UpdateStatus"), 1);
        EXPECT_GT(field(r, "Progress"), last);
        last = field(r, "Progress");
    }
    clock.Advance(300);
    r = m.UpgradeProgress(&status);
    EXPECT_EQ(field(r, "UpdateStatus"), 2);
    EXPECT_EQ(field(r, "Progress"), 0);
    EXPECT_EQ(m.Identity().biosVersion, 0x0102);
    m.Reboot();
    EXPECT_EQ(m.Identity().biosVersion, 0x0103);
    EXPECT_EQ(m.Upgrade().state, UpgradeState::Idle);
    EXPECT_EQ(m.RebootCount(), 1);

    // Bad announcements.
    for (const char* text : {"", "{\"FileType\":2}", "{\"FileType\":2,\"FileSize\":-1}",
                             "{\"FileType\":2,\"FileSize\":1e12}"}) {
        m.UpgradeAnnounce(text, &status);
        EXPECT_EQ(status, kErrBadParam) << text;
    }
    m.UpgradeAnnounce("{\"FileType\":2,\"FileSize\":0}", &status);
    EXPECT_EQ(status, kErrEmptyImage);
}

TEST(CameraModelTest, WritersAreToldAndARollbackKeepsTheOldVersion) {
    FakeClock clock;
    CameraModel m(WithClock(clock, 0));
    std::vector<bool> told;
    m.SetWritingHook([&](bool writing) { told.push_back(writing); });
    m.SetRollback(true);
    int32_t status = -1;
    const std::vector<uint8_t> block(10, 1);
    m.UpgradeAnnounce("{\"FileType\":2,\"FileSize\":10}", &status);
    m.UpgradeData(block.data(), block.size(), &status);  // all in: writing, still one writer
    m.UpgradeProgress(&status);                          // written at once
    EXPECT_EQ(m.Upgrade().state, UpgradeState::Done);
    EXPECT_EQ(told, (std::vector<bool>{true, false}));
    m.UpgradeAnnounce("{\"FileType\":2,\"FileSize\":10}", &status);
    m.Reboot();  // an unfinished upgrade is forgotten: no longer writing
    EXPECT_EQ(told, (std::vector<bool>{true, false, true, false}));
    EXPECT_EQ(m.Identity().biosVersion, 0x0102);  // came back with the old firmware
}

TEST(CameraModelTest, DeviceInfoHasTopLevelIdentity) {
    CameraModel m({});
    Json info(m.DeviceInfoJson());
    EXPECT_STREQ(cJSON_GetObjectItem(info.root, "DeviceName")->valuestring, "模拟相机1");
    EXPECT_EQ(cJSON_GetObjectItem(info.root, "BiosVersion")->valueint, 0x0102);
    EXPECT_EQ(cJSON_GetObjectItem(info.root, "Content"), nullptr);
    EXPECT_EQ(CameraModel::DefaultIdentity(2).deviceName, "模拟相机2");
}
