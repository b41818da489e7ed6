// The upgrade session against simulated USB cameras served in-process: packages of several
// sizes, two packages in a row, camera failures, stops in either phase, an unplug, reboots, and
// tearing a session down while its workers run.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "integration/recording_messages.h"
#include "integration/sim_usb_cameras.h"
#include "platform/user_messages.h"
#include "sim/usb_server.h"
#include "transport/usb/cusb_device.h"
#include "transport/usb/hid_framing.h"
#include "transport/usb/sim_hid_backend.h"
#include "upgrade/upgrade_session.h"

using namespace velmora::platform;
using namespace velmora::transport;
using namespace velmora::upgrade;

namespace fs = std::filesystem;
using namespace velmora;
using namespace std::chrono_literals;

namespace {

// Records every call; `onChange` runs on the calling thread (tests use it to stop at a point).
class RecordingObserver : public UpgradeObserver {
public:
    struct Event {
        int index;
        UpgradeRow row;
    };
    std::function<void(int, const UpgradeRow&)> onChange;

    void RowChanged(int index, const UpgradeRow& row) override {
        {
            std::lock_guard lock(mu_);
            events_.push_back({index, row});
        }
        if (onChange) onChange(index, row);
        cv_.notify_all();
    }
    void RowRemoved(int index) override {
        std::lock_guard lock(mu_);
        removed_.push_back(index);
    }
    void StatusText(const std::string& text) override {
        std::lock_guard lock(mu_);
        status_ = text;
    }
    void RebootFinished() override {
        {
            std::lock_guard lock(mu_);
            rebootsFinished_++;
        }
        cv_.notify_all();
    }

    // Texts shown in the row that had this handle, in order.
    std::vector<std::string> Texts(int32_t handle) const {
        std::lock_guard lock(mu_);
        std::vector<std::string> out;
        for (const Event& e : events_)
            if (e.row.handle == handle && (out.empty() || out.back() != e.row.text)) out.push_back(e.row.text);
        return out;
    }
    bool WaitReboots(int n) {
        std::unique_lock lock(mu_);
        return cv_.wait_for(lock, 30s, [&] { return rebootsFinished_ >= n; });
    }
    std::vector<int> Removed() const {
        std::lock_guard lock(mu_);
        return removed_;
    }
    std::string Status() const {
        std::lock_guard lock(mu_);
        return status_;
    }

private:
    mutable std::mutex mu_;
    std::condition_variable cv_;
    std::vector<Event> events_;
    std::vector<int> removed_;
    std::string status_;
    int rebootsFinished_ = 0;
};

struct CameraSetup {
    std::vector<std::string> faults;
    int flashSteps = 1;  // the flash ends with this progress query
};

class UpgradeSessionTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/velmora-upgrade-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        fs::create_directory(dir_ + "/pkg");
        SetUserMessages(&messages_);
    }
    void TearDown() override {
        session_.reset();
        usb_.reset();
        if (server_) server_->Stop();
        SetUserMessages(nullptr);
        fs::remove_all(dir_);
    }

    void Serve(const std::vector<CameraSetup>& cameras) {
        std::vector<sim::UsbCameraConfig> configs;
        for (size_t i = 0; i < cameras.size(); ++i) {
            sim::UsbCameraConfig c = testsim::NumberedUsbCamera(static_cast<int>(i + 1), cameras[i].faults);
            c.reportLength = 1024;
            c.model.flashSteps = cameras[i].flashSteps;
            configs.push_back(std::move(c));
        }
        server_ = std::make_unique<sim::UsbServer>(dir_ + "/usb", std::move(configs));
        std::string error;
        ASSERT_EQ(server_->Start(&error), 0) << error;
        usb_ = testsim::OpenSimulatedUsb(dir_ + "/usb");
        CUSBDevice::Timing t = usb_->GetTiming();
        t.replyPhase = 3000ms;
        usb_->SetTiming(t);
        ASSERT_EQ(usb_->RefreshDevices(), static_cast<int>(cameras.size()));
        for (size_t i = 0; i < cameras.size(); ++i) baseline_.push_back(server_->Exchanges(i));
        session_ = std::make_unique<UpgradeSession>(*usb_, usb_->GetDevices(), &observer_);
    }

    std::string Package(const std::string& name, size_t size) {
        const std::string path = dir_ + "/pkg/" + name;
        std::ofstream out(path, std::ios::binary);
        for (size_t i = 0; i < size; ++i) out.put(static_cast<char>(i * 7 + 3));
        return path;
    }

    // Requests camera i received since the session began.
    int64_t Exchanges(size_t i) { return server_->Exchanges(i) - baseline_[i]; }

    void Run(std::vector<std::string> paths) {
        session_->SetPackagePaths(std::move(paths));
        ASSERT_EQ(session_->Start(), 0);
        session_->Join();
        EXPECT_FALSE(session_->Busy());
    }

    std::string dir_;
    velmora::testing::RecordingMessages messages_;
    RecordingObserver observer_;
    std::unique_ptr<sim::UsbServer> server_;
    std::unique_ptr<CUSBDevice> usb_;
    std::unique_ptr<UpgradeSession> session_;
    std::vector<int64_t> baseline_;
};

}  // namespace

