#include "ui/params/enhance_page.h"

#include <array>

#include "ui/params/ability_rules.h"
#include "ui/params/row_layout.h"

namespace velmora::ui {

namespace {

using layout::Hidden;
using layout::Labelled;

using namespace enhance_ids;
using layout::ComboRowAt;
using layout::SliderRowAt;

constexpr std::array<const char*, 3> kDefogModes{QT_TRANSLATE_NOOP("velmora", "关闭"), QT_TRANSLATE_NOOP("velmora", "自动"), QT_TRANSLATE_NOOP("velmora", "手动")};
constexpr std::array<const char*, 5> kTemplateGamma{QT_TRANSLATE_NOOP("velmora", "默认"), "0.45", "0.50", "0.55", "0.63"};
constexpr std::array<const char*, 12> kBuiltInGamma{QT_TRANSLATE_NOOP("velmora", "默认"), "0.43", "0.45", "0.47", "0.49", "0.51",
                                                    "0.53", "0.55", "0.57", "0.59", "0.61", "0.63"};
constexpr std::array<const char*, 2> kOffOn{QT_TRANSLATE_NOOP("velmora", "关闭"), QT_TRANSLATE_NOOP("velmora", "打开")};

// The page is 123 units high: rows 16 units apart from y = 24 keep five visible rows and the
// shared place of the hidden ones inside it.
constexpr int RowTop(int index) { return 24 + 16 * index; }
constexpr int kLabelWidth = 44;
constexpr int kSliderWidth = 80;
constexpr int kComboWidth = 80;
constexpr int kHiddenRow = 5;

// Record slice: uc2DNR, uc3DNR, uDpSlope, ucDefogMode, ucDelFogClass, ucGammaVal, u32AIAe,
// u32AIFocus, ucCamCorrection, one byte each.
constexpr std::array<PageRow, 9> kRows{
    SliderRowAt(RowTop(0), QT_TRANSLATE_NOOP("velmora", "2D降噪: "), k2dNoiseSlider, k2dNoiseEdit, "uc2DNR", kLabelWidth,
                kSliderWidth),
    SliderRowAt(RowTop(1), QT_TRANSLATE_NOOP("velmora", "3D降噪: "), k3dNoiseSlider, k3dNoiseEdit, "uc3DNR", kLabelWidth,
                kSliderWidth),
    ComboRowAt(RowTop(2), QT_TRANSLATE_NOOP("velmora", "透雾: "), kDefogCombo, "ucDefogMode", kDefogModes, kLabelWidth,
               kComboWidth),
    Labelled(SliderRowAt(RowTop(3), QT_TRANSLATE_NOOP("velmora", "透雾等级: "), kDefogLevelSlider, kDefogLevelEdit,
                         "ucDelFogClass", kLabelWidth, kSliderWidth),
             kDefogLevelLabel),
    ComboRowAt(RowTop(4), QT_TRANSLATE_NOOP("velmora", "伽玛矫正: "), kGammaCombo, "ucGammaVal", kTemplateGamma, kLabelWidth,
               kComboWidth),
    // Hidden rows, one place at the bottom.
    Hidden(SliderRowAt(RowTop(kHiddenRow), QT_TRANSLATE_NOOP("velmora", "坏点矫正: "), kDefectSlider, kDefectEdit, "uDpSlope",
                       kLabelWidth, kSliderWidth)),
    Hidden(ComboRowAt(RowTop(kHiddenRow), QT_TRANSLATE_NOOP("velmora", "智能曝光: "), kSmartExposureCombo, "u32AIAe", kOffOn,
                      kLabelWidth, kComboWidth)),
    Hidden(ComboRowAt(RowTop(kHiddenRow), QT_TRANSLATE_NOOP("velmora", "智能聚焦: "), kSmartFocusCombo, "u32AIFocus", kOffOn,
                      kLabelWidth, kComboWidth)),
    Hidden(Labelled(ComboRowAt(RowTop(kHiddenRow), QT_TRANSLATE_NOOP("velmora", "畸变矫正: "), kDistortionCombo, "ucCamCorrection", kOffOn, kLabelWidth, kComboWidth),
                    kDistortionLabel)),
};

constexpr PageSpec kSpec{kTemplate,
                         QT_TRANSLATE_NOOP("velmora", "图像增强"),
                         170,
                         123,
                         DuRect{7, 4, 120, 18},
                         kRows,
                         protocol::kEnhancementSlice};

}  // namespace

const PageSpec& EnhancePageSpec() { return kSpec; }

std::span<const char* const> BuiltInGammaItems() { return kBuiltInGamma; }

EnhanceTab::EnhanceTab(QWidget* parent) : ParamPage(kSpec, parent) {}

void EnhanceTab::ApplyAbility() {
    ResetAbilityRows();  // the distortion row the previous camera's list showed is hidden again
    const protocol::AbilityList& abilities = Abilities();
    if (abilities.empty()) {
        ReplaceComboItems(kGammaCombo, kBuiltInGamma);
        return;
    }
    for (const protocol::AbilityItem& item : abilities) {
        if (AbilityKeyIs(item, "ucCamCorrection")) {
            if (item.display != 0) SetRowVisible(kDistortionCombo, true);
        } else if (AbilityKeyIs(item, "ucGammaVal")) {
            ReplaceComboItemsFromOptions(kGammaCombo, item);
        }
    }
}

void EnhanceTab::RunModeRule(std::string_view name, int value) {
    if (name != "defog_mode") return;
    SetRowEnabled(kDefogLevelSlider, value == kDefogManual);
}

void EnhanceTab::AfterFill(std::span<const uint8_t> slice) {
    // The rule takes the record's mode byte; a slice too short to hold it keeps the page value.
    const auto mode = RecordValue(kDefogCombo, slice);
    RunModeRule("defog_mode", mode ? *mode : Value(kDefogCombo));
}

void EnhanceTab::AfterComboSent(const PageRow& row, int result) {
    if (row.controlId == kDefogCombo && result == 0) RunModeRule("defog_mode", Value(kDefogCombo));
}

}  // namespace velmora::ui
