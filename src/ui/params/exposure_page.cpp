#include "ui/params/exposure_page.h"

#include <array>

#include <QComboBox>

#include "ui/params/ability_rules.h"
#include "ui/params/row_layout.h"
#include "ui/params/shutter_table.h"

namespace velmora::ui {

namespace {

using layout::Hidden;
using layout::Labelled;

using namespace exposure_ids;

constexpr int kIrisOff = 254;

constexpr std::array<const char*, 4> kModeItems{QT_TRANSLATE_NOOP("velmora", "自动"), QT_TRANSLATE_NOOP("velmora", "手动"), QT_TRANSLATE_NOOP("velmora", "快门优先"), QT_TRANSLATE_NOOP("velmora", "光圈优先")};
constexpr std::array<const char*, 12> kIrisItems{QT_TRANSLATE_NOOP("velmora", "关闭"), "F1.5", "F2.0", "F2.4", "F2.8", "F3.4",
                                                 "F4.0", "F4.8", "F5.6", "F6.8", "F8.0", "F9.6"};
constexpr std::array<const char*, 4> kMeteringItems{QT_TRANSLATE_NOOP("velmora", "全局"), QT_TRANSLATE_NOOP("velmora", "中部"), QT_TRANSLATE_NOOP("velmora", "顶部"), QT_TRANSLATE_NOOP("velmora", "底部")};
constexpr std::array<const char*, 2> kWdrItems{QT_TRANSLATE_NOOP("velmora", "关闭"), QT_TRANSLATE_NOOP("velmora", "打开")};
constexpr std::array<const char*, 2> kBacklightItems{QT_TRANSLATE_NOOP("velmora", "关闭"), QT_TRANSLATE_NOOP("velmora", "开启")};
constexpr std::array<const char*, 3> kAntiFlickerItems{QT_TRANSLATE_NOOP("velmora", "关闭"), "50Hz", "60Hz"};

// The page grid: rows 16 dialog units apart from y = 24 below the title, labels 50 units wide
// (the longest, "曝光补偿值:", is five characters and a colon), controls from x = 59.
constexpr int RowY(int index) { return 24 + 16 * index; }
constexpr int kControlX = 59;
constexpr int kControlWidth = 86;

constexpr int kLabelWidth = kControlX - layout::kLeft - 1;

constexpr PageRow Slider(int index, const char* label, int labelId, int slider, int edit,
                         const char* member, int minimum, int maximum) {
    PageRow row = Labelled(
        layout::SliderRowAt(RowY(index), label, slider, edit, member, kLabelWidth, kControlWidth), labelId);
    row.minimum = minimum;
    row.maximum = maximum;
    row.labelRect.width = 50;
    row.editRect = DuRect{148, RowY(index) + 1, 26, 12};
    return row;
}

constexpr PageRow Combo(int index, const char* label, int labelId, int combo, const char* member,
                        std::span<const char* const> items, int (*indexToValue)(int) = nullptr,
                        int (*valueToIndex)(int) = nullptr) {
    PageRow row = Labelled(
        layout::ComboRowAt(RowY(index), label, combo, member, items, kLabelWidth, kControlWidth), labelId);
    row.indexToValue = indexToValue;
    row.valueToIndex = valueToIndex;
    row.labelRect.width = 50;
    return row;
}

constexpr std::array<PageRow, 11> kRows{
    Combo(0, QT_TRANSLATE_NOOP("velmora", "曝光模式:"), 0, kModeCombo, "eExposureMode", kModeItems),
    Slider(1, QT_TRANSLATE_NOOP("velmora", "曝光补偿值:"), kCompensationLabel, kCompensationSlider, kCompensationEdit, "BExpCPS",
           -50, 50),
    // The shutter box is filled by FillShutterList; its mappings go through the shared table.
    Combo(2, QT_TRANSLATE_NOOP("velmora", "快门速度:"), kShutterLabel, kShutterCombo, "uiMShutterSpeed", {}),
    Combo(3, QT_TRANSLATE_NOOP("velmora", "光圈:"), kIrisLabel, kIrisCombo, "ucManualIris", kIrisItems,
          IrisIndexToValue, IrisValueToIndex),
    Slider(4, QT_TRANSLATE_NOOP("velmora", "增益:"), kGainLabel, kGainSlider, kGainEdit, "ucManualGain", 1, 255),
    Slider(5, QT_TRANSLATE_NOOP("velmora", "增益限制:"), kGainLimitLabel, kGainLimitSlider, kGainLimitEdit, "ucAutoGainLimit", 1,
           255),
    Combo(6, QT_TRANSLATE_NOOP("velmora", "曝光区域:"), 0, kMeteringCombo, "ucAEWeightLevel", kMeteringItems,
          MeteringIndexToValue, MeteringValueToIndex),
    Combo(7, QT_TRANSLATE_NOOP("velmora", "宽动态:"), 0, kWdrCombo, "eWDMode", kWdrItems),
    Slider(8, QT_TRANSLATE_NOOP("velmora", "宽动态等级:"), kWdrLevelLabel, kWdrLevelSlider, kWdrLevelEdit, "ucWDRStrength", 0,
           100),
    Combo(9, QT_TRANSLATE_NOOP("velmora", "背光补偿:"), kBacklightLabel, kBacklightCombo, "bBacklightCompensation", kBacklightItems),
    Hidden(Combo(10, QT_TRANSLATE_NOOP("velmora", "防闪烁:"), kAntiFlickerLabel, kAntiFlickerCombo, "ucAntiFlicker", kAntiFlickerItems)),
};

constexpr PageSpec kSpec{kTemplate,
                         QT_TRANSLATE_NOOP("velmora", "曝光参数"),
                         180,
                         203,
                         DuRect{7, 4, 120, 18},
                         kRows,
                         protocol::kExposureSlice};

// The groups "exp_mode" enables, by mode: auto, manual, shutter priority, iris priority.
struct ModeGroups {
    bool shutter, gain, gainLimit, iris, compensation, backlight, antiFlicker;
};
constexpr ModeGroups kModeGroups[4] = {
    {false, false, true, false, true, true, true},
    {true, true, false, true, false, false, false},
    {true, false, true, false, false, true, true},
    {false, false, true, true, false, true, true},
};

}  // namespace

const PageSpec& ExposurePageSpec() { return kSpec; }

int IrisIndexToValue(int index) { return index == 0 ? kIrisOff : index - 1; }
int IrisValueToIndex(int value) { return value == kIrisOff ? 0 : value + 1; }
int MeteringIndexToValue(int index) { return index + 1; }
int MeteringValueToIndex(int value) { return value - 1; }

ExposureTab::ExposureTab(QWidget* parent) : ParamPage(kSpec, parent) {}

void ExposureTab::ApplyAbility() {
    ShutterTable& table = ShutterTable::Shared();
    table.Clear();
    const protocol::AbilityList& abilities = Abilities();
    if (abilities.empty()) {
        ReplaceComboItems(kIrisCombo, kIrisItems);
        return;
    }
    for (const protocol::AbilityItem& item : abilities) {
        if (AbilityKeyIs(item, "uiMShutterSpeed")) {
            table.LoadOptions(item);
        } else if (AbilityKeyIs(item, "ucManualIris")) {
            // The index mapping stays: index 0 sends 254, index k sends k - 1.
            ReplaceComboItemsFromOptions(kIrisCombo, item);
        } else if (AbilityKeyIs(item, "bBacklightCompensation")) {
            if (HasSsc8836Rule(item)) backlightFlag_ = true;
        } else if (AbilityKeyIs(item, "ucAntiFlicker")) {
            if (HasSsc8836Rule(item)) antiFlickerFlag_ = true;
        }
    }
}

void ExposureTab::FillShutterList(int frameRate) {
    ReplaceComboItems(kShutterCombo, ShutterTable::Shared().Texts(frameRate));
}

int ExposureTab::ComboIndexToValueOf(const PageRow& row, int index) const {
    if (row.controlId != kShutterCombo) return ParamPage::ComboIndexToValueOf(row, index);
    const QByteArray text = Combo(kShutterCombo)->itemText(index).toUtf8();
    return ShutterTable::Shared().ValueForText(std::string_view(text.constData(), text.size()));
}

int ExposureTab::ComboValueToIndexOf(const PageRow& row, int value) const {
    if (row.controlId != kShutterCombo) return ParamPage::ComboValueToIndexOf(row, value);
    const ShutterEntry* entry = ShutterTable::Shared().EntryForValue(value);
    if (!entry) return 0;
    // -1 (nothing selected) when the frame rate filtered the entry's text out.
    return Combo(kShutterCombo)->findText(QString::fromStdString(ShutterText(entry->denominator)),
                                          Qt::MatchExactly | Qt::MatchCaseSensitive);
}

void ExposureTab::AfterFill(std::span<const uint8_t>) {
    RunModeRule("exp_mode", Value(kModeCombo));
    RunModeRule("wdr_mode", Value(kWdrCombo));
}

void ExposureTab::AfterComboSent(const PageRow& row, int result) {
    if (result != 0) return;  // a failed change leaves the enabled states as they were
    if (row.controlId == kModeCombo) RunModeRule("exp_mode", Value(kModeCombo));
    if (row.controlId == kWdrCombo) RunModeRule("wdr_mode", Value(kWdrCombo));
}

void ExposureTab::RunModeRule(std::string_view name, int value) {
    if (name == "exp_mode") {
        ExposureModeRule(value);
    } else if (name == "wdr_mode") {
        SetRowEnabled(kWdrLevelSlider, value != 0);
    }
}

void ExposureTab::ExposureModeRule(int mode) {
    if (mode < 0 || mode > 3) return;  // any other mode changes nothing
    const ModeGroups& on = kModeGroups[mode];
    SetRowEnabled(kShutterCombo, on.shutter);
    SetRowEnabled(kGainSlider, on.gain);
    SetRowEnabled(kGainLimitSlider, on.gainLimit);
    SetRowEnabled(kIrisCombo, on.iris);
    SetRowEnabled(kCompensationSlider, on.compensation);
    if (backlightFlag_) SetRowEnabled(kBacklightCombo, on.backlight);
    if (antiFlickerFlag_) SetRowEnabled(kAntiFlickerCombo, on.antiFlicker);
}

}  // namespace velmora::ui