TEST_F(UpgradeSessionTest, RowsComeFromTheFirstTenCamerasWithTheirOwnHandles) {
    Serve({{}, {}, {}});
    ASSERT_EQ(session_->RowCount(), 3);
    for (int i = 0; i < 3; ++i) {
        const UpgradeRow row = session_->Row(i);
        UsbDeviceEntry e{};
        ASSERT_TRUE(usb_->GetDevice(i, e));
        EXPECT_EQ(row.handle, e.handle);
        EXPECT_TRUE(row.checked);
        EXPECT_EQ(row.state, UpgradeRowState::Queued);
        EXPECT_TRUE(row.text.empty());
    }
    EXPECT_EQ(session_->Row(0).name, "模拟相机1");  // CP936 identity shown as UTF-8

    std::vector<UsbDeviceEntry> many(12, usb_->GetDevices()[0]);
    UpgradeSession eleven(*usb_, many, nullptr);
    EXPECT_EQ(eleven.RowCount(), kMaxUpgradeRows);
}

TEST_F(UpgradeSessionTest, PackagesAreSentInPiecesOfOneMebibyteAtMost) {
    Serve({{}, {}, {{"accept-empty"}}, {}});
    const std::string exact = Package("uImage.dat", 1048576);
    const std::string over = Package("rootfs.dat", 1048577);
    const std::string empty = Package("empty.dat", 0);

    // Each camera gets its own package; unchecked rows are left alone (a start queues every row
    // again, so each run is checked at once).
    auto runOn = [&](std::vector<int> rows, const std::string& package) {
        for (int i = 0; i < 4; ++i)
            session_->SetChecked(i, std::find(rows.begin(), rows.end(), i) != rows.end());
        Run({package});
        for (int i : rows) {
            if (i == 3) continue;
            EXPECT_EQ(session_->Row(i).state, UpgradeRowState::Done) << i;
            EXPECT_EQ(session_->Row(i).text, "升级成功.") << i;
            EXPECT_TRUE(session_->Row(i).checked) << i;
        }
    };
    runOn({0}, exact);
    runOn({1}, over);

    // An empty package is refused when it is loaded, even for a camera that would accept it.
    session_->SetPackagePaths({exact, empty});
    EXPECT_EQ(session_->Start(), kUpgradeLoadFailed);
    EXPECT_EQ(messages_.shown, std::vector<std::string>{"升级包为空:" + empty});

    EXPECT_EQ(Exchanges(0), 3);  // request, one data command, one progress query
    EXPECT_EQ(Exchanges(1), 4);  // request, 1048576 + 1 bytes, one query
    EXPECT_EQ(server_->Model(1).Upgrade().fileSize, 1048577u);
    EXPECT_EQ(Exchanges(2) + Exchanges(3), 0);
    for (size_t i = 0; i < 2; ++i) EXPECT_EQ(server_->Model(i).Upgrade().packagesDone, 1) << i;
    const int32_t h1 = session_->Row(1).handle;
    const std::vector<std::string> expected = {"请求升级[rootfs]...", "发送升级包[rootfs]..", "升级[rootfs]: 99%",
                                               "升级[rootfs]: 100%", "升级成功."};
    EXPECT_EQ(observer_.Texts(h1), expected);

}

