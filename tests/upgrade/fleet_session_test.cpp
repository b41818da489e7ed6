// The upgrade session on more cameras than the window's ten rows, in-process against simulated
// cameras: the concurrency cap, the after-flash phase (reboot, reconnect through the camera
// directory, version check) with its failures, the per-camera deadline, and a stop while a
// worker waits for its camera to come back.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "camera/camera_directory.h"
#include "integration/recording_messages.h"
#include "integration/sim_usb_cameras.h"
#include "platform/user_messages.h"
#include "sim/usb_server.h"
#include "transport/usb/device_watcher.h"
#include "transport/usb/sim_hid_backend.h"
#include "upgrade/upgrade_session.h"

using namespace velmora::platform;
using namespace velmora::transport;
using namespace velmora::camera;
using namespace velmora::upgrade;

namespace fs = std::filesystem;
using namespace velmora;
using namespace std::chrono_literals;

namespace {

// Waits for the first row to reach `state` (the observer runs on the workers' threads).
class StateWaiter : public UpgradeObserver {
public:
    UpgradeRowState awaited = UpgradeRowState::Queued;
    void RowChanged(int, const UpgradeRow& row) override {
        std::lock_guard lock(mu_);
        if (row.state == awaited) reached_ = true;
        cv_.notify_all();
    }
    void RowRemoved(int) override {}
    void StatusText(const std::string&) override {}
    void RebootFinished() override {}
    bool Wait() {
        std::unique_lock lock(mu_);
        return cv_.wait_for(lock, 20s, [&] { return reached_; });
    }

private:
    std::mutex mu_;
    std::condition_variable cv_;
    bool reached_ = false;
};

class FleetSessionTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/velmora-fleet-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        SetUserMessages(&messages_);
        package_ = dir_ + "/uImage.dat";
        std::ofstream(package_, std::ios::binary) << std::string(3000, 'u');
    }
    void TearDown() override {
        session_.reset();
        cameras_.reset();
        if (server_) server_->Stop();
        SetUserMessages(nullptr);
        fs::remove_all(dir_);
    }

    // `faults[i]` for camera i + 1; the writing ends with the second progress query and a
    // reboot keeps a camera away 50 ms.
    void Serve(const std::vector<std::vector<std::string>>& faults, UpgradeObserver* observer = nullptr) {
        std::vector<sim::UsbCameraConfig> configs;
        for (size_t i = 0; i < faults.size(); ++i) {
            sim::UsbCameraConfig c = testsim::NumberedUsbCamera(static_cast<int>(i + 1), faults[i]);
            c.model.flashSteps = 2;
            c.rebootMs = 50;
            configs.push_back(std::move(c));
        }
        server_ = std::make_unique<sim::UsbServer>(dir_ + "/usb", std::move(configs));
        std::string error;
        ASSERT_EQ(server_->Start(&error), 0) << error;
        cameras_ = std::make_unique<CameraDirectory>(std::make_unique<SimHidBackend>(dir_ + "/usb"));
        CUSBDevice::Timing t = cameras_->Usb().GetTiming();
        t.settleAfterOpen = 0ms;
        cameras_->Usb().SetTiming(t);
        ASSERT_EQ(cameras_->RefreshUsb(), static_cast<int>(faults.size()));
        std::vector<UsbDeviceEntry> entries;
        for (const UsbListing& l : cameras_->UsbCameras()) entries.push_back(l.entry);
        session_ = std::make_unique<UpgradeSession>(cameras_->Usb(), entries, observer, 0);
        session_->SetPackagePaths({package_});
        session_->SetCameraDirectory(cameras_.get());
    }

    void Watch() { ASSERT_EQ(cameras_->StartWatching(nullptr, MakeSimFolderWatcher(dir_ + "/usb", 40ms)), 0); }

    std::string dir_;
    std::string package_;
    velmora::testing::RecordingMessages messages_;
    std::unique_ptr<sim::UsbServer> server_;
    std::unique_ptr<CameraDirectory> cameras_;
    std::unique_ptr<UpgradeSession> session_;
};

}  // namespace

TEST(UpgradeVersionTest, VersionsCompareByTheirHexadecimalParts) {
    EXPECT_LT(CompareVersionText("1.02", "1.03"), 0);
    EXPECT_GT(CompareVersionText("1.0a", "1.09"), 0);  // the camera prints its number in hexadecimal
    EXPECT_GT(CompareVersionText("2.00", "1.ff"), 0);
    EXPECT_EQ(CompareVersionText("1.3", "1.03"), 0);
    EXPECT_EQ(CompareVersionText("1.03", "1.03.0"), 0);
    EXPECT_NE(CompareVersionText("beta", "1.03"), 0);  // not a number: compared as text
    EXPECT_NE(CompareVersionText("", "1.03"), 0);
    EXPECT_EQ(CompareVersionText("x", "x"), 0);
}

