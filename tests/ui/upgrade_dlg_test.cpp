// The firmware upgrade window against simulated USB cameras served in-process through the
// simulator's sockets in a temporary folder.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

// Before Qt: the simulator names a member "forever", which Qt defines as a keyword.
#include "sim/usb_server.h"

#include <QCoreApplication>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QTableWidget>
#include <QTimer>

#include "transport/usb/cusb_device.h"
#include "transport/usb/sim_hid_backend.h"
#include "ui/ui_test_support.h"
#include "ui/upgrade/upgrade_dlg.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using namespace velmora;
using namespace velmora::ui;
namespace ids = velmora::ui::upgrade_ids;

namespace {

const QString kDone = QStringLiteral("升级成功.");

// Spins the window's event loop until `done` holds; the limit only keeps a broken run from
// hanging the suite.
bool WaitUntil(const std::function<bool()>& done, std::chrono::seconds limit = 60s) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

int ThreadCount() {
    int n = 0;
    for ([[maybe_unused]] const auto& e : fs::directory_iterator("/proc/self/task")) ++n;
    return n;
}

struct CamSetup {
    std::vector<std::string> faults;
    int flashMs = 200;
};

class UpgradeDlgTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/velmora-upgwin-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override {
        dlg_.reset();
        dev_.reset();
        if (server_) server_->Stop();
        fs::remove_all(dir_);
    }

    void Serve(const std::vector<CamSetup>& cams) {
        std::vector<sim::UsbCameraConfig> configs;
        for (size_t i = 0; i < cams.size(); ++i) {
            sim::UsbCameraConfig c;
            c.name = "cam" + std::string(i + 1 < 10 ? "0" : "") + std::to_string(i + 1);
            c.model.identity = sim::CameraModel::DefaultIdentity(static_cast<int>(i + 1));
            c.model.flashMs = cams[i].flashMs;
            c.rebootMs = 60000;  // a rebooted camera stays away for the rest of the test
            for (const std::string& text : cams[i].faults) {
                sim::Fault f;
                std::string error;
                ASSERT_EQ(sim::ParseFault(text, &f, &error), 0) << error;
                c.faults.push_back(f);
            }
            configs.push_back(std::move(c));
        }
        fs::create_directories(dir_ + "/sock");
        server_ = std::make_unique<sim::UsbServer>(dir_ + "/sock", std::move(configs));
        std::string error;
        ASSERT_EQ(server_->Start(&error), 0) << error;
        dev_ = std::make_unique<CUSBDevice>(std::make_unique<SimHidBackend>(dir_ + "/sock"));
        CUSBDevice::Timing t = dev_->GetTiming();
        t.settleAfterOpen = 0ms;
        t.retryAfterFailedInfo = 0ms;
        dev_->SetTiming(t);
        dev_->SetVendorFilter(0, nullptr);
        ASSERT_EQ(dev_->RefreshDevices(), static_cast<int>(cams.size()));
        devices_ = dev_->GetDevices();
    }

    void Open(std::vector<UsbDeviceEntry> devices) {
        if (!dev_) dev_ = std::make_unique<CUSBDevice>(std::make_unique<SimHidBackend>(dir_ + "/none"));
        dlg_ = std::make_unique<CUpgradeDlg>(*dev_, std::move(devices));
        dlg_->SetPackageChooser([this](QWidget*) {
            ++chooserCalls_;
            return nextChoice_;
        });
        dlg_->show();
    }

    std::string Package(const std::string& name, size_t size) {
        const std::string path = dir_ + "/" + name;
        std::vector<char> bytes(size);
        for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(i * 7);
        std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(size));
        return path;
    }

    void Choose(const std::vector<std::string>& paths) {
        QStringList list;
        for (const std::string& p : paths) list << QString::fromStdString(p);
        nextChoice_ = list;
        Button(ids::kBrowseButton)->click();
    }

    QPushButton* Button(int id) const { return dlg_->Button(id); }
    QString Caption() const { return Button(ids::kStartStopButton)->text(); }
    bool Idle() const {
        return Caption() == CUpgradeDlg::kStartText && Button(ids::kBrowseButton)->isEnabled() &&
               Button(ids::kRebootButton)->isEnabled();
    }
    QString Cell(int row, int column) const { return dlg_->DeviceList()->item(row, column)->text(); }
    QTableWidgetItem* NumberItem(int row) const { return dlg_->DeviceList()->item(row, upgrade_columns::kNumber); }

    test::RecordingMessages messages_;
    std::string dir_;
    std::unique_ptr<sim::UsbServer> server_;
    std::unique_ptr<CUSBDevice> dev_;
    std::vector<UsbDeviceEntry> devices_;
    std::unique_ptr<CUpgradeDlg> dlg_;
    std::optional<QStringList> nextChoice_;
    int chooserCalls_ = 0;
};

}  // namespace

