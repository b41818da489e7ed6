#include "ui/params/ability_rules.h"

#include <cstring>

#include "platform/codepage.h"

namespace velmora::ui {

namespace {

// The text of a fixed, normally zero-terminated field; a field without its terminator ends at
// its size.
std::string_view FieldText(const char* field, size_t size) {
    return std::string_view(field, strnlen(field, size));
}

}  // namespace

bool AbilityKeyIs(const protocol::AbilityItem& item, std::string_view member) {
    return FieldText(item.key, sizeof item.key) == member;
}

bool HasSsc8836Rule(const protocol::AbilityItem& item) {
    return item.display == 2 && FieldText(item.displayRule, sizeof item.displayRule) == "ssc8836";
}

bool IsValidUtf8(std::string_view text) {
    size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<unsigned char>(text[i]);
        size_t length = 0;
        uint32_t code = 0;
        if (lead < 0x80) {
            ++i;
            continue;
        } else if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
            code = lead & 0x1Fu;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            code = lead & 0x0Fu;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            code = lead & 0x07u;
        } else {
            return false;
        }
        if (text.size() - i < length) return false;
        for (size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0u) != 0x80u) return false;
            code = code << 6 | (next & 0x3Fu);
        }
        if ((length == 3 && code < 0x800) || (length == 4 && code < 0x10000) || code > 0x10FFFF ||
            (code >= 0xD800 && code <= 0xDFFF)) {
            return false;
        }
        i += length;
    }
    return true;
}

std::string AbilityLabelUtf8(const protocol::AbilityOption& option) {
    const std::string_view label = FieldText(option.label, sizeof option.label);
    if (IsValidUtf8(label)) return std::string(label);
    std::string converted;
    if (platform::Cp936ToUtf8(label, converted)) return converted;
    return std::string(label);
}

}  // namespace velmora::ui
