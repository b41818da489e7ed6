// The white-balance page with a recording host: the shared mode table, the colour temperature
// in kelvin on a slider of hundreds, the mode roll-back and refresh, and the wb_mode rule.
#include <cstdio>

#include <QApplication>
#include <QComboBox>
#include <QFocusEvent>
#include <QLineEdit>
#include <QSlider>
#include <gtest/gtest.h>

#include "protocol/video_param.h"
#include "ui/recording_host.h"
#include "ui/params/white_balance_page.h"
#include "page_checks.h"
#include "ui_test_support.h"

using namespace velmora::protocol;

namespace velmora::ui {
namespace {

using namespace white_balance_ids;
using test::Choose;
using Sent = std::vector<std::string>;
using Flags = std::vector<bool>;

class WhiteBalancePageTest : public ::testing::Test {
protected:
    WhiteBalancePageTest() {
        WbModeTable::Shared().Clear();  // process-wide: every test starts from the built-in modes
        page.SetHost(&host, true);
    }
    ~WhiteBalancePageTest() override { WbModeTable::Shared().Clear(); }

    // Slice: mode, sensitivity 2, red gain, blue gain, the 32-bit colour temperature.
    static void FillInto(WhiteBalanceTab& tab, uint8_t mode, int32_t kelvin, uint8_t red = 0) {
        VideoParam record;
        uint8_t* at = record.bytes + kWhiteBalanceSlice;
        const auto k = static_cast<uint32_t>(kelvin);
        for (int i = 0; i < 4; ++i) at[4 + i] = static_cast<uint8_t>(k >> (8 * i));
        at[0] = mode, at[1] = 2, at[2] = red;
        tab.FillFromRecord(std::span<const uint8_t>(record.bytes).subspan(kWhiteBalanceSlice));
    }
    void Fill(uint8_t mode, int32_t kelvin, uint8_t red = 0) { FillInto(page, mode, kelvin, red); }
    void LeaveEdit(int sliderId, const QString& text) {
        page.Edit(sliderId)->setText(text);
        QFocusEvent out(QEvent::FocusOut, Qt::TabFocusReason);
        QApplication::sendEvent(page.Edit(sliderId), &out);
    }
    // Red gain, blue gain, colour temperature, red fine, blue fine.
    Flags Enabled() const {
        Flags on;
        for (int id : {kRedGainSlider, kBlueGainSlider, kColourTempSlider, kRedFineSlider,
                       kBlueFineSlider}) {
            on.push_back(page.Edit(id)->isEnabled());
        }
        return on;
    }

