#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/device_info.h"
#include "protocol/requests.h"
#include "transport/usb/hid_backend.h"
#include "transport/usb/hid_framing.h"

namespace velmora::transport {

// One opened USB camera as the windows see it: its handle and its identity texts.
// name holds CP936 bytes; all texts are zero-terminated and cut to fit.
struct UsbDeviceEntry {
    int32_t handle;
    char name[32];
    char productModel[32];
    char serial[32];
    char buildDate[16];
    char biosVersion[8];
    // The name as the camera sent it (UTF-8), for display: `name` holds CP936 with '?' for what
    // CP936 cannot hold, so a name with an emoji or ñ is shown whole from here.
    char displayName[33];
};

// One matching device node met by the last RefreshDevices, in the order DeviceOpen meets them:
// the one numbering of the device list, `velmora-cli list`, --device N and --all (N-1 is the
// index here and in OpenDeviceAt). A node that could not be opened (no access to the hidraw
// node, a dead socket) has handle 0 and its code in openResult; infoResult is the identity
// query's result (0 when it answered).
struct UsbNodeState {
    std::string path;
    int32_t handle = 0;
    int32_t openResult = 0;
    int32_t infoResult = 0;
};

constexpr int32_t kInvalidUsbHandle = -1;
constexpr uint16_t kDefaultUsbVendorId = 0x1703;

// Finds the program's cameras among the HID devices, keeps each open under an opaque handle with
// its identity texts, and carries request/reply exchanges over HID reports: the caller's thread
// writes the request reports with a deadline, and each open device has one long-lived reader
// thread that takes every report it sends into an inbox, where the exchange picks up its reply
// with a deadline. After a reply phase that timed out, the device owes a reply: the next exchange
// on it first waits for that reply (within one more reply-phase time) and drops it.
//
// Handles are non-zero ids handed out from a counter starting at 1 and never reused within a run;
// -1 is the invalid handle, 0 means "no camera". A closed or unknown id gives -304.
//
// Thread-safe: any thread may call any method. Exchanges on different devices run in parallel;
// exchanges on the same device are serialised, within the process by a mutex and across processes
// by the device's advisory lock (see docs/usb-transport.md). A refresh or CloseAll makes exchanges
// still running on the closed devices fail promptly.
class CUSBDevice {
public:
    // Waits of the device search and of the exchange phases; tests shorten them.
    struct Timing {
        std::chrono::milliseconds settleAfterOpen{0};        // RefreshDevices, after DeviceOpen
        std::chrono::milliseconds retryAfterFailedInfo{100}; // RefreshDevices, failed info query
        std::chrono::milliseconds replyPhase{5000};          // reply phase limit
        // Request phase limit; negative means "the caller's time-out in seconds".
        std::chrono::milliseconds requestPhase{-1};
    };

    explicit CUSBDevice(std::unique_ptr<HidBackend> backend = MakeDefaultHidBackend());
    ~CUSBDevice();
    CUSBDevice(const CUSBDevice&) = delete;
    CUSBDevice& operator=(const CUSBDevice&) = delete;

    // Slot 0 = 0x1703, then the first min(count, 9) of `ids`. Returns 1.
    int SetVendorFilter(int count, const uint16_t* ids);
    int VendorCount() const;
    uint16_t VendorId(int slot) const;  // 0 outside 0..9

    // Enumerates, opens and appends matching devices; returns how many it appended.
    int DeviceOpen();
    // Closes every device, empties the list, runs DeviceOpen and reads each device's identity.
    // Returns the number of devices found.
    int RefreshDevices();
    // Opens only the index-th (from 0) matching device, in the order DeviceOpen meets them (vendor
    // in the filter, usable report length), and appends its entry with empty texts: no settle
    // wait, no identity query, the other devices stay untouched. `*matching` = how many matching
    // devices were seen. Returns 0 with `*handle`, -304 when there is no such device or it cannot
    // be opened, -42 when it already said it is busy (otherwise its first exchange says so).
    // Either pointer may be null.
    int OpenDeviceAt(int index, int32_t* handle, int* matching);
    // Opens the matching device at `path` (a device the watcher announced) as OpenDeviceAt opens
    // one: no identity query, the other devices untouched. Results as OpenDeviceAt.
    int OpenDevicePath(std::string_view path, int32_t* handle);
    // Opens the matching devices one at a time and asks each for its identity (no settle wait);
    // keeps the first whose Serial equals `serial` exactly, appending its entry with its identity
    // texts, and closes every other at once. Returns 0 with `*handle`, -42 when none matches but a
    // busy device could not be asked, or -304 when none matches (an empty serial matches nothing).
    // `*matching` as for OpenDeviceAt. With `sameSerial`, every device is asked and it receives the
    // indices (from 0, as OpenDeviceAt counts) of all devices with that serial, the kept one first.
    int OpenDeviceBySerial(std::string_view serial, int32_t* handle, int* matching,
                           std::vector<int>* sameSerial = nullptr);
    // Closes every device and empties the list.
    void CloseAll();
    // Closes one device (e.g. after telling it to reboot); its entry stays in the list and its
    // handle answers -304 from now on. Returns 0, or -304 for an unknown handle.
    int CloseDevice(int32_t handle);

