// The image-parameter dialog against simulated network cameras served on loopback
// (127.0.0.91 and up, free ports).
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// Before Qt: the simulator names a member "forever", which Qt defines as a keyword.
#include "sim/net_cameras.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QSlider>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>

#include "protocol/video_param.h"
#include "transport/net/orvex_sdk.h"
#include "ui/params/exposure_page.h"
#include "ui/params/focus_page.h"
#include "ui/params/image_params_dlg.h"
#include "ui/params/picture_page.h"
#include "ui/params/video_page.h"
#include "ui/params/white_balance_page.h"
#include "ui/ui_test_support.h"

using namespace velmora::protocol;
using namespace velmora::transport;

using namespace velmora;
using namespace velmora::ui;

namespace {

class ImageParamsDlgTest : public ::testing::Test {
protected:
    void SetUp() override { ORVEX_Init(0); }
    void TearDown() override {
        dialog_.reset();
        for (int s : sessions_) ORVEX_LogOut(s);
        ORVEX_Cleanup();
        if (cams_) cams_->Stop();
    }

    // One camera on 127.0.0.<host>, logged in; the dialog is built over its session and
    // answers the file prompts with `nextPath`.
    void Open(int host, int refuseSets = 0) {
        sim::NetCameraConfig c;
        c.address = "127.0.0." + std::to_string(host);
        c.port = 0;
        c.answerSearch = false;
        c.width = 320;
        c.height = 240;
        c.refuseSets = refuseSets;
        c.model.identity = sim::CameraModel::DefaultIdentity(1);
        std::vector<sim::NetCameraConfig> configs;
        configs.push_back(std::move(c));
        cams_ = std::make_unique<sim::NetCameras>(std::move(configs));
        std::string error;
        ASSERT_EQ(cams_->Start(&error), 0) << error;
        LoginInfo info{};
        std::snprintf(info.address, sizeof info.address, "127.0.0.%d", host);
        info.port = cams_->Server(0).Port();
        std::snprintf(info.user, sizeof info.user, "admin");
        std::snprintf(info.password, sizeof info.password, "pelno");
        char area[288] = {};
        const int s = ORVEX_Login(info, area, 0, 0, 0, 0);
        ASSERT_GE(s, 0);
        sessions_.push_back(s);
        dialog_ = std::make_unique<ImageParamsDlg>();
        dialog_->SetLoginHandle(s);
        dialog_->SetPathPrompt([this](QWidget*, bool folderMode) {
            prompts_.push_back(folderMode);
            return nextPath_;
        });
    }

    sim::CameraModel& Model() { return cams_->Model(0); }
    int Brightness() const { return dialog_->Picture()->Slider(picture_ids::kBrightnessSlider)->value(); }
    std::string Path(const char* name) const { return (dir_.path() + "/" + name).toStdString(); }

    test::RecordingMessages messages_;
    std::unique_ptr<sim::NetCameras> cams_;
    std::vector<int> sessions_;
    std::unique_ptr<ImageParamsDlg> dialog_;
    std::optional<QString> nextPath_;
    std::vector<bool> prompts_;
    QTemporaryDir dir_;
};

void WriteBytes(const std::string& path, size_t size, uint8_t first) {
    std::vector<char> bytes(size, 0);
    if (size > 0) bytes[0] = static_cast<char>(first);
    std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(size));
}

std::vector<char> ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<char>(std::istreambuf_iterator<char>(in), {});
}

}  // namespace

