// The Qt-free pieces of the page mechanics: the shared throttle, the edit-box integer rule, the
// accessible names and reading row values from a record slice.
#include <algorithm>
#include <array>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ui/params/day_night_page.h"
#include "ui/params/enhance_page.h"
#include "ui/params/exposure_page.h"
#include "ui/params/focus_page.h"
#include "ui/params/others_page.h"
#include "ui/params/page_table.h"
#include "ui/params/picture_page.h"
#include "ui/params/video_page.h"
#include "ui/params/white_balance_page.h"
#include "ui/params/slider_throttle.h"

namespace velmora::ui {
namespace {

TEST(SliderThrottleTest, WindowPerSliderWithWrapAround) {
    SliderThrottle throttle;
    const SliderKey a{261, 1473};
    const SliderKey b{261, 1474};
    const SliderKey sameIdOtherPage{263, 1473};
    throttle.MarkSent(a, 10000);
    EXPECT_EQ(throttle.WaitBeforeSend(a, 10000), 500u);
    EXPECT_EQ(throttle.WaitBeforeSend(a, 10499), 1u);
    EXPECT_EQ(throttle.WaitBeforeSend(a, 10500), 0u);
    EXPECT_EQ(throttle.WaitBeforeSend(b, 10001), 0u);
    EXPECT_EQ(throttle.WaitBeforeSend(sameIdOtherPage, 10001), 0u);

    // The tick count wraps after 49 days; the difference is taken modulo 2^32.
    throttle.MarkSent(a, 0xFFFFFF00u);
    EXPECT_EQ(throttle.WaitBeforeSend(a, 0x00000010u), 500u - 0x110u);
    EXPECT_EQ(throttle.WaitBeforeSend(a, 0x00000100u), 0u);

    throttle.Reset();
    EXPECT_EQ(throttle.LastSend(a), 0u);
}

TEST(SliderThrottleTest, InjectedClockAndSystemClock) {
    SliderThrottle throttle;
    throttle.SetClock([] { return 4242u; });
    EXPECT_EQ(throttle.Now(), 4242u);
    throttle.SetClock({});
    const uint32_t first = throttle.Now();
    EXPECT_LE(throttle.Now() - first, 60000u);  // a monotonic clock, not the fake
}

TEST(PageTableTest, EditIntegerParsing) {
    EXPECT_EQ(ParseEditInteger("150"), 150);
    EXPECT_EQ(ParseEditInteger("  -7 "), -7);
    EXPECT_EQ(ParseEditInteger("+12"), 12);
    EXPECT_EQ(ParseEditInteger("2147483647"), 2147483647);
    EXPECT_EQ(ParseEditInteger("-2147483648"), INT32_MIN);
    for (const char* bad : {"", "   ", "abc", "12a", "1.5", "2147483648", "+-3", "- 3", "0x10"}) {
        EXPECT_FALSE(ParseEditInteger(bad).has_value()) << bad;
    }
}

TEST(PageTableTest, AccessibleNamesDropColonsAndBlanks) {
    EXPECT_EQ(AccessibleNameOf("亮度:"), "亮度");
    EXPECT_EQ(AccessibleNameOf("曝光模式："), "曝光模式");
    EXPECT_EQ(AccessibleNameOf("色温 : "), "色温");
    EXPECT_EQ(AccessibleNameOf("增益"), "增益");
}

TEST(PageTableTest, RowValuesFromSlice) {
    std::array<uint8_t, 8> slice{200, 0xFE, 0x01, 0x02, 0x03, 0x84, 0, 0};
    const int base = 1000;  // where the slice starts in the record
    auto at = [](int offset, uint8_t width, bool isSigned) {
        return protocol::VideoParamField{"m", static_cast<uint16_t>(offset), width, isSigned, false, -1};
    };
    EXPECT_EQ(ReadRowValue(at(base, 1, false), base, slice), 200);
    EXPECT_EQ(ReadRowValue(at(base + 1, 1, true), base, slice), -2);
    EXPECT_EQ(ReadRowValue(at(base + 1, 1, false), base, slice), 254);
    EXPECT_EQ(ReadRowValue(at(base + 2, 4, true), base, slice), static_cast<int32_t>(0x84030201u));
    // The four bytes would run past the slice; a field before the slice; a page without one.
    EXPECT_FALSE(ReadRowValue(at(base + 5, 4, true), base, slice).has_value());
    EXPECT_FALSE(ReadRowValue(at(base - 1, 1, false), base, slice).has_value());
    EXPECT_FALSE(ReadRowValue(at(base, 1, false), -1, slice).has_value());

    static int (*const twice)(int) = [](int index) { return index * 2; };
    PageRow combo;
    combo.kind = RowKind::Combo;
    EXPECT_EQ(ComboIndexToValue(combo, 3), 3);
    combo.indexToValue = twice;
    EXPECT_EQ(ComboIndexToValue(combo, 3), 6);
    EXPECT_EQ(ComboValueToIndex(combo, 6), 6);
}


// Every row of every page against the record's field table: the member exists, the field lies
// inside the page's own slice (so a row can never show or send a neighbour's member), a slider's
// range fits the field's width, and no two rows of a page share a field.
TEST(PageTableTest, EveryRowNamesAFieldOfItsOwnSlice) {
    // Slice starts in record order; a slice ends where the next begins.
    const std::array<int, 9> starts{
        protocol::kPictureSlice, protocol::kExposureSlice,      protocol::kWhiteBalanceSlice,
        protocol::kFocusSlice,   protocol::kDayNightModeOffset, protocol::kEnhancementSlice,
        protocol::kVideoSlice,   protocol::kOthersSlice,        static_cast<int>(protocol::kVideoParamSize)};
    auto sliceEnd = [&](int start) {
        for (int s : starts)
            if (s > start) return s;
        return static_cast<int>(protocol::kVideoParamSize);
    };
    const std::array<const PageSpec*, 8> pages{&PicturePageSpec(), &ExposurePageSpec(), &WhiteBalancePageSpec(),
                                               &FocusPageSpec(),   &DayNightPageSpec(), &EnhancePageSpec(),
                                               &VideoPageSpec(),   &OthersPageSpec()};
    size_t rows = 0;
    for (const PageSpec* page : pages) {
        std::vector<const protocol::VideoParamField*> seen;
        for (const PageRow& row : page->rows) {
            ++rows;
            SCOPED_TRACE(std::string(page->title) + " / " + row.label + " / " + row.member);
            const protocol::VideoParamField* field = RowField(*page, row);
            ASSERT_NE(field, nullptr);
            EXPECT_STREQ(field->member, row.member);  // the exact spelling the camera expects
            if (page->sliceOffset >= 0) {
                EXPECT_GE(field->offset, page->sliceOffset);
                EXPECT_LE(field->offset + field->width, sliceEnd(page->sliceOffset));
            }
            if (row.kind == RowKind::SliderWithEdit) {
                // The colour temperature's slider counts hundreds of kelvin.
                const int scale = std::string_view(row.member) == "u32CTNum" ? 100 : 1;
                EXPECT_TRUE(protocol::FieldValueFits(*field, int64_t{row.minimum} * scale));
                EXPECT_TRUE(protocol::FieldValueFits(*field, int64_t{row.maximum} * scale));
            }
            EXPECT_EQ(std::count(seen.begin(), seen.end(), field), 0);
            seen.push_back(field);
        }
    }
    EXPECT_EQ(rows, 48u);
}

}  // namespace
}  // namespace velmora::ui