    test::RecordingMessages messages;
    test::FakeClock clock;
    RecordingHost host;
    WhiteBalanceTab page;
};

TEST_F(WhiteBalancePageTest, RecordFillsThroughTheModeTableWithoutSending) {
    EXPECT_EQ(page.Edit(kColourTempSlider)->text(), "2500");  // a new page
    Fill(30, 6550, 150);
    EXPECT_EQ(page.Combo(kModeCombo)->currentText(), "色温");
    EXPECT_EQ(page.Combo(kSensitivityCombo)->currentText(), "高");
    EXPECT_EQ(page.Edit(kColourTempSlider)->text(), "6550");
    EXPECT_EQ(page.Slider(kColourTempSlider)->value(), 65);
    EXPECT_EQ(page.Slider(kRedGainSlider)->value(), 100);
    EXPECT_EQ(Enabled(), (Flags{false, false, true, true, true}));
    // Releasing the slider where the record put it sends nothing: 6550 already shows as 65.
    page.Slider(kColourTempSlider)->setSliderDown(true);
    page.Slider(kColourTempSlider)->setSliderDown(false);

    Fill(4, 12000);  // indoor (4) is index 3; beyond the scale the slider stands at 90
    EXPECT_EQ(page.Combo(kModeCombo)->currentIndex(), 3);
    EXPECT_EQ(page.Slider(kColourTempSlider)->value(), 90);
    Fill(2, 5000);  // a mode in no entry selects nothing
    EXPECT_EQ(page.Combo(kModeCombo)->currentIndex(), -1);
    EXPECT_TRUE(host.sent.empty());
    page.show();
    EXPECT_FALSE(page.Edit(kGreenFineSlider)->isVisible());
    EXPECT_EQ(page.Edit(kGreenFineSlider)->objectName(), "1499");
    test::ExpectPageLooksRight(page);
}

TEST_F(WhiteBalancePageTest, ColourTemperatureIsSentInKelvinAndCutToHundreds) {
    Fill(30, 5000);
    LeaveEdit(kColourTempSlider, "6550");
    EXPECT_EQ(page.Slider(kColourTempSlider)->value(), 65);
    EXPECT_EQ(page.Edit(kColourTempSlider)->text(), "6500");
    LeaveEdit(kColourTempSlider, "10000");  // clamped to the slider's range in kelvin
    EXPECT_EQ(page.Slider(kColourTempSlider)->value(), 90);
    EXPECT_EQ(page.Edit(kColourTempSlider)->text(), "9000");
    LeaveEdit(kColourTempSlider, "-250");
    QSlider* slider = page.Slider(kColourTempSlider);
    slider->setSliderDown(true);
    slider->setSliderPosition(56);
    clock.Advance(100);
    slider->setSliderPosition(57);  // held back by the throttle, sent on release
    slider->setSliderDown(false);
    EXPECT_EQ(page.Edit(kColourTempSlider)->text(), "5700");
    LeaveEdit(kRedGainSlider, "255");  // the other sliders are not scaled
    EXPECT_EQ(host.sent, (Sent{"\"u32CTNum\":6500", "\"u32CTNum\":9000", "\"u32CTNum\":2500",
                               "\"u32CTNum\":5600", "\"u32CTNum\":5700", "\"ucRGGain\":100"}));
}

TEST_F(WhiteBalancePageTest, ModeChoiceRefreshesOnSuccessAndRollsBackOnFailure) {
    Fill(0, 5000);
    QComboBox* mode = page.Combo(kModeCombo);
    Choose(mode, 4);
    EXPECT_EQ(host.refreshRequests, 1);
    // The rule waits for the refresh: the gains stay enabled until the record says otherwise.
    EXPECT_EQ(Enabled(), (Flags{true, true, false, true, true}));
    host.setResult = -5;
    Choose(mode, 2);
    EXPECT_EQ(messages.shown, (std::vector<std::string>{"设置失败！"}));
    EXPECT_EQ(mode->currentIndex(), 4);
    host.setResult = 3;  // any result that is not negative counts as success
    Choose(mode, 1);
    EXPECT_EQ(host.refreshRequests, 2);
    EXPECT_EQ(host.sent, (Sent{"\"eWBMode\":30", "\"eWBMode\":3", "\"eWBMode\":1"}));
}

TEST_F(WhiteBalancePageTest, ModeRuleWithAndWithoutTheFineTuningFlags) {
    Fill(14, 5000);  // without flags the fine-tuning rows are never touched
    EXPECT_EQ(Enabled(), (Flags{false, false, false, true, true}));
    for (const char* key : {"u8RgainTuning", "u8BgainTuning"}) {
        AbilityItem item = test::MakeAbility(key, 2);
        std::snprintf(item.displayRule, sizeof item.displayRule, "ssc8836");
        host.abilities.Append(item);
    }
    page.ApplyAbility();
    Fill(2, 5000);
    EXPECT_EQ(Enabled(), (Flags{false, false, false, true, true}));
    Fill(0, 5000);
    EXPECT_EQ(Enabled(), (Flags{true, true, false, false, false}));
    page.RunModeRule("wb_mode", 2);
    page.RunModeRule("wb_mode", 5);
    EXPECT_EQ(Enabled(), (Flags{false, false, false, false, false}));
    page.RunModeRule("exp_mode", 1);  // not this page's rule
    EXPECT_EQ(Enabled(), (Flags{false, false, false, false, false}));
    // The flags stay set whatever a later list says.
    host.abilities.Clear();
    page.ApplyAbility();
    EXPECT_TRUE(page.RedFineRuleFlag() && page.BlueFineRuleFlag());
}

TEST_F(WhiteBalancePageTest, AbilityListLoadsTheSharedModeTable) {
    AbilityItem modes = test::MakeAbility("eWBMode", 1);
    for (int i = 0; i < 12; ++i) {
        AbilityOption option;
        std::snprintf(option.label, sizeof option.label, "M%d", i);
        option.value = 100 + i;
        modes.options.push_back(option);
    }
    host.abilities.Append(modes);
    page.ApplyAbility();
    QComboBox* mode = page.Combo(kModeCombo);
    ASSERT_EQ(mode->count(), 10);
    Choose(mode, 9);
    EXPECT_EQ(host.sent.back(), "\"eWBMode\":109");
    Fill(110, 3000);  // the eleventh option was not taken
    EXPECT_EQ(mode->currentIndex(), -1);
    // The table is shared: a page of the other host, never given the list, maps through it too.
    RecordingHost otherHost;
    WhiteBalanceTab other;
    other.SetHost(&otherHost, false);
    FillInto(other, 104, 3000);
    EXPECT_EQ(other.Value(kModeCombo), 4);

    host.abilities.Clear();
    host.abilities.Append(test::MakeAbility("ucRGGain", 1));
    page.ApplyAbility();  // without the mode: the box keeps its items, the built-in values return
    EXPECT_EQ(mode->count(), 10);
    EXPECT_EQ(WbModeTable::Shared().IndexToValue(4), 30);
    host.abilities.Clear();
    page.ApplyAbility();  // empty: the built-in texts
    Fill(30, 3000);
    EXPECT_EQ(mode->currentText(), "色温");
}

}  // namespace
}  // namespace velmora::ui
