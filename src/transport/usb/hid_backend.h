#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// Access to HID devices: enumeration and one open connection per device. Two implementations:
// hidapi (hidraw nodes of real cameras) and sim (Unix SOCK_SEQPACKET sockets served by the camera
// simulator, chosen when VELMORA_USB_SIM names a directory). CUSBDevice takes a backend in its
// constructor so tests can inject their own.

namespace velmora::transport {

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
    kHidLockTimeout = -5,   // LockExchange: another holder kept the device's lock too long
    kHidTimedOut = -6,      // WriteBefore: the deadline passed before the report could be written
};

// Shown each report DiscardPending drops (report id byte first).
using HidReportVisitor = std::function<void(const uint8_t* report, size_t length)>;

// One open device. Read and Write block until they are done, fail, or are woken by Cancel/Close.
// Thread-safety: one thread reads (the device's reader) while one other thread writes and locks
// (the exchange's caller: Write/WriteBefore, LockExchange, UnlockExchange, Rearm); DiscardPending
// is called only before the reader starts. Cancel() and Close() may be called from any other
// thread at any time.
class HidConnection {
public:
    virtual ~HidConnection() = default;

    // Writes one report (report id byte first). Returns the byte count or a HidIoResult.
    virtual int Write(const uint8_t* report, size_t length) = 0;
    // Write, giving up with kHidTimedOut when the report cannot be written before `deadline`.
    // The default cannot bound a blocked write and simply writes.
    virtual int WriteBefore(const uint8_t* report, size_t length, std::chrono::steady_clock::time_point deadline) {
        (void)deadline;
        return Write(report, length);
    }
    // Reads one report into `buffer` (report id byte first, 0 for devices without report ids).
    // Returns the byte count (> 0) or a HidIoResult.
    virtual int Read(uint8_t* buffer, size_t capacity) = 0;
    // Reads and drops every report already waiting, without blocking: replies that arrived after
    // their exchange gave up. `seen` (may be empty) is shown each dropped report, cut to
    // `capacity` bytes. Stops when nothing more waits, on a read failure (the exchange that
    // follows notices it), or after a bound, so a device that never stops talking cannot keep it
    // spinning. Returns how many reports were dropped.
    virtual int DiscardPending(size_t capacity, const HidReportVisitor& seen) = 0;
    // True when a report waits to be read (not consumed; callable beside a blocked Read). The
    // default cannot tell and says false.
    virtual bool InputWaiting() { return false; }
    // Blocks until a report waits to be read (not consumed) or the connection ends. Returns 1 when
    // the next Read will not block (a report waits, or the end is there to be read), 0 when this
    // backend cannot tell (the caller just calls Read), or a HidIoResult (Cancel/Close). The reader
    // uses it to take a report off the connection and into its inbox as one step under the inbox
    // lock, so an exchange that drops stale input never misses a report in flight between them.
    virtual int WaitInput() { return 0; }
    // Reads one report only if it is already there, without waiting: its byte count (> 0),
    // kHidOversized, or 0 when nothing waits, the connection is stopped, or a read failed (the
    // next WaitInput/Read then reports what happened). Lets the reader take the rest of a long
    // reply one system call per report, under the inbox lock. The default reads nothing.
    virtual int ReadWaiting(uint8_t* buffer, size_t capacity) {
        (void)buffer;
        (void)capacity;
        return 0;
    }
    // Takes the device's cross-process exchange lock (an flock on a file every process names the
    // same way for this device), polling for at most `limit`. Returns 0, kHidLockTimeout when
    // another holder kept it, or kHidCancelled when Cancel/Close came first. A connection without
    // such a file (or whose file could not be opened) returns 0 at once.
    virtual int LockExchange(std::chrono::milliseconds limit) {
        (void)limit;
        return 0;
    }
    // Releases what LockExchange took; harmless when nothing is held.
    virtual void UnlockExchange() {}
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

}  // namespace velmora::transport
