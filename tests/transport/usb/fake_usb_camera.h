#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "transport/usb/cusb_device.h"
#include "transport/usb/sim_hid_backend.h"

// A USB camera served the way the simulator serves one: <dir>/<name>.sock (listening
// SOCK_SEQPACKET) and <dir>/<name>.json. A server thread reassembles request reports and answers
// through a handler. Thread-safe: the test thread configures it while the server runs.
namespace velmora::testing {

// Waits short enough for tests: the refresh settles at once, a silent device fails in 3 s.
inline transport::CUSBDevice::Timing FastTiming() {
    using namespace std::chrono_literals;
    transport::CUSBDevice::Timing t;
    t.settleAfterOpen = 1ms;
    t.retryAfterFailedInfo = 1ms;
    t.replyPhase = 3000ms;
    return t;
}

// A CUSBDevice over the sim backend of `dir`, with vendor 0x1703 in its filter.
inline std::unique_ptr<transport::CUSBDevice> OpenHost(const std::string& dir,
                                                       transport::CUSBDevice::Timing t = FastTiming()) {
    auto host = std::make_unique<transport::CUSBDevice>(std::make_unique<transport::SimHidBackend>(dir));
    host->SetVendorFilter(0, nullptr);
    host->SetTiming(t);
    return host;
}

using Report = std::vector<uint8_t>;

struct FakeResponse {
    std::vector<Report> reports;  // sent one packet each, in order
    bool unplug = false;          // close the connection after sending the reports
    std::chrono::milliseconds delay{0};  // wait this long before sending (a late reply)
};

// Reply reports for `status` and `data`: payload chunks of reportLength - 17, last flag on the final.
std::vector<Report> MakeReplyReports(int reportLength, uint32_t command, int32_t status, const std::string& data);
Report MakeReplyReport(int reportLength, uint32_t command, int32_t status, const std::string& payload, bool last,
                       uint32_t magic = 0x48544446);

// A fresh temporary directory, removed with its content on destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

class FakeUsbCamera {
public:
    using Handler = std::function<FakeResponse(uint32_t command, const std::vector<uint8_t>& request)>;

    FakeUsbCamera(const std::string& dir, const std::string& name, uint16_t vendorId = 0x1703,
                  uint16_t productId = 0x1234, int reportLength = 65);
    ~FakeUsbCamera();

    // Default handler: status 0 and no data.
    void SetHandler(Handler handler);
    // Stop taking request reports off the socket (the host's writes then block).
    void SetReading(bool reading) { reading_.store(reading); }
    // Close the connection after this many request reports (0 = never).
    void UnplugAfterReports(int count) { unplugAfter_.store(count); }
    // Like one hidraw device opened by several hosts: every connection is kept, request reports
    // from all of them reach one reassembly, and every reply goes to every connection (dropped
    // for a connection whose queue is full, as hidraw drops). Otherwise a new connection
    // replaces the previous one.
    void SetSharedBus(bool shared) { shared_.store(shared); }
    // All connections taken: each new connection gets the busy notice (command id 0, status
    // -42, last flag 1) and is closed.
    void SetBusy(bool busy) { busy_.store(busy); }

    struct Stats {
        int reports = 0;                      // request reports received
        std::vector<uint16_t> payloadLengths; // per report (kept for the first 100000)
        std::vector<uint16_t> lastFlags;
        int requests = 0;                     // complete requests
        uint32_t lastCommand = 0;
        std::vector<uint8_t> lastRequest;
        std::vector<int> packetSizes;          // sizes of the first 100000 packets
        int repliesSent = 0;                   // responses sent in full
        int refused = 0;                       // connections answered with the busy notice
        int interleaved = 0;                   // request reports from one connection in the middle of another's request
    };
    Stats stats() const;
    int reportLength() const { return reportLength_; }

private:
    void Serve();
    void HandlePacket(std::vector<int>& conns, size_t from, const uint8_t* p, size_t n);
    bool SendReport(int conn, const Report& r);
    bool WaitOrQuit(std::chrono::milliseconds delay);

    int reportLength_;
    int listenFd_ = -1;
    int wake_[2] = {-1, -1};
    std::thread server_;
    std::atomic<bool> reading_{true};
    std::atomic<int> unplugAfter_{0};
    std::atomic<bool> shared_{false};
    std::atomic<bool> busy_{false};
    mutable std::mutex mu_;
    Handler handler_;
    Stats stats_;
    std::vector<uint8_t> pending_;
    int requestFrom_ = -1;  // connection whose request is being reassembled, -1 between requests
};

}  // namespace velmora::testing
