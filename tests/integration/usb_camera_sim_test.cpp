// The program's USB road (CUSBDevice, the JSON operations, the protocol parsers) against simulated
// cameras served in-process through the simulator's sockets. The simulator parses requests with
// its own code, so a mistake shared by both sides cannot hide here.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <future>
#include <thread>

#include "platform/codepage.h"
#include "integration/recording_messages.h"
#include "integration/sim_usb_cameras.h"
#include "platform/user_messages.h"
#include "protocol/requests.h"
#include "protocol/field_by_name.h"
#include "sim/usb_server.h"
#include "transport/usb/cusb_device.h"
#include "transport/usb/sim_hid_backend.h"
#include "camera/usb_camera.h"

using namespace velmora::platform;
using namespace velmora::protocol;
using namespace velmora::transport;
using namespace velmora::camera;

namespace fs = std::filesystem;
using namespace velmora;
using namespace std::chrono_literals;

namespace {

class UsbCameraSimTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/velmora-usbsim-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        SetUserMessages(&messages_);
    }
    void TearDown() override {
        dev_.reset();
        if (server_) server_->Stop();
        SetUserMessages(nullptr);
        fs::remove_all(dir_);
    }

    // Serves cameras cam01.. with the given faults per camera, then opens them all.
    void Serve(std::vector<std::vector<std::string>> faultsPerCamera, size_t reportLength = 65) {
        std::vector<sim::UsbCameraConfig> cams;
        for (size_t i = 0; i < faultsPerCamera.size(); ++i) {
            sim::UsbCameraConfig c = testsim::NumberedUsbCamera(static_cast<int>(i + 1), faultsPerCamera[i]);
            c.reportLength = reportLength;
            cams.push_back(std::move(c));
        }
        server_ = std::make_unique<sim::UsbServer>(dir_, std::move(cams));
        std::string error;
        ASSERT_EQ(server_->Start(&error), 0) << error;

        dev_ = testsim::OpenSimulatedUsb(dir_);
        ASSERT_EQ(dev_->RefreshDevices(), static_cast<int>(faultsPerCamera.size()));
    }

    int32_t Handle(int index) {
        UsbDeviceEntry e{};
        EXPECT_TRUE(dev_->GetDevice(index, e));
        return e.handle;
    }

    std::string dir_;
    velmora::testing::RecordingMessages messages_;
    std::unique_ptr<sim::UsbServer> server_;
    std::unique_ptr<CUSBDevice> dev_;
};

}  // namespace

TEST_F(UsbCameraSimTest, FindReadChangeCopyAndRestoreTwoCameras) {
    Serve({{}, {}});
    UsbDeviceEntry first{};
    ASSERT_TRUE(dev_->GetDevice(0, first));
    EXPECT_EQ(Cp936ToUtf8(first.name), "模拟相机1");
    EXPECT_STREQ(first.biosVersion, "1.02");
    const int32_t cam1 = Handle(0), cam2 = Handle(1);

    VideoParam rec;
    ASSERT_EQ(UsbCamera(*dev_, cam1).ReadVideoParams(rec), 0);
    EXPECT_EQ(rec.bytes[0], 50);
    EXPECT_EQ(rec.bytes[kSceneModeOffset], rec.bytes[kSceneModeCopyOffset]);

    ASSERT_EQ(UsbCamera(*dev_, cam1).SetField(Field("Luminance"), 72), 0);
    ASSERT_EQ(UsbCamera(*dev_, cam1).SetField(Field("BExpCPS"), -5), 0);
    ASSERT_EQ(UsbCamera(*dev_, cam1).ReadVideoParams(rec), 0);
    EXPECT_EQ(rec.bytes[0], 72);
    EXPECT_EQ(rec.bytes[kExpCompensationOffset], 251);

    // The whole record of camera 1 goes into camera 2 and reads back the same, but for the
    // metering weight, which the whole-record set does not carry.
    rec.bytes[kAEWeightLevelOffset] = 3;
    ASSERT_EQ(UsbCamera(*dev_, cam2).WriteVideoParams(rec), 0);
    VideoParam copy;
    ASSERT_EQ(UsbCamera(*dev_, cam2).ReadVideoParams(copy), 0);
    copy.bytes[kAEWeightLevelOffset] = 3;
    EXPECT_EQ(0, std::memcmp(copy.bytes, rec.bytes, kVideoParamSize));

    ASSERT_EQ(UsbCamera(*dev_, cam1).RestoreDefaults(), 0);
    ASSERT_EQ(UsbCamera(*dev_, cam1).ReadVideoParams(rec), 0);
    EXPECT_EQ(rec.bytes[0], 50);
    EXPECT_EQ(rec.bytes[kExpCompensationOffset], 0);

    AbilityList list;
    ASSERT_EQ(UsbCamera(*dev_, cam1).ReadAbilityList(list), 0);
    const AbilityItem* shutter = list.Find("uiMShutterSpeed");
    ASSERT_NE(shutter, nullptr);
    EXPECT_GT(shutter->OptionCount(), 3);
    EXPECT_STREQ(shutter->options[0].label, "1/25");
    EXPECT_EQ(UsbCamera(*dev_, cam1).GetFrameRate(), 25);
    EXPECT_GT(UsbCamera(*dev_, cam1).GetFocusNear(), 0);
    EXPECT_TRUE(messages_.shown.empty());
}

