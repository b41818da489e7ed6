// The simulator's control channel: cameras added, unplugged, plugged back, removed and drifted
// while it serves, through the socket other programs use.
#include "sim/control_server.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "sim/hid_test_client.h"
#include "sim/sim_options.h"
#include "sim/usb_dispatch.h"

using namespace velmora::sim;
using simtest::HidClient;

namespace {

bool Exists(const std::string& path) {
    struct stat st{};
    return ::stat(path.c_str(), &st) == 0;
}

const char* kSetLuminance =
    "{\"Cmd\":\"ReqSetVideoParam\",\"wCmdId\":40001090,\"Content\":{\"ChanNum\":0,\"VideoParam\":{\"Luminance\":33}}}";

class SimControlTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/camsim-ctl-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        options_.usbDir = dir_;
        options_.usbCount = 1;
        std::vector<UsbCameraConfig> cameras;
        std::string error;
        ASSERT_EQ(BuildUsbCameras(options_, &cameras, &error), 0) << error;
        usb_ = std::make_unique<UsbServer>(dir_, std::move(cameras));
        ASSERT_EQ(usb_->Start(&error), 0) << error;
        control_ = std::make_unique<ControlServer>(
            *usb_, [this](int number, const std::string& name) { return DefaultUsbCameraConfig(options_, number, name); });
        ASSERT_EQ(control_->Start(dir_ + "/" + kControlSocketName, &error), 0) << error;
    }
    void TearDown() override {
        control_.reset();
        usb_.reset();
        std::filesystem::remove_all(dir_);
    }
    // One command through the socket, as another program sends it.
    std::string Ask(const std::string& line, int* status = nullptr) {
        std::string reply;
        const int r = SendControlLine(dir_, line, &reply);
        if (status) *status = r;
        return reply;
    }

    std::string dir_;
    SimOptions options_;
    std::unique_ptr<UsbServer> usb_;
    std::unique_ptr<ControlServer> control_;
};

TEST_F(SimControlTest, UnplugAndPlugKeepTheCameraAndItsState) {
    const std::string sock = dir_ + "/cam01.sock", desc = dir_ + "/cam01.json";
    HidClient host;
    ASSERT_TRUE(host.Connect(sock));
    EXPECT_EQ(host.Exchange(kCmdSetParams, kSetLuminance).status, 0);

    EXPECT_EQ(Ask("unplug cam01"), "ok");
    EXPECT_FALSE(Exists(sock));
    EXPECT_FALSE(Exists(desc));
    EXPECT_EQ(host.Exchange(kCmdGetParams, "{\"Cmd\":\"ReqGetVideoParam\"}", 1000).error, -1);  // the connection went
    EXPECT_EQ(Ask("list"), "ok cam01:unplugged:VMS202400001");
    EXPECT_EQ(Ask("unplug cam01"), "ok");  // already away: nothing to do

    EXPECT_EQ(Ask("plug cam01"), "ok");
    EXPECT_TRUE(Exists(sock) && Exists(desc));
    ASSERT_TRUE(host.Connect(sock));
    EXPECT_EQ(Ask("get cam01 luminance"), "ok 33");  // parameters survive a replug
    EXPECT_EQ(Ask("list"), "ok cam01:plugged:VMS202400001");
}

TEST_F(SimControlTest, AddedCamerasAreServedAndRemovedOnesGoForGood) {
    EXPECT_EQ(Ask("add"), "ok cam02");
    EXPECT_EQ(Ask("add line3 serial=K01 model=VX-300 Luminance=70"), "ok line3");
    const int line3 = usb_->FindCamera("line3");
    ASSERT_GE(line3, 0);
    EXPECT_EQ(usb_->Model(line3).Identity().serial, "K01");
    EXPECT_EQ(usb_->Model(line3).Identity().productModel, "VX-300");
    EXPECT_EQ(Ask("get line3 Luminance"), "ok 70");
    EXPECT_EQ(usb_->Model(usb_->FindCamera("cam02")).Identity().serial, "VMS202400002");

    HidClient host;
    ASSERT_TRUE(host.Connect(dir_ + "/line3.sock"));
    EXPECT_NE(host.Exchange(kCmdDeviceInfo, "").body.find("\"K01\""), std::string::npos);

    EXPECT_EQ(Ask("add line3"), "error line3 exists already");
    EXPECT_EQ(Ask("remove line3"), "ok");
    EXPECT_FALSE(Exists(dir_ + "/line3.sock"));
    EXPECT_EQ(Ask("plug line3"), "error no camera named 'line3'");
    EXPECT_EQ(Ask("list"), "ok cam01:plugged:VMS202400001 cam02:plugged:VMS202400002");
    // The name is free again; the new camera is a new camera.
    EXPECT_EQ(Ask("add line3"), "ok line3");
    EXPECT_EQ(Ask("get line3 Luminance"), "ok 50");
}

