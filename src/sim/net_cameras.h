#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "sim/camera_model.h"
#include "sim/net/camera_server.h"
#include "sim/sim_options.h"

namespace velmora::sim {

// One simulated network camera of a simulator run.
struct NetCameraConfig {
    std::string address;                  // loopback address to listen on, e.g. 127.0.0.2
    uint16_t port = 36666;
    uint16_t searchPort = 0;              // 0: the standard LAN search port
    bool answerSearch = true;
    int width = 1280, height = 720, fps = 25;
    // > 0: the main stream is a loop of this many pictures encoded once when the camera starts,
    // instead of pictures encoded as they are sent (benchmarks: the simulator then costs almost
    // no CPU beside the program measured; picture parameters do not show in the loop).
    int replayFrames = 0;
    std::vector<CameraUser> users;  // empty: admin / pelno
    CameraModel::Options model;
    std::map<std::string, int64_t> params;  // start values that differ from the factory defaults
    // Faults.
    bool refuseLogins = false;
    int dropAfterRequests = -1;           // close each connection at request n + 1
    int stallMs = 0;                      // delay every text reply; negative: never reply
    bool garbageReplies = false;          // replies that are not JSON
    bool streamStopped = false;           // streams open but send nothing
    int endStreamsMs = 0;                 // > 0: every this many ms the open streams are ended
    int refuseSets = 0;                   // non-zero: sets and restore-defaults answer this nResult
};

// Serves network cameras: each answers the camera protocol and the LAN search from a shared
// CameraModel (the same state model the USB cameras use, in its network shape) and streams a
// generated H.264 picture that follows the model's brightness, contrast, saturation, mirror and
// flip. Thread-safe; Stop (or the destructor) joins every thread.
class NetCameras {
public:
    explicit NetCameras(std::vector<NetCameraConfig> cameras);
    ~NetCameras();
    NetCameras(const NetCameras&) = delete;
    NetCameras& operator=(const NetCameras&) = delete;

    // Starts every camera. 0, or -1 with `error` (nothing is left running then).
    int Start(std::string* error);
    void Stop();

    size_t Count() const { return cameras_.size(); }
    CameraModel& Model(size_t index);
    CameraServer& Server(size_t index);

    class Camera;

private:
    std::vector<std::unique_ptr<Camera>> cameras_;
};

// Builds the network cameras a simulator run asked for (--net and its companions). Returns 0,
// or -1 with `error` for an unknown fault or a fault naming an address that is not served.
int BuildNetCameras(const SimOptions& options, std::vector<NetCameraConfig>* cameras, std::string* error);

}  // namespace velmora::sim
