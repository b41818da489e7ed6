// --serial-file as velmora-cli reads it: a list of serials or an upgrade report. Whatever the
// file holds, the parser ends with a usage error or with serials a camera can have (at most 31
// bytes, no control character, none empty).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "cli/camera_sets.h"
#include "cli/commands.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<std::string> serials;
    bool fromReport = false;
    std::string error;
    const int r = velmora::cli::ParseSerialList(std::string_view(reinterpret_cast<const char*>(data), size), serials,
                                                fromReport, error);
    if (r != velmora::cli::kExitOk) {
        if (error.empty()) std::abort();
        return 0;
    }
    for (const std::string& s : serials) {
        if (s.empty() || s.size() > 31) std::abort();
        for (unsigned char c : s)
            if (c < 0x20 || c == 0x7f) std::abort();
    }
    return 0;
}
