#include "ui/params/others_page.h"

#include <array>

#include <QComboBox>

#include "ui/params/row_layout.h"
#include "ui/params/video_page.h"
#include "ui/common/ui_text.h"

namespace velmora::ui {

namespace {

using namespace others_ids;
using layout::ComboRow;

constexpr std::array<const char*, 4> kScenes{QT_TRANSLATE_NOOP("velmora", "默认"), QT_TRANSLATE_NOOP("velmora", "自定义1"), QT_TRANSLATE_NOOP("velmora", "自定义2"), QT_TRANSLATE_NOOP("velmora", "自定义3")};
constexpr std::array<const char*, 2> kZoom{QT_TRANSLATE_NOOP("velmora", "关闭"), "16X"};

constexpr int kLabelWidth = 44;
constexpr int kComboWidth = 80;

constexpr PageRow SceneRow() {
    PageRow row = ComboRow(0, QT_TRANSLATE_NOOP("velmora", "场景: "), kSceneCombo, "eSceneMode", kScenes, kLabelWidth, kComboWidth);
    row.indexToValue = SceneIndexToValue;
    row.valueToIndex = SceneValueToIndex;
    return row;
}

// The style items are added by the page itself (the table has none).
constexpr PageRow StyleRow() {
    PageRow row = ComboRow(2, QT_TRANSLATE_NOOP("velmora", "风格: "), kStyleCombo, "u32Lut", {}, kLabelWidth, kComboWidth);
    return row;
}

// Record slice: eSceneMode (the copy this page shows), ucDigitalZoom, u32Lut (4 bytes).
constexpr std::array<PageRow, 3> kRows{
    SceneRow(),
    ComboRow(1, QT_TRANSLATE_NOOP("velmora", "数字变倍: "), kZoomCombo, "ucDigitalZoom", kZoom, kLabelWidth, kComboWidth),
    StyleRow(),
};

constexpr PageSpec kSpec{
    kTemplate, QT_TRANSLATE_NOOP("velmora", "其他"), 170, 83, DuRect{7, 4, 120, 18}, kRows, protocol::kOthersSlice};

}  // namespace

const PageSpec& OthersPageSpec() { return kSpec; }

OthersTab::OthersTab(QWidget* parent) : ParamPage(kSpec, parent) {
    QComboBox* style = Combo(kStyleCombo);
    QStringList items;
    items.reserve(kStyleCount);
    items << QCoreApplication::translate("velmora", "关闭");
    for (int i = 1; i < kStyleCount; ++i) items << QCoreApplication::translate("velmora", "风格%1").arg(i);
    style->addItems(items);
    // Qt selects the first item added to an empty box; the page was shown before the items
    // existed, so the box stays without a selection until a record or the user picks one.
    style->setCurrentIndex(-1);
}

}  // namespace velmora::ui
