#include "sim/usb_server.h"

#include <cjson/cJSON.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "sim/hid_test_client.h"
#include "sim/usb_dispatch.h"

using namespace velmora::sim;
using simtest::HidClient;
using simtest::Reply;

namespace {

const char* kReadParams = "{\"Cmd\": \"ReqGetVideoParam\", \"wCmdId\": 40001089}";
const char* kAbility = "{\"Cmd\":\"ReqGetAbilityLevel\",\"Content\":{\"Module\":\"Image\"}}";
const char* kDefaults =
    "{\"Cmd\":\"ReqSetDefaultParam\",\"wCmdId\":40001093,\"Content\":{\"ChanNum\":0,\"eDefaultParamCfg\":1}}";

std::string SetText(const std::string& members) {
    return "{\"Cmd\":\"ReqSetVideoParam\",\"wCmdId\":40001090,\"Content\":{\"ChanNum\":0,\"VideoParam\":{" + members +
           "}}}";
}
std::string PresetText(const char* cmd, int id) {
    return std::string("{\"Cmd\": \"ReqPresetCtrl\",\"Content\" : {\"PresetCmd\": \"") + cmd + "\",\"PresetID\" : " +
           std::to_string(id) + ",\"PresetName\" : \"Preset" + std::to_string(id) + "\"}}";
}
std::string PtzText(const char* cmd) {
    return std::string("{\"Cmd\":\"ReqPtzCtrl\",\"Content\":{\"PtzCmd\":\"") + cmd + "\",\"ParamH\":4,\"ParamV\":4}}";
}

// Parsed reply body; members looked up like the host does.
struct Doc {
    cJSON* root;
    explicit Doc(const std::string& text) : root(cJSON_Parse(text.c_str())) {}
    ~Doc() { cJSON_Delete(root); }
    Doc(const Doc&) = delete;
    Doc& operator=(const Doc&) = delete;
    const cJSON* At(std::initializer_list<const char*> path) const {
        const cJSON* c = root;
        for (const char* p : path) c = cJSON_GetObjectItem(c, p);
        return c;
    }
    int Int(std::initializer_list<const char*> path) const {
        const cJSON* c = At(path);
        return cJSON_IsNumber(c) ? c->valueint : -99999;
    }
};

bool WaitFor(const std::function<bool()>& cond, int ms = 3000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < end) {
        if (cond()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return cond();
}

class UsbServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/camsim-test-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override {
        server_.reset();
        std::filesystem::remove_all(dir_);
    }
    UsbCameraConfig Camera(const std::string& name, std::vector<std::string> faults = {}, size_t len = 65) {
        UsbCameraConfig c;
        c.name = name;
        c.reportLength = len;
        c.model.identity = CameraModel::DefaultIdentity(static_cast<int>(name.back() - '0'));
        c.model.flashMs = 100;
        c.rebootMs = 100;
        for (const auto& text : faults) {
            Fault f;
            std::string error;
            EXPECT_EQ(ParseFault(text, &f, &error), 0) << error;
            c.faults.push_back(f);
        }
        return c;
    }
    void Start(std::vector<UsbCameraConfig> cams) {
        server_ = std::make_unique<UsbServer>(dir_, std::move(cams));
        std::string error;
        ASSERT_EQ(server_->Start(&error), 0) << error;
    }
    std::string Sock(const char* name) const { return dir_ + "/" + name + ".sock"; }

    std::string dir_;
    std::unique_ptr<UsbServer> server_;
};

}  // namespace