TEST_F(UpgradeDlgTest, AWholeRunFromIdleThroughRunningBackToIdle) {
    // Camera 2 is left unchecked by the user; camera 3 reports -5 on its first data reply.
    Serve({{}, {}, {{"neg-progress=-5,phase=data"}}});
    Open(devices_);
    EXPECT_EQ(dlg_->windowTitle(), QStringLiteral("升级"));
    EXPECT_TRUE(dlg_->isModal());
    EXPECT_EQ(dlg_->Note()->text(), QStringLiteral("PS:如果设备被拔出，请重新刷新列表."));
    EXPECT_TRUE(Idle());

    // Choosing replaces the whole list; cancelling keeps it.
    Choose({Package("first.dat", 10)});
    const std::string app = Package("app_UImage.dat", 2 * 1048576 + 5);
    const std::string rootfs = Package("rootfs.dat", 70000);
    Choose({app, rootfs});
    nextChoice_.reset();
    Button(ids::kBrowseButton)->click();
    EXPECT_EQ(chooserCalls_, 3);
    ASSERT_EQ(dlg_->PackageList()->count(), 2);
    EXPECT_EQ(dlg_->PackageList()->item(0)->text().toStdString(), app);
    EXPECT_EQ(dlg_->Session().PackagePaths(), (std::vector<std::string>{app, rootfs}));

    NumberItem(1)->setCheckState(Qt::Unchecked);
    EXPECT_FALSE(dlg_->Session().Row(1).checked);

    Button(ids::kStartStopButton)->click();
    EXPECT_EQ(Caption(), CUpgradeDlg::kStopText);
    EXPECT_FALSE(Button(ids::kBrowseButton)->isEnabled());
    EXPECT_FALSE(Button(ids::kRebootButton)->isEnabled());

    ASSERT_TRUE(WaitUntil([&] { return Idle(); }));
    EXPECT_FALSE(dlg_->Timer()->isActive());
    EXPECT_EQ(dlg_->StateTexts(), (QStringList{kDone, QString(), QStringLiteral("升级[uimage]返回失败:-5")}));
    // Finished and failed rows are checked again; the user's unchecked row stays unchecked.
    EXPECT_EQ(NumberItem(0)->checkState(), Qt::Checked);
    EXPECT_EQ(NumberItem(1)->checkState(), Qt::Unchecked);
    EXPECT_EQ(NumberItem(2)->checkState(), Qt::Checked);
    EXPECT_EQ(server_->Model(0).Upgrade().state, sim::UpgradeState::Done);
    EXPECT_EQ(server_->Model(1).Upgrade().state, sim::UpgradeState::Idle);
    EXPECT_TRUE(messages_.shown.empty());
}

TEST_F(UpgradeDlgTest, StopDuringTheDataPhaseEndsTheRunWithTheStopText) {
    // Every data command answers late, so the stop lands while the camera receives data.
    Serve({{{"stall=300,cmd=3004"}}});
    Open(devices_);
    Choose({Package("big.dat", 6 * 1048576)});
    Button(ids::kStartStopButton)->click();
    ASSERT_TRUE(WaitUntil([&] { return dlg_->Session().Row(0).state == UpgradeRowState::Sending; }));
    Button(ids::kStartStopButton)->click();
    EXPECT_EQ(Caption(), CUpgradeDlg::kStopText);  // back only on a later tick
    ASSERT_TRUE(WaitUntil([&] { return Idle(); }));
    EXPECT_EQ(dlg_->StateTexts(), QStringList{CUpgradeDlg::kStopText});
    EXPECT_EQ(NumberItem(0)->checkState(), Qt::Checked);
}

TEST_F(UpgradeDlgTest, RowsFollowTheHandedInListUpToTenCameras) {
    std::vector<CamSetup> eleven(11);
    Serve(eleven);
    Open(devices_);
    QTableWidget* list = dlg_->DeviceList();
    ASSERT_EQ(list->rowCount(), kMaxUpgradeRows);
    ASSERT_EQ(dlg_->Session().RowCount(), kMaxUpgradeRows);
    for (int i = 0; i < kMaxUpgradeRows; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(Cell(i, upgrade_columns::kNumber), QString::number(i + 1));
        EXPECT_EQ(NumberItem(i)->checkState(), Qt::Checked);
        EXPECT_EQ(dlg_->Session().Row(i).handle, devices_[i].handle);
        EXPECT_EQ(Cell(i, upgrade_columns::kName), QStringLiteral("模拟相机%1").arg(i + 1));
    }

    // Without packages a start claims the rows, sends nothing and the next tick ends the run.
    Button(ids::kStartStopButton)->click();
    EXPECT_EQ(Caption(), CUpgradeDlg::kStopText);
    ASSERT_TRUE(WaitUntil([&] { return Idle(); }));
    for (int i = 0; i < 10; ++i) EXPECT_EQ(server_->Model(i).Upgrade().state, sim::UpgradeState::Idle);
}

