#include "platform/display_text.h"

#include "platform/json_text.h"

namespace velmora::platform {
namespace {

// Length of the UTF-8 sequence at the start of `s` (2..4) when it is well formed, not a C1
// control and not a bidirectional control; 0 otherwise.
size_t ShowableSequenceLength(std::string_view s) {
    const size_t n = Utf8SequenceLength(s);
    const auto b = [&](size_t k) { return static_cast<unsigned>(static_cast<unsigned char>(s[k])); };
    if (n == 2 && b(0) == 0xC2 && b(1) < 0xA0) return 0;  // C1 control
    if (n == 3) {
        const unsigned code = (b(0) & 0x0Fu) << 12 | (b(1) & 0x3Fu) << 6 | (b(2) & 0x3Fu);
        if ((code >= 0x202A && code <= 0x202E) || (code >= 0x2066 && code <= 0x2069)) return 0;  // bidi
    }
    return n;
}

}  // namespace

std::string EscapeForDisplay(std::string_view text) {
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c < 0x7F) {
            if (c == '\\') out += '\\';
            out += static_cast<char>(c);
            ++i;
            continue;
        }
        if (size_t n = c >= 0x80 ? ShowableSequenceLength(text.substr(i)) : 0) {
            out.append(text.substr(i, n));
            i += n;
            continue;
        }
        out += "\\x";
        out += kHex[c >> 4];
        out += kHex[c & 15];
        ++i;
    }
    return out;
}

}  // namespace velmora::platform
