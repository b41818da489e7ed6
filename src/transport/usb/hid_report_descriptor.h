#pragma once

#include <cstddef>
#include <cstdint>

namespace velmora::transport {

// Report lengths the way the HID class driver states them: the largest report of each kind in
// bytes plus one byte for the report id (present on the wire or not). 0 when the descriptor has
// no report of that kind.
struct HidReportLengths {
    int outputReportLength = 0;
    int inputReportLength = 0;
    int featureReportLength = 0;
    bool numberedReports = false;  // some Report ID item is present
};

// Parses a HID report descriptor (short and long items, Push/Pop). Returns 0, or -1 for a
// truncated or malformed descriptor (then `out` is left zeroed). Pure function, thread-safe.
int ParseHidReportDescriptor(const uint8_t* data, size_t size, HidReportLengths& out);

}  // namespace velmora::transport
