#include <cstdint>
#include <cstdlib>

#include "transport/usb/hid_framing.h"
#include "transport/usb/sim_hid_backend.h"

using namespace velmora::transport;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    velmora::transport::HidDeviceDescriptor d;
    if (velmora::transport::ParseSimDeviceDescription(reinterpret_cast<const char*>(data), size, d) == 0) {
        if (d.outputReportLength < velmora::transport::kMinReportLength ||
            d.outputReportLength > velmora::transport::kMaxReportLength ||
            d.inputReportLength < velmora::transport::kMinReportLength ||
            d.inputReportLength > velmora::transport::kMaxReportLength)
            std::abort();
    }
    return 0;
}
