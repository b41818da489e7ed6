// The focus page with a recording host: loads outside the lists, the laser-range slot, the
// hidden rows and the focus-near read-back.
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <gtest/gtest.h>

#include "protocol/video_param.h"
#include "ui/params/focus_page.h"
#include "ui/recording_host.h"
#include "page_checks.h"
#include "ui_test_support.h"

using namespace velmora::protocol;

namespace velmora::ui {
namespace {

using namespace focus_ids;
using test::Choose;

TEST(FocusPageTest, RecordChoicesAndFocusNear) {
    test::RecordingMessages messages;
    test::FakeClock clock;
    RecordingHost host;
    FocusTab page;
    page.SetHost(&host, false);
    VideoParam record;
    const auto fill = [&](std::initializer_list<uint8_t> bytes) {
        for (size_t i = kFocusSlice; uint8_t b : bytes) record.bytes[i++] = b;
        page.FillFromRecord(std::span<const uint8_t>(record.bytes).subspan(kFocusSlice));
    };
    // Slice: mode, strategy, area, near limit, sensitivity, laser range.
    fill({3, 1, 4, 10, 2, 20});
    EXPECT_EQ(page.Combo(kStrategyCombo)->currentText(), "平滑优先");
    EXPECT_EQ(page.Combo(kAreaCombo)->currentText(), "下");
    EXPECT_EQ(page.Combo(kLaserRangeCombo)->currentText(), "10.0m");
    fill({0, 0, 0, 11, 0, 21});
    EXPECT_EQ(page.Combo(kNearLimitCombo)->currentIndex(), -1);
    EXPECT_EQ(page.Combo(kLaserRangeCombo)->currentIndex(), -1);
    Choose(page.Combo(kModeCombo), 3);
    EXPECT_EQ(host.sent, (std::vector<std::string>{"\"ucFocusMode\":3"}));

    page.show();
    EXPECT_FALSE(page.Combo(kLaserRangeCombo)->isVisible());
    EXPECT_FALSE(page.RefreshButton()->isVisible());
    EXPECT_FALSE(page.FocusNearEdit()->isVisible());
    host.focusNearResult = 1250;
    page.RefreshButton()->click();
    EXPECT_EQ(page.FocusNearEdit()->text(), "1250");
    host.focusNearResult = -7;  // a failed read keeps what was shown
    page.RefreshFocusNear();
    EXPECT_EQ(page.FocusNearEdit()->text(), "1250");
    EXPECT_EQ(host.focusNearCalls, 2);
    EXPECT_EQ(host.sent.size(), 1u);
    test::ExpectPageLooksRight(page);
}

TEST(FocusPageTest, OnlyAStrategyNotOfferedHidesItsRow) {
    RecordingHost host;
    FocusTab page;
    page.SetHost(&host, false);
    page.show();
    host.abilities.Append(test::MakeAbility("ucafscene", 0));  // keys match exactly
    host.abilities.Append(test::MakeAbility("ucAFScene", 1));
    page.ApplyAbility();
    EXPECT_TRUE(page.Combo(kStrategyCombo)->isVisible());
    host.abilities.Append(test::MakeAbility("ucAFScene", 0));
    page.ApplyAbility();
    host.abilities.Clear();
    page.ApplyAbility();
    EXPECT_FALSE(page.Combo(kStrategyCombo)->isVisible());
    EXPECT_FALSE(page.Label(kStrategyCombo)->isVisible());
    EXPECT_TRUE(page.Combo(kModeCombo)->isVisible());
    // The next camera's list offers the strategy: the row the previous list hid comes back.
    host.abilities.Append(test::MakeAbility("ucAFScene", 1));
    page.ApplyAbility();
    EXPECT_TRUE(page.Combo(kStrategyCombo)->isVisible());
    EXPECT_TRUE(page.Label(kStrategyCombo)->isVisible());
}

}  // namespace
}  // namespace velmora::ui