TEST_F(ImageParamsDlgTest, OpensWithTheCameraValuesTabsInOrderAndSendsChanges) {
    Open(91);
    ASSERT_TRUE(Model().Set("Luminance", 77));
    ASSERT_TRUE(Model().Set("BExpCPS", -10));
    ASSERT_TRUE(Model().Set("ucRGGain", 71));
    dialog_->show();
    ASSERT_TRUE(dialog_->Initialised());
    EXPECT_EQ(dialog_->windowTitle(), QString("图像参数"));
    {
        ImageParamsDlg named;
        named.SetLoginHandle(-1, "127.0.0.2", 36666);
        EXPECT_EQ(named.windowTitle(), QString("图像参数 - 127.0.0.2"));  // the camera is named
    }
    EXPECT_TRUE(messages_.shown.empty()) << messages_.shown.front();

    QTabWidget* tabs = dialog_->Tabs();
    QStringList texts;
    for (int i = 0; i < tabs->count(); ++i) texts << tabs->tabText(i);
    EXPECT_EQ(texts, (QStringList{"图像调节", "曝光参数", "白平衡", "聚焦", "视频调整"}));
    for (ParamPage* page : dialog_->Pages()) EXPECT_EQ(page->Host(), dialog_.get());

    // The camera's values are on the pages; the exposure page's choices came from its list.
    EXPECT_EQ(Brightness(), 77);
    EXPECT_EQ(dialog_->Picture()->Edit(picture_ids::kBrightnessSlider)->text(), QString("77"));
    EXPECT_EQ(dialog_->Exposure()->Value(exposure_ids::kCompensationSlider), -10);
    EXPECT_GT(dialog_->Exposure()->Combo(exposure_ids::kIrisCombo)->count(), 0);
    EXPECT_EQ(dialog_->WhiteBalance()->Value(white_balance_ids::kRedGainSlider), 71);

    // Only the chosen page shows.
    tabs->setCurrentIndex(4);
    tabs->setCurrentIndex(3);
    for (int i = 0; i < tabs->count(); ++i) EXPECT_EQ(tabs->widget(i)->isVisible(), i == 3) << i;
    EXPECT_EQ(tabs->widget(3), dialog_->Focus());
    EXPECT_EQ(tabs->widget(2), dialog_->WhiteBalance());
    tabs->setCurrentIndex(0);

    // A typed value reaches the camera; Enter and Esc leave the dialog open.
    QLineEdit* edit = dialog_->Picture()->Edit(picture_ids::kBrightnessSlider);
    edit->setFocus();
    edit->setText("60");
    QTest::keyClick(edit, Qt::Key_Return);
    EXPECT_EQ(Model().Get("Luminance"), 60);
    QTest::keyClick(dialog_.get(), Qt::Key_Escape);
    QTest::keyClick(dialog_.get(), Qt::Key_Return);
    EXPECT_TRUE(dialog_->isVisible());
    EXPECT_EQ(dialog_->result(), 0);

    // The focus page's read-back asks the camera.
    dialog_->Focus()->RefreshFocusNear();
    EXPECT_EQ(dialog_->Focus()->FocusNearEdit()->text(), QString("1250"));
    EXPECT_TRUE(messages_.shown.empty());
}

TEST_F(ImageParamsDlgTest, RestoreDefaultsOnlyAfterOk) {
    Open(92);
    dialog_->Initialise();
    ASSERT_TRUE(Model().Set("Luminance", 90));
    dialog_->Refresh();
    ASSERT_EQ(Brightness(), 90);

    messages_.answer = false;
    dialog_->Button(image_params_ids::kRestoreButton)->click();
    EXPECT_EQ(messages_.shown, std::vector<std::string>{"所有视频参数都将恢复默认，确认执行此操作?"});
    EXPECT_EQ(Model().Get("Luminance"), 90);
    EXPECT_EQ(Brightness(), 90);

    messages_.shown.clear();
    messages_.answer = true;
    dialog_->RestoreDefaults();
    EXPECT_EQ(messages_.shown.size(), 1u);
    EXPECT_EQ(Model().Get("Luminance"), 50);
    EXPECT_EQ(Brightness(), 50);
}

TEST_F(ImageParamsDlgTest, RefreshNowAndQueuedAndOnABadHandle) {
    Open(93);
    dialog_->Initialise();
    ASSERT_TRUE(Model().Set("Luminance", 33));
    dialog_->Button(image_params_ids::kRefreshButton)->click();
    EXPECT_EQ(Brightness(), 33);

    // A page's request runs only after the caller has returned to the event loop.
    ASSERT_TRUE(Model().Set("Luminance", 44));
    dialog_->RequestRefresh();
    EXPECT_EQ(Brightness(), 33);
    QCoreApplication::sendPostedEvents();
    EXPECT_EQ(Brightness(), 44);

    // The video page's scene choice asks for one.
    QComboBox* scene = dialog_->Video()->Combo(video_ids::kSceneCombo);
    ASSERT_TRUE(Model().Set("Luminance", 45));
    emit scene->activated(0);
    QCoreApplication::sendPostedEvents();
    EXPECT_EQ(Brightness(), 45);
    EXPECT_TRUE(messages_.shown.empty());

    // Without a session every read reports the handle; refresh adds its own message.
    ImageParamsDlg lost;
    lost.Initialise();
    EXPECT_EQ(messages_.shown, std::vector<std::string>(3, "无效的设备句柄!"));
    messages_.shown.clear();
    lost.Refresh();
    EXPECT_EQ(messages_.shown, (std::vector<std::string>{"无效的设备句柄!", "获取图像参数失败: -1."}));
    // A queued refresh is dropped with the dialog that asked for it.
    auto gone = std::make_unique<ImageParamsDlg>();
    gone->RequestRefresh();
    gone.reset();
    messages_.shown.clear();
    QCoreApplication::sendPostedEvents();
    EXPECT_TRUE(messages_.shown.empty());
}

