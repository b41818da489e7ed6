// Control lines as another program sends them to a running simulator: every line is answered with
// one line that starts with "ok" or "error", and none of them breaks the server.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "sim/control_server.h"
#include "sim/sim_options.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace velmora::sim;
    SimOptions options;
    options.usbCount = 1;
    std::vector<UsbCameraConfig> cameras;
    std::string error;
    BuildUsbCameras(options, &cameras, &error);
    UsbServer usb("/nonexistent-fuzz-dir", std::move(cameras));  // never started: nothing is created
    const NewCameraConfig newCamera = [&](int number, const std::string& name) {
        return DefaultUsbCameraConfig(options, number, name);
    };
    std::string_view text(reinterpret_cast<const char*>(data), size);
    for (int lines = 0; !text.empty() && lines < 64; ++lines) {
        const size_t nl = text.find('\n');
        const std::string_view line = text.substr(0, nl);
        const std::string reply = RunControlLine(usb, line, newCamera);
        if (reply.rfind("ok", 0) != 0 && reply.rfind("error", 0) != 0) __builtin_trap();
        if (nl == std::string_view::npos) break;
        text.remove_prefix(nl + 1);
    }
    return 0;
}
