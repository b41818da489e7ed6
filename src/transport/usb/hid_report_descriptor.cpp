#include "transport/usb/hid_report_descriptor.h"

#include <algorithm>
#include <array>
#include <map>

namespace velmora::transport {
namespace {

// Bit totals beyond this are refused; no real report comes near it (hidraw stops at 16 KiB).
constexpr uint64_t kMaxReportBits = uint64_t{1} << 32;
constexpr int kMaxPushDepth = 32;

struct Globals {
    uint32_t reportSize = 0;
    uint32_t reportCount = 0;
    uint32_t reportId = 0;
};

enum Kind { kInput = 0, kOutput = 1, kFeature = 2 };

int LengthOf(const std::map<uint32_t, uint64_t>& bits) {
    uint64_t most = 0;
    for (const auto& [id, total] : bits) most = std::max(most, total);
    if (bits.empty()) return 0;
    return static_cast<int>((most + 7) / 8 + 1);
}

}  // namespace

int ParseHidReportDescriptor(const uint8_t* data, size_t size, HidReportLengths& out) {
    out = HidReportLengths{};
    if (!data && size) return -1;

    Globals g;
    std::array<Globals, kMaxPushDepth> stack{};
    int depth = 0;
    bool numbered = false;
    std::array<std::map<uint32_t, uint64_t>, 3> bits;  // per kind: report id -> bits

    size_t i = 0;
    while (i < size) {
        const uint8_t prefix = data[i];
        if (prefix == 0xFE) {  // long item: size byte, tag byte, data
            if (i + 3 > size) return -1;
            size_t n = data[i + 1];
            if (i + 3 + n > size) return -1;
            i += 3 + n;
            continue;
        }
        size_t n = prefix & 3;
        if (n == 3) n = 4;
        if (i + 1 + n > size) return -1;
        uint32_t value = 0;
        for (size_t k = 0; k < n; ++k) value |= static_cast<uint32_t>(data[i + 1 + k]) << (8 * k);
        const int type = (prefix >> 2) & 3;
        const int tag = prefix >> 4;
        i += 1 + n;

        if (type == 0) {  // main item
            int kind = tag == 8 ? kInput : tag == 9 ? kOutput : tag == 0xB ? kFeature : -1;
            if (kind < 0) continue;  // collection / end collection
            uint64_t& total = bits[kind][g.reportId];
            total += static_cast<uint64_t>(g.reportSize) * g.reportCount;
            if (total > kMaxReportBits) return -1;
        } else if (type == 1) {  // global item
            switch (tag) {
            case 7: g.reportSize = value; break;
            case 8:
                if (value == 0 || value > 255) return -1;  // report id 0 is reserved
                g.reportId = value;
                numbered = true;
                break;
            case 9: g.reportCount = value; break;
            case 0xA:
                if (depth >= kMaxPushDepth) return -1;
                stack[depth++] = g;
                break;
            case 0xB:
                if (depth == 0) return -1;
                g = stack[--depth];
                break;
            default: break;
            }
        }
        // local items (usages, designators, strings) do not change report sizes
    }

    out.inputReportLength = LengthOf(bits[kInput]);
    out.outputReportLength = LengthOf(bits[kOutput]);
    out.featureReportLength = LengthOf(bits[kFeature]);
    out.numberedReports = numbered;
    return 0;
}

}  // namespace velmora::transport
