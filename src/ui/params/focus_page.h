#pragma once

#include "ui/params/param_page.h"

class QLabel;
class QLineEdit;
class QPushButton;

// The focus page: autofocus mode, area, strategy, near limit and sensitivity, plus the hidden
// laser-range box, six combo boxes that send their index unchanged; and the hidden focus-near
// read-back (an edit box in millimetres with its refresh button). The laser-range box takes the
// slice's sixth byte, which no reply member fills. There is no mode rule.
// Thread-bound: the user-interface thread.
namespace velmora::ui {

namespace focus_ids {
inline constexpr int kTemplate = 267;
inline constexpr int kModeCombo = 1480;
inline constexpr int kStrategyCombo = 1481;
inline constexpr int kAreaCombo = 1482;
inline constexpr int kNearLimitCombo = 1483;
inline constexpr int kSensitivityCombo = 1484;
inline constexpr int kLaserRangeCombo = 1487;
inline constexpr int kFocusNearEdit = 1519;
inline constexpr int kRefreshButton = 1520;
inline constexpr int kStrategyLabel = 1521;
}  // namespace focus_ids

const PageSpec& FocusPageSpec();

class FocusTab : public ParamPage {
    Q_OBJECT

public:
    explicit FocusTab(QWidget* parent = nullptr);

    // An ability item "ucAFScene" with Display 0 hides the strategy row for good; nothing else
    // in the list concerns the page.
    void ApplyAbility() override;

    // The refresh button: asks the host for the focus-near value; 0 or more is shown in the
    // focus-near box, a negative result changes nothing (the host has reported it).
    void RefreshFocusNear();
    int FocusNear() const { return focusNear_; }

    QLineEdit* FocusNearEdit() const { return focusNearEdit_; }
    QLabel* FocusNearLabel() const { return focusNearLabel_; }
    QLabel* UnitLabel() const { return unitLabel_; }
    QPushButton* RefreshButton() const { return refreshButton_; }

private:
    int focusNear_ = 0;
    QLabel* focusNearLabel_ = nullptr;
    QLineEdit* focusNearEdit_ = nullptr;
    QLabel* unitLabel_ = nullptr;
    QPushButton* refreshButton_ = nullptr;
};

}  // namespace velmora::ui
