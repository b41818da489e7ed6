#pragma once

// Window templates measure their controls in dialog units; dialog_units.h converts them to
// pixels with the UI font. Plain data, no Qt, so constant tables can hold it.
namespace velmora::ui {

// A rectangle in dialog units of a window template.
struct DuRect {
    int x = 0, y = 0, width = 0, height = 0;
};

}  // namespace velmora::ui
