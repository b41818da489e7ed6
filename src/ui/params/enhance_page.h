#pragma once

#include "ui/params/param_page.h"

// The enhancement page: 2D and 3D noise reduction, defog mode and level, gamma, and four hidden
// rows (defective-pixel correction, smart exposure, smart focus, lens distortion correction)
// sharing one place at the bottom. Every combo box sends its index unchanged; the sliders keep
// the range 0 to 100. The defog_mode rule enables the defog-level row only in manual mode (2).
// Only the main window hosts this page.
// Thread-bound: the user-interface thread.
namespace velmora::ui {

namespace enhance_ids {
inline constexpr int kTemplate = 271;
inline constexpr int k2dNoiseSlider = 1482;
inline constexpr int k3dNoiseSlider = 1483;
inline constexpr int kDefectSlider = 1484;
inline constexpr int kDefogCombo = 1485;
inline constexpr int kDefogLevelSlider = 1486;
inline constexpr int kGammaCombo = 1487;
inline constexpr int kSmartExposureCombo = 1488;
inline constexpr int kSmartFocusCombo = 1489;
inline constexpr int kDistortionCombo = 1490;
inline constexpr int k2dNoiseEdit = 1495;
inline constexpr int k3dNoiseEdit = 1496;
inline constexpr int kDefectEdit = 1497;
inline constexpr int kDefogLevelEdit = 1498;
inline constexpr int kDefogLevelLabel = 1508;
inline constexpr int kDistortionLabel = 1523;
inline constexpr int kDefogManual = 2;
}  // namespace enhance_ids

const PageSpec& EnhancePageSpec();

// The gamma texts used when the camera's ability list is empty: "默认", then 0.43 to 0.63 in
// steps of 0.02 (twelve items). The page sends the chosen item's index whichever list it holds.
std::span<const char* const> BuiltInGammaItems();

class EnhanceTab : public ParamPage {
    Q_OBJECT

public:
    explicit EnhanceTab(QWidget* parent = nullptr);

    // An empty ability list loads the built-in gamma texts. Otherwise each item is matched
    // against "ucCamCorrection" (Display not 0 shows the distortion-correction row) and
    // "ucGammaVal" (its option labels replace the gamma texts, in list order).
    void ApplyAbility() override;

    // "defog_mode": the defog-level label, slider and edit box are enabled for the manual mode
    // (2) and disabled for any other value. Other names do nothing.
    void RunModeRule(std::string_view name, int value) override;

protected:
    void AfterFill(std::span<const uint8_t> slice) override;
    void AfterComboSent(const PageRow& row, int result) override;
};

}  // namespace velmora::ui
