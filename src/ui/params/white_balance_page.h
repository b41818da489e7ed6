#pragma once

#include <array>
#include <cstddef>

#include "protocol/ability_list.h"
#include "ui/params/param_page.h"

// The white-balance page: mode, auto white-balance sensitivity, red and blue gains, colour
// temperature, and three fine-tuning gains that stay hidden (red and blue are still enabled and
// disabled by the mode rule when the camera asks for it).
//
// Its special rules:
//  - the mode box sends and selects through the process-wide mode table (WbModeTable), which the
//    ability list fills; a mode set that fails puts the previous selection back, one that
//    succeeds asks the host for a full refresh (which runs the mode rule);
//  - the colour temperature is sent in kelvin but its slider counts hundreds of kelvin (25 to
//    90); a typed value is cut to a multiple of 100 before it is sent;
//  - the rule "wb_mode" enables the gains, the colour temperature or the fine-tuning rows by
//    mode value; it runs after every fill;
//  - the ability list loads the mode table and box, hides the green fine-tuning row and sets the
//    red and blue fine-tuning flags ("ssc8836"), which are never cleared.
// Thread-bound: the user-interface thread.
namespace velmora::ui {

namespace white_balance_ids {
inline constexpr int kTemplate = 265;
inline constexpr int kModeCombo = 1478;
inline constexpr int kSensitivityCombo = 1482;
inline constexpr int kRedGainLabel = 1505;
inline constexpr int kRedGainSlider = 1479;
inline constexpr int kRedGainEdit = 1494;
inline constexpr int kBlueGainLabel = 1506;
inline constexpr int kBlueGainSlider = 1480;
inline constexpr int kBlueGainEdit = 1495;
inline constexpr int kColourTempLabel = 1507;
inline constexpr int kColourTempSlider = 1481;
inline constexpr int kColourTempEdit = 1496;
inline constexpr int kRedFineLabel = 1526;
inline constexpr int kRedFineSlider = 1483;
inline constexpr int kRedFineEdit = 1497;
inline constexpr int kGreenFineLabel = 1522;
inline constexpr int kGreenFineSlider = 1484;
inline constexpr int kGreenFineEdit = 1499;
inline constexpr int kBlueFineLabel = 1527;
inline constexpr int kBlueFineSlider = 1485;
inline constexpr int kBlueFineEdit = 1498;
// The colour temperature a new page shows, in kelvin.
inline constexpr int kInitialColourTemp = 2500;
}  // namespace white_balance_ids

// The white-balance modes a box index stands for, held once for the process and shared by the
// pages of both hosts. While nothing is loaded (count 0) the built-in modes 0, 1, 3, 4 and 30
// are active, in the order of the template's items.
// Thread-bound: the user-interface thread.
class WbModeTable {
public:
    static constexpr size_t kCapacity = 10;

    static WbModeTable& Shared();

    void Clear() { count_ = 0; }
    // Takes the option values in list order, at most kCapacity.
    void LoadOptions(const protocol::AbilityItem& item);
    // The number of loaded values; 0 while the built-in table is active.
    size_t LoadedCount() const { return count_; }

    // The mode value of a box index; -1 for an index outside the active table.
    int IndexToValue(int index) const;
    // The index of the first active entry with `value`; one past the last entry (which selects
    // nothing) when none has it.
    int ValueToIndex(int value) const;

private:
    std::array<int, kCapacity> values_{};
    size_t count_ = 0;
};

const PageSpec& WhiteBalancePageSpec();

class WhiteBalanceTab : public ParamPage {
    Q_OBJECT

public:
    explicit WhiteBalanceTab(QWidget* parent = nullptr);

    void ApplyAbility() override;
    void RunModeRule(std::string_view name, int value) override;

    bool RedFineRuleFlag() const { return redFineFlag_; }
    bool BlueFineRuleFlag() const { return blueFineFlag_; }

protected:
    void AfterFill(std::span<const uint8_t> slice) override;
    void BeforeComboSend(const PageRow& row) override;
    void AfterComboSent(const PageRow& row, int result) override;
    int ComboIndexToValueOf(const PageRow& row, int index) const override;
    int ComboValueToIndexOf(const PageRow& row, int value) const override;
    int SliderPositionOf(const PageRow& row, int value) const override;
    int SliderValueOf(const PageRow& row, int position) const override;
    int EditCommitValue(const PageRow& row, int value) const override;

private:
    void WbModeRule(int mode);

    bool redFineFlag_ = false;
    bool blueFineFlag_ = false;
    int modeBeforeChoice_ = 0;
};

}  // namespace velmora::ui
