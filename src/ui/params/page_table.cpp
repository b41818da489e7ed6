#include "ui/params/page_table.h"

#include <charconv>

#include "platform/text.h"

namespace velmora::ui {

std::string_view AccessibleNameOf(std::string_view label) {
    static constexpr std::string_view kFullWidthColon = "\xEF\xBC\x9A";  // "：" in UTF-8
    for (;;) {
        if (!label.empty() && (label.back() == ' ' || label.back() == ':' || label.back() == '\t')) {
            label.remove_suffix(1);
        } else if (label.ends_with(kFullWidthColon)) {
            label.remove_suffix(kFullWidthColon.size());
        } else {
            return label;
        }
    }
}

const protocol::VideoParamField* RowField(const PageSpec& page, const PageRow& row) {
    for (const protocol::VideoParamField& field : protocol::VideoParamFields()) {
        if (field.offset >= page.sliceOffset && platform::EqualsIgnoreCase(field.member, row.member)) return &field;
    }
    return protocol::FindSendableField(row.member);
}

std::optional<int32_t> ReadRowValue(const protocol::VideoParamField& field, int sliceOffset,
                                    std::span<const uint8_t> slice) {
    if (sliceOffset < 0 || field.offset < sliceOffset) return std::nullopt;
    const size_t offset = static_cast<size_t>(field.offset - sliceOffset);
    if (offset + field.width > slice.size()) return std::nullopt;
    if (field.width == 4) {
        const uint32_t v = uint32_t{slice[offset]} | uint32_t{slice[offset + 1]} << 8 |
                           uint32_t{slice[offset + 2]} << 16 | uint32_t{slice[offset + 3]} << 24;
        return static_cast<int32_t>(v);
    }
    return field.isSigned ? int32_t{static_cast<int8_t>(slice[offset])} : int32_t{slice[offset]};
}

std::optional<int32_t> ParseEditInteger(std::string_view text) {
    auto isBlank = [](char c) { return c == ' ' || c == '\t'; };
    while (!text.empty() && isBlank(text.front())) text.remove_prefix(1);
    while (!text.empty() && isBlank(text.back())) text.remove_suffix(1);
    if (!text.empty() && text.front() == '+') {
        text.remove_prefix(1);
        if (!text.empty() && text.front() == '-') return std::nullopt;
    }
    if (text.empty()) return std::nullopt;
    int32_t value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

int ComboIndexToValue(const PageRow& row, int index) {
    return row.indexToValue ? row.indexToValue(index) : index;
}

int ComboValueToIndex(const PageRow& row, int value) {
    return row.valueToIndex ? row.valueToIndex(value) : value;
}

}  // namespace velmora::ui
