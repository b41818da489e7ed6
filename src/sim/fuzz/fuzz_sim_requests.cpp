// Feeds arbitrary packets to a camera's request assembler and answers whatever it completes,
// as the USB server does for a connection.
#include <cstddef>
#include <cstdint>

#include "sim/camera_model.h"
#include "sim/hid_framing.h"
#include "sim/usb_dispatch.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static velmora::sim::CameraModel model([] {
        velmora::sim::CameraModel::Options o;
        o.flashMs = 0;
        return o;
    }());
    if (size < 1) return 0;
    // First byte picks the report length; the rest is cut into packets of varying sizes.
    const size_t reportLength = velmora::sim::kMinReportLength + data[0] % 80;
    velmora::sim::RequestAssembler assembler(reportLength, 64 * 1024);
    size_t pos = 1;
    while (pos < size) {
        const size_t want = (data[pos] % 4 == 0) ? (data[pos] % 7) : reportLength;
        ++pos;
        const size_t n = want < size - pos ? want : size - pos;
        const auto event = assembler.Feed(data + pos, n);
        pos += n;
        if (event == velmora::sim::RequestAssembler::Event::Complete) {
            auto reply = velmora::sim::HandleUsbCommand(model, assembler.command(), assembler.payload());
            auto reports = velmora::sim::BuildReplyReports(assembler.command(), reply.status, reply.body, reportLength);
            if (reports.empty() || reports.size() % reportLength != 0) __builtin_trap();
            if (reply.reboot) model.Reboot();
        }
    }
    // JSON requests in the network shape too.
    int32_t status = 0;
    model.HandleJson(std::string_view(reinterpret_cast<const char*>(data), size), velmora::sim::Shape::Network,
                     &status);
    return 0;
}
