// Renders the parameter pages and the path picker offscreen to PNG files, so their look can be
// checked without a display: velmora-ui-render OUTPUT_DIR [--lang en]
// With --lang en the windows are drawn in English and each file name ends in "-en".
// Run with QT_QPA_PLATFORM=offscreen.
#include <algorithm>
#include <cstdio>
#include <memory>
#include <string_view>
#include <vector>

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QPushButton>
#include <QLineEdit>
#include <QListWidget>
#include <QPixmap>

#include "protocol/video_param.h"
#include "ui/controls/path_picker.h"
#include "ui/controls/ptz_simple_ctrl.h"
#include "ui/params/exposure_page.h"
#include "platform/user_messages.h"
#include "ui/params/image_params_dlg.h"
#include "ui/params/picture_page.h"
#include "ui/params/day_night_page.h"
#include "ui/params/enhance_page.h"
#include "ui/params/focus_page.h"
#include "ui/params/others_page.h"
#include "ui/params/video_page.h"
#include "ui/params/page_host.h"
#include "ui/params/white_balance_page.h"
#include "transport/usb/cusb_device.h"
#include "transport/usb/sim_hid_backend.h"
#include "ui/params/usb_params_host.h"
#include "platform/codepage.h"
#include "ui/upgrade/upgrade_dlg.h"
#include "ui/main/compare_profile_dlg.h"
#include "ui/common/ui_text.h"
#include "ui/main/network_dialogs.h"

namespace velmora::ui {
namespace {

// The pages' host for pictures: no camera behind it, the built-in lists.
class SilentHost final : public PageHost {
public:
    int SetVideoParamField(const protocol::VideoParamField&, int32_t) override { return 0; }
    int GetFocusNear() override { return 0; }
    const protocol::AbilityList& Abilities() const override { return abilities_; }
    void RequestRefresh() override {}

private:
    protocol::AbilityList abilities_;
};


QString gNameSuffix;  // "-en" for the English pictures

bool Save(QWidget& widget, QString path) {
    if (!gNameSuffix.isEmpty()) path.replace(QStringLiteral(".png"), gNameSuffix + QStringLiteral(".png"));
    widget.show();
    QApplication::processEvents();
    const bool ok = widget.grab().save(path, "PNG");
    std::printf("%s %s\n", ok ? "wrote" : "FAILED", path.toUtf8().constData());
    return ok;
}

// A camera for the compare dialog's picture: it holds one record, takes every set but keeps
// Luminance within 80 and Contrast unchanged, as a camera that clamps and ignores would.
class PictureCamera final : public camera::Camera {
public:
    PictureCamera() {
        rec_.bytes[0] = 50;
        rec_.bytes[1] = 50;
        rec_.bytes[2] = 50;
    }
    bool IsNetwork() const override { return false; }
    int ReadVideoParams(protocol::VideoParam& rec) override {
        rec = rec_;
        return 0;
    }
    int SetField(const protocol::VideoParamField& field, int32_t value) override {
        if (field.offset == 0) rec_.bytes[0] = static_cast<uint8_t>(std::min(value, 80));
        if (field.offset == 2) rec_.bytes[2] = static_cast<uint8_t>(value);
        return 0;
    }
    int WriteVideoParams(const protocol::VideoParam&) override { return 0; }
    int RestoreDefaults() override { return 0; }
    int GetFocusNear() override { return 0; }
    int GetFrameRate() override { return 25; }
    int ReadAbilityList(protocol::AbilityList&) override { return 0; }
    bool LabelsAreCp936() const override { return false; }
    int ReadIdentity(camera::CameraIdentity&) override { return 0; }
    int SendPtzTexts(const std::vector<std::string>&) override { return 0; }

private:
    protocol::VideoParam rec_;
};

// The three cameras the upgrade-window pictures list.
std::vector<transport::UsbDeviceEntry> ThreePictureCameras() {
    std::vector<transport::UsbDeviceEntry> devices(3);
    for (int i = 0; i < 3; ++i) {
        transport::UsbDeviceEntry& d = devices[static_cast<size_t>(i)];
        d.handle = i + 1;
        const std::string name = "模拟相机" + std::to_string(i + 1);
        platform::CopyCp936Field(d.name, sizeof d.name, platform::Utf8ToCp936(name));
        platform::CopyUtf8Field(d.displayName, sizeof d.displayName, name);  // what the windows show
        platform::CopyCp936Field(d.productModel, sizeof d.productModel, "VMC-U2000");
        platform::CopyCp936Field(d.serial, sizeof d.serial, "VMS202400" + std::to_string(i + 1) + "0");
        platform::CopyCp936Field(d.biosVersion, sizeof d.biosVersion, "1.02");
        platform::CopyCp936Field(d.buildDate, sizeof d.buildDate, "2024-05-20");
    }
    return devices;
}

}  // namespace
}  // namespace velmora::ui

