#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "sim/camera_model.h"
#include "sim/fault.h"

namespace velmora::sim {

// Settings of one simulated USB camera.
struct UsbCameraConfig {
    std::string name;                 // socket and description file base name, e.g. "cam01"
    size_t reportLength = 65;         // input and output report length, report id included
    uint16_t vendorId = 0x1703;
    uint16_t productId = 0x1234;
    int rebootMs = 1500;              // how long a reboot keeps the camera away
    // The pace of the camera's reports as a real USB link sets it: each reply is held back by this
    // many microseconds for every request and reply report of its exchange (a full-speed
    // interrupt endpoint moves one report per 1000 us). 0: replies go out as fast as they are built.
    int reportIntervalUs = 0;
    std::vector<Fault> faults;
    CameraModel::Options model;       // identity, ability list, flashing time ...
    std::map<std::string, int64_t> params;  // start values that differ from the factory defaults
};

// Serves simulated USB cameras in one directory: for each camera a listening AF_UNIX
// SOCK_SEQPACKET socket <name>.sock and a description <name>.json. Every packet is one HID
// report of the camera's report length; the camera reassembles request reports, answers with
// reply reports and applies its faults. One thread per camera serves all its connections with
// poll(); Stop() wakes and joins them and removes every file the server created.
// While started, the server holds an exclusive lock on <dir>/.camsim.lock (with its process id in
// the file), so a second server on the same directory refuses to start instead of taking over.
// A camera whose connections are all taken answers a further one with the busy notice
// (BuildBusyNotice) and closes it.
// Cameras can be added, unplugged, plugged in again and removed while the server runs
// (AddCamera, SetPlugged, RemoveCamera): the control channel (control_server.h) uses them. A
// removed camera keeps its index (its model stays readable) but is no longer served or found by
// name.
// Thread-safe: Start/Stop from one controlling thread; Model() and the runtime changes may be
// used from any thread while started, and Stop() must not run concurrently with a runtime change.
class UsbServer {
public:
    UsbServer(std::string dir, std::vector<UsbCameraConfig> cameras);
    ~UsbServer();
    UsbServer(const UsbServer&) = delete;
    UsbServer& operator=(const UsbServer&) = delete;

    // Creates the directory if needed, takes its lock, creates every socket (listening) and
    // description, then starts the camera threads. Returns 0, or -1 with a message in `error`
    // (nothing is left behind; when another server holds the directory nothing is touched).
    int Start(std::string* error);
    void Stop();

    size_t CameraCount() const;
    CameraModel& Model(size_t index);
    const UsbCameraConfig& Config(size_t index) const;
    std::string SocketPath(size_t index) const;
    std::string DescriptionPath(size_t index) const;
    bool Plugged(size_t index) const;
    int64_t Exchanges(size_t index) const;  // complete requests received so far
    int64_t Reads(size_t index) const;      // parameter reads (40001089) received so far
    int64_t Sets(size_t index) const;       // parameter sets (40001090) received so far

    // The index of the camera named `name` that has not been removed, or -1.
    int FindCamera(const std::string& name) const;
    bool Removed(size_t index) const;
    // Adds a camera; while started it is plugged in and served at once. Returns its index, or -1
    // with `error` (a name in use, a socket that cannot be created).
    int AddCamera(UsbCameraConfig config, std::string* error);
    // Unplugs a camera (its files go, its connections close, its state stays) or plugs it in
    // again; done by the camera's own thread before this returns. 0, or -1 with `error`.
    int SetPlugged(size_t index, bool plugged, std::string* error);
    // Unplugs a camera for good and ends its thread.
    int RemoveCamera(size_t index, std::string* error);

    // Counts the cameras that receive or write firmware (announced, not yet written) and keeps
    // {"writers": N, "peak_writers": M} in `path` (replaced atomically at every change), so a
    // test can see how many cameras a tool upgrades at once. Call before Start.
    void SetWritersFile(std::string path);
    int PeakWriters() const;

    class Camera;  // one served camera (defined in the .cpp)

private:
    std::string LockPath() const;
    void ReleaseLock();

    struct WriterGauge;
    Camera* At(size_t index) const;

    std::string dir_;
    mutable std::mutex camerasMu_;  // guards the vector, not the cameras
    std::vector<std::unique_ptr<Camera>> cameras_;
    std::shared_ptr<WriterGauge> writers_;
    int wakeFd_ = -1;
    int lockFd_ = -1;
    bool started_ = false;
};

}  // namespace velmora::sim
