#pragma once

#include <string>

#include "transport/usb/hid_backend.h"

namespace velmora::transport {

// Real HID devices through hidapi (hidraw). Report lengths come from the report descriptor in
// /sys/class/hidraw/<node>/device/report_descriptor. Reads wait in short slices so Cancel and
// Close take effect within one slice. Thread-safe.
class HidapiBackend : public HidBackend {
public:
    HidapiBackend();
    ~HidapiBackend() override;
    std::vector<HidDeviceDescriptor> Enumerate() override;
    std::unique_ptr<HidConnection> Open(const HidDeviceDescriptor& device) override;
};

// Reads and parses the report descriptor of a hidraw node ("/dev/hidraw3"), filling the lengths
// and numberedReports of `device`. `sysRoot` replaces "/sys/class/hidraw" in tests.
// Returns 0 or -1.
int ReadHidrawReportLengths(const std::string& devicePath, HidDeviceDescriptor& device,
                            const std::string& sysRoot = "/sys/class/hidraw");

}  // namespace velmora::transport
