#include "ui/params/usb_params_host.h"

#include <algorithm>
#include <initializer_list>

#include <QMetaObject>
#include <QPushButton>

#include "platform/user_messages.h"
#include "protocol/param_file.h"
#include "ui/common/dialog_units.h"
#include "ui/params/enhance_page.h"
#include "ui/params/exposure_page.h"
#include "ui/params/focus_page.h"
#include "ui/params/others_page.h"
#include "ui/params/picture_page.h"
#include "ui/params/video_page.h"
#include "ui/params/white_balance_page.h"
#include "ui/common/ui_text.h"

namespace velmora::ui {

namespace {

constexpr int kButtonHeight = 14;  // dialog units

}  // namespace

UsbParamsHost::UsbParamsHost(transport::CUSBDevice& device, QObject* parent)
    : QObject(parent),
      device_(device),
      controller_(PageController::Rules{.reportFailedOpen = true, .lengthMismatchWithSizes = false}),
      prompt_(AskWithPathPicker) {
    controller_.SetStandIn(std::make_shared<camera::UsbCamera>(device_, 0));
    picture_ = new PictureTab();
    exposure_ = new ExposureTab();
    whiteBalance_ = new WhiteBalanceTab();
    focus_ = new FocusTab();
    enhance_ = new EnhanceTab();
    video_ = new VideoTab();
    others_ = new OthersTab();
    for (ParamPage* page : std::initializer_list<ParamPage*>{picture_, exposure_, whiteBalance_, focus_, enhance_,
                                                             video_, others_}) {
        page->SetHost(this, true);
        controller_.AddPage(page);
    }

    // All four wait for a camera whose parameters were read (restore defaults also guards itself
    // against a missing device).
    AddButton(usb_params_ids::kRestoreButton, QT_TRANSLATE_NOOP("velmora", "恢复默认"), false);
    AddButton(usb_params_ids::kExportButton, QT_TRANSLATE_NOOP("velmora", "导出配置"), false);
    AddButton(usb_params_ids::kImportButton, QT_TRANSLATE_NOOP("velmora", "导入配置"), false);
    AddButton(usb_params_ids::kRefreshButton, QT_TRANSLATE_NOOP("velmora", "刷新"), false);
    connect(Button(usb_params_ids::kRestoreButton), &QPushButton::clicked, this, [this] { RestoreDefaults(); });
    connect(Button(usb_params_ids::kExportButton), &QPushButton::clicked, this, [this] { ExportParams(); });
    connect(Button(usb_params_ids::kImportButton), &QPushButton::clicked, this, [this] { ImportParams(); });
    connect(Button(usb_params_ids::kRefreshButton), &QPushButton::clicked, this, [this] { Refresh(); });
    ShowCameraState(false);
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
    auto* button = new QPushButton(UiText(text));
    button->setObjectName(QString::number(controlId));
    button->setAccessibleName(button->text());
    button->setAutoDefault(false);
    button->setEnabled(enabled);
    QSize size = ToPixels(DuRect{0, 0, width, kButtonHeight}, BaseUnitsOf(button->font())).size();
    // A translated text longer than the given width widens its button rather than being cut.
    size.setWidth(std::max(size.width(), button->fontMetrics().horizontalAdvance(button->text()) + 12));
    button->resize(size);
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

int UsbParamsHost::OpenCamera(std::shared_ptr<camera::UsbCamera> camera) {
    current_.reset();
    const int result = controller_.Open(camera);
    if (result != 0) {
        ShowCameraState(false);
        return result;
    }
    current_ = std::move(camera);
    ShowCameraState(true);
    return 0;
}

int UsbParamsHost::OpenDevice(int32_t handle) {
    return OpenCamera(std::make_shared<camera::UsbCamera>(device_, handle));
}

void UsbParamsHost::ClearCurrentDevice() {
    current_.reset();
    controller_.Clear();
    ShowCameraState(false);
}

void UsbParamsHost::ShowCameraState(bool hasCamera) {
    for (ParamPage* page : Pages()) {
        if (!page) continue;
        if (!hasCamera) page->ShowNoRecord();
        page->setEnabled(hasCamera);
    }
    for (auto& [id, button] : buttons_) {
        if (button) button->setEnabled(hasCamera);
    }
    emit currentChanged(hasCamera);
}

int32_t UsbParamsHost::CurrentHandle() const { return current_ ? current_->handle() : 0; }

void UsbParamsHost::RestoreDefaults() { controller_.RestoreDefaults(); }

void UsbParamsHost::Refresh() { controller_.Refresh(); }

void UsbParamsHost::ExportParams() {
    const std::optional<QString> path = prompt_(dialogParent_, true);
    if (path) controller_.Export(*path);
}

void UsbParamsHost::ImportParams() {
    const std::optional<QString> path = prompt_(dialogParent_, false);
    if (path) controller_.Import(*path);
}

int UsbParamsHost::SetVideoParamField(const protocol::VideoParamField& field, int32_t value) {
    return controller_.SetField(field, value);
}

int UsbParamsHost::GetFocusNear() { return controller_.GetFocusNear(); }

void UsbParamsHost::RequestRefresh() {
    QMetaObject::invokeMethod(this, [this] { Refresh(); }, Qt::QueuedConnection);
}

}  // namespace velmora::ui
