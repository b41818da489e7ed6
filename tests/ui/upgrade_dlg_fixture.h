#pragma once

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
#include "integration/sim_usb_cameras.h"

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

// The upgrade window over simulated USB cameras served in-process through the simulator's
// sockets in a temporary folder, with a package chooser that needs no dialog.
namespace velmora::ui::test {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
namespace ids = upgrade_ids;

inline const QString kDone = QStringLiteral("升级成功.");

// Spins the window's event loop until `done` holds; the limit only keeps a broken run from
// hanging the suite.
inline bool WaitUntil(const std::function<bool()>& done, std::chrono::seconds limit = 60s) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

inline int ThreadCount() {
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
            sim::UsbCameraConfig c = testsim::NumberedUsbCamera(static_cast<int>(i + 1), cams[i].faults);
            c.model.flashMs = cams[i].flashMs;
            c.rebootMs = 60000;  // a rebooted camera stays away for the rest of the test
            configs.push_back(std::move(c));
        }
        fs::create_directories(dir_ + "/sock");
        server_ = std::make_unique<sim::UsbServer>(dir_ + "/sock", std::move(configs));
        std::string error;
        ASSERT_EQ(server_->Start(&error), 0) << error;
        dev_ = testsim::OpenSimulatedUsb(dir_ + "/sock");
        ASSERT_EQ(dev_->RefreshDevices(), static_cast<int>(cams.size()));
        devices_ = dev_->GetDevices();
    }

    void Open(std::vector<transport::UsbDeviceEntry> devices) {
        if (!dev_)
            dev_ = std::make_unique<transport::CUSBDevice>(std::make_unique<transport::SimHidBackend>(dir_ + "/none"));
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

    RecordingMessages messages_;
    std::string dir_;
    std::unique_ptr<sim::UsbServer> server_;
    std::unique_ptr<transport::CUSBDevice> dev_;
    std::vector<transport::UsbDeviceEntry> devices_;
    std::unique_ptr<CUpgradeDlg> dlg_;
    std::optional<QStringList> nextChoice_;
    int chooserCalls_ = 0;
};

}  // namespace velmora::ui::test
