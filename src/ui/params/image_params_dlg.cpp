#include "ui/params/image_params_dlg.h"

#include <span>

#include <QKeyEvent>
#include <QMetaObject>
#include <QPushButton>
#include <QShowEvent>
#include <QTabWidget>

#include "platform/user_messages.h"
#include "protocol/param_file.h"
#include "ui/common/dialog_units.h"
#include "ui/params/param_actions.h"
#include "ui/params/exposure_page.h"
#include "ui/params/focus_page.h"
#include "ui/params/picture_page.h"
#include "ui/params/video_page.h"
#include "ui/params/white_balance_page.h"
#include "ui/common/ui_text.h"

namespace velmora::ui {

namespace {

constexpr const char kDialogTitle[] = QT_TRANSLATE_NOOP("velmora", "图像参数");

// Template 259 in dialog units.
constexpr DuRect kDialogRect{0, 0, 270, 268};
constexpr DuRect kTabRect{7, 7, 258, 236};
constexpr int kButtonY = 247;
constexpr int kButtonHeight = 14;


}  // namespace

ImageParamsDlg::ImageParamsDlg(QWidget* parent)
    : QDialog(parent),
      camera_(std::make_shared<camera::NetCamera>(-1, std::string(), 0)),
      controller_(PageController::Rules{.reportFailedOpen = false, .lengthMismatchWithSizes = true}),
      prompt_(AskWithPathPicker) {
    controller_.SetCurrent(camera_);
    setWindowTitle(UiText(kDialogTitle));
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
        {picture_, QT_TRANSLATE_NOOP("velmora", "图像调节")},
        {exposure_, QT_TRANSLATE_NOOP("velmora", "曝光参数")},
        {whiteBalance_, QT_TRANSLATE_NOOP("velmora", "白平衡")},
        {focus_, QT_TRANSLATE_NOOP("velmora", "聚焦")},
        {video_, QT_TRANSLATE_NOOP("velmora", "视频调整")},
    };
    for (const auto& [page, text] : tabs) {
        page->SetHost(this, false);
        tabs_->addTab(page, UiText(text));
        pages_.push_back(page);
        controller_.AddPage(page);
    }
    tabs_->setCurrentIndex(0);

    AddButton(image_params_ids::kImportButton, QT_TRANSLATE_NOOP("velmora", "导入配置"), 85, 40);
    AddButton(image_params_ids::kExportButton, QT_TRANSLATE_NOOP("velmora", "导出配置"), 126, 40);
    AddButton(image_params_ids::kRefreshButton, QT_TRANSLATE_NOOP("velmora", "刷新"), 185, 28);
    AddButton(image_params_ids::kRestoreButton, QT_TRANSLATE_NOOP("velmora", "恢复默认"), 215, 50);
    connect(Button(image_params_ids::kImportButton), &QPushButton::clicked, this, [this] { ImportParams(); });
    connect(Button(image_params_ids::kExportButton), &QPushButton::clicked, this, [this] { ExportParams(); });
    connect(Button(image_params_ids::kRefreshButton), &QPushButton::clicked, this, [this] { Refresh(); });
    connect(Button(image_params_ids::kRestoreButton), &QPushButton::clicked, this, [this] { RestoreDefaults(); });
}

ImageParamsDlg::~ImageParamsDlg() = default;

QPushButton* ImageParamsDlg::AddButton(int controlId, const char* text, int x, int width) {
    auto* button = new QPushButton(UiText(text), this);
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
    // The title names the camera when its address is known: "图像参数 - 127.0.0.2".
    setWindowTitle(address.empty() ? UiText(kDialogTitle)
                                   : UiText(kDialogTitle) + QStringLiteral(" - ") + QString::fromStdString(address));
    SetCamera(std::make_shared<camera::NetCamera>(session, std::move(address), port));
}

void ImageParamsDlg::SetCamera(std::shared_ptr<camera::NetCamera> camera) {
    camera_ = std::move(camera);
    controller_.SetCurrent(camera_);
}

void ImageParamsDlg::Initialise() {
    if (initialised_) return;
    initialised_ = true;
    controller_.Open(camera_);
}

void ImageParamsDlg::RestoreDefaults() { controller_.RestoreDefaults(); }

void ImageParamsDlg::Refresh() { controller_.Refresh(); }

void ImageParamsDlg::ExportParams() {
    const std::optional<QString> path = prompt_(this, true);
    if (path) controller_.Export(*path);
}

void ImageParamsDlg::ImportParams() {
    const std::optional<QString> path = prompt_(this, false);
    if (path) controller_.Import(*path);
}

int ImageParamsDlg::SetVideoParamField(const protocol::VideoParamField& field, int32_t value) {
    return controller_.SetField(field, value);
}

int ImageParamsDlg::GetFocusNear() { return controller_.GetFocusNear(); }

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