TEST_F(UpgradeDlgTest, WithoutCamerasAStartStillReadsThePackages) {
    Open({});
    EXPECT_EQ(dlg_->DeviceList()->rowCount(), 0);
    const std::string missing = dir_ + "/missing.dat";
    Choose({missing});
    Button(ids::kStartStopButton)->click();
    EXPECT_EQ(messages_.shown, std::vector<std::string>{"无法打开文件:" + missing});
    EXPECT_TRUE(Idle());
    EXPECT_FALSE(dlg_->Timer()->isActive());

    Choose({Package("ok.dat", 100)});
    Button(ids::kStartStopButton)->click();
    EXPECT_EQ(Caption(), CUpgradeDlg::kStopText);
    ASSERT_TRUE(WaitUntil([&] { return Idle(); }));
    EXPECT_EQ(messages_.shown.size(), 1u);
}

TEST_F(UpgradeDlgTest, RebootingRowsOneAndThreeLeavesTheFormerRowTwo) {
    // Camera 2 refuses the reboot command.
    Serve({{}, {{"refuse=-7,cmd=40001086"}}, {}});
    Open(devices_);
    NumberItem(1)->setCheckState(Qt::Unchecked);
    Button(ids::kRebootButton)->click();
    for (int id : {ids::kBrowseButton, ids::kStartStopButton, ids::kRebootButton}) EXPECT_FALSE(Button(id)->isEnabled());
    ASSERT_TRUE(WaitUntil([&] { return Button(ids::kRebootButton)->isEnabled(); }));
    EXPECT_TRUE(Idle());
    const QString statusText = QStringLiteral("重启成功的设备将从列表删除，稍后请重新手动刷新.");
    EXPECT_EQ(dlg_->StatusLine()->text(), statusText);
    ASSERT_EQ(dlg_->DeviceList()->rowCount(), 1);
    EXPECT_EQ(Cell(0, upgrade_columns::kNumber), QStringLiteral("2"));  // numbers are kept
    EXPECT_EQ(Cell(0, upgrade_columns::kName), QStringLiteral("模拟相机2"));
    ASSERT_EQ(dlg_->Session().RowCount(), 1);
    EXPECT_EQ(dlg_->Session().Row(0).handle, devices_[1].handle);
    // The rebooted cameras' handles are closed.
    int received = 0;
    EXPECT_EQ(dev_->Transfer(devices_[0].handle, 40001207, nullptr, 0, nullptr, 0, &received, 1), -304);
    EXPECT_EQ(dev_->Transfer(devices_[2].handle, 40001207, nullptr, 0, nullptr, 0, &received, 1), -304);

    // The refusing camera keeps its row with the failure text.
    dlg_->StatusLine()->clear();
    NumberItem(0)->setCheckState(Qt::Checked);
    Button(ids::kRebootButton)->click();
    ASSERT_TRUE(WaitUntil([&] { return Button(ids::kRebootButton)->isEnabled(); }));
    ASSERT_EQ(dlg_->DeviceList()->rowCount(), 1);
    EXPECT_EQ(Cell(0, upgrade_columns::kState), QStringLiteral("重启失败"));
    EXPECT_EQ(dlg_->StatusLine()->text(), statusText);
}

TEST_F(UpgradeDlgTest, ClosingWhileWorkersRunStopsAndJoinsThem) {
    // Cameras that never finish writing keep their workers polling until stopped.
    Serve({{{}, 600000}, {{}, 600000}, {{"stall=300,cmd=3004"}, 600000}});
    const int baseline = ThreadCount();
    Open(devices_);
    Choose({Package("pkg.dat", 3 * 1048576)});
    Button(ids::kStartStopButton)->click();
    ASSERT_TRUE(WaitUntil([&] {
        return dlg_->Session().Row(0).state == UpgradeRowState::Flashing &&
               dlg_->Session().Row(1).state == UpgradeRowState::Flashing;
    }));
    EXPECT_EQ(NumberItem(0)->checkState(), Qt::Unchecked);  // the worker's uncheck is shown
    dlg_->close();
    EXPECT_EQ(dlg_->Session().RunningWorkers(), 0);
    EXPECT_FALSE(dlg_->Session().Busy());
    dlg_.reset();
    EXPECT_TRUE(WaitUntil([&] { return ThreadCount() <= baseline; }, 10s)) << ThreadCount() << " > " << baseline;

    // Destroyed right after a start, without the event loop running: the workers waiting for the
    // window are released and joined.
    Open(devices_);
    Choose({Package("pkg2.dat", 3 * 1048576)});
    Button(ids::kStartStopButton)->click();
    std::this_thread::sleep_for(50ms);
    dlg_.reset();
    EXPECT_TRUE(WaitUntil([&] { return ThreadCount() <= baseline; }, 10s)) << ThreadCount() << " > " << baseline;

    // Rejected (Escape) during a reboot: the reboot thread is joined as well.
    Open(devices_);
    Button(ids::kRebootButton)->click();
    dlg_->reject();
    EXPECT_FALSE(dlg_->Session().Rebooting());
    dlg_.reset();
}