TEST_F(UsbServerTest, DescribesDevicesAndAnswersParameterRequests) {
    Start({Camera("cam01")});
    std::ifstream desc(dir_ + "/cam01.json");
    std::stringstream text;
    text << desc.rdbuf();
    Doc d(text.str());
    EXPECT_EQ(d.Int({"vendor_id"}), 5891);
    EXPECT_EQ(d.Int({"product_id"}), 4660);
    EXPECT_EQ(d.Int({"output_report_length"}), 65);
    EXPECT_EQ(d.Int({"input_report_length"}), 65);
    struct stat st{};
    ASSERT_EQ(stat(Sock("cam01").c_str(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));

    HidClient c;
    ASSERT_TRUE(c.Connect(Sock("cam01")));
    Reply info = c.Exchange(kCmdDeviceInfo, "");
    ASSERT_EQ(info.error, 0);
    EXPECT_EQ(info.status, 0);
    Doc id(info.body);
    EXPECT_STREQ(id.At({"DeviceName"})->valuestring, "模拟相机1");
    EXPECT_EQ(id.Int({"BiosVersion"}), 0x0102);

    // A set of several members, then a read that reflects it.
    Reply set = c.Json(kCmdSetParams, SetText("\"Luminance\":80,\"bHorzInvert\":1,\"BExpCPS\":-5"));
    ASSERT_EQ(set.error, 0);
    EXPECT_EQ(set.status, 0);
    Reply read = c.Json(kCmdGetParams, kReadParams);
    ASSERT_EQ(read.error, 0);
    EXPECT_GT(read.reports, 1);
    Doc params(read.body);
    EXPECT_EQ(params.Int({"Content", "nResult"}), 0);
    EXPECT_EQ(params.Int({"Content", "VideoParam", "Luminance"}), 80);
    EXPECT_EQ(params.Int({"Content", "VideoParam", "bHorzInvert"}), 1);
    EXPECT_EQ(params.Int({"Content", "VideoParam", "BExpCPS"}), -5);
    EXPECT_EQ(server_->Model(0).Get("Luminance"), 80);

    // Restore defaults.
    EXPECT_EQ(c.Json(kCmdDefaults, kDefaults).status, 0);
    Doc after(c.Json(kCmdGetParams, kReadParams).body);
    EXPECT_EQ(after.Int({"Content", "VideoParam", "Luminance"}), 50);

    // Ability list in the USB shape.
    Reply ability = c.Json(kCmdQuery, kAbility);
    ASSERT_EQ(ability.error, 0);
    Doc ab(ability.body);
    const cJSON* first = cJSON_GetArrayItem(ab.At({"Content", "Image"}), 0);
    EXPECT_STREQ(cJSON_GetObjectItem(first, "Key")->valuestring, "uiMShutterSpeed");
    EXPECT_TRUE(cJSON_IsObject(cJSON_GetObjectItem(cJSON_GetObjectItem(first, "zh"), "Options")));

    // Stream parameters and focus near share command 40001119.
    Doc fps(c.Json(kCmdQuery, "{\"Cmd\":\"ReqGetCodeParam\",\"wCmdId\":40001091,\"Content\":{}}").body);
    EXPECT_EQ(fps.Int({"Content", "CodeParam", "stMainStreamParam", "dwFps"}), 25000);
    Doc near(c.Json(kCmdQuery, "{\"Cmd\":\"ReqGetFocusNear\",\"Content\":{}}").body);
    EXPECT_EQ(near.Int({"Content", "FocusNear"}), 1250);

    // A request on the wrong command id is refused in the status word and in nResult.
    Reply wrong = c.Json(kCmdSetParams, kReadParams);
    EXPECT_EQ(wrong.status, kErrWrongCommandId);
    EXPECT_EQ(Doc(wrong.body).Int({"Content", "nResult"}), kErrWrongCommandId);
    EXPECT_EQ(c.Exchange(12345, "").status, kErrUnknownCommand);
}

TEST_F(UsbServerTest, PtzPresetsAreKept) {
    Start({Camera("cam01")});
    HidClient c;
    ASSERT_TRUE(c.Connect(Sock("cam01")));
    EXPECT_EQ(c.Json(kCmdPtz, PtzText("ZoomTele")).status, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(c.Json(kCmdPtz, PtzText("Stop")).status, 0);
    EXPECT_EQ(c.Json(kCmdPtz, PtzText("ZoomStop")).status, 0);
    const int zoom = server_->Model(0).ZoomPosition();
    EXPECT_GT(zoom, 0);
    EXPECT_EQ(c.Json(kCmdPtz, PresetText("Set", 3)).status, 0);
    EXPECT_EQ(c.Json(kCmdPtz, PtzText("ZoomWide")).status, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(c.Json(kCmdPtz, PtzText("ZoomStop")).status, 0);
    EXPECT_EQ(c.Json(kCmdPtz, PresetText("Call", 3)).status, 0);
    EXPECT_EQ(server_->Model(0).ZoomPosition(), zoom);
    EXPECT_EQ(c.Json(kCmdPtz, PresetText("Call", 1)).status, kErrNoPreset);
    EXPECT_EQ(c.Json(kCmdPtz, PresetText("Del", 3)).status, 0);
    EXPECT_FALSE(server_->Model(0).Preset(3).has_value());
}

TEST_F(UsbServerTest, CamerasKeepSeparateStateAndReportLengths) {
    Start({Camera("cam01"), Camera("cam02", {}, 33)});
    std::ifstream desc(dir_ + "/cam02.json");
    std::stringstream text;
    text << desc.rdbuf();
    EXPECT_EQ(Doc(text.str()).Int({"output_report_length"}), 33);

    HidClient a, b(33);
    ASSERT_TRUE(a.Connect(Sock("cam01")));
    ASSERT_TRUE(b.Connect(Sock("cam02")));
    EXPECT_EQ(a.Json(kCmdSetParams, SetText("\"Contrast\":11")).status, 0);
    EXPECT_EQ(b.Json(kCmdSetParams, SetText("\"Contrast\":22")).status, 0);
    Reply ra = a.Json(kCmdGetParams, kReadParams);
    Reply rb = b.Json(kCmdGetParams, kReadParams);
    ASSERT_EQ(rb.error, 0);
    for (uint16_t n : rb.chunkSizes) EXPECT_LE(n, 16);
    EXPECT_EQ(Doc(ra.body).Int({"Content", "VideoParam", "Contrast"}), 11);
    EXPECT_EQ(Doc(rb.body).Int({"Content", "VideoParam", "Contrast"}), 22);
    EXPECT_STREQ(Doc(b.Exchange(kCmdDeviceInfo, "").body).At({"DeviceName"})->valuestring, "模拟相机2");

    // Reports of the other camera's length are not taken.
    HidClient wrongLength(65);
    ASSERT_TRUE(wrongLength.Connect(Sock("cam02")));
    EXPECT_EQ(wrongLength.Exchange(kCmdDeviceInfo, "", 100).error, -2);
}

TEST_F(UsbServerTest, ConcurrentHostsOnSeveralCameras) {
    Start({Camera("cam01"), Camera("cam02"), Camera("cam03")});
    std::atomic<int> failures{0};
    std::vector<std::thread> hosts;
    for (int cam = 1; cam <= 3; ++cam) {
        for (int conn = 0; conn < 2; ++conn) {
            hosts.emplace_back([&, cam, conn] {
                HidClient c;
                if (!c.Connect(Sock(("cam0" + std::to_string(cam)).c_str()))) {
                    ++failures;
                    return;
                }
                for (int i = 0; i < 30; ++i) {
                    const int v = cam * 10 + conn;
                    if (c.Json(kCmdSetParams, SetText("\"ucHue\":" + std::to_string(v))).status != 0) ++failures;
                    Reply r = c.Json(kCmdGetParams, kReadParams);
                    if (r.error != 0 || Doc(r.body).Int({"Content", "nResult"}) != 0) ++failures;
                }
            });
        }
    }
    for (auto& t : hosts) t.join();
    EXPECT_EQ(failures.load(), 0);
    for (int cam = 0; cam < 3; ++cam) {
        const int hue = server_->Model(static_cast<size_t>(cam)).Get("ucHue").value();
        EXPECT_TRUE(hue == (cam + 1) * 10 || hue == (cam + 1) * 10 + 1) << hue;
    }
}

TEST_F(UsbServerTest, RefusalSplitMagicAndGarbageFaults) {
    Start({Camera("cam01", {"refuse=-5,cmd=40001090,times=1", "refuse-status=-6,cmd=40001093,times=1",
                            "refuse-result=-7,cmd=40001089,times=1"}),
           Camera("cam02", {"split=8,cmd=40001117", "bad-magic=2,cmd=40001089", "not-json,cmd=40001119"})});
    HidClient c;
    ASSERT_TRUE(c.Connect(Sock("cam01")));
    Reply refused = c.Json(kCmdSetParams, SetText("\"Luminance\":99"));
    EXPECT_EQ(refused.status, -5);
    EXPECT_EQ(Doc(refused.body).Int({"Content", "nResult"}), -5);
    EXPECT_EQ(server_->Model(0).Get("Luminance"), 50);  // not applied
    EXPECT_EQ(c.Json(kCmdSetParams, SetText("\"Luminance\":99")).status, 0);
    EXPECT_EQ(server_->Model(0).Get("Luminance"), 99);
    Reply statusOnly = c.Json(kCmdDefaults, kDefaults);
    EXPECT_EQ(statusOnly.status, -6);
    EXPECT_EQ(Doc(statusOnly.body).Int({"Content", "nResult"}), 0);
    Reply resultOnly = c.Json(kCmdGetParams, kReadParams);
    EXPECT_EQ(resultOnly.status, 0);
    EXPECT_EQ(Doc(resultOnly.body).Int({"Content", "nResult"}), -7);

    HidClient d;
    ASSERT_TRUE(d.Connect(Sock("cam02")));
    Reply split = d.Exchange(kCmdDeviceInfo, "");
    ASSERT_EQ(split.error, 0);
    EXPECT_GT(split.reports, 5);
    for (uint16_t n : split.chunkSizes) EXPECT_LE(n, 8);
    EXPECT_STREQ(Doc(split.body).At({"DeviceName"})->valuestring, "模拟相机2");

    Reply magic = d.Json(kCmdGetParams, kReadParams);
    EXPECT_TRUE(magic.badMagic);
    EXPECT_EQ(magic.reports, 2);  // the first report was good
    // Drain the rest of that reply before the next exchange.
    while (d.ReadReply(200).error == 0) {
    }
    d.Close();
    ASSERT_TRUE(d.Connect(Sock("cam02")));
    Reply garbage = d.Json(kCmdQuery, kAbility);
    ASSERT_EQ(garbage.error, 0);
    EXPECT_EQ(Doc(garbage.body).root, nullptr);
    EXPECT_FALSE(garbage.body.empty());
}

TEST_F(UsbServerTest, StallsDelayOrSwallowReplies) {
    Start({Camera("cam01", {"stall=300,cmd=40001117,times=1"}), Camera("cam02", {"stall,times=1"})});
    HidClient c;
    ASSERT_TRUE(c.Connect(Sock("cam01")));
    ASSERT_TRUE(c.SendRequest(kCmdDeviceInfo, ""));
    EXPECT_EQ(c.ReadReply(50).error, -2);  // not yet
    Reply late = c.ReadReply(3000);
    ASSERT_EQ(late.error, 0);
    EXPECT_STREQ(Doc(late.body).At({"DeviceName"})->valuestring, "模拟相机1");

    HidClient d;
    ASSERT_TRUE(d.Connect(Sock("cam02")));
    EXPECT_EQ(d.Exchange(kCmdDeviceInfo, "", 150).error, -2);  // swallowed
    Reply next = d.Exchange(kCmdDeviceInfo, "");               // the camera answers again
    ASSERT_EQ(next.error, 0);
    EXPECT_STREQ(Doc(next.body).At({"DeviceName"})->valuestring, "模拟相机2");
}

TEST_F(UsbServerTest, UnplugAfterExchangesAndReplug) {
    Start({Camera("cam01", {"unplug=2,replug=150,times=1"}), Camera("cam02", {"unplug=1"})});
    HidClient c;
    ASSERT_TRUE(c.Connect(Sock("cam01")));
    EXPECT_EQ(c.Exchange(kCmdDeviceInfo, "").error, 0);
    EXPECT_EQ(c.Exchange(kCmdDeviceInfo, "").error, 0);  // answered, then unplugged
    EXPECT_EQ(c.Exchange(kCmdDeviceInfo, "").error, -1);
    EXPECT_TRUE(WaitFor([&] { return !server_->Plugged(0); }));
    EXPECT_TRUE(WaitFor([&] { return server_->Plugged(0); }));
    EXPECT_TRUE(std::filesystem::exists(dir_ + "/cam01.json"));
    ASSERT_TRUE(c.Connect(Sock("cam01")));
    for (int i = 0; i < 3; ++i) EXPECT_EQ(c.Exchange(kCmdDeviceInfo, "").error, 0);  // times=1

    HidClient d;
    ASSERT_TRUE(d.Connect(Sock("cam02")));
    EXPECT_EQ(d.Exchange(kCmdDeviceInfo, "").error, 0);
    EXPECT_EQ(d.ReadReply(1000).error, -1);  // connection closed
    EXPECT_TRUE(WaitFor([&] { return !std::filesystem::exists(dir_ + "/cam02.sock"); }));
    EXPECT_FALSE(std::filesystem::exists(dir_ + "/cam02.json"));
    EXPECT_FALSE(d.Connect(Sock("cam02")));
}

TEST_F(UsbServerTest, UpgradeReachesFinishedThenRebootBringsNewVersion) {
    Start({Camera("cam01"), Camera("cam02", {"neg-progress=-9,phase=progress", "slow-flash=100000"})});
    HidClient c;
    ASSERT_TRUE(c.Connect(Sock("cam01")));
    std::string package(300000, '\0');
    for (size_t i = 0; i < package.size(); ++i) package[i] = static_cast<char>(i * 7);
    const std::string announce = "{\n\t\"FileType\":\t2,\n\t\"FileSize\":\t300000\n}";
    ASSERT_EQ(c.Json(kCmdUpgradeAnnounce, announce).status, 0);
    Reply data = c.Exchange(kCmdUpgradeData, package);
    ASSERT_EQ(data.error, 0);
    EXPECT_EQ(data.status, 0);
    EXPECT_EQ(Doc(data.body).Int({"Progress"}), 100);
    EXPECT_EQ(server_->Model(0).Upgrade().received, package.size());

    int status = 0, polls = 0;
    while (status != 2 && polls < 200) {
        Reply p = c.Exchange(kCmdUpgradeProgress, "");
        ASSERT_EQ(p.error, 0);
        Doc d(p.body);
        status = d.Int({"UpdateStatus"});
        EXPECT_GE(d.Int({"Progress"}), 0);
        ++polls;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(status, 2);

    // Reboot: an empty reply with status 0, then the device goes away and comes back.
    Reply reboot = c.Exchange(kCmdReboot, "");
    ASSERT_EQ(reboot.error, 0);
    EXPECT_EQ(reboot.status, 0);
    EXPECT_EQ(reboot.reports, 1);
    EXPECT_EQ(reboot.chunkSizes[0], 0);
    EXPECT_EQ(c.ReadReply(1000).error, -1);
    EXPECT_TRUE(WaitFor([&] { return server_->Model(0).RebootCount() == 1; }));
    EXPECT_TRUE(WaitFor([&] { return server_->Plugged(0) && c.Connect(Sock("cam01")); }));
    Reply info = c.Exchange(kCmdDeviceInfo, "");
    ASSERT_EQ(info.error, 0);
    EXPECT_EQ(Doc(info.body).Int({"BiosVersion"}), 0x0103) << info.body;

    // The second camera reports a negative progress while flashing.
    HidClient d;
    ASSERT_TRUE(d.Connect(Sock("cam02")));
    ASSERT_EQ(d.Json(kCmdUpgradeAnnounce, "{\"FileType\":2,\"FileSize\":10}").status, 0);
    EXPECT_EQ(Doc(d.Exchange(kCmdUpgradeData, "0123456789").body).Int({"Progress"}), 100);
    EXPECT_EQ(Doc(d.Exchange(kCmdUpgradeProgress, "").body).Int({"Progress"}), -9);
    EXPECT_EQ(server_->Model(1).Upgrade().state, UpgradeState::Flashing);  // slow flash
    EXPECT_EQ(d.Exchange(kCmdUpgradeData, "x").status, kErrBusy);
}

TEST_F(UsbServerTest, MalformedReportsNeitherCrashNorBlockTheCamera) {
    Start({Camera("cam01")});
    HidClient c;
    ASSERT_TRUE(c.Connect(Sock("cam01")));
    std::vector<std::vector<uint8_t>> junk = {
        std::vector<uint8_t>(1, 0), std::vector<uint8_t>(64, 0xFF), std::vector<uint8_t>(66, 0),
        std::vector<uint8_t>(65, 0), std::vector<uint8_t>(4000, 'F')};
    std::vector<uint8_t> lie(65, 0);
    std::memcpy(&lie[1], "FDTH", 4);
    lie[9] = 0xFF;  // payload length 255 in a 65-byte report
    lie[11] = 1;
    junk.push_back(lie);
    for (const auto& j : junk) ASSERT_TRUE(c.SendRaw(j));
    EXPECT_EQ(c.ReadReply(100).error, -2);  // nothing answers garbage

    // An oversized request is refused once it ends, and the connection stays usable.
    Reply big = c.Exchange(kCmdUpgradeData, std::string(2 * 1024 * 1024 + 1, 'q'), 10000);
    ASSERT_EQ(big.error, 0);
    EXPECT_EQ(big.status, kErrTooLarge);
    Reply ok = c.Exchange(kCmdDeviceInfo, "");
    ASSERT_EQ(ok.error, 0);
    EXPECT_EQ(ok.status, 0);

    // A host that disappears in the middle of a request or a reply does no harm.
    c.SendRequest(kCmdSetParams, std::string(200, 'a'));
    c.Close();
    HidClient d;
    ASSERT_TRUE(d.Connect(Sock("cam01")));
    ASSERT_TRUE(d.SendRequest(kCmdQuery, std::string(kAbility) + '\0'));
    d.Close();
    ASSERT_TRUE(d.Connect(Sock("cam01")));
    EXPECT_EQ(d.Exchange(kCmdDeviceInfo, "").status, 0);
}

TEST_F(UsbServerTest, StopRemovesFilesAndRefusesForeignFiles) {
    Start({Camera("cam01"), Camera("cam02")});
    HidClient c;
    ASSERT_TRUE(c.Connect(Sock("cam01")));
    ASSERT_TRUE(c.SendRequest(kCmdDeviceInfo, ""));
    server_->Stop();
    EXPECT_FALSE(std::filesystem::exists(Sock("cam01")));
    EXPECT_FALSE(std::filesystem::exists(dir_ + "/cam02.json"));

    // A regular file where a socket should go is not ours to remove.
    std::ofstream(dir_ + "/cam01.sock") << "keep";
    UsbServer other(dir_, {Camera("cam01")});
    std::string error;
    EXPECT_NE(other.Start(&error), 0);
    EXPECT_NE(error.find("not a socket"), std::string::npos);
    EXPECT_TRUE(std::filesystem::exists(dir_ + "/cam01.sock"));
}

TEST_F(UsbServerTest, BusyCameraSendsANoticeThenCloses) {
    Start({Camera("cam01", {}, 33)});
    std::vector<std::unique_ptr<HidClient>> held;
    for (int i = 0; i < 16; ++i) {
        held.push_back(std::make_unique<HidClient>(33));
        ASSERT_TRUE(held.back()->Connect(Sock("cam01")));
        ASSERT_EQ(held.back()->Exchange(kCmdDeviceInfo, "").error, 0);  // accepted and served
    }
    // The notice: one reply report of the camera's length, command id 0, empty, last, status -42.
    std::vector<uint8_t> notice(33, 0);
    std::memcpy(&notice[1], "FDTH", 4);
    notice[11] = 1;
    const uint8_t busy[4] = {0xD6, 0xFF, 0xFF, 0xFF};  // -42
    std::memcpy(&notice[13], busy, 4);
    // A host that writes its first request at once still reads the notice, then the end.
    for (bool sendFirst : {false, true}) {
        HidClient extra(33);
        ASSERT_TRUE(extra.Connect(Sock("cam01")));
        if (sendFirst) {
            ASSERT_TRUE(extra.SendRequest(kCmdDeviceInfo, ""));
        }
        pollfd p{extra.fd(), POLLIN, 0};
        ASSERT_EQ(poll(&p, 1, 5000), 1);
        std::vector<uint8_t> got(100);
        const ssize_t n = recv(extra.fd(), got.data(), got.size(), 0);
        ASSERT_EQ(n, 33) << std::strerror(errno);
        got.resize(33);
        EXPECT_EQ(got, notice);
        ASSERT_EQ(poll(&p, 1, 5000), 1);
        EXPECT_EQ(recv(extra.fd(), got.data(), got.size(), 0), 0);
    }
    // A freed connection is served again.
    held.pop_back();
    HidClient again(33);
    EXPECT_TRUE(WaitFor([&] {
        if (!again.Connect(Sock("cam01"))) return false;
        const Reply r = again.Exchange(kCmdDeviceInfo, "");
        return r.error == 0 && r.status == 0;
    }));
}