TEST_F(UpgradeSessionTest, EachOfTwoPackagesIsFollowedUntilTheCameraHasWrittenIt) {
    // Camera 2's data replies carry no UpdateStatus: the 2 that ended the first package must not
    // end the second one before the camera was asked.
    Serve({{{}, 3}, {{"no-status,phase=data"}, 2}});
    Run({Package("uboot.dat", 5000), Package("app.dat", 70000)});
    for (size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(server_->Model(i).Upgrade().packagesDone, 2) << i;
        EXPECT_EQ(session_->Row(static_cast<int>(i)).state, UpgradeRowState::Done);
        EXPECT_EQ(session_->Row(static_cast<int>(i)).text, "升级成功.");
    }
    EXPECT_EQ(Exchanges(0), 2 * (2 + 3));
    const std::vector<std::string> expected = {
        "请求升级[uboot]...", "发送升级包[uboot]..", "升级[uboot]: 100%", "升级[uboot](烧写中):50%", "升级成功.",
        "请求升级[2]...",     "发送升级包[2]..",     "升级[2]: 100%",     "升级[2](烧写中):50%",     "升级成功."};
    EXPECT_EQ(observer_.Texts(session_->Row(1).handle), expected);

    // An empty package list: the rows are queued and claimed, nothing is sent.
    messages_.shown.clear();
    Run({});
    EXPECT_EQ(Exchanges(1), 2 * (2 + 2));
    EXPECT_EQ(session_->Row(1).state, UpgradeRowState::Queued);
    EXPECT_TRUE(messages_.shown.empty());
}

TEST_F(UpgradeSessionTest, CameraFailuresEndOnlyTheirOwnRow) {
    Serve({{},
           {{"neg-progress=-5,phase=data"}},
           {{"refuse=-7,cmd=30001008"}},
           {{"unplug=1,cmd=3004"}},
           {{"neg-progress=-9,phase=progress"}}});
    Run({Package("ExtRootfs.dat", 1048577), Package("uimage.dat", 10)});
    const int32_t h1 = session_->Row(1).handle, h3 = session_->Row(3).handle;

    EXPECT_EQ(session_->Row(0).text, "升级成功.");
    EXPECT_EQ(session_->Row(0).state, UpgradeRowState::Done);
    EXPECT_EQ(server_->Model(0).Upgrade().packagesDone, 2);

    EXPECT_EQ(session_->Row(1).text, "升级[extrootfs]返回失败:-5");
    EXPECT_EQ(Exchanges(1), 2);  // the request and the first data command: nothing more
    EXPECT_EQ(session_->Row(2).text, "请求升级失败:-7");
    EXPECT_EQ(Exchanges(2), 1);
    const std::string unplugged = session_->Row(3).text;
    EXPECT_EQ(unplugged.rfind("升级[extrootfs]失败:-", 0), 0u) << unplugged;
    EXPECT_EQ(session_->Row(4).text, "升级返回失败:-9");
    for (int i = 1; i <= 4; ++i) {
        EXPECT_EQ(session_->Row(i).state, UpgradeRowState::Failed) << i;
        EXPECT_TRUE(session_->Row(i).checked) << i;  // checked again at the end
    }
    // The failed rows never reached the second package.
    for (int32_t h : {h1, h3})
        for (const std::string& t : observer_.Texts(h)) EXPECT_EQ(t.find("uimage"), std::string::npos) << t;
}

// A camera that stands still while writing (stuck at 99 %, or never reporting UpdateStatus) fails
// once the watchdog sees no change; a refusal carried only in a data reply's nResult fails at once.
TEST_F(UpgradeSessionTest, StalledOrRefusingCamerasFailInsteadOfRunningForEver) {
    Serve({{{"never-flash"}, 0}, {{"no-status,phase=progress"}}, {{"refuse-result=-11,cmd=3004"}}, {{}, 3}});
    session_->SetStallLimit(600ms);
    session_->SetPackagePaths({Package("rootfs.dat", 100)});
    ASSERT_EQ(session_->Start(), 0);
    for (int i = 0; i < 100 && session_->Busy(); ++i) std::this_thread::sleep_for(100ms);
    session_->RequestStop();  // a worker still running here is the fault itself
    session_->Join();
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(session_->Row(i).state, UpgradeRowState::Failed) << i;
        EXPECT_EQ(session_->Row(i).result, kUpgradeStalled) << i;
        EXPECT_EQ(session_->Row(i).text, "升级[rootfs]超时:进度0秒无变化") << i;
    }
    EXPECT_EQ(session_->Row(2).text, "升级[rootfs]失败:-11");
    EXPECT_EQ(session_->Row(2).result, -11);
    EXPECT_EQ(Exchanges(2), 2);  // nothing asked after the refusal
    EXPECT_EQ(session_->Row(3).text, "升级成功.");  // a camera that moves slowly is left alone
}

