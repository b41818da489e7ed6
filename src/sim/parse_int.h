#pragma once

#include <charconv>
#include <cstdint>
#include <string_view>

namespace velmora::sim {

// A whole decimal number in min..max from a command-line or fault text: an optional sign, digits,
// nothing else. Returns false (leaving `out` alone) for anything else.
inline bool ParseInt(std::string_view text, int64_t min, int64_t max, int64_t* out) {
    if (text.size() > 1 && text[0] == '+' && text[1] != '-') text.remove_prefix(1);
    int64_t v = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size() || v < min || v > max) return false;
    *out = v;
    return true;
}

}  // namespace velmora::sim
