#pragma once

#include "ui/params/param_page.h"

// The picture page: brightness, contrast, saturation, hue and sharpness, five sliders each
// mirrored by an edit box, filled from the first five bytes of the record. It has no combo box,
// no mode rule and no part in the ability list. Sharpness travels as the member "Hue" and hue as
// "ucHue".
// Thread-bound: the user-interface thread.
namespace velmora::ui {

namespace picture_ids {
inline constexpr int kTemplate = 261;
inline constexpr int kBrightnessSlider = 1473;
inline constexpr int kContrastSlider = 1474;
inline constexpr int kSaturationSlider = 1475;
inline constexpr int kHueSlider = 1476;
inline constexpr int kSharpnessSlider = 1477;
inline constexpr int kBrightnessEdit = 1488;
inline constexpr int kContrastEdit = 1489;
inline constexpr int kSaturationEdit = 1490;
inline constexpr int kHueEdit = 1491;
inline constexpr int kSharpnessEdit = 1492;
}  // namespace picture_ids

// The page's table.
const PageSpec& PicturePageSpec();

class PictureTab : public ParamPage {
    Q_OBJECT

public:
    explicit PictureTab(QWidget* parent = nullptr);
};

}  // namespace velmora::ui