TEST_F(SimControlTest, DriftChangesTheCameraWithoutCountingExchanges) {
    HidClient host;
    ASSERT_TRUE(host.Connect(dir_ + "/cam01.sock"));
    EXPECT_EQ(host.Exchange(kCmdGetParams, "{\"Cmd\":\"ReqGetVideoParam\",\"wCmdId\":40001089}").status, 0);
    EXPECT_EQ(host.Exchange(kCmdSetParams, kSetLuminance).status, 0);
    EXPECT_EQ(host.Exchange(kCmdSetParams, kSetLuminance).status, 0);
    EXPECT_EQ(Ask("count cam01"), "ok exchanges=3 reads=1 sets=2");

    EXPECT_EQ(Ask("set cam01 Luminance 80"), "ok 80");
    EXPECT_EQ(Ask("set cam01 BExpCPS -5"), "ok -5");
    EXPECT_EQ(Ask("set cam01 Contrast 300"), "ok 44");  // stored as the camera stores a byte
    EXPECT_EQ(Ask("count cam01"), "ok exchanges=3 reads=1 sets=2");
    // The host reads the drifted value.
    const std::string body = host.Exchange(kCmdGetParams, "{\"Cmd\":\"ReqGetVideoParam\",\"wCmdId\":40001089}").body;
    const size_t at = body.find("\"Luminance\"");
    ASSERT_NE(at, std::string::npos) << body;
    EXPECT_EQ(std::atoi(body.c_str() + body.find(':', at) + 1), 80) << body;
}

TEST_F(SimControlTest, BadCommandsAreAnsweredWithAReason) {
    int status = 0;
    EXPECT_EQ(Ask("", &status), "error empty command; try help");
    EXPECT_EQ(status, 1);
    EXPECT_EQ(Ask("fly cam01"), "error unknown command 'fly'; try help");
    EXPECT_EQ(Ask("unplug"), "error usage: unplug NAME");
    EXPECT_EQ(Ask("set cam01 Luminance"), "error usage: set NAME MEMBER VALUE");
    EXPECT_EQ(Ask("set cam01 Lumi 3"), "error no parameter member 'Lumi'");
    EXPECT_EQ(Ask("set cam01 Luminance 1e3"), "error set needs a whole number, not '1e3'");
    EXPECT_EQ(Ask("unplug cam09"), "error no camera named 'cam09'");
    EXPECT_EQ(Ask("add x colour=red"), "error unknown setting 'colour'");
    EXPECT_EQ(Ask("add ../evil"), "error '../evil' cannot name a camera");
    EXPECT_EQ(Ask("add .hidden"), "error '.hidden' cannot name a camera");
    EXPECT_EQ(Ask("help", &status).rfind("ok commands:", 0), 0u);
    EXPECT_EQ(status, 0);
    // An endless line is refused, and the simulator keeps serving.
    EXPECT_EQ(Ask(std::string(5000, 'x')).rfind("error command line longer than", 0), 0u);
    EXPECT_EQ(Ask("list"), "ok cam01:plugged:VMS202400001");
}

TEST(SimControlClient, NoSimulatorIsSaid) {
    std::string reply;
    EXPECT_EQ(SendControlLine("/nonexistent-camsim-dir", "list", &reply), -1);
    EXPECT_NE(reply.find("no simulator serves /nonexistent-camsim-dir"), std::string::npos);
}

}  // namespace