    // One exchange; see docs/usb-transport.md. Returns the status of the last reply report or a
    // negative transport code (hid_framing.h).
    int Transfer(int32_t handle, uint32_t cmd, const void* data, int dataLen, void* reply, int replyCap,
                 int* received, int timeoutSeconds);
    // Command 40001117 into a 1024-byte reply, parsed into `info`. 0, a non-zero Transfer result,
    // or -310 for a reply that does not parse.
    int GetDeviceInfo(int32_t handle, protocol::UsbDeviceInfo& info);

    // Asks an open device its identity and stores it in the device's entry, copied to `entry`
    // (empty texts when the query fails). 0 or GetDeviceInfo's result.
    int IdentifyDevice(int32_t handle, UsbDeviceEntry& entry);

    // The device list: count and copies of entries by index (false when out of range).
    int GetDeviceCount() const;
    bool GetDevice(int index, UsbDeviceEntry& entry) const;
    std::vector<UsbDeviceEntry> GetDevices() const;
    // Every matching node of the last RefreshDevices, opened or not (see UsbNodeState).
    std::vector<UsbNodeState> GetNodes() const;

    // Report length of an open device (its output report length), or -304.
    int ReportLength(int32_t handle) const;
    // The path the backend opened the device by (hidraw node or simulator socket); empty for an
    // unknown or closed handle.
    std::string DevicePath(int32_t handle) const;

    void SetTiming(const Timing& timing);
    Timing GetTiming() const;

    // The JSON camera operations over USB are UsbCamera's (src/camera/usb_camera.h).

private:
    struct OpenDevice;

    std::shared_ptr<OpenDevice> FindDevice(int32_t handle) const;
    bool Matches(const HidDeviceDescriptor& d) const;
    std::vector<HidDeviceDescriptor> EnumerateMatching();
    std::shared_ptr<OpenDevice> OpenOne(const HidDeviceDescriptor& d, int matchedBefore,
                                        bool startReader = true);
    // Opens the device `choose` picks (its index in the enumeration, -1 for none) and lists it.
    int OpenOneOf(const std::function<int(const std::vector<HidDeviceDescriptor>&)>& choose, int32_t* handle,
                  int* matching);
    void Publish(const std::shared_ptr<OpenDevice>& dev, const protocol::UsbDeviceInfo* identity);
    int DeviceOpenLocked();
    void CloseAllLocked();
    // Parts of an exchange, called with the device's exchange mutex held. The first two return
    // true when the device's busy notice was among the reports they dropped.
    static bool SettleOwedReply(OpenDevice& dev);
    static bool DropStale(OpenDevice& dev, uint32_t cmd);
    // With the inbox empty and `lock` (on the inbox) held: when a report has reached the connection
    // but not the reader yet, waits briefly for the reader to bring it. True when the inbox now
    // holds a report.
    static bool CatchUp(OpenDevice& dev, std::unique_lock<std::mutex>& lock);
    static int WriteRequest(OpenDevice& dev, uint32_t cmd, const uint8_t* data, int dataLength,
                            std::chrono::steady_clock::time_point deadline);
    static int TakeReply(OpenDevice& dev, uint32_t cmd, transport::ReplyAssembler& assembler,
                         std::chrono::steady_clock::time_point deadline, bool& busy);

    std::unique_ptr<HidBackend> backend_;
    mutable std::mutex mu_;      // guards everything below
    std::mutex refreshMu_;       // serialises DeviceOpen / RefreshDevices / CloseAll as wholes
    int vendorCount_ = 0;
    uint16_t vendorIds_[10] = {};
    std::vector<UsbDeviceEntry> devices_;
    std::vector<UsbNodeState> nodes_;
    std::map<int32_t, std::shared_ptr<OpenDevice>> open_;
    Timing timing_;
};

}  // namespace velmora::transport
