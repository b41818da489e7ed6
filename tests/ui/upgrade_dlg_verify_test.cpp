// The upgrade window's "完成后重启并校验版本" on simulated cameras followed by a camera directory:
// off by default (a start does what it always did), on it takes every camera through reboot,
// reconnection and the version check, with the counts in the status line.
// The fixture first: it includes the simulator before Qt.
#include "ui/upgrade_dlg_fixture.h"

#include <QCheckBox>

#include "camera/camera_directory.h"
#include "transport/usb/device_watcher.h"

using namespace velmora::transport;
using namespace velmora::camera;

using namespace velmora;
using namespace velmora::ui;
using namespace velmora::ui::test;

namespace {

class UpgradeDlgVerifyTest : public UpgradeDlgTest {
protected:
    void TearDown() override {
        dlg_.reset();
        cameras_.reset();
        UpgradeDlgTest::TearDown();
    }

    // Three cameras that write at once and come back 50 ms after a reboot; the third comes
    // back with its old firmware.
    void ServeFollowed() {
        std::vector<sim::UsbCameraConfig> configs;
        for (int n = 1; n <= 3; ++n) {
            sim::UsbCameraConfig c = testsim::NumberedUsbCamera(n, n == 3 ? std::vector<std::string>{"rollback"}
                                                                           : std::vector<std::string>{});
            c.model.flashMs = 0;
            c.rebootMs = 50;
            configs.push_back(std::move(c));
        }
        server_ = std::make_unique<sim::UsbServer>(dir_ + "/sock", std::move(configs));
        std::string error;
        ASSERT_EQ(server_->Start(&error), 0) << error;
        cameras_ = std::make_unique<CameraDirectory>(std::make_unique<SimHidBackend>(dir_ + "/sock"));
        ASSERT_EQ(cameras_->RefreshUsb(), 3);
        ASSERT_EQ(cameras_->StartWatching(nullptr, MakeSimFolderWatcher(dir_ + "/sock", 40ms)), 0);
        std::vector<UsbDeviceEntry> entries;
        for (const UsbListing& l : cameras_->UsbCameras()) entries.push_back(l.entry);
        dlg_ = std::make_unique<CUpgradeDlg>(cameras_->Usb(), entries, nullptr, cameras_.get());
        dlg_->SetPackageChooser([this](QWidget*) { return nextChoice_; });
        dlg_->show();
    }

    std::unique_ptr<CameraDirectory> cameras_;
};

}  // namespace

TEST_F(UpgradeDlgVerifyTest, TheCheckBoxTakesEachCameraThroughRebootAndVersionCheck) {
    ServeFollowed();
    QCheckBox* box = dlg_->VerifyBox();
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(box->text(), QStringLiteral("完成后重启并校验版本"));
    EXPECT_EQ(box->accessibleName(), box->text());
    EXPECT_FALSE(box->isChecked());
    EXPECT_GT(box->geometry().top(), dlg_->PackageList()->geometry().bottom());  // under the package list

    // Off: the given behaviour, no reboot and no count.
    Choose({Package("uImage.dat", 4000)});
    Button(ids::kStartStopButton)->click();
    ASSERT_TRUE(WaitUntil([&] { return Idle(); }));
    EXPECT_EQ(dlg_->StateTexts(), (QStringList{kDone, kDone, kDone}));
    EXPECT_EQ(server_->Model(0).RebootCount(), 0);
    EXPECT_TRUE(dlg_->StatusLine()->text().isEmpty());

    // On: the second package written makes 1.04 after the reboot, except on the third camera.
    box->setChecked(true);
    Button(ids::kStartStopButton)->click();
    EXPECT_FALSE(box->isEnabled());
    ASSERT_TRUE(WaitUntil([&] { return Idle(); }));
    EXPECT_TRUE(box->isEnabled());
    EXPECT_EQ(dlg_->StateTexts(),
              (QStringList{QStringLiteral("校验通过:版本1.04"), QStringLiteral("校验通过:版本1.04"), QStringLiteral("版本未变")}));
    EXPECT_EQ(Cell(0, upgrade_columns::kBiosVersion), QStringLiteral("1.04"));
    EXPECT_EQ(Cell(2, upgrade_columns::kBiosVersion), QStringLiteral("1.02"));
    EXPECT_EQ(dlg_->StatusLine()->text(), QStringLiteral("已校验 2 台，失败 1 台"));
    for (size_t i = 0; i < 3; ++i) EXPECT_EQ(server_->Model(i).RebootCount(), 1);
    // The rows now use the cameras' new handles: a reboot from the window reaches them.
    Button(ids::kRebootButton)->click();
    ASSERT_TRUE(WaitUntil([&] { return !dlg_->Session().Rebooting(); }));
    EXPECT_EQ(dlg_->DeviceList()->rowCount(), 0);
}