TEST_F(UpgradeSessionTest, StopEndsTheDataPhaseAfterTheCommandInFlight) {
    Serve({{}, {}});
    session_->SetChecked(1, false);
    const std::string big = Package("rootfs.dat", 3 * 1048576);
    observer_.onChange = [&](int, const UpgradeRow& row) {
        if (row.text.find("升级[rootfs]: ") == 0) {
            // A row is sending: neither a second start nor a reboot may run now.
            EXPECT_EQ(session_->Start(), kUpgradeBusy);
            EXPECT_EQ(session_->StartReboot(), kUpgradeBusy);
            EXPECT_TRUE(session_->Busy());
            session_->RequestStop();
        }
    };
    Run({big, Package("uboot.dat", 10)});
    EXPECT_EQ(session_->Row(0).text, "停止升级");
    EXPECT_EQ(session_->Row(0).state, UpgradeRowState::Failed);
    EXPECT_EQ(Exchanges(0), 2);  // the request and the one data command in flight
    EXPECT_EQ(Exchanges(1), 0);
}

TEST_F(UpgradeSessionTest, StopEndsTheFlashingPhaseAndACameraThatNeverFinishes) {
    Serve({{{"never-flash"}, 0}, {{"never-flash"}, 0}});
    std::atomic<int> flashing{0};
    observer_.onChange = [&](int, const UpgradeRow& row) {
        if (row.state == UpgradeRowState::Flashing && row.text.find("烧写中") != std::string::npos) {
            EXPECT_FALSE(row.checked);  // unchecked while the camera writes
            if (++flashing == 2) session_->RequestStop();
        }
    };
    Run({Package("a.dat", 100), Package("b.dat", 100)});
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(session_->Row(i).text, "停止升级");
        EXPECT_EQ(session_->Row(i).state, UpgradeRowState::Failed);
        EXPECT_TRUE(session_->Row(i).checked);
        EXPECT_EQ(server_->Model(static_cast<size_t>(i)).Upgrade().fileSize, 100u);  // only the first
    }
    // A start after the stop runs a new worker; the camera, still writing, refuses the request.
    observer_.onChange = nullptr;
    session_->SetChecked(1, false);
    Run({Package("c.dat", 10)});
    EXPECT_EQ(session_->Row(0).text, "请求升级失败:" + std::to_string(sim::kErrBusy));
    EXPECT_EQ(session_->Row(1).state, UpgradeRowState::Queued);
}

TEST_F(UpgradeSessionTest, AStartWhileACameraWritesSkipsItAndAStopStillReachesIt) {
    Serve({{{"never-flash"}, 0}, {}});
    session_->SetChecked(1, false);
    std::mutex mu;
    std::condition_variable cv;
    bool writing = false;
    observer_.onChange = [&](int index, const UpgradeRow& row) {
        if (index == 0 && row.text.find("烧写中") != std::string::npos) {
            std::lock_guard lock(mu);
            writing = true;
            cv.notify_all();
        }
    };
    session_->SetPackagePaths({Package("a.dat", 10)});
    ASSERT_EQ(session_->Start(), 0);
    {
        std::unique_lock lock(mu);
        ASSERT_TRUE(cv.wait_for(lock, 60s, [&] { return writing; }));
    }
    // Camera 1 writes: a second start leaves it to its worker and upgrades camera 2 only.
    session_->SetChecked(1, true);
    ASSERT_EQ(session_->Start(), 0);
    EXPECT_FALSE(session_->Row(0).checked);
    while (session_->RunningWorkers() > 1) std::this_thread::sleep_for(10ms);
    EXPECT_EQ(session_->Row(1).text, "升级成功.");
    EXPECT_EQ(session_->Row(0).state, UpgradeRowState::Flashing);
    EXPECT_FALSE(session_->Idle());
    session_->RequestStop();  // reaches the first start's worker too
    session_->Join();
    EXPECT_TRUE(session_->Idle());
    EXPECT_EQ(session_->Row(0).text, "停止升级");
    observer_.onChange = nullptr;
}

TEST_F(UpgradeSessionTest, DestroyingTheSessionStopsAndJoinsItsWorkers) {
    Serve({{{"never-flash"}, 0}, {{"stall=200,cmd=3004"}}, {}});
    std::mutex mu;
    std::condition_variable cv;
    bool flashing = false;
    observer_.onChange = [&](int, const UpgradeRow& row) {
        if (row.state == UpgradeRowState::Flashing) {
            std::lock_guard lock(mu);
            flashing = true;
            cv.notify_all();
        }
    };
    session_->SetPackagePaths({Package("a.dat", 3 * 1048576)});
    ASSERT_EQ(session_->Start(), 0);
    {
        std::unique_lock lock(mu);
        ASSERT_TRUE(cv.wait_for(lock, 60s, [&] { return flashing; }));
    }
    EXPECT_GT(session_->RunningWorkers(), 0);
    session_.reset();  // one worker polls, one may still send: both end and are joined
    observer_.onChange = nullptr;
}

