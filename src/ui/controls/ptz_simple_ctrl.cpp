#include "ui/controls/ptz_simple_ctrl.h"

#include "camera/net_camera.h"
#include "camera/usb_camera.h"
#include "platform/user_messages.h"
#include "protocol/requests.h"
#include "transport/usb/cusb_device.h"

#include <QEvent>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QPushButton>
#include <QTimer>

#include "ui/common/dialog_units.h"
#include "ui/common/wait_off_thread.h"

namespace velmora::ui {

namespace {

// Where the controls sit, in dialog units of the pane (117 x 125).
constexpr DuRect kPaneRect{0, 0, 117, 125};
constexpr int kRowHeight = 16;
constexpr int kZoomRowY = 8;
constexpr int kFocusRowY = 30;
constexpr DuRect kMinusRect{8, 0, 28, kRowHeight};  // y comes from the row
constexpr DuRect kRowLabelRect{40, 0, 37, kRowHeight};
constexpr DuRect kPlusRect{81, 0, 28, kRowHeight};
constexpr DuRect kGroupRect{6, 52, 105, 65};
constexpr std::array<DuRect, 3> kTileRects{{{16, 68, 25, 20}, {46, 68, 25, 20}, {76, 68, 25, 20}}};
constexpr std::array<DuRect, 3> kActionRects{{{14, 95, 27, 15}, {45, 95, 27, 15}, {76, 95, 27, 15}}};

constexpr DuRect AtRow(DuRect rect, int y) {
    rect.y = y;
    return rect;
}

constexpr const char kInvalidHandleText[] = "无效的登录句柄！";
constexpr const char kNoPresetText[] = "未选中预置位！";

QPushButton* MakeButton(const QString& text, int id, const QString& accessibleName, QWidget* parent) {
    auto* button = new QPushButton(text, parent);
    button->setObjectName(QString::number(id));
    button->setAccessibleName(accessibleName);
    // The main window is a dialog: keep Enter from pressing a zoom or preset button.
    button->setAutoDefault(false);
    return button;
}

}  // namespace

PtzSender MakeCameraPtzSender(transport::CUSBDevice& device) {
    return [&device](const PtzTarget& target, const std::vector<std::string>& texts) {
        if (target.port == 0) return camera::UsbCamera(device, target.handle).SendPtzTexts(texts);
        return camera::NetCamera(target.handle, target.address, target.port).SendPtzTexts(texts);
    };
}

CPtzSimpleCtrl::CPtzSimpleCtrl(PtzSender sender, QWidget* parent) : QWidget(parent), sender_(std::move(sender)) {
    setObjectName(QString::number(ptz_ids::kTemplate));
    BuildControls();
}

void CPtzSimpleCtrl::BuildControls() {
    const DialogBaseUnits base = BaseUnitsOf(font());
    setFixedSize(ToPixels(kPaneRect, base).size());

    struct Row {
        const char* label;
        int y;
        int minusId, plusId;
        const char* minusCmd;
        const char* plusCmd;
        const char* stopCmd;
    };
    const Row rows[2] = {
        {QT_TR_NOOP("变倍"), kZoomRowY, ptz_ids::kZoomOut, ptz_ids::kZoomIn, protocol::kPtzZoomWide,
         protocol::kPtzZoomTele, protocol::kPtzZoomStop},
        {QT_TR_NOOP("聚焦"), kFocusRowY, ptz_ids::kFocusNear, ptz_ids::kFocusFar, protocol::kPtzFocusNear,
         protocol::kPtzFocusFar, protocol::kPtzFocusStop},
    };
    const QString minus = QStringLiteral("－");
    const QString plus = QStringLiteral("＋");
    size_t next = 0;
    for (const Row& row : rows) {
        const QString name = tr(row.label);
        QPushButton* minusButton = MakeButton(minus, row.minusId, name + minus, this);
        minusButton->setGeometry(ToPixels(AtRow(kMinusRect, row.y), base));
        auto* label = new QLabel(name, this);
        label->setAlignment(Qt::AlignCenter);
        label->setGeometry(ToPixels(AtRow(kRowLabelRect, row.y), base));
        label->setBuddy(minusButton);
        QPushButton* plusButton = MakeButton(plus, row.plusId, name + plus, this);
        plusButton->setGeometry(ToPixels(AtRow(kPlusRect, row.y), base));
        hold_[next++] = HoldButton{row.minusId, minusButton, row.minusCmd, row.stopCmd};
        hold_[next++] = HoldButton{row.plusId, plusButton, row.plusCmd, row.stopCmd};
    }
    // The buttons press and release as usual; the filter only watches their left button.
    for (const HoldButton& hold : hold_) hold.button->installEventFilter(this);

    presets_ = new QGroupBox(tr("预置位"), this);
    presets_->setAccessibleName(presets_->title());
    const QRect group = ToPixels(kGroupRect, base);
    presets_->setGeometry(group);
    const auto inGroup = [&](const DuRect& rect) { return ToPixels(rect, base).translated(-group.topLeft()); };

    const int tileIds[3] = {ptz_ids::kPreset1, ptz_ids::kPreset2, ptz_ids::kPreset3};
    for (int i = 0; i < 3; ++i) {
        const int n = i + 1;
        auto* tile = new CRadiobuttonEx(QString::number(n), presets_);
        tile->setObjectName(QString::number(tileIds[i]));
        tile->setAccessibleName(tr("预置位%1").arg(n));
        tile->setGeometry(inGroup(kTileRects[static_cast<size_t>(i)]));
        connect(tile, &QPushButton::clicked, this, [this, n] { OnPresetClicked(n); });
        tiles_[static_cast<size_t>(i)] = tile;
    }

    add_ = MakeButton(tr("添加"), ptz_ids::kAdd, tr("添加"), presets_);
    call_ = MakeButton(tr("调用"), ptz_ids::kCall, tr("调用"), presets_);
    delete_ = MakeButton(tr("删除"), ptz_ids::kDelete, tr("删除"), presets_);
    add_->setGeometry(inGroup(kActionRects[0]));
    call_->setGeometry(inGroup(kActionRects[1]));
    delete_->setGeometry(inGroup(kActionRects[2]));
    connect(add_, &QPushButton::clicked, this, [this] { OnAdd(); });
    connect(call_, &QPushButton::clicked, this, [this] { OnCall(); });
    connect(delete_, &QPushButton::clicked, this, [this] { OnDelete(); });
}

void CPtzSimpleCtrl::SetTarget(int handle, const std::string& address, int port) {
    target_.handle = handle;
    target_.address = address.substr(0, kAddressBytes);
    target_.port = port;
}

QPushButton* CPtzSimpleCtrl::Button(int controlId) const {
    for (const HoldButton& hold : hold_) {
        if (hold.id == controlId) return hold.button;
    }
    switch (controlId) {
        case ptz_ids::kPreset1: return tiles_[0];
        case ptz_ids::kPreset2: return tiles_[1];
        case ptz_ids::kPreset3: return tiles_[2];
        case ptz_ids::kAdd: return add_;
        case ptz_ids::kCall: return call_;
        case ptz_ids::kDelete: return delete_;
        default: return nullptr;
    }
}

CRadiobuttonEx* CPtzSimpleCtrl::PresetButton(int n) const {
    return n >= 1 && n <= 3 ? tiles_[static_cast<size_t>(n - 1)] : nullptr;
}

int CPtzSimpleCtrl::Send(const std::vector<std::string>& texts) {
    if (target_.handle < 0 || !sender_) return 0;
    const PtzSender sender = sender_;
    const PtzTarget target = target_;
    return WaitOffUiThread([&] { return sender(target, texts); });
}

bool CPtzSimpleCtrl::eventFilter(QObject* watched, QEvent* event) {
    const QEvent::Type type = event->type();
    bool press = type == QEvent::MouseButtonPress || type == QEvent::MouseButtonDblClick;
    bool act = (press || type == QEvent::MouseButtonRelease) &&
               static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton;
    // Space on a focused button presses and releases it like the mouse; its auto-repeat is the
    // key being held, not new presses.
    if ((type == QEvent::KeyPress || type == QEvent::KeyRelease) && static_cast<QKeyEvent*>(event)->key() == Qt::Key_Space &&
        !static_cast<QKeyEvent*>(event)->isAutoRepeat()) {
        press = type == QEvent::KeyPress;
        act = true;
    }
    if (act) {
        for (const HoldButton& hold : hold_) {
            if (hold.button != watched) continue;
            // A second quick press arrives as a double click; it starts the movement again like
            // any press. A pressed button keeps the mouse, so the release comes here even when
            // the pointer has left the button; leaving it while held sends nothing.
            if (press) {
                gestureResult_ = Send({protocol::BuildPtzRequest(hold.moveCmd)});
            } else {
                const int stopped =
                    Send({protocol::BuildPtzRequest(protocol::kPtzStop), protocol::BuildPtzRequest(hold.stopCmd)});
                ReportGesture(gestureResult_ < 0 ? gestureResult_ : stopped);
                gestureResult_ = 0;
            }
        }
    }
    return QWidget::eventFilter(watched, event);
}

void CPtzSimpleCtrl::ReportGesture(int result) {
    if (result >= 0) return;
    // Once per gesture, after the release has been let through, so the button is up while the
    // message shows.
    QTimer::singleShot(0, this, [result] { platform::Messages().Information(platform::Format("返回错误码: %d", result)); });
}

void CPtzSimpleCtrl::OnPresetClicked(int n) {
    // The clicked tile has switched its own light over already. The previous choice is switched
    // over too (not simply turned off), so a choice that was dark lights up again.
    if (selected_ != 0 && selected_ != n) tiles_[static_cast<size_t>(selected_ - 1)]->Toggle();
    selected_ = n;
}

bool CPtzSimpleCtrl::CheckPresetAction() {
    if (target_.handle < 0) {
        platform::Messages().Information(kInvalidHandleText);
        return false;
    }
    if (selected_ == 0) {
        platform::Messages().Information(kNoPresetText);
        return false;
    }
    return true;
}

void CPtzSimpleCtrl::OnAdd() {
    if (!CheckPresetAction()) return;
    const int n = selected_;
    const int r = Send({protocol::BuildPresetRequest(protocol::kPresetSet, n)});
    if (r != 0) {
        platform::Messages().Information(platform::Format("添加预置位%d失败，返回错误码：%d。", n, r));
    } else {
        platform::Messages().Information(platform::Format("添加预置位%d成功。", n));
    }
}

void CPtzSimpleCtrl::OnCall() {
    if (!CheckPresetAction()) return;
    const int n = selected_;
    const int r = Send({protocol::BuildPresetRequest(protocol::kPresetCall, n)});
    if (r < 0) platform::Messages().Information(platform::Format("调用预置位%d失败，返回错误码：%d。", n, r));
}

void CPtzSimpleCtrl::OnDelete() {
    if (!CheckPresetAction()) return;
    const int n = selected_;
    if (!platform::Messages().AskYesNoTitled(platform::Format("确定要删除预置位%d？", n), "删除")) return;
    const int r = Send({protocol::BuildPresetRequest(protocol::kPresetDel, n)});
    if (r != 0) {
        platform::Messages().Information(platform::Format("删除预置位%d失败，返回错误码：%d。", n, r));
    } else {
        platform::Messages().Information(platform::Format("删除预置位%d成功。", n));
    }
}

}  // namespace velmora::ui
