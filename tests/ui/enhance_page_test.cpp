// The enhancement page with a recording host: out-of-range loads, the hidden rows, the
// defog_mode rule after a fill and after a choice (only on result 0), and the gamma index.
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QSlider>
#include <gtest/gtest.h>

#include "protocol/video_param.h"
#include "ui/params/enhance_page.h"
#include "ui/recording_host.h"
#include "page_checks.h"
#include "ui_test_support.h"

using namespace velmora::protocol;

namespace velmora::ui {
namespace {

using namespace enhance_ids;
using test::Choose;

class EnhancePageTest : public ::testing::Test {
protected:
    EnhancePageTest() { page.SetHost(&host, true); }

    // Slice: 2DNR, 3DNR, DpSlope, DefogMode, DelFogClass, Gamma, AIAe, AIFocus, CamCorrection.
    void Fill(std::initializer_list<uint8_t> bytes) {
        for (size_t i = kEnhancementSlice; uint8_t b : bytes) record.bytes[i++] = b;
        page.FillFromRecord(std::span<const uint8_t>(record.bytes).subspan(kEnhancementSlice));
    }
    // The defog-level label, slider and edit box move together.
    bool LevelRowEnabled() const {
        const bool on = page.Slider(kDefogLevelSlider)->isEnabled();
        EXPECT_EQ(page.Edit(kDefogLevelSlider)->isEnabled(), on);
        EXPECT_EQ(page.Label(kDefogLevelSlider)->isEnabled(), on);
        return on;
    }

    test::RecordingMessages messages;
    test::FakeClock clock;
    RecordingHost host;
    VideoParam record;
    EnhanceTab page;
};

TEST_F(EnhancePageTest, RecordFillsRowsAndTheDefogRule) {
    Fill({150, 7, 9, 2, 35, 4, 1, 1, 1});
    EXPECT_EQ(page.Slider(k2dNoiseSlider)->value(), 100);
    EXPECT_EQ(page.Edit(k2dNoiseSlider)->text(), "150");
    EXPECT_EQ(page.Edit(kDefectSlider)->text(), "9");
    EXPECT_EQ(page.Edit(kDefogLevelSlider)->text(), "35");
    EXPECT_EQ(page.Combo(kGammaCombo)->currentText(), "0.63");
    EXPECT_EQ(page.Combo(kDistortionCombo)->currentIndex(), 1);
    EXPECT_TRUE(LevelRowEnabled());
    Fill({0, 0, 0, 1, 0, 5, 2, 0, 0});
    EXPECT_EQ(page.Combo(kGammaCombo)->currentIndex(), -1);
    EXPECT_FALSE(LevelRowEnabled());
    EXPECT_TRUE(host.sent.empty());

    page.show();
    EXPECT_FALSE(page.Slider(kDefectSlider)->isVisible());
    EXPECT_FALSE(page.Edit(kDefectSlider)->isVisible());
    for (int id : {kSmartExposureCombo, kSmartFocusCombo, kDistortionCombo}) {
        EXPECT_FALSE(page.Combo(id)->isVisible()) << id;
    }
    test::ExpectPageLooksRight(page);
}

TEST_F(EnhancePageTest, DefogChoiceRunsTheRuleOnlyOnResultZero) {
    Fill({0, 0, 0, 1, 0, 0, 0, 0, 0});
    Choose(page.Combo(kDefogCombo), 2);
    EXPECT_TRUE(LevelRowEnabled());
    host.setResult = -1;
    Choose(page.Combo(kDefogCombo), 0);
    host.setResult = 1;
    Choose(page.Combo(kDefogCombo), 1);
    EXPECT_TRUE(LevelRowEnabled());
    host.setResult = 0;
    Choose(page.Combo(kGammaCombo), page.Combo(kGammaCombo)->findText("0.45"));
    EXPECT_TRUE(LevelRowEnabled());
    Choose(page.Combo(kDefogCombo), 0);
    EXPECT_FALSE(LevelRowEnabled());
    page.RunModeRule("exp_mode", 2);
    EXPECT_FALSE(LevelRowEnabled());
    EXPECT_EQ(host.sent, (std::vector<std::string>{"\"ucDefogMode\":2", "\"ucDefogMode\":0",
                                                   "\"ucDefogMode\":1", "\"ucGammaVal\":1",
                                                   "\"ucDefogMode\":0"}));
}

TEST_F(EnhancePageTest, AbilityListDrivesGammaAndDistortion) {
    page.show();
    QComboBox* gamma = page.Combo(kGammaCombo);
    page.ApplyAbility();  // empty list: the built-in texts, where "0.45" is the third
    ASSERT_EQ(gamma->count(), 12);
    Choose(gamma, gamma->findText("0.45"));
    EXPECT_EQ(host.sent.back(), "\"ucGammaVal\":2");
    EXPECT_FALSE(page.Combo(kDistortionCombo)->isVisible());

    host.abilities.Append(test::MakeAbility("ucCamCorrection", 0));
    host.abilities.Append(test::MakeAbility("ucGammaVal", 1, {"1.0", "2.2"}));
    page.ApplyAbility();
    EXPECT_FALSE(page.Combo(kDistortionCombo)->isVisible());
    ASSERT_EQ(gamma->count(), 2);
    EXPECT_EQ(gamma->itemText(1), "2.2");
    host.abilities[0].display = 2;
    page.ApplyAbility();
    EXPECT_TRUE(page.Combo(kDistortionCombo)->isVisible());
    EXPECT_TRUE(page.Label(kDistortionCombo)->isVisible());
    EXPECT_FALSE(page.Combo(kSmartFocusCombo)->isVisible());
    // The next camera's list (read, without the item) does not keep the row this one showed; an
    // unread (empty) list changes no row.
    host.abilities[0].display = 0;
    page.ApplyAbility();
    EXPECT_FALSE(page.Combo(kDistortionCombo)->isVisible());
    host.abilities[0].display = 2;
    page.ApplyAbility();
    host.abilities.Clear();
    page.ApplyAbility();
    EXPECT_TRUE(page.Combo(kDistortionCombo)->isVisible());
}

}  // namespace
}  // namespace velmora::ui
