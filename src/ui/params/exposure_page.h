#pragma once

#include "ui/params/param_page.h"

// The exposure page: exposure mode, compensation, shutter speed, iris, gain, gain limit,
// metering area, wide dynamic range and its level, backlight compensation and anti-flicker
// (hidden, but enabled and disabled by the mode rule).
//
// Its special rules:
//  - the shutter box lists the shared shutter table (shutter_table.h) filtered by the frame rate;
//    a choice sends the table value of the chosen text, a record selects the text of the first
//    entry with its value;
//  - iris: the record value 254 is "off" (index 0), any other value v is index v + 1;
//  - metering: value v is index v - 1;
//  - compensation: the record byte is signed (-50 to 50 on the slider);
//  - the rules "exp_mode" and "wdr_mode" enable and disable rows after a fill and after a
//    mode or WDR choice whose set returned exactly 0;
//  - the ability list loads the shutter table, replaces the iris items and sets the backlight
//    and anti-flicker flags ("ssc8836"), which let "exp_mode" manage those two rows.
// Thread-bound: the user-interface thread.
namespace velmora::ui {

namespace exposure_ids {
inline constexpr int kTemplate = 263;
inline constexpr int kModeCombo = 1474;
inline constexpr int kCompensationLabel = 1503;
inline constexpr int kCompensationSlider = 1478;
inline constexpr int kCompensationEdit = 1490;
inline constexpr int kShutterLabel = 1499;
inline constexpr int kShutterCombo = 1481;
inline constexpr int kIrisLabel = 1500;
inline constexpr int kIrisCombo = 1482;
inline constexpr int kGainLabel = 1501;
inline constexpr int kGainSlider = 1497;
inline constexpr int kGainEdit = 1476;
inline constexpr int kGainLimitLabel = 1502;
inline constexpr int kGainLimitSlider = 1498;
inline constexpr int kGainLimitEdit = 1484;
inline constexpr int kMeteringCombo = 1483;
inline constexpr int kWdrCombo = 1477;
inline constexpr int kWdrLevelLabel = 1504;
inline constexpr int kWdrLevelSlider = 1475;
inline constexpr int kWdrLevelEdit = 1489;
inline constexpr int kBacklightLabel = 1524;
inline constexpr int kBacklightCombo = 1479;
inline constexpr int kAntiFlickerLabel = 1525;
inline constexpr int kAntiFlickerCombo = 1480;
}  // namespace exposure_ids

// The page's table.
const PageSpec& ExposurePageSpec();

// The iris value a box index sends (index 0 is "off", 254) and the index a value selects.
int IrisIndexToValue(int index);
int IrisValueToIndex(int value);
// The metering area: value v is index v - 1.
int MeteringIndexToValue(int index);
int MeteringValueToIndex(int value);

class ExposureTab : public ParamPage {
    Q_OBJECT

public:
    explicit ExposureTab(QWidget* parent = nullptr);

    void ApplyAbility() override;
    // Lists the active shutter speeds not slower than one frame of `frameRate`.
    void FillShutterList(int frameRate);
    void RunModeRule(std::string_view name, int value) override;

    bool BacklightRuleFlag() const { return backlightFlag_; }
    bool AntiFlickerRuleFlag() const { return antiFlickerFlag_; }

protected:
    void AfterFill(std::span<const uint8_t> slice) override;
    void AfterComboSent(const PageRow& row, int result) override;
    int ComboIndexToValueOf(const PageRow& row, int index) const override;
    int ComboValueToIndexOf(const PageRow& row, int value) const override;

private:
    void ExposureModeRule(int mode);

    bool backlightFlag_ = false;
    bool antiFlickerFlag_ = false;
};

}  // namespace velmora::ui
