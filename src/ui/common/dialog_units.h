#pragma once

#include <QFont>
#include <QRect>

#include "ui/common/du_rect.h"

// Converts the dialog units of the window templates to pixels with the base units of a font:
// one horizontal unit is a quarter of the font's average character width (the width of the 52
// Latin letters divided by 52), one vertical unit an eighth of its line height. Sizes therefore
// follow the UI font, so the Chinese texts keep their room at any font size.
// Pure functions of the font; safe on the user-interface thread.
namespace velmora::ui {

struct DialogBaseUnits {
    int x = 0;  // average character width in pixels
    int y = 0;  // line height in pixels
};

DialogBaseUnits BaseUnitsOf(const QFont& font);
QRect ToPixels(const DuRect& rect, const DialogBaseUnits& base);
int DuToPixelsX(int du, const DialogBaseUnits& base);
int DuToPixelsY(int du, const DialogBaseUnits& base);

// 黑体 at `pointSize`, then the fallbacks SimHei, Noto Sans CJK SC and WenQuanYi Micro Hei.
QFont HeiTiFont(int pointSize);
// The 18-point title font of the pages.
QFont PageTitleFont();

}  // namespace velmora::ui
