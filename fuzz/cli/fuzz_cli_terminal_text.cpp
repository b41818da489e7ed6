// Camera texts printed by velmora-cli and shown in the windows: whatever a camera sends, the
// escaped text carries no control character, no bidirectional control and no broken UTF-8; and
// the CP936 form of a name (with '?' for what CP936 lacks) always converts back.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "cli/commands.h"
#include "platform/codepage.h"

using namespace velmora::platform;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string out = velmora::cli::TerminalText(std::string_view(reinterpret_cast<const char*>(data), size));
    for (size_t i = 0; i < out.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(out[i]);
        if (c < 0x20 || c == 0x7f) std::abort();
        // C1 controls are U+0080..U+009F, encoded C2 80..C2 9F.
        if (c == 0xC2 && i + 1 < out.size() && static_cast<unsigned char>(out[i + 1]) < 0xA0) std::abort();
        // U+202A..U+202E are E2 80 AA..AE, U+2066..U+2069 are E2 81 A6..A9.
        if (c == 0xE2 && i + 2 < out.size()) {
            const unsigned char b1 = static_cast<unsigned char>(out[i + 1]), b2 = static_cast<unsigned char>(out[i + 2]);
            if ((b1 == 0x80 && b2 >= 0xAA && b2 <= 0xAE) || (b1 == 0x81 && b2 >= 0xA6 && b2 <= 0xA9)) std::abort();
        }
    }
    const std::string cp936 =
        velmora::platform::Utf8ToCp936Replacing(std::string_view(reinterpret_cast<const char*>(data), size));
    std::string back;
    if (!velmora::platform::Cp936ToUtf8(cp936, back)) std::abort();
    return 0;
}
