#include "ui/params/picture_page.h"

#include <array>

namespace velmora::ui {

namespace {

using namespace picture_ids;

// One slider row of the page: the label at the left, the slider, the edit box at the right;
// rows are 18 dialog units apart below the title.
constexpr PageRow SliderRow(int index, const char* label, int slider, int edit, const char* member) {
    const int y = 26 + 18 * index;
    PageRow row;
    row.kind = RowKind::SliderWithEdit;
    row.label = label;
    row.controlId = slider;
    row.editId = edit;
    row.member = member;
    row.minimum = 0;
    row.maximum = 100;
    row.labelRect = DuRect{7, y + 3, 36, 8};
    row.controlRect = DuRect{44, y, 98, 14};
    row.editRect = DuRect{146, y + 1, 27, 12};
    return row;
}

constexpr std::array<PageRow, 5> kRows{
    SliderRow(0, QT_TRANSLATE_NOOP("velmora", "亮度:"), kBrightnessSlider, kBrightnessEdit, "Luminance"),
    SliderRow(1, QT_TRANSLATE_NOOP("velmora", "对比度:"), kContrastSlider, kContrastEdit, "Contrast"),
    SliderRow(2, QT_TRANSLATE_NOOP("velmora", "饱和度:"), kSaturationSlider, kSaturationEdit, "Saturation"),
    SliderRow(3, QT_TRANSLATE_NOOP("velmora", "色度:"), kHueSlider, kHueEdit, "ucHue"),
    SliderRow(4, QT_TRANSLATE_NOOP("velmora", "锐度:"), kSharpnessSlider, kSharpnessEdit, "Hue"),
};

constexpr PageSpec kSpec{kTemplate,
                         QT_TRANSLATE_NOOP("velmora", "图像调节"),
                         180,
                         118,
                         DuRect{7, 4, 120, 18},
                         kRows,
                         protocol::kPictureSlice};

}  // namespace

const PageSpec& PicturePageSpec() { return kSpec; }

PictureTab::PictureTab(QWidget* parent) : ParamPage(kSpec, parent) {}

}  // namespace velmora::ui
