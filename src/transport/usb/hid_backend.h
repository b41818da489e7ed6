#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// Access to HID devices: enumeration and one open connection per device. Two implementations:
// hidapi (hidraw nodes of real cameras) and sim (Unix SOCK_SEQPACKET sockets served by the camera
// simulator, chosen when VELMORA_USB_SIM names a directory). CUSBDevice takes a backend in its
// constructor so tests can inject their own.

namespace velmora {

// One HID interface found by Enumerate().
struct HidDeviceDescriptor {
    std::string path;              // hidraw node or socket path; what Open() takes
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    int outputReportLength = 0;    // bytes per output report, report-id byte included; 0 = unknown
    int inputReportLength = 0;     // bytes per input report, report-id byte included; 0 = unknown
    bool numberedReports = false;  // the device's reports carry a report id (hidapi only)
};

// Failure results of HidConnection::Read / Write (all negative).
enum HidIoResult : int {
    kHidCancelled = -1,     // Cancel() or Close() was called
    kHidDisconnected = -2,  // the device is gone (unplugged, peer closed)
    kHidOversized = -3,     // an incoming report was larger than the read buffer
    kHidIoError = -4,       // any other system failure
};

// One open device. Read and Write block until they are done, fail, or are woken by Cancel/Close.
// Thread-safety: one thread does I/O at a time (one phase of one exchange); Cancel() and Close()
// may be called from any other thread at any time. Rearm() is called only while no I/O runs.
class HidConnection {
public:
    virtual ~HidConnection() = default;

    // Writes one report (report id byte first). Returns the byte count or a HidIoResult.
    virtual int Write(const uint8_t* report, size_t length) = 0;
    // Reads one report into `buffer` (report id byte first, 0 for devices without report ids).
    // Returns the byte count (> 0) or a HidIoResult.
    virtual int Read(uint8_t* buffer, size_t capacity) = 0;
    // Makes a blocked Read/Write return kHidCancelled at once, and every later one until Rearm().
    virtual void Cancel() = 0;
    // Clears a Cancel() for the next phase. Does not undo Close().
    virtual void Rearm() = 0;
    // Shuts the connection for good: blocked and later I/O fail. Resources are released by the
    // destructor, so a thread still inside Read/Write never sees a reused descriptor.
    virtual void Close() = 0;
};

// Thread-safety: Enumerate and Open may be called from any thread.
class HidBackend {
public:
    virtual ~HidBackend() = default;
    virtual std::vector<HidDeviceDescriptor> Enumerate() = 0;
    // Returns null when the device cannot be opened.
    virtual std::unique_ptr<HidConnection> Open(const HidDeviceDescriptor& device) = 0;
};

// The sim backend when VELMORA_USB_SIM names a directory, hidapi otherwise.
std::unique_ptr<HidBackend> MakeDefaultHidBackend();

}  // namespace velmora
