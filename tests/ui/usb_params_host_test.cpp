// The main window's USB parameter host against simulated USB cameras served in-process through
// the simulator's sockets in a temporary folder.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// Before Qt: the simulator names a member "forever", which Qt defines as a keyword.
#include "protocol/field_by_name.h"
#include "sim/usb_server.h"
#include "integration/sim_usb_cameras.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSlider>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <QApplication>

#include "protocol/video_param.h"
#include "transport/usb/cusb_device.h"
#include "transport/usb/sim_hid_backend.h"
#include "ui/common/wait_off_thread.h"
#include "ui/controls/message_boxes.h"
#include "ui/params/enhance_page.h"
#include "ui/params/exposure_page.h"
#include "ui/params/focus_page.h"
#include "ui/params/others_page.h"
#include "ui/params/picture_page.h"
#include "ui/params/shutter_table.h"
#include "ui/params/usb_params_host.h"
#include "ui/params/video_page.h"
#include "ui/params/white_balance_page.h"
#include "ui/ui_test_support.h"

using namespace velmora::protocol;
using namespace velmora::transport;

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using namespace velmora;
using namespace velmora::ui;
using namespace velmora::platform;

namespace {

class UsbParamsHostTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/velmora-usbhost-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override {
        host_.reset();
        ResetSharedTables();
        dev_.reset();
        if (server_) server_->Stop();
        fs::remove_all(dir_);
    }

    // One camera with the given faults, found by the transport; the host answers the file
    // prompts with `nextPath_`.
    void Serve(std::vector<std::string> faults = {}) {
        std::vector<sim::UsbCameraConfig> cams;
        cams.push_back(testsim::NumberedUsbCamera(1, faults));
        server_ = std::make_unique<sim::UsbServer>(dir_ + "/sock", std::move(cams));
        fs::create_directories(dir_ + "/sock");
        std::string error;
        ASSERT_EQ(server_->Start(&error), 0) << error;
        dev_ = testsim::OpenSimulatedUsb(dir_ + "/sock");
        ASSERT_EQ(dev_->RefreshDevices(), 1);
        UsbDeviceEntry e{};
        ASSERT_TRUE(dev_->GetDevice(0, e));
        handle_ = e.handle;
        ASSERT_NE(handle_, 0);
        host_ = std::make_unique<UsbParamsHost>(*dev_);
        host_->SetPathPrompt([this](QWidget*, bool folderMode) {
            prompts_.push_back(folderMode);
            return nextPath_;
        });
    }

    // The simulated camera's ability list loads the process-wide shutter and white-balance
    // tables; later tests expect them as a fresh process has them (every slot 0, built-ins on).
    static void ResetSharedTables() {
        ShutterTable::Shared().Reset();
        WbModeTable::Shared().Clear();
    }

    sim::CameraModel& Model() { return server_->Model(0); }
    int Brightness() const { return host_->Picture()->Value(picture_ids::kBrightnessSlider); }
    std::string Path(const std::string& name) const { return dir_ + "/" + name; }
    bool Enabled(int id) const { return host_->Button(id)->isEnabled(); }

    test::RecordingMessages messages_;
    std::string dir_;
    std::unique_ptr<sim::UsbServer> server_;
    std::unique_ptr<CUSBDevice> dev_;
    std::unique_ptr<UsbParamsHost> host_;
    int32_t handle_ = 0;
    std::optional<QString> nextPath_;
    std::vector<bool> prompts_;
};

void WriteRecord(const std::string& path, const std::vector<char>& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::vector<char> ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<char>(std::istreambuf_iterator<char>(in), {});
}

}  // namespace

