#include <cstdint>
#include <cstdlib>

#include "transport/usb/hid_report_descriptor.h"

using namespace velmora::transport;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    velmora::transport::HidReportLengths out;
    int r = velmora::transport::ParseHidReportDescriptor(data, size, out);
    if (r != 0 && r != -1) std::abort();
    if (out.outputReportLength < 0 || out.inputReportLength < 0 || out.featureReportLength < 0) std::abort();
    return 0;
}
