#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// Tells when HID devices of the program's vendors come and go, without asking the devices
// anything. Two backends, chosen as the transport chooses its HID backend: the simulator's folder
// watched with inotify (a camera is present while both its socket and its description are there)
// when VELMORA_USB_SIM names a folder, udev's hidraw events (libudev) otherwise.
//
// Changes are debounced: a device that appears in several steps (a node, then its permissions; a
// socket, then its description) is announced once, `settle` after its last step, and only when
// its presence differs from what was last announced. Devices present at Start are announced as
// arrivals.
//
// Thread-safe: Start and Stop from one controlling thread. The sink runs on the watcher's own
// thread; Stop wakes and joins it, so no sink call runs after Stop returns.
namespace velmora::transport {

struct DeviceChange {
    enum class Kind { Arrived, Left };
    Kind kind = Kind::Arrived;
    std::string path;  // what the HID backend opens the device by (hidraw node, socket path)
};

class DeviceWatcher {
public:
    using Sink = std::function<void(const DeviceChange&)>;

    virtual ~DeviceWatcher() = default;
    // 0, or a negative errno when the watch cannot be set up (nothing is announced then).
    virtual int Start(Sink sink) = 0;
    virtual void Stop() = 0;
};

inline constexpr std::chrono::milliseconds kDeviceSettle{300};

// The simulator's folder `dir`.
std::unique_ptr<DeviceWatcher> MakeSimFolderWatcher(std::string dir, std::chrono::milliseconds settle = kDeviceSettle);
// udev's hidraw subsystem, devices whose HID vendor id is one of `vendorIds`.
std::unique_ptr<DeviceWatcher> MakeUdevWatcher(std::vector<uint16_t> vendorIds,
                                               std::chrono::milliseconds settle = kDeviceSettle);
// The simulator's folder when VELMORA_USB_SIM names one, udev otherwise.
std::unique_ptr<DeviceWatcher> MakeDefaultDeviceWatcher(std::vector<uint16_t> vendorIds,
                                                        std::chrono::milliseconds settle = kDeviceSettle);

}  // namespace velmora::transport
