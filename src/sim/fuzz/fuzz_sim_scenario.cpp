// Scenario texts and fault texts as given on the command line.
#include <cstddef>
#include <cstdint>
#include <string>

#include "sim/sim_options.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    velmora::sim::SimOptions options;
    std::string error;
    if (velmora::sim::ApplyScenario(text, &options, &error) == 0) {
        options.usbCount = options.usbCount % 8;
        std::vector<velmora::sim::UsbCameraConfig> cameras;
        velmora::sim::BuildUsbCameras(options, &cameras, &error);
    }
    velmora::sim::Fault fault;
    velmora::sim::ParseFault(text, &fault, &error);
    velmora::sim::AddFaultOption(text, &options, &error);
    return 0;
}