TEST_F(ImageParamsDlgTest, ExportWritesTheCameraValues) {
    ASSERT_TRUE(dir_.isValid());
    Open(94);
    dialog_->Initialise();
    ASSERT_TRUE(Model().Set("Luminance", 81));  // the camera's value, not the page's

    nextPath_ = std::nullopt;
    dialog_->Button(image_params_ids::kExportButton)->click();
    EXPECT_EQ(prompts_, std::vector<bool>{true});
    EXPECT_TRUE(messages_.shown.empty());

    const std::string file = Path("video_params.dat");
    WriteBytes(file, 100, 1);  // an older file is replaced
    nextPath_ = QString::fromStdString(file);
    dialog_->ExportParams();
    EXPECT_EQ(messages_.shown, std::vector<std::string>{"导出配置成功！"});
    const std::vector<char> bytes = ReadBytes(file);
    ASSERT_EQ(bytes.size(), kVideoParamSize);
    EXPECT_EQ(static_cast<uint8_t>(bytes[0]), 81);

    messages_.shown.clear();
    nextPath_ = QString::fromStdString(Path("missing/video_params.dat"));
    dialog_->ExportParams();
    nextPath_ = QString();
    dialog_->ExportParams();
    // The given text, then the file and the reason on the next line.
    ASSERT_EQ(messages_.shown.size(), 2u);
    EXPECT_EQ(messages_.shown[0].rfind("文件打开失败\n" + Path("missing/video_params.dat") + ": ", 0), 0u)
        << messages_.shown[0];
    EXPECT_EQ(messages_.shown[1], "文件打开失败\nno file name given");

    // A camera that cannot be read leaves the file alone.
    messages_.shown.clear();
    ImageParamsDlg lost;
    lost.SetPathPrompt([&](QWidget*, bool) { return std::optional<QString>(QString::fromStdString(file)); });
    lost.ExportParams();
    EXPECT_EQ(messages_.shown, (std::vector<std::string>{"无效的设备句柄!", "获取参数出错： -1"}));
    EXPECT_EQ(ReadBytes(file), bytes);
}

TEST_F(ImageParamsDlgTest, ImportChecksTheLengthFirstAndShowsTheFileValues) {
    ASSERT_TRUE(dir_.isValid());
    Open(95);
    dialog_->Initialise();
    ASSERT_TRUE(Model().Set("Luminance", 20));

    for (size_t size : {size_t(8190), size_t(8192), size_t(0)}) {
        messages_.shown.clear();
        const std::string file = Path(("size" + std::to_string(size)).c_str());
        WriteBytes(file, size, 99);
        nextPath_ = QString::fromStdString(file);
        dialog_->Button(image_params_ids::kImportButton)->click();
        EXPECT_EQ(messages_.shown, std::vector<std::string>{"数据长度不匹配：" + std::to_string(size) + " != 8191."});
        EXPECT_EQ(Model().Get("Luminance"), 20);
    }
    EXPECT_EQ(prompts_, std::vector<bool>(3, false));

    messages_.shown.clear();
    nextPath_ = std::nullopt;
    dialog_->ImportParams();
    nextPath_ = QString::fromStdString(Path("absent.dat"));
    dialog_->ImportParams();
    EXPECT_EQ(messages_.shown, std::vector<std::string>{"文件打开失败\n" + Path("absent.dat") + ": cannot open it: No such file or directory"});

    // A good file: exported, edited, imported back.
    const std::string file = Path("video_params.dat");
    nextPath_ = QString::fromStdString(file);
    dialog_->ExportParams();
    std::vector<char> bytes = ReadBytes(file);
    ASSERT_EQ(bytes.size(), kVideoParamSize);
    bytes[0] = 66;
    std::ofstream(file, std::ios::binary | std::ios::trunc).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    messages_.shown.clear();
    dialog_->ImportParams();
    EXPECT_EQ(messages_.shown, std::vector<std::string>{"导入配置成功！"});
    EXPECT_EQ(Brightness(), 66);
    EXPECT_EQ(Model().Get("Luminance"), 66);
}

TEST_F(ImageParamsDlgTest, RefusedImportKeepsTheFileValuesOnThePages) {
    ASSERT_TRUE(dir_.isValid());
    Open(96, -9);
    dialog_->Initialise();
    const std::string file = Path("video_params.dat");
    WriteBytes(file, kVideoParamSize, 12);
    nextPath_ = QString::fromStdString(file);
    dialog_->ImportParams();
    EXPECT_EQ(messages_.shown, std::vector<std::string>{"返回错误码: -9"});
    EXPECT_EQ(Brightness(), 12);
    EXPECT_EQ(Model().Get("Luminance"), 50);

    // A refused restore reads nothing more.
    messages_.shown.clear();
    dialog_->RestoreDefaults();
    EXPECT_EQ(messages_.shown, (std::vector<std::string>{"所有视频参数都将恢复默认，确认执行此操作?", "返回错误码: -9"}));
    EXPECT_EQ(Brightness(), 12);
}