TEST_F(UpgradeSessionTest, RebootRemovesTheRebootedRowsAndKeepsTheOthers) {
    Serve({{}, {{"refuse=-7,cmd=30001008"}}, {}, {{"refuse=-3,cmd=40001086"}}});
    Run({Package("a.dat", 10)});
    const int32_t h0 = session_->Row(0).handle, h1 = session_->Row(1).handle, h2 = session_->Row(2).handle;
    session_->SetChecked(1, false);
    ASSERT_EQ(session_->StartReboot(), 0);
    ASSERT_TRUE(observer_.WaitReboots(1));
    session_->Join();
    EXPECT_FALSE(session_->Rebooting());

    // Last to first: row 4 refused and stays, rows 3 and 1 went; row 2 keeps handle and state.
    EXPECT_EQ(observer_.Removed(), (std::vector<int>{2, 0}));
    ASSERT_EQ(session_->RowCount(), 2);
    EXPECT_EQ(session_->Row(0).handle, h1);
    EXPECT_EQ(session_->Row(0).state, UpgradeRowState::Failed);
    EXPECT_EQ(session_->Row(0).text, "请求升级失败:-7");
    EXPECT_EQ(session_->Row(1).text, "重启失败");
    EXPECT_EQ(observer_.Texts(h0).back(), "设备已经重启");
    EXPECT_EQ(observer_.Status(), "重启成功的设备将从列表删除，稍后请重新手动刷新.");
    // The simulated camera counts its reboot once its reply is out, so the count may trail.
    const auto rebooted = [&] { return server_->Model(0).RebootCount() + server_->Model(2).RebootCount(); };
    for (int i = 0; i < 500 && rebooted() < 2; ++i) std::this_thread::sleep_for(10ms);
    EXPECT_EQ(rebooted(), 2);
    // The rebooted cameras' handles are closed.
    int received = 0;
    EXPECT_EQ(usb_->Transfer(h2, 40001207, nullptr, 0, nullptr, 0, &received, 1), kUsbInvalidHandle);

    // With nothing checked a reboot sends nothing and only writes the status line.
    session_->SetChecked(0, false);
    session_->SetChecked(1, false);
    const int64_t before = Exchanges(1);
    ASSERT_EQ(session_->StartReboot(), 0);
    ASSERT_TRUE(observer_.WaitReboots(2));
    session_->Join();
    EXPECT_EQ(Exchanges(1), before);
    EXPECT_EQ(session_->RowCount(), 2);
}

TEST_F(UpgradeSessionTest, PackageFilesThatCannotBeReadStopTheStart) {
    Serve({});
    EXPECT_EQ(session_->RowCount(), 0);
    // No camera: the packages are still read, no worker starts.
    const std::string good = Package("uboot.dat", 10);
    session_->SetPackagePaths({good, dir_ + "/pkg/missing.dat"});
    EXPECT_EQ(session_->Start(), kUpgradeLoadFailed);
    ASSERT_EQ(messages_.shown.size(), 1u);
    EXPECT_EQ(messages_.shown[0], "无法打开文件:" + dir_ + "/pkg/missing.dat");

    // A folder or a FIFO opens but is no package (a FIFO must not hang the start).
    ASSERT_EQ(::mkfifo((dir_ + "/pkg/fifo.dat").c_str(), 0600), 0);
    for (const char* name : {"", "/fifo.dat"}) {
        messages_.shown.clear();
        session_->SetPackagePaths({dir_ + "/pkg" + name});
        EXPECT_EQ(session_->LoadPackages(), kUpgradeLoadFailed);
        EXPECT_EQ(messages_.shown, std::vector<std::string>{"文件读取失败！\n" + dir_ + "/pkg" + name + ": not a regular file"});
    }

    // 4 GiB cannot be told in the 32-bit FileSize: refused before anything is read.
    const std::string huge = dir_ + "/pkg/huge.dat";
    {
        const int fd = ::open(huge.c_str(), O_CREAT | O_WRONLY, 0600);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::ftruncate(fd, 4294967296LL), 0);  // sparse
        ::close(fd);
    }
    session_->SetPackagePaths({huge});
    EXPECT_EQ(session_->LoadPackages(), kUpgradeLoadFailed);
    EXPECT_NE(messages_.shown.back().find(huge), std::string::npos);
    EXPECT_NE(messages_.shown.back().find("4GB"), std::string::npos);

    session_->SetPackagePaths({good});
    EXPECT_EQ(session_->Start(), 0);
    session_->Join();
    ASSERT_EQ(session_->Packages()->size(), 1u);
    EXPECT_EQ(session_->Packages()->at(0).typeName, "uboot");
    EXPECT_EQ(session_->RunningWorkers(), 0);
}
