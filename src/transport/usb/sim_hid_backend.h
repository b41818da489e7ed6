#pragma once

#include <chrono>
#include <string>

#include "transport/usb/hid_backend.h"

namespace velmora::transport {

// HID devices served over Unix sockets by the camera simulator. The directory holds, per device,
// <name>.sock (a listening SOCK_SEQPACKET socket) and <name>.json, e.g.
//   {"vendor_id":5891,"product_id":4660,"output_report_length":65,"input_report_length":65}
// Opening is one connect(), given up after a deadline (a listener that does not accept, with a
// full backlog, would otherwise block it for ever; the device is then skipped like one that cannot
// be opened). Each packet is exactly one report, report id byte first; a closed connection is an
// unplugged device. Devices are listed in sorted name order. Exchanges are serialised across
// processes by an flock on the device's <name>.json, opened by each connection.
// Thread-safe.
class SimHidBackend : public HidBackend {
public:
    static constexpr std::chrono::milliseconds kDefaultConnectTimeout{2000};

    explicit SimHidBackend(std::string directory, std::chrono::milliseconds connectTimeout = kDefaultConnectTimeout);
    std::vector<HidDeviceDescriptor> Enumerate() override;
    std::unique_ptr<HidConnection> Open(const HidDeviceDescriptor& device) override;

private:
    std::string dir_;
    std::chrono::milliseconds connectTimeout_;
};

// Parses a device description (the .json file). Requires vendor_id and product_id in 0..65535 and
// output_report_length in kMinReportLength..kMaxReportLength; input_report_length defaults to the
// output length. Returns 0, or -1 (out.path is left untouched either way).
int ParseSimDeviceDescription(const char* text, size_t length, HidDeviceDescriptor& out);

// A connected SOCK_SEQPACKET socket as a HidConnection; takes ownership of `fd`. With a non-empty
// `lockPath` the connection opens that file for its cross-process exchange lock; without one it
// has none. Exposed so benchmarks and tests can wrap one end of a socketpair.
std::unique_ptr<HidConnection> MakeSeqpacketConnection(int fd, const std::string& lockPath = {});

}  // namespace velmora::transport