TEST_F(UsbCameraSimTest, CameraFaultsGiveTheirCodes) {
    Serve({{"bad-magic"}, {"not-json,cmd=40001089"}, {"refuse=-5,cmd=40001090"}});
    VideoParam rec;
    rec.bytes[0] = 9;
    EXPECT_EQ(UsbCamera(*dev_, Handle(0)).ReadVideoParams(rec), -310);
    EXPECT_EQ(UsbCamera(*dev_, Handle(1)).ReadVideoParams(rec), -310);
    EXPECT_EQ(rec.bytes[0], 9);  // a failed read leaves the record alone

    EXPECT_EQ(UsbCamera(*dev_, Handle(2)).SetField(Field("Luminance"), 1), -5);
    ASSERT_EQ(messages_.shown.size(), 1u);
    EXPECT_EQ(messages_.shown[0], "返回错误码: -5");
    ASSERT_EQ(UsbCamera(*dev_, Handle(2)).ReadVideoParams(rec), 0);
    EXPECT_EQ(rec.bytes[0], 50);  // the refused set changed nothing
}

// A refusal carried only in the reply's nResult (status word 0) is the result of a set, a
// whole-record set and restore defaults; it used to pass for success.
TEST_F(UsbCameraSimTest, RefusalInNResultAloneIsTheResultOfEverySet) {
    Serve({{"refuse-result=-7,cmd=40001090", "refuse-result=-8,cmd=40001093"}});
    UsbCamera camera(*dev_, Handle(0));
    VideoParam rec;
    ASSERT_EQ(camera.ReadVideoParams(rec), 0);
    EXPECT_EQ(camera.SetField(Field("Luminance"), 1), -7);
    EXPECT_EQ(camera.WriteVideoParams(rec), -7);
    EXPECT_EQ(camera.RestoreDefaults(), -8);
    EXPECT_EQ(messages_.shown,
              (std::vector<std::string>{"返回错误码: -7", "返回错误码: -7", "返回错误码: -8"}));
}

TEST_F(UsbCameraSimTest, OversizedReplyIsRefusedWithoutOverrun) {
    Serve({{"split=7"}});
    // A reply far larger than the buffer: the buffer sits inside a guarded block.
    std::vector<char> block(64 + 256 + 64, '\x5a');
    char* reply = block.data() + 64;
    int received = -1;
    const std::string req = kReqGetVideoParamUsb;
    int r = dev_->Transfer(Handle(0), kHidCmdGetVideoParam, req.c_str(), static_cast<int>(req.size()) + 1, reply, 256,
                           &received, 5);
    EXPECT_EQ(r, -307);
    EXPECT_LT(received, 256);
    EXPECT_EQ(reply[received], '\0');
    for (size_t i = 0; i < 64; ++i) {
        ASSERT_EQ(block[i], '\x5a');
        ASSERT_EQ(block[64 + 256 + i], '\x5a');
    }
    // The device stays in step: the next exchange works.
    VideoParam rec;
    EXPECT_EQ(UsbCamera(*dev_, Handle(0)).ReadVideoParams(rec), 0);
}