TEST_F(UsbParamsHostTest, NothingIsSentWithoutADeviceThenTheCameraFillsTheSevenPages) {
    Serve();
    ASSERT_TRUE(Model().Set("Luminance", 77));
    ASSERT_TRUE(Model().Set("BExpCPS", -10));
    ASSERT_TRUE(Model().Set("ucRGGain", 71));
    ASSERT_TRUE(Model().Set("uc2DNR", 9));

    // Before a camera is opened the pages and the four buttons are disabled (restore defaults
    // also does nothing when called), and the pages show no values.
    for (int id : {usb_params_ids::kRestoreButton, usb_params_ids::kExportButton, usb_params_ids::kImportButton,
                   usb_params_ids::kRefreshButton}) {
        EXPECT_FALSE(Enabled(id)) << id;
    }
    for (ParamPage* page : host_->Pages()) EXPECT_FALSE(page->isEnabled()) << page->objectName().toStdString();
    EXPECT_TRUE(host_->Picture()->Edit(picture_ids::kBrightnessSlider)->text().isEmpty());
    host_->RestoreDefaults();
    EXPECT_TRUE(messages_.shown.empty());
    // A slider cannot be moved: the key press goes nowhere and the camera keeps its value.
    QSlider* slider = host_->Picture()->Slider(picture_ids::kBrightnessSlider);
    const int before = slider->value();
    QTest::keyClick(slider, Qt::Key_Right);
    EXPECT_EQ(slider->value(), before);
    // A page change sends nothing and succeeds; the focus read-back asks nobody.
    EXPECT_EQ(host_->Picture()->SendField(Field("Luminance"), 12), 0);
    EXPECT_EQ(host_->GetFocusNear(), 0);
    EXPECT_EQ(Model().Get("Luminance"), 77);
    EXPECT_TRUE(messages_.shown.empty());

    ASSERT_EQ(host_->OpenDevice(handle_), 0);
    EXPECT_EQ(host_->CurrentHandle(), handle_);
    EXPECT_TRUE(messages_.shown.empty()) << messages_.shown.front();
    for (int id : {usb_params_ids::kRestoreButton, usb_params_ids::kExportButton, usb_params_ids::kImportButton,
                   usb_params_ids::kRefreshButton}) {
        EXPECT_TRUE(Enabled(id)) << id;
    }
    const std::vector<ParamPage*> pages = host_->Pages();
    ASSERT_EQ(pages.size(), 7u);
    for (ParamPage* page : pages) {
        EXPECT_EQ(page->Host(), host_.get());
        EXPECT_TRUE(page->HostedByMainWindow());
        EXPECT_EQ(page->parentWidget(), nullptr);  // the main window parents them
    }
    EXPECT_EQ(Brightness(), 77);
    EXPECT_EQ(host_->Exposure()->Value(exposure_ids::kCompensationSlider), -10);
    EXPECT_GT(host_->Exposure()->Combo(exposure_ids::kIrisCombo)->count(), 0);
    EXPECT_EQ(host_->WhiteBalance()->Value(white_balance_ids::kRedGainSlider), 71);
    EXPECT_EQ(host_->Enhance()->Value(enhance_ids::k2dNoiseSlider), 9);

    // A typed value reaches the camera; the focus read-back asks it.
    QLineEdit* edit = host_->Picture()->Edit(picture_ids::kBrightnessSlider);
    edit->setText("60");
    QTest::keyClick(edit, Qt::Key_Return);
    EXPECT_EQ(Model().Get("Luminance"), 60);
    EXPECT_EQ(host_->GetFocusNear(), 1250);

    // Clearing the device stops the traffic again and disables everything; the stale values go.
    host_->ClearCurrentDevice();
    EXPECT_EQ(host_->Picture()->SendField(Field("Luminance"), 13), 0);
    EXPECT_EQ(Model().Get("Luminance"), 60);
    EXPECT_FALSE(Enabled(usb_params_ids::kRefreshButton));
    EXPECT_FALSE(host_->Picture()->isEnabled());
    EXPECT_TRUE(edit->text().isEmpty());
    EXPECT_EQ(host_->Exposure()->Combo(exposure_ids::kIrisCombo)->currentIndex(), -1);
    EXPECT_TRUE(messages_.shown.empty());
}

