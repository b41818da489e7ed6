// The day/night, video and others pages with a recording host: the scene and rotation mappings
// both ways, loads outside the lists, the scene refresh and the style list.
#include <QComboBox>
#include <gtest/gtest.h>

#include "protocol/video_param.h"
#include "ui/params/day_night_page.h"
#include "ui/params/others_page.h"
#include "ui/recording_host.h"
#include "ui/params/video_page.h"
#include "page_checks.h"
#include "ui_test_support.h"

using namespace velmora::protocol;

namespace velmora::ui {
namespace {

using Sent = std::vector<std::string>;
using test::Choose;

class ComboPagesTest : public ::testing::Test {
protected:
    // Puts `bytes` at `at` and fills `page` from the slice starting there.
    void Fill(ParamPage& page, size_t at, std::initializer_list<uint8_t> bytes) {
        for (size_t i = at; uint8_t b : bytes) record.bytes[i++] = b;
        page.FillFromRecord(std::span<const uint8_t>(record.bytes).subspan(at));
    }
    test::RecordingMessages messages;
    test::FakeClock clock;
    RecordingHost host;
    VideoParam record;
};

TEST_F(ComboPagesTest, DayNightIgnoresTheRecord) {
    using namespace day_night_ids;
    DayNightTab page;
    page.SetHost(&host, true);
    Fill(page, kDayNightModeOffset, {2, 1});
    EXPECT_EQ(page.Combo(kModeCombo)->currentIndex(), 0);
    EXPECT_EQ(page.Combo(kSensitivityCombo)->currentIndex(), 0);
    Choose(page.Combo(kModeCombo), 2);
    EXPECT_EQ(host.sent, (Sent{"\"eNightMode\":2"}));
    test::ExpectPageLooksRight(page);
}

TEST_F(ComboPagesTest, VideoMappingsAndTheSceneRefresh) {
    using namespace video_ids;
    VideoTab page;
    page.SetHost(&host, false);
    // Slice: mirror, flip, rotation, scene. Scene 2 (the skipped value) shows as the default.
    const std::pair<uint8_t, int> scenes[] = {{1, 0}, {2, 0}, {3, 1}, {5, 3}, {0, -1}, {6, -1}};
    for (const auto& [value, index] : scenes) {
        Fill(page, kVideoSlice, {0, 0, 0, value});
        EXPECT_EQ(page.Combo(kSceneCombo)->currentIndex(), index) << int(value);
    }
    const std::pair<uint8_t, int> rotations[] = {{3, 1}, {0, 0}, {2, -1}};
    for (const auto& [value, index] : rotations) {
        Fill(page, kVideoSlice, {0, 0, value, 1});
        EXPECT_EQ(page.Combo(kPortraitCombo)->currentIndex(), index) << int(value);
    }
    EXPECT_TRUE(host.sent.empty());
    page.show();
    EXPECT_FALSE(page.Combo(kPortraitCombo)->isVisible());

    Choose(page.Combo(kPortraitCombo), 1);
    Choose(page.Combo(kHorzMirrorCombo), 1);
    EXPECT_EQ(host.refreshRequests, 0);
    Choose(page.Combo(kSceneCombo), 1);  // 美颜
    host.setResult = -5;                 // a failed scene set still refreshes
    Choose(page.Combo(kSceneCombo), 0);
    EXPECT_EQ(host.sent, (Sent{"\"ucRotation\":3", "\"bHorzInvert\":1", "\"eSceneMode\":3",
                               "\"eSceneMode\":1"}));
    EXPECT_EQ(host.refreshRequests, 2);
    EXPECT_EQ(messages.shown.size(), 1u);
    test::ExpectPageLooksRight(page);
}

TEST_F(ComboPagesTest, OthersSceneAndStyleList) {
    using namespace others_ids;
    OthersTab page;
    page.SetHost(&host, true);
    QComboBox* style = page.Combo(kStyleCombo);
    ASSERT_EQ(style->count(), kStyleCount);
    EXPECT_EQ(style->currentIndex(), -1);  // filled after the first show
    EXPECT_EQ(style->itemText(278), "风格278");

    // Slice: scene, zoom, u32Lut (4 bytes, little-endian).
    Fill(page, kOthersSlice, {3, 1, 22, 1, 0, 0});
    EXPECT_EQ(page.Combo(kSceneCombo)->currentText(), "自定义1");
    EXPECT_EQ(style->currentText(), "风格278");
    for (int32_t lut : {279, -1, INT32_MIN}) {
        WriteInt32LE(record, kOthersSlice + 2, lut);
        page.FillFromRecord(std::span<const uint8_t>(record.bytes).subspan(kOthersSlice));
        EXPECT_EQ(style->currentIndex(), -1) << lut;
    }
    Choose(page.Combo(kSceneCombo), 1);
    Choose(style, 278);
    EXPECT_EQ(host.sent, (Sent{"\"eSceneMode\":3", "\"u32Lut\":278"}));
    EXPECT_EQ(host.refreshRequests, 0);  // unlike the video page
    test::ExpectPageLooksRight(page);
}

}  // namespace
}  // namespace velmora::ui