TEST_F(UsbCameraSimTest, StalledCameraTimesOutAndRecovers) {
    Serve({{"stall,cmd=40001089,times=1"}});
    CUSBDevice::Timing t = dev_->GetTiming();
    t.replyPhase = 200ms;
    dev_->SetTiming(t);
    VideoParam rec;
    EXPECT_EQ(UsbCamera(*dev_, Handle(0)).ReadVideoParams(rec), -302);
    EXPECT_EQ(UsbCamera(*dev_, Handle(0)).ReadVideoParams(rec), 0);
}

TEST_F(UsbCameraSimTest, UnplugDuringATransferFailsPromptlyAndTheHandleDies) {
    Serve({{"stall,cmd=40001089"}});
    const int32_t h = Handle(0);
    auto pending = std::async(std::launch::async, [&] {
        VideoParam rec;
        return UsbCamera(*dev_, h).ReadVideoParams(rec);
    });
    std::this_thread::sleep_for(100ms);
    server_->Stop();  // the camera goes away while the reply is awaited
    ASSERT_EQ(pending.wait_for(3s), std::future_status::ready) << "transfer hung after the unplug";
    EXPECT_LT(pending.get(), 0);
    VideoParam rec;
    EXPECT_LT(UsbCamera(*dev_, h).ReadVideoParams(rec), 0);
    dev_->CloseAll();
    EXPECT_EQ(UsbCamera(*dev_, h).ReadVideoParams(rec), -304);
}

TEST_F(UsbCameraSimTest, TwoCamerasExchangeInParallel) {
    Serve({{}, {}});
    const int32_t handles[2] = {Handle(0), Handle(1)};
    std::atomic<int> failures{0};
    std::vector<std::thread> workers;
    for (int cam = 0; cam < 2; ++cam) {
        workers.emplace_back([&, cam] {
            for (int i = 0; i < 25; ++i) {
                const int value = cam * 40 + i;
                if (UsbCamera(*dev_, handles[cam]).SetField(Field("Contrast"), value) != 0)
                    ++failures;
                VideoParam rec;
                if (UsbCamera(*dev_, handles[cam]).ReadVideoParams(rec) != 0 || rec.bytes[1] != value) ++failures;
            }
        });
    }
    for (auto& w : workers) w.join();
    EXPECT_EQ(failures.load(), 0);
}

// After an exchange that timed out the camera still owes its reply; the next exchange must not
// take it as its own. The simulator's faults as a user gives them (a stalled exchange, then a
// refused one), times scaled down: the reply phase lasts 1 s, the stall 1.5 s.
TEST_F(UsbCameraSimTest, AReplyOwedAfterATimeOutNeverAnswersTheNextExchange) {
    Serve({{"stall=1500,cmd=40001090,times=1", "refuse=-5,cmd=40001090,after=1,times=1"},
           {"stall=1500,cmd=40001089,times=1", "refuse=-5,cmd=40001089,after=1,times=1"}});
    CUSBDevice::Timing t = dev_->GetTiming();
    t.replyPhase = 1000ms;
    dev_->SetTiming(t);

    UsbCamera sets(*dev_, Handle(0));
    EXPECT_EQ(sets.SetField(Field("Luminance"), 60), -302);
    EXPECT_EQ(sets.SetField(Field("Luminance"), 61), -5);
    VideoParam rec;
    ASSERT_EQ(sets.ReadVideoParams(rec), 0);
    EXPECT_EQ(rec.bytes[0], 60);  // the stalled set landed late, the refused one not at all

    UsbCamera reads(*dev_, Handle(1));
    EXPECT_EQ(reads.ReadVideoParams(rec), -302);
    EXPECT_EQ(reads.ReadVideoParams(rec), -5);
    EXPECT_EQ(reads.ReadVideoParams(rec), 0);
}

// The device search waits for each camera's answer, not for a fixed time: a camera slow to
// tell its identity is still listed with it.
TEST_F(UsbCameraSimTest, RefreshWaitsForASlowCamerasIdentity) {
    Serve({{}, {"stall=400,cmd=40001117,times=1"}, {}});
    auto usb = std::make_unique<CUSBDevice>(std::make_unique<SimHidBackend>(dir_));
    usb->SetVendorFilter(0, nullptr);  // the default timing
    ASSERT_EQ(usb->RefreshDevices(), 3);
    for (int i = 0; i < 3; ++i) {
        UsbDeviceEntry e{};
        ASSERT_TRUE(usb->GetDevice(i, e));
        EXPECT_EQ(Cp936ToUtf8(e.name), "模拟相机" + std::to_string(i + 1));
    }
}
