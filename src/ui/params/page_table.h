#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "protocol/video_param.h"
#include "ui/common/du_rect.h"

// A parameter page described as data: a table of rows, each one value control with its label,
// control ids, the camera member it sends, its range and where its value sits in the page's
// slice of the parameter record. ParamPage (param_page.h) builds every table into widgets with
// one piece of code; a page's special rules are hooks of its own class.
// Plain constant data; the helpers are pure functions.
namespace velmora::ui {

enum class RowKind : uint8_t {
    SliderWithEdit,  // a slider mirrored by an edit box; the page value is the edit box's number
    Combo,           // a drop-down list; the page value is the selected index (-1 none)
};

struct PageRow {
    RowKind kind = RowKind::SliderWithEdit;
    const char* label = "";  // shown text, such as "亮度:"
    int controlId = 0;       // the slider or the combo box
    int editId = 0;          // the slider's edit box; 0 for a combo box
    // The camera member sent on a change. Its place and width in the record come from the
    // record's field table (RowField), never restated here.
    const char* member = "";
    int minimum = 0;  // slider range
    int maximum = 100;
    std::span<const char* const> items{};  // built-in combo items
    // Combo mappings; null means identity.
    int (*indexToValue)(int index) = nullptr;
    int (*valueToIndex)(int value) = nullptr;
    DuRect labelRect, controlRect, editRect;
    int labelId = 0;      // the label's control id when rules name it; 0 for a plain text
    bool hidden = false;  // the row starts hidden (label, control and edit box)
};

struct PageSpec {
    int templateId = 0;
    const char* title = "";  // the title label's text; also the page widget's name
    int widthDu = 0;
    int heightDu = 0;
    DuRect titleRect;
    std::span<const PageRow> rows;
    // Where the page's slice of the record starts (kPictureSlice ...); -1 for a page that the
    // record does not fill.
    int sliceOffset = -1;
};

// The accessible name of a control: its label without trailing blanks and colons (":" or "：").
std::string_view AccessibleNameOf(std::string_view label);

// The field a row sends and shows: the first field of its member at or after the page's slice
// start (so the Others page's scene row shows the 7167 copy of eSceneMode), else any sendable
// field of that name (FindSendableField). Null for a member the camera does not know.
const protocol::VideoParamField* RowField(const PageSpec& page, const PageRow& row);

// Reads a field's value from a page's slice (`slice` runs from `sliceOffset`, the slice start,
// to the end of the record), the way the field is sent. Nullopt when the page has no slice
// (sliceOffset -1) or the field does not lie inside `slice`.
std::optional<int32_t> ReadRowValue(const protocol::VideoParamField& field, int sliceOffset,
                                    std::span<const uint8_t> slice);

// Parses an edit box's text as a decimal integer the way the dialog framework does: optional
// blanks, an optional sign, digits, optional blanks, and nothing else; the value must fit a
// signed 32-bit integer.
std::optional<int32_t> ParseEditInteger(std::string_view text);

// Combo mappings with identity defaults.
int ComboIndexToValue(const PageRow& row, int index);
int ComboValueToIndex(const PageRow& row, int value);

}  // namespace velmora::ui
