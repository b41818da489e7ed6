#pragma once

#include <span>

#include "ui/params/page_table.h"

// Builders of table rows on the pages' common grid: the title at the top left, then one row
// every 18 dialog units from y = 26, the label at the left edge, the control after it.
// Constant expressions, so each page's table stays a constexpr array.
namespace velmora::ui::layout {

inline constexpr int kFirstRowY = 26;
inline constexpr int kRowPitch = 18;
inline constexpr int kLeft = 7;

constexpr int RowY(int index) { return kFirstRowY + kRowPitch * index; }

// A combo box row whose top is at `y`: the label `labelWidth` units wide, the combo box after it.
constexpr PageRow ComboRowAt(int y, const char* label, int comboId, const char* member,
                             std::span<const char* const> items, int labelWidth, int comboWidth) {
    PageRow row;
    row.kind = RowKind::Combo;
    row.label = label;
    row.controlId = comboId;
    row.member = member;
    row.items = items;
    row.labelRect = DuRect{kLeft, y + 3, labelWidth, 8};
    row.controlRect = DuRect{kLeft + labelWidth + 1, y, comboWidth, 14};
    return row;
}

// A slider row with its edit box, its top at `y` (range 0 to 100).
constexpr PageRow SliderRowAt(int y, const char* label, int sliderId, int editId,
                              const char* member, int labelWidth, int sliderWidth) {
    PageRow row;
    row.kind = RowKind::SliderWithEdit;
    row.label = label;
    row.controlId = sliderId;
    row.editId = editId;
    row.member = member;
    row.labelRect = DuRect{kLeft, y + 3, labelWidth, 8};
    row.controlRect = DuRect{kLeft + labelWidth + 1, y, sliderWidth, 14};
    row.editRect = DuRect{kLeft + labelWidth + 1 + sliderWidth + 3, y + 1, 27, 12};
    return row;
}

// A row whose label carries a control id of its own (rules enable or hide it with the row).
constexpr PageRow Labelled(PageRow row, int labelId) {
    row.labelId = labelId;
    return row;
}

// A row nothing shows until a rule or the ability list does.
constexpr PageRow Hidden(PageRow row) {
    row.hidden = true;
    return row;
}

// The same at grid row `index`.
constexpr PageRow ComboRow(int index, const char* label, int comboId, const char* member,
                           std::span<const char* const> items, int labelWidth, int comboWidth) {
    return ComboRowAt(RowY(index), label, comboId, member, items, labelWidth, comboWidth);
}

}  // namespace velmora::ui::layout