TEST_F(UsbParamsHostTest, AFailedOpenLeavesNoDeviceAndRefusedSetsAreReported) {
    Serve({"refuse=-5,cmd=40001089,times=1", "refuse=-9,cmd=40001090"});
    EXPECT_EQ(host_->OpenDevice(handle_), -5);
    EXPECT_EQ(messages_.shown, std::vector<std::string>{"获取图像参数失败: -5."});
    EXPECT_EQ(host_->CurrentHandle(), 0);
    EXPECT_FALSE(Enabled(usb_params_ids::kRefreshButton));

    messages_.shown.clear();
    ASSERT_EQ(host_->OpenDevice(handle_), 0);
    EXPECT_EQ(host_->Picture()->SendField(Field("Luminance"), 12), -9);
    EXPECT_EQ(messages_.shown, (std::vector<std::string>{"返回错误码: -9", "设置失败！"}));
    EXPECT_EQ(Model().Get("Luminance"), 50);
}

TEST_F(UsbParamsHostTest, RestoreDefaultsAfterOkAndRefreshNowQueuedAndWithoutDevice) {
    Serve();
    ASSERT_EQ(host_->OpenDevice(handle_), 0);
    ASSERT_TRUE(Model().Set("Luminance", 90));
    host_->Button(usb_params_ids::kRefreshButton)->click();
    ASSERT_EQ(Brightness(), 90);

    messages_.answer = false;
    host_->Button(usb_params_ids::kRestoreButton)->click();
    EXPECT_EQ(messages_.shown, std::vector<std::string>{"所有视频参数都将恢复默认，确认执行此操作?"});
    EXPECT_EQ(Model().Get("Luminance"), 90);
    messages_.shown.clear();
    messages_.answer = true;
    host_->RestoreDefaults();
    EXPECT_EQ(messages_.shown.size(), 1u);
    EXPECT_EQ(Model().Get("Luminance"), 50);
    EXPECT_EQ(Brightness(), 50);

    // A page's request runs only after the caller has returned to the event loop.
    ASSERT_TRUE(Model().Set("Luminance", 44));
    host_->RequestRefresh();
    EXPECT_EQ(Brightness(), 50);
    QCoreApplication::sendPostedEvents();
    EXPECT_EQ(Brightness(), 44);

    // Refresh reads also with no current device (the button is disabled then); the failure
    // leaves the pages showing no camera.
    messages_.shown.clear();
    host_->ClearCurrentDevice();
    host_->Refresh();
    ASSERT_EQ(messages_.shown.size(), 1u);
    EXPECT_EQ(messages_.shown[0].rfind("获取图像参数失败: -", 0), 0u) << messages_.shown[0];
    EXPECT_TRUE(host_->Picture()->Edit(picture_ids::kBrightnessSlider)->text().isEmpty());

    // A queued refresh is dropped with the host that asked for it.
    host_->RequestRefresh();
    host_.reset();
    messages_.shown.clear();
    QCoreApplication::sendPostedEvents();
    EXPECT_TRUE(messages_.shown.empty());
}