TEST_F(FleetSessionTest, TwelveCamerasThreeAtATimeAreRebootedAndCheckedEachWithItsOwnOutcome) {
    std::vector<std::vector<std::string>> faults(12);
    faults[2] = {"rollback"};
    faults[5] = {"no-return"};
    faults[8] = {"slow-return=300"};
    Serve(faults);
    // Without a watching directory the after-flash phase cannot find a camera again: refused.
    UpgradeOptions options;
    options.jobs = 3;
    options.verify = true;
    options.reconnectTimeout = 1500ms;
    session_->SetOptions(options);
    EXPECT_EQ(session_->Start(), kUpgradeCannotVerify);
    Watch();

    ASSERT_EQ(session_->RowCount(), 12);  // no ten-row limit
    ASSERT_EQ(session_->Start(), 0);
    session_->Join();
    EXPECT_LE(server_->PeakWriters(), 3);
    EXPECT_GE(server_->PeakWriters(), 1);
    for (int i = 0; i < 12; ++i) {
        const UpgradeRow row = session_->Row(i);
        SCOPED_TRACE(i);
        EXPECT_EQ(row.source, i);
        if (i == 2) {
            EXPECT_EQ(row.state, UpgradeRowState::Failed);
            EXPECT_EQ(row.result, kUpgradeVersionUnchanged);
            EXPECT_EQ(row.text, "版本未变");
            EXPECT_EQ(row.versionAfter, "1.02");
        } else if (i == 5) {
            EXPECT_EQ(row.result, kUpgradeNotBack);
            EXPECT_EQ(row.text, "重启后未上线");
            EXPECT_TRUE(row.versionAfter.empty());
        } else {
            EXPECT_EQ(row.state, UpgradeRowState::Verified);
            EXPECT_EQ(row.result, 0);
            EXPECT_EQ(row.versionAfter, "1.03");
            EXPECT_EQ(row.text, "校验通过:版本1.03");
            // The row follows the camera to its new handle, which answers.
            UsbDeviceEntry entry{};
            EXPECT_EQ(cameras_->Usb().IdentifyDevice(row.handle, entry), 0);
            EXPECT_GT(row.seconds[static_cast<int>(UpgradePhase::Reconnecting)], 0.0);
        }
        EXPECT_EQ(server_->Model(static_cast<size_t>(i)).RebootCount(), 1);
    }
}

TEST_F(FleetSessionTest, TheExpectedVersionAndTheDeadlineAreEachTheirOwnFailure) {
    Serve({{}, {"never-flash"}});
    Watch();
    UpgradeOptions options;
    options.verify = true;
    options.expectVersion = "1.05";  // the upgrade brings 1.03
    options.deadline = 800ms;
    session_->SetOptions(options);
    ASSERT_EQ(session_->Start(), 0);
    session_->Join();
    EXPECT_EQ(session_->Row(0).result, kUpgradeVersionMismatch);
    EXPECT_EQ(session_->Row(0).text, "版本不符:1.03");
    EXPECT_EQ(session_->Row(1).result, kUpgradeDeadline);  // still writing when its time was up
    EXPECT_EQ(session_->Row(1).text, "升级超时:0.8秒内未完成");
    EXPECT_EQ(server_->Model(1).RebootCount(), 0);

    // Asked for the version it now has, the first camera passes on the next run.
    options.expectVersion = "1.4";
    options.deadline = 0ms;
    session_->SetOptions(options);
    session_->SetChecked(1, false);
    ASSERT_EQ(session_->Start(), 0);
    session_->Join();
    EXPECT_EQ(session_->Row(0).state, UpgradeRowState::Verified) << session_->Row(0).text;
}

TEST_F(FleetSessionTest, AStopReachesAWorkerWaitingForItsCameraToComeBack) {
    StateWaiter waiter;
    waiter.awaited = UpgradeRowState::Reconnecting;
    Serve({{"no-return"}}, &waiter);
    Watch();
    UpgradeOptions options;
    options.verify = true;
    options.reconnectTimeout = 600s;
    session_->SetOptions(options);
    ASSERT_EQ(session_->Start(), 0);
    ASSERT_TRUE(waiter.Wait());
    session_->RequestStop();
    session_->Join();  // would wait ten minutes if the stop did not wake the wait
    EXPECT_EQ(session_->Row(0).result, kUpgradeStopped);
    EXPECT_EQ(session_->Row(0).text, "停止升级");
}
