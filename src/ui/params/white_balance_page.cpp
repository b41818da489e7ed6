#include "ui/params/white_balance_page.h"

#include <algorithm>

#include "ui/params/ability_rules.h"
#include "ui/params/row_layout.h"

namespace velmora::ui {

namespace {

using layout::Hidden;
using layout::Labelled;

using namespace white_balance_ids;
using layout::ComboRowAt;
using layout::SliderRowAt;

constexpr std::array<const char*, 5> kBuiltInModeTexts{QT_TRANSLATE_NOOP("velmora", "手动"), QT_TRANSLATE_NOOP("velmora", "自动"), QT_TRANSLATE_NOOP("velmora", "一次"), QT_TRANSLATE_NOOP("velmora", "室内"), QT_TRANSLATE_NOOP("velmora", "色温")};
constexpr std::array<int, 5> kBuiltInModeValues{0, 1, 3, 4, 30};
constexpr std::array<const char*, 3> kSensitivityItems{QT_TRANSLATE_NOOP("velmora", "低"), QT_TRANSLATE_NOOP("velmora", "中"), QT_TRANSLATE_NOOP("velmora", "高")};

// Mode values the rule treats specially.
constexpr int kModeManual = 0;
constexpr int kModeColourTemp = 30;
constexpr int kModeAllOffA = 5;
constexpr int kModeAllOffB = 14;

// The colour-temperature slider counts hundreds of kelvin.
constexpr int kKelvinPerStep = 100;

// The page is 122 units high: rows 16 units apart from y = 24 keep five visible rows and the
// shared place of the hidden fine-tuning rows inside it. Labels are 56 units wide (the longest,
// "白平衡灵敏度:", is six characters and a colon).
constexpr int RowTop(int index) { return 24 + 16 * index; }
constexpr int kLabelWidth = 56;
constexpr int kSliderWidth = 80;
constexpr int kComboWidth = 80;
constexpr int kHiddenRow = 5;

constexpr PageRow ColourTempRow() {
    PageRow row = Labelled(SliderRowAt(RowTop(4), QT_TRANSLATE_NOOP("velmora", "色温: "), kColourTempSlider, kColourTempEdit,
                                       "u32CTNum", kLabelWidth, kSliderWidth),
                           kColourTempLabel);
    row.minimum = 25;
    row.maximum = 90;
    return row;
}

constexpr std::array<PageRow, 8> kRows{
    // The mode box maps through the shared mode table (ComboIndexToValueOf / ComboValueToIndexOf).
    ComboRowAt(RowTop(0), QT_TRANSLATE_NOOP("velmora", "白平衡模式: "), kModeCombo, "eWBMode", kBuiltInModeTexts,
               kLabelWidth, kComboWidth),
    ComboRowAt(RowTop(1), QT_TRANSLATE_NOOP("velmora", "白平衡灵敏度: "), kSensitivityCombo, "uAwbTolerance",
               kSensitivityItems, kLabelWidth, kComboWidth),
    Labelled(SliderRowAt(RowTop(2), QT_TRANSLATE_NOOP("velmora", "红增益: "), kRedGainSlider, kRedGainEdit, "ucRGGain", kLabelWidth, kSliderWidth),
             kRedGainLabel),
    Labelled(SliderRowAt(RowTop(3), QT_TRANSLATE_NOOP("velmora", "蓝增益: "), kBlueGainSlider, kBlueGainEdit, "ucBGGain", kLabelWidth, kSliderWidth),
             kBlueGainLabel),
    ColourTempRow(),
    // Hidden fine tuning, one place at the bottom.
    Hidden(Labelled(SliderRowAt(RowTop(kHiddenRow), QT_TRANSLATE_NOOP("velmora", "红微调: "), kRedFineSlider, kRedFineEdit,
                                "u8RgainTuning", kLabelWidth, kSliderWidth),
                    kRedFineLabel)),
    Hidden(Labelled(SliderRowAt(RowTop(kHiddenRow), QT_TRANSLATE_NOOP("velmora", "绿微调: "), kGreenFineSlider, kGreenFineEdit,
                                "u8GgainTuning", kLabelWidth, kSliderWidth),
                    kGreenFineLabel)),
    Hidden(Labelled(SliderRowAt(RowTop(kHiddenRow), QT_TRANSLATE_NOOP("velmora", "蓝微调: "), kBlueFineSlider, kBlueFineEdit,
                                "u8BgainTuning", kLabelWidth, kSliderWidth),
                    kBlueFineLabel)),
};

constexpr PageSpec kSpec{kTemplate,
                         QT_TRANSLATE_NOOP("velmora", "白平衡"),
                         180,
                         122,
                         DuRect{7, 4, 120, 18},
                         kRows,
                         protocol::kWhiteBalanceSlice};

}  // namespace

WbModeTable& WbModeTable::Shared() {
    static WbModeTable table;
    return table;
}

void WbModeTable::LoadOptions(const protocol::AbilityItem& item) {
    count_ = std::min(item.options.size(), kCapacity);
    for (size_t i = 0; i < count_; ++i) values_[i] = item.options[i].value;
}

int WbModeTable::IndexToValue(int index) const {
    if (count_ == 0) {
        const bool inTable = index >= 0 && static_cast<size_t>(index) < kBuiltInModeValues.size();
        return inTable ? kBuiltInModeValues[static_cast<size_t>(index)] : -1;
    }
    return index >= 0 && static_cast<size_t>(index) < count_ ? values_[static_cast<size_t>(index)]
                                                             : -1;
}

int WbModeTable::ValueToIndex(int value) const {
    const int* first = count_ == 0 ? kBuiltInModeValues.data() : values_.data();
    const size_t count = count_ == 0 ? kBuiltInModeValues.size() : count_;
    // One past the last entry when no entry has the value: that index selects nothing.
    return static_cast<int>(std::find(first, first + count, value) - first);
}

const PageSpec& WhiteBalancePageSpec() { return kSpec; }

WhiteBalanceTab::WhiteBalanceTab(QWidget* parent) : ParamPage(kSpec, parent) {
    // The slider already stands at 25, the start of its range.
    SetValue(kColourTempSlider, kInitialColourTemp);
    ShowPage();
}

void WhiteBalanceTab::ApplyAbility() {
    ResetAbilityRows();  // the green row the previous camera's list hid comes back
    WbModeTable& table = WbModeTable::Shared();
    table.Clear();
    const protocol::AbilityList& abilities = Abilities();
    if (abilities.empty()) {
        ReplaceComboItems(kModeCombo, kBuiltInModeTexts);
        return;
    }
    for (const protocol::AbilityItem& item : abilities) {
        if (AbilityKeyIs(item, "eWBMode")) {
            ReplaceComboItemsFromOptions(kModeCombo, item, WbModeTable::kCapacity);
            table.LoadOptions(item);
        } else if (AbilityKeyIs(item, "u8GgainTuning")) {
            if (item.display == 0) SetRowVisible(kGreenFineSlider, false);
        } else if (AbilityKeyIs(item, "u8RgainTuning")) {
            if (HasSsc8836Rule(item)) redFineFlag_ = true;
        } else if (AbilityKeyIs(item, "u8BgainTuning")) {
            if (HasSsc8836Rule(item)) blueFineFlag_ = true;
        }
    }
}

void WhiteBalanceTab::RunModeRule(std::string_view name, int value) {
    if (name == "wb_mode") WbModeRule(value);
}

void WhiteBalanceTab::WbModeRule(int mode) {
    const bool special = mode == kModeManual || mode == kModeColourTemp || mode == kModeAllOffA ||
                         mode == kModeAllOffB;
    SetRowEnabled(kRedGainSlider, mode == kModeManual);
    SetRowEnabled(kBlueGainSlider, mode == kModeManual);
    SetRowEnabled(kColourTempSlider, mode == kModeColourTemp);
    // Without their flags the fine-tuning rows are left as they are.
    if (redFineFlag_) SetRowEnabled(kRedFineSlider, !special);
    if (blueFineFlag_) SetRowEnabled(kBlueFineSlider, !special);
}

void WhiteBalanceTab::AfterFill(std::span<const uint8_t> slice) {
    // The rule takes the record's mode value; a slice too short to hold it keeps the page's.
    const auto mode = RecordValue(kModeCombo, slice);
    RunModeRule("wb_mode", mode ? *mode : WbModeTable::Shared().IndexToValue(Value(kModeCombo)));
}

void WhiteBalanceTab::BeforeComboSend(const PageRow& row) {
    if (row.controlId == kModeCombo) modeBeforeChoice_ = Value(kModeCombo);
}

void WhiteBalanceTab::AfterComboSent(const PageRow& row, int result) {
    if (row.controlId != kModeCombo) return;
    if (result >= 0) {
        // The camera may change other white-balance members with the mode: read them all again.
        if (Host()) Host()->RequestRefresh();
        return;
    }
    SetValue(kModeCombo, modeBeforeChoice_);
    ShowPage();
}

int WhiteBalanceTab::ComboIndexToValueOf(const PageRow& row, int index) const {
    if (row.controlId != kModeCombo) return ParamPage::ComboIndexToValueOf(row, index);
    return WbModeTable::Shared().IndexToValue(index);
}

int WhiteBalanceTab::ComboValueToIndexOf(const PageRow& row, int value) const {
    if (row.controlId != kModeCombo) return ParamPage::ComboValueToIndexOf(row, value);
    return WbModeTable::Shared().ValueToIndex(value);
}

int WhiteBalanceTab::SliderPositionOf(const PageRow& row, int value) const {
    return row.controlId == kColourTempSlider ? value / kKelvinPerStep : value;
}

int WhiteBalanceTab::SliderValueOf(const PageRow& row, int position) const {
    // Positions stay within 25..90, so the product cannot overflow.
    return row.controlId == kColourTempSlider ? position * kKelvinPerStep : position;
}

int WhiteBalanceTab::EditCommitValue(const PageRow& row, int value) const {
    // Truncates toward zero, like the integer division it is.
    return row.controlId == kColourTempSlider ? value / kKelvinPerStep * kKelvinPerStep : value;
}

}  // namespace velmora::ui