TEST_F(UsbParamsHostTest, ExportWritesTheCameraValuesAndImportRefusesOtherLengths) {
    Serve();
    ASSERT_EQ(host_->OpenDevice(handle_), 0);
    ASSERT_TRUE(Model().Set("Luminance", 81));  // the camera's value, not the page's

    nextPath_ = std::nullopt;
    host_->Button(usb_params_ids::kExportButton)->click();
    host_->Button(usb_params_ids::kImportButton)->click();
    EXPECT_EQ(prompts_, (std::vector<bool>{true, false}));
    EXPECT_TRUE(messages_.shown.empty());

    const std::string file = Path("video_params.dat");
    WriteRecord(file, std::vector<char>(100, 1));  // an older file is replaced
    nextPath_ = QString::fromStdString(file);
    host_->ExportParams();
    EXPECT_EQ(messages_.shown, std::vector<std::string>{"导出配置成功！"});
    const std::vector<char> exported = ReadBytes(file);
    ASSERT_EQ(exported.size(), kVideoParamSize);
    EXPECT_EQ(static_cast<uint8_t>(exported[0]), 81);

    messages_.shown.clear();
    nextPath_ = QString::fromStdString(Path("missing/video_params.dat"));
    host_->ExportParams();
    nextPath_ = QString::fromStdString(Path("absent.dat"));
    host_->ImportParams();
    ASSERT_EQ(messages_.shown.size(), 2u);
    EXPECT_EQ(messages_.shown[0].rfind("文件打开失败\n" + Path("missing/video_params.dat") + ": ", 0), 0u)
        << messages_.shown[0];
    EXPECT_EQ(messages_.shown[1], "文件打开失败\n" + Path("absent.dat") + ": cannot open it: No such file or directory");

    // 8190 and 8192 bytes: refused before anything is read, pages and camera unchanged.
    ASSERT_TRUE(Model().Set("Luminance", 20));
    host_->Refresh();
    for (size_t size : {size_t(8190), size_t(8192)}) {
        messages_.shown.clear();
        const std::string bad = Path("size" + std::to_string(size));
        WriteRecord(bad, std::vector<char>(size, 99));
        nextPath_ = QString::fromStdString(bad);
        host_->ImportParams();
        EXPECT_EQ(messages_.shown, std::vector<std::string>{"数据长度不匹配！"});
        EXPECT_EQ(Brightness(), 20);
        EXPECT_EQ(Model().Get("Luminance"), 20);
    }

    // The exported file, edited, goes back: its scene byte at 6146 is sent; once the camera took
    // it, both pages show what the camera reads back (one scene mode), not the file's 7167 copy.
    std::vector<char> bytes = exported;
    bytes[0] = 66;
    bytes[kSceneModeOffset] = 3;
    bytes[kSceneModeCopyOffset] = 4;
    WriteRecord(file, bytes);
    messages_.shown.clear();
    nextPath_ = QString::fromStdString(file);
    host_->ImportParams();
    EXPECT_EQ(messages_.shown, std::vector<std::string>{"导入配置成功！"});
    EXPECT_EQ(Brightness(), 66);
    EXPECT_EQ(Model().Get("Luminance"), 66);
    EXPECT_EQ(Model().Get("eSceneMode"), 3);
    EXPECT_EQ(host_->Video()->Combo(video_ids::kSceneCombo)->currentIndex(), 1);
    EXPECT_EQ(host_->Others()->Combo(others_ids::kSceneCombo)->currentIndex(), 1);
}

TEST_F(UsbParamsHostTest, RefusedImportKeepsTheFileValuesOnThePages) {
    Serve({"refuse=-9,cmd=40001090"});
    ASSERT_EQ(host_->OpenDevice(handle_), 0);
    std::vector<char> bytes(kVideoParamSize, 0);
    bytes[0] = 12;
    const std::string file = Path("video_params.dat");
    WriteRecord(file, bytes);
    nextPath_ = QString::fromStdString(file);
    host_->ImportParams();
    EXPECT_EQ(messages_.shown, std::vector<std::string>{"返回错误码: -9"});
    EXPECT_EQ(Brightness(), 12);
    EXPECT_EQ(Model().Get("Luminance"), 50);
}

// A camera that clamps a value it took: after the import the pages show what it kept.
TEST_F(UsbParamsHostTest, ImportShowsTheValuesTheCameraKept) {
    Serve({"clamp=Luminance:10..80"});
    ASSERT_EQ(host_->OpenDevice(handle_), 0);
    std::vector<char> bytes(kVideoParamSize, 0);
    bytes[0] = 95;
    const std::string file = Path("video_params.dat");
    WriteRecord(file, bytes);
    nextPath_ = QString::fromStdString(file);
    host_->ImportParams();
    EXPECT_EQ(messages_.shown, std::vector<std::string>{"导入配置成功！"});
    EXPECT_EQ(Brightness(), 80);
}

