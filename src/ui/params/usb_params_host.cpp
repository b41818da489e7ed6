#include "ui/params/usb_params_host.h"

#include <span>

#include <QMetaObject>
#include <QPushButton>

#include "platform/user_messages.h"
#include "protocol/param_file.h"
#include "ui/params/dialog_units.h"
#include "ui/params/enhance_page.h"
#include "ui/params/exposure_page.h"
#include "ui/params/focus_page.h"
#include "ui/params/others_page.h"
#include "ui/params/picture_page.h"
#include "ui/params/video_page.h"
#include "ui/params/white_balance_page.h"

namespace velmora::ui {

namespace {

constexpr const char kRestoreQuestion[] = "所有视频参数都将恢复默认，确认执行此操作?";
constexpr const char kReadFailed[] = "获取图像参数失败: %d.";
constexpr const char kFileOpenFailed[] = "文件打开失败";
constexpr const char kImported[] = "导入配置成功！";
constexpr const char kLengthMismatch[] = "数据长度不匹配！";

constexpr int kButtonHeight = 14;  // dialog units

std::span<const uint8_t> SliceOf(const VideoParam& rec, size_t start) {
    return std::span<const uint8_t>(rec.bytes).subspan(start);
}

}  // namespace

UsbParamsHost::UsbParamsHost(CUSBDevice& device, QObject* parent)
    : QObject(parent), device_(device), prompt_(AskWithPathPicker) {
    picture_ = new PictureTab();
    exposure_ = new ExposureTab();
    whiteBalance_ = new WhiteBalanceTab();
    focus_ = new FocusTab();
    enhance_ = new EnhanceTab();
    video_ = new VideoTab();
    others_ = new OthersTab();
    for (ParamPage* page : Pages()) page->SetHost(this, true);

    // Restore defaults guards itself against a missing device; the other three wait for the
    // first camera whose parameters were read.
    AddButton(usb_params_ids::kRestoreButton, "恢复默认", true);
    AddButton(usb_params_ids::kExportButton, "导出配置", false);
    AddButton(usb_params_ids::kImportButton, "导入配置", false);
    AddButton(usb_params_ids::kRefreshButton, "刷新", false);
    connect(Button(usb_params_ids::kRestoreButton), &QPushButton::clicked, this, [this] { RestoreDefaults(); });
    connect(Button(usb_params_ids::kExportButton), &QPushButton::clicked, this, [this] { ExportParams(); });
    connect(Button(usb_params_ids::kImportButton), &QPushButton::clicked, this, [this] { ImportParams(); });
    connect(Button(usb_params_ids::kRefreshButton), &QPushButton::clicked, this, [this] { Refresh(); });
}

UsbParamsHost::~UsbParamsHost() {
    // The pages point at this host; none may outlive it, parented by the main window or not.
    for (ParamPage* page : Pages()) delete page;
    for (auto& [id, button] : buttons_) delete button.data();
}

QPushButton* UsbParamsHost::AddButton(int controlId, const char* text, bool enabled) {
    // Widths from the main window's template, in dialog units.
    int width = 50;
    switch (controlId) {
    case usb_params_ids::kExportButton:
    case usb_params_ids::kImportButton: width = 35; break;
    case usb_params_ids::kRefreshButton: width = 23; break;
    default: break;
    }
    auto* button = new QPushButton(QString::fromUtf8(text));
    button->setObjectName(QString::number(controlId));
    button->setAccessibleName(button->text());
    button->setAutoDefault(false);
    button->setEnabled(enabled);
    button->resize(ToPixels(DuRect{0, 0, width, kButtonHeight}, BaseUnitsOf(button->font())).size());
    buttons_.emplace_back(controlId, button);
    return button;
}

QPushButton* UsbParamsHost::Button(int controlId) const {
    for (const auto& [id, button] : buttons_) {
        if (id == controlId) return button;
    }
    return nullptr;
}

// Out of line: the page types are complete only here.
PictureTab* UsbParamsHost::Picture() const { return picture_; }
ExposureTab* UsbParamsHost::Exposure() const { return exposure_; }
WhiteBalanceTab* UsbParamsHost::WhiteBalance() const { return whiteBalance_; }
FocusTab* UsbParamsHost::Focus() const { return focus_; }
EnhanceTab* UsbParamsHost::Enhance() const { return enhance_; }
VideoTab* UsbParamsHost::Video() const { return video_; }
OthersTab* UsbParamsHost::Others() const { return others_; }

std::vector<ParamPage*> UsbParamsHost::Pages() const {
    return {picture_.data(), exposure_.data(), whiteBalance_.data(), focus_.data(),
            enhance_.data(),  video_.data(),    others_.data()};
}

int UsbParamsHost::OpenDevice(int32_t handle) {
    handle_ = 0;
    UsbCamera camera(device_, handle);
    // The ability list first: it decides the pages' choices, then the frame rate filters the
    // shutter speeds, and the record selects among them.
    AbilityList list;
    if (camera.ReadAbilityList(list) == 0) {
        abilities_ = std::move(list);
        if (exposure_) exposure_->ApplyAbility();
        if (whiteBalance_) whiteBalance_->ApplyAbility();
        if (focus_) focus_->ApplyAbility();
        if (enhance_) enhance_->ApplyAbility();
    }
    const int frameRate = camera.GetFrameRate();
    if (frameRate > 0 && exposure_) exposure_->FillShutterList(frameRate);
    VideoParam rec{};
    const int result = camera.ReadVideoParams(rec);
    if (result != 0) {
        Messages().Information(Format(kReadFailed, result));
        return result;
    }
    PushRecordToPages(rec);
    handle_ = handle;
    for (auto& [id, button] : buttons_) {
        if (button) button->setEnabled(true);
    }
    return 0;
}

void UsbParamsHost::ClearCurrentDevice() {
    handle_ = 0;
}

void UsbParamsHost::PushRecordToPages(const VideoParam& rec) {
    const std::pair<ParamPage*, uint16_t> table[] = {
        {picture_, kPictureSlice}, {exposure_, kExposureSlice}, {whiteBalance_, kWhiteBalanceSlice},
        {focus_, kFocusSlice},     {enhance_, kEnhancementSlice}, {video_, kVideoSlice},
        {others_, kOthersSlice},
    };
    for (const auto& [page, start] : table) {
        if (page) page->FillFromRecord(SliceOf(rec, start));
    }
}

void UsbParamsHost::RestoreDefaults() {
    if (handle_ == 0) return;
    if (!Messages().AskOkCancel(kRestoreQuestion)) return;
    if (Usb().RestoreDefaults() < 0) return;  // the transport side has shown its code
    VideoParam rec{};
    const int result = Usb().ReadVideoParams(rec);
    if (result != 0) {
        Messages().Information(Format(kReadFailed, result));
        return;
    }
    PushRecordToPages(rec);
}

void UsbParamsHost::Refresh() {
    // Reads also without a current device: the read then reports the handle.
    VideoParam rec{};
    const int result = Usb().ReadVideoParams(rec);
    if (result < 0) {
        Messages().Information(Format(kReadFailed, result));
        return;
    }
    PushRecordToPages(rec);
}

void UsbParamsHost::ExportParams() {
    const std::optional<QString> path = prompt_(dialogParent_, true);
    if (!path) return;
    UsbCamera camera = Usb();
    ExportCameraParams(camera, *path);
}

void UsbParamsHost::ImportParams() {
    const std::optional<QString> path = prompt_(dialogParent_, false);
    if (!path) return;
    VideoParam rec{};
    const int loaded = LoadParamFile(path->toStdString(), rec, nullptr);
    if (loaded == kParamFileSizeMismatch) {
        Messages().Information(kLengthMismatch);
        return;
    }
    if (loaded != 0) {
        Messages().Information(kFileOpenFailed);
        return;
    }
    // The pages show the file's values at once, also when the camera then refuses them.
    PushRecordToPages(rec);
    if (Usb().WriteVideoParams(rec) == 0) Messages().Information(kImported);
}

int UsbParamsHost::SetVideoParamField(const VideoParamField& field, int32_t value) {
    if (handle_ == 0) return 0;
    return Usb().SetField(field, value);
}

int UsbParamsHost::GetFocusNear() {
    if (handle_ == 0) return 0;
    return Usb().GetFocusNear();
}

void UsbParamsHost::RequestRefresh() {
    QMetaObject::invokeMethod(this, [this] { Refresh(); }, Qt::QueuedConnection);
}

}  // namespace velmora::ui
