#pragma once

#include <cstdint>
#include <map>
#include <memory>
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
// Thread-safe: Start/Stop from one controlling thread; Model() may be used from any thread.
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

    std::string dir_;
    std::vector<std::unique_ptr<Camera>> cameras_;
    std::shared_ptr<WriterGauge> writers_;
    int wakeFd_ = -1;
    int lockFd_ = -1;
    bool started_ = false;
};

}  // namespace velmora::sim
