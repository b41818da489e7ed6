// Camera texts printed by velmora-cli: whatever a camera sends, the printed text carries no
// control character and no broken UTF-8.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "cli/commands.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string out = velmora::cli::TerminalText(std::string_view(reinterpret_cast<const char*>(data), size));
    for (size_t i = 0; i < out.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(out[i]);
        if (c < 0x20 || c == 0x7f) std::abort();
        // C1 controls are U+0080..U+009F, encoded C2 80..C2 9F.
        if (c == 0xC2 && i + 1 < out.size() && static_cast<unsigned char>(out[i + 1]) < 0xA0) std::abort();
    }
    return 0;
}
