#include "ui/params/shutter_table.h"

#include <charconv>
#include <cstdint>
#include <cstring>

namespace velmora::ui {

namespace {

constexpr ShutterEntry kBuiltIn[] = {
    {25, 7},    {30, 8},    {50, 30},   {60, 9},     {90, 10},    {100, 11},
    {125, 12},  {140, 31},  {160, 32},  {180, 13},   {195, 14},   {215, 15},
    {230, 16},  {250, 17},  {350, 18},  {500, 19},   {725, 20},   {1000, 21},
    {1500, 22}, {2000, 23}, {3000, 24}, {4000, 25},
};

}  // namespace

std::optional<int32_t> ParseShutterText(std::string_view text) {
    if (!text.starts_with("1/")) return std::nullopt;
    text.remove_prefix(2);
    while (!text.empty() && (text.front() == ' ' || (text.front() >= '\t' && text.front() <= '\r'))) {
        text.remove_prefix(1);
    }
    bool negative = false;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    int64_t magnitude = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), magnitude);
    if (ec != std::errc() || end == text.data()) return std::nullopt;
    const int64_t value = negative ? -magnitude : magnitude;
    if (value < INT32_MIN || value > INT32_MAX) return std::nullopt;
    return static_cast<int32_t>(value);
}

std::string ShutterText(int32_t denominator) { return "1/" + std::to_string(denominator); }

ShutterTable& ShutterTable::Shared() {
    static ShutterTable table;
    return table;
}

std::span<const ShutterEntry> ShutterTable::BuiltIn() { return kBuiltIn; }

void ShutterTable::LoadOptions(const protocol::AbilityItem& item) {
    size_t taken = 0;
    for (const protocol::AbilityOption& option : item.options) {
        if (taken == kCapacity) break;
        const std::string_view label(option.label, strnlen(option.label, sizeof option.label));
        if (const auto denominator = ParseShutterText(label)) entries_[taken].denominator = *denominator;
        entries_[taken].value = option.value;
        ++taken;
    }
    count_ = taken;
}

std::span<const ShutterEntry> ShutterTable::Active() const {
    if (count_ == 0) return kBuiltIn;
    return std::span<const ShutterEntry>(entries_.data(), count_);
}

std::vector<std::string> ShutterTable::Texts(int frameRate) const {
    std::vector<std::string> texts;
    for (const ShutterEntry& entry : Active()) {
        if (entry.denominator >= frameRate) texts.push_back(ShutterText(entry.denominator));
    }
    return texts;
}

int32_t ShutterTable::ValueForText(std::string_view text) const {
    const std::span<const ShutterEntry> active = Active();
    if (const auto denominator = ParseShutterText(text)) {
        for (const ShutterEntry& entry : active) {
            if (entry.denominator == *denominator) return entry.value;
        }
    }
    return active.front().value;
}

const ShutterEntry* ShutterTable::EntryForValue(int32_t value) const {
    for (const ShutterEntry& entry : Active()) {
        if (entry.value == value) return &entry;
    }
    return nullptr;
}

}  // namespace velmora::ui
