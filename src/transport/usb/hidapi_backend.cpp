#include "transport/usb/hidapi_backend.h"

#include <cstdio>
#include <cstring>
#include <fcntl.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <vector>

#include <hidapi/hidapi.h>

#include "transport/usb/device_lock.h"
#include "transport/usb/hid_report_descriptor.h"

namespace velmora::transport {
namespace {

// Cancel and Close take effect within one slice of a blocked read.
constexpr int kReadSliceMs = 50;
// The largest report descriptor the HID core accepts.
constexpr size_t kMaxDescriptorBytes = 4096;
// DiscardPending drops at most this many reports per call.
constexpr int kMaxDiscardedReports = 4096;

std::mutex& HidapiMutex() {
    static std::mutex mu;
    return mu;
}

// hidapi's own state (hid_init, hid_enumerate) is not thread-safe; calls into it are serialised
// here. Reads and writes on an open device need no lock.
class HidapiConnection : public HidConnection {
public:
    HidapiConnection(hid_device* dev, bool numbered, std::unique_ptr<DeviceLockFile> lock)
        : dev_(dev), numbered_(numbered), lock_(std::move(lock)) {}
    ~HidapiConnection() override {
        std::lock_guard lock(HidapiMutex());
        hid_close(dev_);
    }

    int Write(const uint8_t* report, size_t length) override {
        if (Stopped()) return kHidCancelled;
        // hidraw takes the report id as first byte and drops a 0 for unnumbered reports.
        int n = hid_write(dev_, report, length);
        return n < 0 ? kHidDisconnected : n;
    }

    int Read(uint8_t* buffer, size_t capacity) override {
        if (capacity < 2) return kHidIoError;
        for (;;) {
            if (Stopped()) return kHidCancelled;
            int n = ReadWithin(buffer, capacity, kReadSliceMs);
            if (n != 0) return n;
        }
    }

    int ReadWaiting(uint8_t* buffer, size_t capacity) override {
        if (capacity < 2 || Stopped()) return 0;
        const int n = ReadWithin(buffer, capacity, 0);
        return n > 0 ? n : 0;  // a failure is reported by the Read that follows
    }

    int DiscardPending(size_t capacity, const HidReportVisitor& seen) override {
        if (Stopped()) return 0;
        std::vector<uint8_t> buffer(std::max<size_t>(capacity, 2));
        int dropped = 0;
        while (dropped < kMaxDiscardedReports) {
            int n = ReadWithin(buffer.data(), buffer.size(), 0);
            if (n <= 0) break;  // nothing waits, or the device is gone: the exchange notices the latter
            ++dropped;
            if (seen) seen(buffer.data(), static_cast<size_t>(n));
        }
        return dropped;
    }

    int LockExchange(std::chrono::milliseconds limit) override {
        if (!lock_) return 0;
        return lock_->Acquire(limit, [this] { return Stopped(); });
    }

    void UnlockExchange() override {
        if (lock_) lock_->Release();
    }

    void Cancel() override { cancelled_.store(true); }
    void Rearm() override { cancelled_.store(false); }
    void Close() override { closed_.store(true); }

private:
    bool Stopped() const { return cancelled_.load() || closed_.load(); }

    // One read waiting at most `ms` (0: only what is already there). Returns the report length
    // with the report-id byte in front, 0 when nothing came, or kHidDisconnected.
    int ReadWithin(uint8_t* buffer, size_t capacity, int ms) {
        // Unnumbered reports come without a report-id byte; put the 0 the framing expects.
        uint8_t* into = numbered_ ? buffer : buffer + 1;
        size_t room = numbered_ ? capacity : capacity - 1;
        int n = hid_read_timeout(dev_, into, room, ms);
        if (n < 0) return kHidDisconnected;
        if (n == 0) return 0;
        if (!numbered_) {
            buffer[0] = 0;
            ++n;
        }
        return n;
    }

    hid_device* dev_;
    bool numbered_;
    std::unique_ptr<DeviceLockFile> lock_;
    std::atomic<bool> cancelled_{false};
    std::atomic<bool> closed_{false};
};

}  // namespace

int ReadHidrawReportLengths(const std::string& devicePath, HidDeviceDescriptor& device, const std::string& sysRoot) {
    auto slash = devicePath.find_last_of('/');
    std::string node = slash == std::string::npos ? devicePath : devicePath.substr(slash + 1);
    if (node.empty() || node == "." || node == "..") return -1;
    std::string file = sysRoot + "/" + node + "/device/report_descriptor";
    FILE* f = std::fopen(file.c_str(), "rb");
    if (!f) return -1;
    std::vector<uint8_t> bytes(kMaxDescriptorBytes);
    size_t n = std::fread(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
    HidReportLengths lengths;
    if (ParseHidReportDescriptor(bytes.data(), n, lengths) != 0) return -1;
    device.outputReportLength = lengths.outputReportLength;
    device.inputReportLength = lengths.inputReportLength;
    device.numberedReports = lengths.numberedReports;
    return 0;
}

HidapiBackend::HidapiBackend() {
    std::lock_guard lock(HidapiMutex());
    hid_init();
}

HidapiBackend::~HidapiBackend() = default;  // hid_exit would pull the rug from other instances

std::vector<HidDeviceDescriptor> HidapiBackend::Enumerate() {
    std::vector<HidDeviceDescriptor> found;
    std::lock_guard lock(HidapiMutex());
    hid_device_info* list = hid_enumerate(0, 0);
    for (hid_device_info* d = list; d; d = d->next) {
        if (!d->path) continue;
        HidDeviceDescriptor dev;
        dev.path = d->path;
        dev.vendorId = d->vendor_id;
        dev.productId = d->product_id;
        // A descriptor that cannot be read leaves the lengths at 0: the device is not usable.
        ReadHidrawReportLengths(dev.path, dev);
        found.push_back(std::move(dev));
    }
    hid_free_enumeration(list);
    return found;
}

std::unique_ptr<HidConnection> HidapiBackend::Open(const HidDeviceDescriptor& device) {
    hid_device* h;
    {
        std::lock_guard lock(HidapiMutex());
        h = hid_open_path(device.path.c_str());
    }
    if (!h) return nullptr;
    hid_set_nonblocking(h, 0);
    // The exchange lock is an flock on the hidraw node itself, opened a second time: the node is
    // the one name every process (of every user) shares for this device. Read-only and
    // non-blocking; this descriptor is never read, hidraw drops what its queue cannot hold.
    auto lock = std::make_unique<DeviceLockFile>(device.path, O_RDONLY | O_NONBLOCK);
    return std::make_unique<HidapiConnection>(h, device.numberedReports, std::move(lock));
}

}  // namespace velmora::transport
