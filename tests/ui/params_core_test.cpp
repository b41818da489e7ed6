// The Qt-free pieces of the page mechanics: the shared throttle, the edit-box integer rule, the
// accessible names and reading row values from a record slice.
#include <array>

#include <gtest/gtest.h>

#include "ui/params/page_table.h"
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
    PageRow row;
    row.recordOffset = 0;
    EXPECT_EQ(ReadRowValue(row, slice), 200);
    row.recordOffset = 1;
    row.width = FieldWidth::S8;
    EXPECT_EQ(ReadRowValue(row, slice), -2);
    row.recordOffset = 2;
    row.width = FieldWidth::I32;
    EXPECT_EQ(ReadRowValue(row, slice), static_cast<int32_t>(0x84030201u));
    row.recordOffset = 5;  // the four bytes would run past the slice
    EXPECT_FALSE(ReadRowValue(row, slice).has_value());
    row.recordOffset = -1;
    EXPECT_FALSE(ReadRowValue(row, slice).has_value());

    static int (*const twice)(int) = [](int index) { return index * 2; };
    PageRow combo;
    combo.kind = RowKind::Combo;
    EXPECT_EQ(ComboIndexToValue(combo, 3), 3);
    combo.indexToValue = twice;
    EXPECT_EQ(ComboIndexToValue(combo, 3), 6);
    EXPECT_EQ(ComboValueToIndex(combo, 6), 6);
}

}  // namespace
}  // namespace velmora::ui
