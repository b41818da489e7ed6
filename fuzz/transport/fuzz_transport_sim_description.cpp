#include <cstdint>
#include <cstdlib>

#include "transport/usb/hid_framing.h"
#include "transport/usb/sim_hid_backend.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    velmora::HidDeviceDescriptor d;
    if (velmora::ParseSimDeviceDescription(reinterpret_cast<const char*>(data), size, d) == 0) {
        if (d.outputReportLength < velmora::kMinReportLength || d.outputReportLength > velmora::kMaxReportLength ||
            d.inputReportLength < velmora::kMinReportLength || d.inputReportLength > velmora::kMaxReportLength)
            std::abort();
    }
    return 0;
}
