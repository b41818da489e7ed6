#include "ui/params/video_page.h"

#include <array>
#include <climits>

#include "ui/params/row_layout.h"

namespace velmora::ui {

namespace {

using namespace video_ids;
using layout::ComboRow;

// The portrait item "on" travels as 3; the value 3 shows as "on", any other value v as item v.
int RotationIndexToValue(int index) { return index == 1 ? 3 : index; }
int RotationValueToIndex(int value) { return value == 3 ? 1 : value; }

constexpr std::array<const char*, 2> kOffOn{QT_TRANSLATE_NOOP("velmora", "关闭"), QT_TRANSLATE_NOOP("velmora", "打开")};
constexpr std::array<const char*, 4> kScenes{QT_TRANSLATE_NOOP("velmora", "默认"), QT_TRANSLATE_NOOP("velmora", "美颜"), QT_TRANSLATE_NOOP("velmora", "珠宝"), QT_TRANSLATE_NOOP("velmora", "服饰")};

constexpr int kLabelWidth = 44;
constexpr int kComboWidth = 60;

constexpr PageRow WithMapping(PageRow row, int (*toValue)(int), int (*toIndex)(int)) {
    row.indexToValue = toValue;
    row.valueToIndex = toIndex;
    return row;
}

constexpr PageRow PortraitRow() {
    PageRow row = WithMapping(ComboRow(2, QT_TRANSLATE_NOOP("velmora", "竖屏: "), kPortraitCombo, "ucRotation", kOffOn,
                                       kLabelWidth, kComboWidth),
                              RotationIndexToValue, RotationValueToIndex);
    row.hidden = true;
    return row;
}

// Record slice: bHorzInvert, bVertInvert, ucRotation, eSceneMode. The portrait row is hidden and
// never shown; it shares the scene row's place so the page keeps its template size.
constexpr std::array<PageRow, 4> kRows{
    ComboRow(0, QT_TRANSLATE_NOOP("velmora", "水平镜像: "), kHorzMirrorCombo, "bHorzInvert", kOffOn, kLabelWidth, kComboWidth),
    ComboRow(1, QT_TRANSLATE_NOOP("velmora", "垂直镜像: "), kVertFlipCombo, "bVertInvert", kOffOn, kLabelWidth, kComboWidth),
    WithMapping(ComboRow(2, QT_TRANSLATE_NOOP("velmora", "场景: "), kSceneCombo, "eSceneMode", kScenes, kLabelWidth, kComboWidth),
                SceneIndexToValue, SceneValueToIndex),
    PortraitRow(),
};

constexpr PageSpec kSpec{
    kTemplate, QT_TRANSLATE_NOOP("velmora", "视频调整"), 180, 78, DuRect{7, 4, 120, 18}, kRows, protocol::kVideoSlice};

}  // namespace

int SceneIndexToValue(int index) { return index == 0 ? 1 : index + 2; }
int SceneValueToIndex(int value) {
    if (value == 1) return 0;
    return value < INT_MIN + 2 ? -1 : value - 2;  // -1: no selection
}

const PageSpec& VideoPageSpec() { return kSpec; }

VideoTab::VideoTab(QWidget* parent) : ParamPage(kSpec, parent) {}

void VideoTab::AfterComboSent(const PageRow& row, int) {
    // The camera changes other values with the scene; a failed set still refreshes, so the box
    // returns to the camera's scene.
    if (row.controlId == kSceneCombo && Host()) Host()->RequestRefresh();
}

}  // namespace velmora::ui
