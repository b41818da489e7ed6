#include "ui/params/focus_page.h"

#include <array>

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "ui/params/ability_rules.h"
#include "ui/common/dialog_units.h"
#include "ui/params/row_layout.h"
#include "ui/common/ui_text.h"

namespace velmora::ui {

namespace {

using namespace focus_ids;
using layout::ComboRow;

constexpr std::array<const char*, 4> kModes{QT_TRANSLATE_NOOP("velmora", "手动"), QT_TRANSLATE_NOOP("velmora", "自动"), QT_TRANSLATE_NOOP("velmora", "一次"), "TOF"};
constexpr std::array<const char*, 5> kAreas{QT_TRANSLATE_NOOP("velmora", "默认"), QT_TRANSLATE_NOOP("velmora", "全部"), QT_TRANSLATE_NOOP("velmora", "上"), QT_TRANSLATE_NOOP("velmora", "中"), QT_TRANSLATE_NOOP("velmora", "下")};
constexpr std::array<const char*, 2> kStrategies{QT_TRANSLATE_NOOP("velmora", "速度优先"), QT_TRANSLATE_NOOP("velmora", "平滑优先")};
constexpr std::array<const char*, 11> kNearLimits{"1cm",  "30cm", "50cm", "75cm", "1.0m", "1.5m",
                                                  "2.0m", "3.0m", "5.0m", "10m",  "21m"};
constexpr std::array<const char*, 3> kSensitivities{QT_TRANSLATE_NOOP("velmora", "低"), QT_TRANSLATE_NOOP("velmora", "中"), QT_TRANSLATE_NOOP("velmora", "高")};
// Index k is k × 0.5 m, from 0 to 10 m.
constexpr std::array<const char*, 21> kLaserRanges{
    "0m",   "0.5m", "1.0m", "1.5m", "2.0m", "2.5m", "3.0m", "3.5m", "4.0m", "4.5m", "5.0m",
    "5.5m", "6.0m", "6.5m", "7.0m", "7.5m", "8.0m", "8.5m", "9.0m", "9.5m", "10.0m"};

constexpr int kLabelWidth = 56;
constexpr int kComboWidth = 80;

constexpr PageRow StrategyRow() {
    PageRow row = ComboRow(2, QT_TRANSLATE_NOOP("velmora", "聚焦策略: "), kStrategyCombo, "ucAFScene", kStrategies,
                           kLabelWidth, kComboWidth);
    row.labelId = kStrategyLabel;
    return row;
}

constexpr PageRow LaserRangeRow() {
    PageRow row = ComboRow(5, QT_TRANSLATE_NOOP("velmora", "激光量程:"), kLaserRangeCombo, "nMaxValDistance", kLaserRanges,
                           kLabelWidth, kComboWidth);
    row.hidden = true;
    return row;
}

// Record slice: ucFocusMode, ucAFScene, ucAFArea, ucFocusDistanceMin, ucAFSen, laser range.
// The two hidden rows (laser range, focus-near read-back) share the last grid row: nothing
// shows them, and the page keeps its template size.
constexpr std::array<PageRow, 6> kRows{
    ComboRow(0, QT_TRANSLATE_NOOP("velmora", "聚焦模式: "), kModeCombo, "ucFocusMode", kModes, kLabelWidth, kComboWidth),
    ComboRow(1, QT_TRANSLATE_NOOP("velmora", "聚焦区域: "), kAreaCombo, "ucAFArea", kAreas, kLabelWidth, kComboWidth),
    StrategyRow(),
    ComboRow(3, QT_TRANSLATE_NOOP("velmora", "聚焦近限: "), kNearLimitCombo, "ucFocusDistanceMin", kNearLimits, kLabelWidth,
             kComboWidth),
    ComboRow(4, QT_TRANSLATE_NOOP("velmora", "聚焦灵敏度: "), kSensitivityCombo, "ucAFSen", kSensitivities, kLabelWidth,
             kComboWidth),
    LaserRangeRow(),
};

constexpr PageSpec kSpec{
    kTemplate, QT_TRANSLATE_NOOP("velmora", "聚焦"), 186, 144, DuRect{7, 4, 120, 18}, kRows, protocol::kFocusSlice};

}  // namespace

const PageSpec& FocusPageSpec() { return kSpec; }

FocusTab::FocusTab(QWidget* parent) : ParamPage(kSpec, parent) {
    // The focus-near read-back row: label, edit box, unit, refresh button; hidden.
    const DialogBaseUnits base = BaseUnitsOf(font());
    const int y = layout::RowY(5);
    focusNearLabel_ = new QLabel(QCoreApplication::translate("velmora", "聚焦近限值:"), this);
    focusNearLabel_->setGeometry(ToPixels(DuRect{layout::kLeft, y + 3, kLabelWidth, 8}, base));
    focusNearEdit_ = new QLineEdit(this);
    focusNearEdit_->setObjectName(QString::number(kFocusNearEdit));
    focusNearEdit_->setAccessibleName(QCoreApplication::translate("velmora", "聚焦近限值"));
    focusNearEdit_->setReadOnly(true);  // shows what the camera reports; nothing sends it
    focusNearEdit_->setGeometry(ToPixels(DuRect{64, y + 1, 40, 12}, base));
    focusNearEdit_->setText(QStringLiteral("0"));
    focusNearLabel_->setBuddy(focusNearEdit_);
    unitLabel_ = new QLabel(QStringLiteral("mm"), this);
    unitLabel_->setGeometry(ToPixels(DuRect{106, y + 3, 14, 8}, base));
    refreshButton_ = new QPushButton(QCoreApplication::translate("velmora", "刷新"), this);
    refreshButton_->setObjectName(QString::number(kRefreshButton));
    refreshButton_->setGeometry(ToPixels(DuRect{124, y, 40, 14}, base));
    connect(refreshButton_, &QPushButton::clicked, this, [this] { RefreshFocusNear(); });
    for (QWidget* w : {static_cast<QWidget*>(focusNearLabel_), static_cast<QWidget*>(focusNearEdit_),
                       static_cast<QWidget*>(unitLabel_), static_cast<QWidget*>(refreshButton_)}) {
        w->hide();
    }
}

void FocusTab::ApplyAbility() {
    ResetAbilityRows();  // the strategy row the previous camera's list hid comes back
    for (const protocol::AbilityItem& item : Abilities()) {
        if (AbilityKeyIs(item, "ucAFScene") && item.display == 0) SetRowVisible(kStrategyCombo, false);
    }
}

void FocusTab::RefreshFocusNear() {
    if (!Host()) return;
    const int result = Host()->GetFocusNear();
    if (result < 0) return;
    focusNear_ = result;
    ShowPage();
    focusNearEdit_->setText(QString::number(focusNear_));
}

}  // namespace velmora::ui
