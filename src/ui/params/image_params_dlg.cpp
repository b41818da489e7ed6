#include "ui/params/image_params_dlg.h"

#include <span>

#include <QKeyEvent>
#include <QMetaObject>
#include <QPushButton>
#include <QShowEvent>
#include <QTabWidget>

#include "platform/user_messages.h"
#include "protocol/param_file.h"
#include "ui/params/dialog_units.h"
#include "ui/params/param_actions.h"
#include "ui/params/exposure_page.h"
#include "ui/params/focus_page.h"
#include "ui/params/picture_page.h"
#include "ui/params/video_page.h"
#include "ui/params/white_balance_page.h"

namespace velmora::ui {

namespace {

constexpr const char kDialogTitle[] = "图像参数";
constexpr const char kRestoreQuestion[] = "所有视频参数都将恢复默认，确认执行此操作?";
constexpr const char kReadFailed[] = "获取图像参数失败: %d.";
constexpr const char kFileOpenFailed[] = "文件打开失败";
constexpr const char kImported[] = "导入配置成功！";
constexpr const char kLengthMismatch[] = "数据长度不匹配：%lld != %d.";

// Template 259 in dialog units.
constexpr DuRect kDialogRect{0, 0, 270, 268};
constexpr DuRect kTabRect{7, 7, 258, 236};
constexpr int kButtonY = 247;
constexpr int kButtonHeight = 14;

std::span<const uint8_t> SliceOf(const VideoParam& rec, size_t start) {
    return std::span<const uint8_t>(rec.bytes).subspan(start);
}

}  // namespace

ImageParamsDlg::ImageParamsDlg(QWidget* parent)
    : QDialog(parent), camera_(std::make_unique<NetCamera>(-1, std::string(), 0)), prompt_(AskWithPathPicker) {
    setWindowTitle(QString::fromUtf8(kDialogTitle));
    setObjectName(QString::number(image_params_ids::kTemplate));
    const DialogBaseUnits base = BaseUnitsOf(font());
    const QRect whole = ToPixels(kDialogRect, base);
    setFixedSize(whole.size());

    tabs_ = new QTabWidget(this);
    tabs_->setObjectName(QString::number(image_params_ids::kTabControl));
    tabs_->setGeometry(ToPixels(kTabRect, base));

    picture_ = new PictureTab();
    exposure_ = new ExposureTab();
    whiteBalance_ = new WhiteBalanceTab();
    focus_ = new FocusTab();
    video_ = new VideoTab();
    // Tab order and texts.
    const std::pair<ParamPage*, const char*> tabs[] = {
        {picture_, "图像调节"},
        {exposure_, "曝光参数"},
        {whiteBalance_, "白平衡"},
        {focus_, "聚焦"},
        {video_, "视频调整"},
    };
    for (const auto& [page, text] : tabs) {
        page->SetHost(this, false);
        tabs_->addTab(page, QString::fromUtf8(text));
        pages_.push_back(page);
    }
    tabs_->setCurrentIndex(0);

    AddButton(image_params_ids::kImportButton, "导入配置", 85, 40);
    AddButton(image_params_ids::kExportButton, "导出配置", 126, 40);
    AddButton(image_params_ids::kRefreshButton, "刷新", 185, 28);
    AddButton(image_params_ids::kRestoreButton, "恢复默认", 215, 50);
    connect(Button(image_params_ids::kImportButton), &QPushButton::clicked, this, [this] { ImportParams(); });
    connect(Button(image_params_ids::kExportButton), &QPushButton::clicked, this, [this] { ExportParams(); });
    connect(Button(image_params_ids::kRefreshButton), &QPushButton::clicked, this, [this] { Refresh(); });
    connect(Button(image_params_ids::kRestoreButton), &QPushButton::clicked, this, [this] { RestoreDefaults(); });
}

ImageParamsDlg::~ImageParamsDlg() = default;

QPushButton* ImageParamsDlg::AddButton(int controlId, const char* text, int x, int width) {
    auto* button = new QPushButton(QString::fromUtf8(text), this);
    button->setObjectName(QString::number(controlId));
    button->setAccessibleName(button->text());
    // Enter never presses a button by itself: the dialog has no default button.
    button->setAutoDefault(false);
    button->setDefault(false);
    button->setGeometry(ToPixels(DuRect{x, kButtonY, width, kButtonHeight}, BaseUnitsOf(font())));
    buttons_.push_back(button);
    return button;
}

QPushButton* ImageParamsDlg::Button(int controlId) const {
    for (QPushButton* b : buttons_) {
        if (b->objectName() == QString::number(controlId)) return b;
    }
    return nullptr;
}

void ImageParamsDlg::SetLoginHandle(int session, std::string address, int port) {
    camera_ = std::make_unique<NetCamera>(session, std::move(address), port);
}

void ImageParamsDlg::Initialise() {
    if (initialised_) return;
    initialised_ = true;
    // The ability list first: it decides the exposure and focus pages' choices, then the frame
    // rate filters the shutter speeds, and the record selects among them.
    AbilityList list;
    if (camera_->ReadAbilityList(list) == 0) {
        abilities_ = std::move(list);
        exposure_->ApplyAbility();
        whiteBalance_->ApplyAbility();
        focus_->ApplyAbility();
    }
    const int frameRate = camera_->GetFrameRate();
    if (frameRate > 0) exposure_->FillShutterList(frameRate);
    VideoParam rec{};
    if (camera_->ReadVideoParams(rec) == 0) PushRecordToPages(rec);
}

void ImageParamsDlg::PushRecordToPages(const VideoParam& rec) {
    picture_->FillFromRecord(SliceOf(rec, kPictureSlice));
    exposure_->FillFromRecord(SliceOf(rec, kExposureSlice));
    whiteBalance_->FillFromRecord(SliceOf(rec, kWhiteBalanceSlice));
    focus_->FillFromRecord(SliceOf(rec, kFocusSlice));
    video_->FillFromRecord(SliceOf(rec, kVideoSlice));
}

void ImageParamsDlg::RestoreDefaults() {
    if (!Messages().AskOkCancel(kRestoreQuestion)) return;
    if (camera_->RestoreDefaults() < 0) return;  // the camera has shown its code
    VideoParam rec{};
    const int result = camera_->ReadVideoParams(rec);
    if (result != 0) {
        Messages().Information(Format(kReadFailed, result));
        return;
    }
    PushRecordToPages(rec);
}

void ImageParamsDlg::Refresh() {
    VideoParam rec{};
    const int result = camera_->ReadVideoParams(rec);
    if (result < 0) {
        Messages().Information(Format(kReadFailed, result));
        return;
    }
    PushRecordToPages(rec);
}

void ImageParamsDlg::ExportParams() {
    const std::optional<QString> path = prompt_(this, true);
    if (!path) return;
    ExportCameraParams(*camera_, *path);
}

void ImageParamsDlg::ImportParams() {
    const std::optional<QString> path = prompt_(this, false);
    if (!path) return;
    VideoParam rec{};
    long long size = -1;
    const int loaded = LoadParamFile(path->toStdString(), rec, &size);
    if (loaded == kParamFileSizeMismatch) {
        Messages().Information(Format(kLengthMismatch, size, static_cast<int>(kVideoParamSize)));
        return;
    }
    if (loaded != 0) {
        Messages().Information(kFileOpenFailed);
        return;
    }
    // The pages show the file's values at once, also when the camera then refuses them.
    PushRecordToPages(rec);
    if (camera_->WriteVideoParams(rec) == 0) Messages().Information(kImported);
}

int ImageParamsDlg::SetVideoParamField(const VideoParamField& field, int32_t value) {
    return camera_->SetField(field, value);
}

int ImageParamsDlg::GetFocusNear() {
    return camera_->GetFocusNear();
}

void ImageParamsDlg::RequestRefresh() {
    QMetaObject::invokeMethod(this, [this] { Refresh(); }, Qt::QueuedConnection);
}

void ImageParamsDlg::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (!initialised_) Initialise();
}

void ImageParamsDlg::keyPressEvent(QKeyEvent* event) {
    switch (event->key()) {
    case Qt::Key_Escape:
    case Qt::Key_Return:
    case Qt::Key_Enter:
        event->accept();  // neither closes the dialog
        return;
    default:
        QDialog::keyPressEvent(event);
    }
}

}  // namespace velmora::ui
