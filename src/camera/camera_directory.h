#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "camera/net_camera.h"
#include "camera/net_session.h"
#include "camera/stream_logins.h"
#include "camera/usb_camera.h"
#include "transport/usb/cusb_device.h"
#include "transport/usb/device_watcher.h"

// The one place that finds cameras, opens them and hands them out: the windows, velmora-cli, the
// upgrade session and the tests all ask it, so a camera is found, opened and logged in to the
// same way whoever asks.
//
// USB cameras are known by identity: their serial number, or the device path when a camera
// reports no serial. The directory keeps one shared UsbCamera per identity. A refresh re-binds
// the object of every camera found again to its new handle, so a front end that holds a camera
// keeps following it; the object of a camera that has gone answers -304 (an invalid handle) until
// it is found again. Network cameras are known by address: one login per address, kept until it
// is closed or the directory goes, handed out as a shared NetCamera. Live streams (the video
// panes) log in through Streams(), one login per stream, so closing a pane ends only its own.
//
// Thread-safe: any thread may call any method; discovery (refresh, open by position or serial)
// runs one at a time, lookups run while no discovery runs. The camera objects it hands out are
// as thread-safe as their transport: exchanges on one USB device are serialised by CUSBDevice.
// A camera object may outlive the directory only if it is not used after the directory goes (it
// borrows the directory's transport).
namespace velmora::camera {

// One USB camera as discovery found it.
struct UsbListing {
    int index = 0;          // 1-based position in the list (the order `list` prints, nodes that
                            // could not be opened counted: CUSBDevice::GetNodes)
    std::string key;        // serial, or "path:" + device path when the serial is empty
    std::string path;       // the device path (hidraw node or simulator socket)
    transport::UsbDeviceEntry entry{}; // handle and identity texts (name in CP936)
};

// A USB camera that came or went while the directory watched (StartWatching).
struct UsbArrival {
    bool arrived = true;  // false: it left
    UsbListing listing;   // the camera as listed (when it left: as it was listed)
    int result = 0;       // an arrival whose identity could not be read: the read's code
};

class CameraDirectory {
public:
    using UsbListener = std::function<void(const UsbArrival&)>;

    explicit CameraDirectory(std::unique_ptr<transport::HidBackend> hid = transport::MakeDefaultHidBackend());
    ~CameraDirectory();
    CameraDirectory(const CameraDirectory&) = delete;
    CameraDirectory& operator=(const CameraDirectory&) = delete;

    // The USB transport (for the upgrade session and the transport's own settings).
    transport::CUSBDevice& Usb() { return usb_; }

    // ---- USB ----

    // Slot 0 = 0x1703, then the given vendor ids (CUSBDevice::SetVendorFilter); a new directory
    // searches 0x1703 only.
    void SetVendorFilter(const std::vector<uint16_t>& ids);
    // Closes every USB camera, finds them all again and reads each one's identity. Returns how
    // many were found.
    int RefreshUsb();
    // The cameras of the last refresh (or opened one at a time), in list order.
    std::vector<UsbListing> UsbCameras() const;
    // The shared camera of a listed USB camera, by handle, or null when no listed camera has it.
    std::shared_ptr<UsbCamera> UsbCameraByHandle(int32_t handle);
    // The shared camera of a USB identity (UsbListing::key), whether or not it is present now:
    // null only when the directory never saw it.
    std::shared_ptr<UsbCamera> UsbCameraByKey(std::string_view key);
    // Opens only the index-th camera (1-based, list order) without touching the others and
    // without asking its identity, as a command-line tool does; CUSBDevice::OpenDeviceAt gives
    // the result codes and `*matching`. A camera listed before at the same device path keeps its
    // identity and object; otherwise it is known by its path.
    int OpenUsbAt(int index, std::shared_ptr<UsbCamera>& camera, int* matching);
    // Opens only the camera whose serial is `serial`; CUSBDevice::OpenDeviceBySerial gives the
    // result codes, `*matching` and `*sameSerial` (every camera with that serial, when given).
    int OpenUsbBySerial(std::string_view serial, std::shared_ptr<UsbCamera>& camera, int* matching,
                        std::vector<int>* sameSerial = nullptr);
    // Closes every USB camera; held objects answer -304 from now on.
    void CloseUsb();