int main(int argc, char** argv) {
    using namespace velmora::ui;
    QApplication app(argc, argv);
    const bool english = argc == 4 && std::string_view(argv[2]) == "--lang" && std::string_view(argv[3]) == "en";
    if (argc != 2 && !english) {
        std::fprintf(stderr, "usage: velmora-ui-render OUTPUT_DIR [--lang en]\n");
        return 2;
    }
    if (english) {
        if (!velmora::ui::InstallUiTranslations(velmora::platform::UiLanguage::English)) return 1;
        gNameSuffix = QStringLiteral("-en");
    }
    const QDir out(QString::fromLocal8Bit(argv[1]));
    if (!out.exists() && !QDir().mkpath(out.path())) {
        std::fprintf(stderr, "cannot create %s\n", argv[1]);
        return 1;
    }
    bool ok = true;

    SilentHost host;
    velmora::protocol::VideoParam record;
    const uint8_t values[5] = {50, 64, 128, 50, 30};  // saturation beyond the slider's range
    for (int i = 0; i < 5; ++i) record.bytes[velmora::protocol::kPictureSlice + i] = values[i];
    velmora::ui::PictureTab picture;
    picture.SetHost(&host, true);
    picture.FillFromRecord(record.bytes);
    ok &= Save(picture, out.filePath(QStringLiteral("picture-page.png")));

    {
        // The exposure page as the main window shows it: built-in lists (empty ability list),
        // shutter speeds for 30 frames per second, manual exposure with WDR on.
        velmora::protocol::VideoParam rec;
        const uint8_t exposure[14] = {1, 2, 0xF6, 64, 128, 3, 30, 0, 0, 0, 1, 50, 0, 0};
        for (size_t i = 0; i < sizeof exposure; ++i) rec.bytes[velmora::protocol::kExposureSlice + i] = exposure[i];
        velmora::ui::ExposureTab exposurePage;
        exposurePage.SetHost(&host, true);
        exposurePage.ApplyAbility();
        exposurePage.FillShutterList(30);
        exposurePage.FillFromRecord(std::span<const uint8_t>(rec.bytes).subspan(velmora::protocol::kExposureSlice));
        ok &= Save(exposurePage, out.filePath(QStringLiteral("exposure-page.png")));
    }

    {
        // The focus, enhancement, day/night, video and others pages as the main window shows
        // them with an empty ability list, filled from one record (the day/night page takes
        // nothing from a record).
        velmora::protocol::VideoParam rec;
        const auto put = [&rec](size_t at, std::initializer_list<uint8_t> bytes) {
            for (uint8_t b : bytes) rec.bytes[at++] = b;
        };
        put(velmora::protocol::kFocusSlice, {1, 0, 3, 4, 1, 0});
        put(velmora::protocol::kEnhancementSlice, {30, 40, 0, 1, 35, 1, 0, 0, 0});
        put(velmora::protocol::kVideoSlice, {1, 0, 0, 3});
        put(velmora::protocol::kOthersSlice, {3, 1, 12, 0, 0, 0});
        const auto from = [&rec](size_t at) { return std::span<const uint8_t>(rec.bytes).subspan(at); };
        velmora::ui::FocusTab focus;
        focus.SetHost(&host, true);
        focus.ApplyAbility();
        focus.FillFromRecord(from(velmora::protocol::kFocusSlice));
        ok &= Save(focus, out.filePath(QStringLiteral("focus-page.png")));
        velmora::ui::EnhanceTab enhance;
        enhance.SetHost(&host, true);
        enhance.ApplyAbility();  // empty ability list: the built-in gamma texts
        enhance.FillFromRecord(from(velmora::protocol::kEnhancementSlice));
        ok &= Save(enhance, out.filePath(QStringLiteral("enhance-page.png")));
        velmora::ui::DayNightTab dayNight;
        dayNight.SetHost(&host, true);
        ok &= Save(dayNight, out.filePath(QStringLiteral("day-night-page.png")));
        velmora::ui::VideoTab video;
        video.SetHost(&host, true);
        video.FillFromRecord(from(velmora::protocol::kVideoSlice));
        ok &= Save(video, out.filePath(QStringLiteral("video-page.png")));
        velmora::ui::OthersTab others;
        others.SetHost(&host, true);
        others.FillFromRecord(from(velmora::protocol::kOthersSlice));
        ok &= Save(others, out.filePath(QStringLiteral("others-page.png")));
    }

    {
        // The white-balance page as the main window shows it: built-in modes (empty ability
        // list), a record in colour-temperature mode at 6550 K (the box shows 6550, the slider
        // 65): only the colour-temperature row is enabled.
        velmora::protocol::VideoParam rec;
        const uint8_t wb[11] = {30, 1, 60, 45, 0x96, 0x19, 0, 0, 50, 50, 50};  // 0x1996 = 6550
        for (size_t i = 0; i < sizeof wb; ++i) rec.bytes[velmora::protocol::kWhiteBalanceSlice + i] = wb[i];
        velmora::ui::WhiteBalanceTab whiteBalance;
        whiteBalance.SetHost(&host, true);
        whiteBalance.ApplyAbility();
        whiteBalance.FillFromRecord(std::span<const uint8_t>(rec.bytes).subspan(velmora::protocol::kWhiteBalanceSlice));
        ok &= Save(whiteBalance, out.filePath(QStringLiteral("white-balance-page.png")));
    }

    {
        // The image-parameter dialog without a camera (its reads are silenced), filled from a
        // record whose brightness is 64; the picture tab is shown.
        struct Quiet : velmora::platform::UserMessages {
            void Information(std::string_view) override {}
            bool AskOkCancel(std::string_view) override { return false; }
            bool AskYesNo(std::string_view) override { return false; }
        } quiet;
        velmora::platform::SetUserMessages(&quiet);
        velmora::ui::ImageParamsDlg dialog;
        dialog.Initialise();
        velmora::protocol::VideoParam rec;
        const uint8_t dialogPicture[5] = {64, 50, 50, 50, 50};
        for (size_t i = 0; i < sizeof dialogPicture; ++i)
            rec.bytes[velmora::protocol::kPictureSlice + i] = dialogPicture[i];
        dialog.PushRecordToPages(rec);
        ok &= Save(dialog, out.filePath(QStringLiteral("image-params-dialog.png")));
        velmora::platform::SetUserMessages(nullptr);
    }

    {
        // The main window's USB parameter host without a camera: its seven pages and four
        // buttons in a simple grid, filled from a record whose brightness is 64.
        velmora::transport::CUSBDevice usb(
            std::make_unique<velmora::transport::SimHidBackend>("/nonexistent-velmora-render"));
        velmora::ui::UsbParamsHost usbHost(usb);
        velmora::protocol::VideoParam rec;
        rec.bytes[velmora::protocol::kPictureSlice] = 64;
        usbHost.PushRecordToPages(rec);
        QWidget sheet;
        auto* grid = new QGridLayout(&sheet);
        const std::vector<velmora::ui::ParamPage*> pages = usbHost.Pages();
        for (size_t i = 0; i < pages.size(); ++i) {
            grid->addWidget(pages[i], static_cast<int>(i / 4), static_cast<int>(i % 4), Qt::AlignLeft | Qt::AlignTop);
        }
        auto* buttons = new QHBoxLayout();
        for (int id : {velmora::ui::usb_params_ids::kRestoreButton, velmora::ui::usb_params_ids::kExportButton,
                       velmora::ui::usb_params_ids::kImportButton, velmora::ui::usb_params_ids::kRefreshButton}) {
            QPushButton* button = usbHost.Button(id);
            button->setFixedSize(button->size());
            buttons->addWidget(button);
        }
        grid->addLayout(buttons, 1, 3, Qt::AlignRight | Qt::AlignBottom);
        ok &= Save(sheet, out.filePath(QStringLiteral("usb-params-host.png")));
        // The sheet goes first and takes the pages and buttons with it; the host skips them.
    }

    {
        // The PTZ pane without a camera, preset 2 chosen (its tile lit).
        velmora::ui::CPtzSimpleCtrl ptz(nullptr);
        ptz.PresetButton(2)->click();
        ok &= Save(ptz, out.filePath(QStringLiteral("ptz-pane.png")));
    }

    {
        // The upgrade window during a run of three cameras: the first writing its package (a bar
        // at 63 %), the second finished, the third failed; the two chosen packages listed.
        velmora::transport::CUSBDevice usb(
            std::make_unique<velmora::transport::SimHidBackend>("/nonexistent-velmora-render"));
        const std::vector<velmora::transport::UsbDeviceEntry> devices = ThreePictureCameras();
        velmora::ui::CUpgradeDlg upgrade(usb, devices);
        upgrade.PackageList()->addItem(QStringLiteral("/home/user/firmware/VMC-U2000_uImage.dat"));
        upgrade.PackageList()->addItem(QStringLiteral("/home/user/firmware/VMC-U2000_rootfs.dat"));
        velmora::upgrade::UpgradeRow row = upgrade.Session().Row(0);
        row.state = velmora::upgrade::UpgradeRowState::Flashing;
        row.checked = false;
        row.percent = 63;
        row.text = "升级[uimage](烧写中):63%";
        upgrade.ShowRow(0, row);
        row = upgrade.Session().Row(1);
        row.state = velmora::upgrade::UpgradeRowState::Done;
        row.percent = 0;
        row.text = "升级成功.";
        upgrade.ShowRow(1, row);
        row = upgrade.Session().Row(2);
        row.state = velmora::upgrade::UpgradeRowState::Failed;
        row.percent = -5;
        row.text = "升级[uimage]返回失败:-5";
        upgrade.ShowRow(2, row);
        upgrade.Button(velmora::ui::upgrade_ids::kStartStopButton)->setText(velmora::ui::UiText(velmora::ui::CUpgradeDlg::kStopText));
        upgrade.Button(velmora::ui::upgrade_ids::kBrowseButton)->setEnabled(false);
        upgrade.Button(velmora::ui::upgrade_ids::kRebootButton)->setEnabled(false);
        ok &= Save(upgrade, out.filePath(QStringLiteral("upgrade-window.png")));
        // Made wider and taller: the list grows and the state column shows its texts whole.
        row = upgrade.Session().Row(0);
        row.state = velmora::upgrade::UpgradeRowState::Flashing;
        row.checked = false;
        row.percent = 33;
        row.text = "升级[uimage](烧写中):33%";
        upgrade.ShowRow(0, row);
        upgrade.resize(upgrade.size() + QSize(260, 90));
        ok &= Save(upgrade, out.filePath(QStringLiteral("upgrade-window-resized.png")));
    }

    {
        // The login asked after a refused password, and a camera added by hand.
        velmora::ui::LoginDlg login(QStringLiteral("127.0.0.2"), QStringLiteral("operator"));
        ok &= Save(login, out.filePath(QStringLiteral("login-dialog.png")));
        velmora::ui::AddDeviceDlg add;
        add.AddressEdit()->setText(QStringLiteral("10.20.0.64"));
        ok &= Save(add, out.filePath(QStringLiteral("add-device-dialog.png")));
    }

    {
        // The compare dialog after 应用: one member confirmed, one kept lower by the camera, one
        // the camera ignored.
        PictureCamera camera;
        const QString profile = QDir::temp().filePath(QStringLiteral("velmora-render-profile.json"));
        QFile file(profile);
        if (file.open(QIODevice::WriteOnly)) {
            file.write(R"({"format": "velmora-profile", "version": 1,
                           "members": {"Luminance": 95, "Contrast": 20, "Saturation": 40}})");
            file.close();
        }
        velmora::ui::CompareProfileDlg compare(camera);
        ok &= compare.Compare(profile);
        compare.Apply();
        QFile::remove(profile);
        ok &= Save(compare, out.filePath(QStringLiteral("compare-profile.png")));
    }

    {
        // The upgrade window with "完成后重启并校验版本": one camera checked after its reboot (it
        // shows its new version), one waiting to come back, one that came back unchanged.
        velmora::transport::CUSBDevice usb(
            std::make_unique<velmora::transport::SimHidBackend>("/nonexistent-velmora-render"));
        const std::vector<velmora::transport::UsbDeviceEntry> devices = ThreePictureCameras();
        velmora::ui::CUpgradeDlg upgrade(usb, devices);
        upgrade.PackageList()->addItem(QStringLiteral("/home/user/firmware/VMC-U2000_uImage.dat"));
        upgrade.VerifyBox()->setChecked(true);
        const struct {
            velmora::upgrade::UpgradeRowState state;
            const char* text;
            const char* after;
        } rows[] = {{velmora::upgrade::UpgradeRowState::Verified, "校验通过:版本1.03", "1.03"},
                    {velmora::upgrade::UpgradeRowState::Reconnecting, "等待设备重新上线...", ""},
                    {velmora::upgrade::UpgradeRowState::Failed, "版本未变", "1.02"}};
        for (int i = 0; i < 3; ++i) {
            velmora::upgrade::UpgradeRow row = upgrade.Session().Row(i);
            row.state = rows[i].state;
            row.text = rows[i].text;
            row.versionAfter = rows[i].after;
            upgrade.ShowRow(i, row);
        }
        upgrade.ShowVerifyCounts();
        upgrade.Button(velmora::ui::upgrade_ids::kStartStopButton)->setText(velmora::ui::CUpgradeDlg::kStopText);
        upgrade.Button(velmora::ui::upgrade_ids::kBrowseButton)->setEnabled(false);
        upgrade.Button(velmora::ui::upgrade_ids::kRebootButton)->setEnabled(false);
        upgrade.VerifyBox()->setEnabled(false);
        ok &= Save(upgrade, out.filePath(QStringLiteral("upgrade-window-verify.png")));
    }

    velmora::ui::PathPicker picker;
    picker.PathEdit()->setText(QStringLiteral("/home/user/cfg/video_params.dat"));
    ok &= Save(picker, out.filePath(QStringLiteral("path-picker.png")));
    return ok ? 0 : 1;
}