TEST_F(UsbParamsHostTest, PagesDeletedByTheMainWindowAreSkipped) {
    Serve();
    delete host_->Others();
    delete host_->Button(usb_params_ids::kRefreshButton);
    EXPECT_EQ(host_->Others(), nullptr);
    ASSERT_EQ(host_->OpenDevice(handle_), 0);
    EXPECT_EQ(Brightness(), 50);
    host_.reset();  // deletes the rest without touching the deleted ones
}

// The next camera's ability list cannot be read (longer than its reply buffer): the pages go back
// to their built-in choices, so no item sends a value code of the previous camera.
TEST_F(UsbParamsHostTest, AnUnreadableAbilityListFallsBackToTheBuiltInChoices) {
    Serve();
    ASSERT_EQ(host_->OpenDevice(handle_), 0);
    QComboBox* iris = host_->Exposure()->Combo(exposure_ids::kIrisCombo);
    ASSERT_EQ(iris->count(), 9);  // the camera's own list
    EXPECT_EQ(iris->itemText(1), "F1.6");

    std::vector<sim::AbilityEntry> huge = sim::CameraModel::DefaultAbility();
    for (int i = 0; i < 200; ++i) huge.push_back({"uPadding" + std::to_string(i), 1, "", "填充", {}});
    Model().SetAbility(huge);
    ASSERT_EQ(host_->OpenDevice(handle_), 0);
    EXPECT_EQ(iris->count(), 12);
    EXPECT_EQ(iris->itemText(1), "F1.5");
    EXPECT_TRUE(host_->Abilities().empty());
}

// A set that the camera answers late: the window's timers (and so its painting and the other
// panes) go on while the call waits off the user-interface thread, under a busy cursor; the
// result is the camera's as before.
TEST_F(UsbParamsHostTest, AStalledSetLetsTheWindowRunWhileItWaits) {
    Serve({"stall=600,cmd=40001090,times=1"});
    ASSERT_EQ(host_->OpenDevice(handle_), 0);
    int ticks = 0;
    bool busyCursor = false;
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        ++ticks;
        if (const QCursor* c = QApplication::overrideCursor()) busyCursor |= c->shape() == Qt::BusyCursor;
    });
    ticker.start(20);
    EXPECT_EQ(host_->SetVideoParamField(Field("Luminance"), 61), 0);  // answered 600 ms late
    EXPECT_GT(ticks, 0);
    EXPECT_TRUE(busyCursor);
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
    EXPECT_EQ(Model().Get("Luminance"), 61);
    EXPECT_TRUE(messages_.shown.empty());
}

// A message that a waited-for call shows from its own thread is shown by the user-interface
// thread as a modal box, and the call gets the answer.
TEST(WaitOffUiThread, MessagesOfTheCallAreShownByTheUserInterfaceThread) {
    QtUserMessages boxes;
    SetUserMessages(&boxes);
    bool shownOnUiThread = false;
    QTimer::singleShot(50, [&] {
        QWidget* box = QApplication::activeModalWidget();
        ASSERT_NE(box, nullptr);
        shownOnUiThread = box->thread() == QThread::currentThread();
        for (QPushButton* b : box->findChildren<QPushButton*>())
            if (b->text() == "是") b->click();
    });
    const bool answer = WaitOffUiThread([] {
        EXPECT_NE(QThread::currentThread(), qApp->thread());
        return Messages().AskYesNo("继续?");
    });
    SetUserMessages(nullptr);
    EXPECT_TRUE(shownOnUiThread);
    EXPECT_TRUE(answer);
}