    // Follows USB cameras being plugged and unplugged through `watcher` (null: the default one
    // for the vendor filter in force): an arriving camera is opened on its own, asked its
    // identity and listed (the object of a known serial is bound to it again); a leaving one is
    // closed, unlisted and its object answers -304. `listener` hears each, on the watcher's
    // thread, after the listing changed. Cameras present when watching starts are reported as
    // arrivals unless already listed. 0, or the watcher's negative code.
    int StartWatching(UsbListener listener, std::unique_ptr<transport::DeviceWatcher> watcher = nullptr);
    // Stops following; no listener call runs after it returns.
    void StopWatching();
    bool Watching() const;

    // Waiting for a camera to come back (after a reboot), while watching. Arrivals are counted:
    // a caller takes the count before it makes a camera go away, then waits for an arrival
    // after it whose identity key is `key` or whose device path is `path` (when not empty; a
    // camera whose identity could not be read yet is known by its path). Returns Arrived with
    // its listing, TimedOut at `deadline`, or Stopped once `stop` is true (WakeUsbWaiters makes
    // waiting threads look at their flags).
    enum class ArrivalWait { Arrived, TimedOut, Stopped };
    uint64_t UsbArrivalCount() const;
    ArrivalWait WaitForUsbArrival(std::string_view key, std::string_view path, uint64_t after,
                                  std::chrono::steady_clock::time_point deadline, const std::atomic<bool>& stop,
                                  UsbListing& out);
    void WakeUsbWaiters();

    // ---- Network ----

    // Logs in to the camera at `address` unless a login to it is open, and hands out its shared
    // camera. 0, or NetSession::Login's code with `what` saying what failed. The network library
    // must be initialised (ORVEX_Init) while network cameras are open.
    int OpenNetwork(const std::string& address, int port, const std::string& user, const std::string& password,
                    std::shared_ptr<NetCamera>& camera, std::string& what);
    // The open login's camera at `address`, or null.
    std::shared_ptr<NetCamera> NetworkCamera(std::string_view address) const;
    // Logs out of `address` (objects still held then fail their exchanges with the network
    // library's invalid-handle code). Returns false when it was not open.
    bool CloseNetwork(std::string_view address);
    // Logs out of every network camera.
    void CloseAllNetwork();
    std::vector<std::string> OpenNetworkAddresses() const;
    // The logins of live streams; they end when the stream closes or the directory goes.
    NetStreamLogins& Streams() { return streamLogins_; }

    // The identity key of a USB device entry: its serial, or the device path when it has none.
    static std::string UsbKeyOf(const transport::UsbDeviceEntry& entry, std::string_view path);

private:
    struct NetLogin {
        std::unique_ptr<NetSession> session;
        std::shared_ptr<NetCamera> camera;
    };

    // Re-binds every known USB object to the handle its identity has in `entries` (0 when gone)
    // and creates objects for new identities; rebuilds the listing. Caller holds mu_.
    void AdoptUsbLocked(const std::vector<transport::UsbDeviceEntry>& entries, int firstIndex);
    std::shared_ptr<UsbCamera> ObjectForLocked(const std::string& key);
    // Lists one camera opened on its own (by position or serial) and binds its object.
    std::shared_ptr<UsbCamera> AdoptOneLocked(int index, const transport::UsbDeviceEntry& opened);

    void OnDeviceChange(const transport::DeviceChange& change);

    transport::CUSBDevice usb_;
    NetStreamLogins streamLogins_;
    std::unique_ptr<transport::DeviceWatcher> watcher_;
    UsbListener listener_;
    std::mutex discoveryMu_;  // one USB discovery at a time (refresh, open by position or serial)
    std::mutex netOpenMu_;    // one network login at a time, so one address is logged in once
    mutable std::mutex mu_;   // guards everything below
    std::vector<UsbListing> listing_;
    std::map<std::string, std::shared_ptr<UsbCamera>, std::less<>> usbObjects_;
    std::map<std::string, NetLogin, std::less<>> netLogins_;
    // Recent arrivals with their numbers (the last kKeptArrivals), for WaitForUsbArrival.
    static constexpr size_t kKeptArrivals = 1024;
    std::deque<std::pair<uint64_t, UsbListing>> arrivals_;
    uint64_t arrivalCount_ = 0;
    std::condition_variable arrivalCv_;  // with mu_: an arrival, or WakeUsbWaiters
};

}  // namespace velmora::camera
