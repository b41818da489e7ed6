#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sim/camera_model.h"
#include "sim/fault.h"
#include "sim/usb_server.h"

namespace velmora::sim {

// Per-camera settings from the command line and the scenario file, by camera name.
struct CameraSettings {
    std::optional<size_t> reportLength;
    std::optional<int> flashMs;
    std::optional<int> flashSteps;
    std::optional<int> rebootMs;
    std::optional<uint16_t> productId;
    std::optional<std::string> deviceName;
    std::optional<std::string> productModel;
    std::optional<std::string> serial;
    std::optional<std::string> buildDate;
    std::optional<uint16_t> biosVersion;
    std::optional<std::vector<AbilityEntry>> ability;
    std::map<std::string, int64_t> params;
    std::vector<Fault> faults;
};

// A scenario file larger than this is refused (the largest real scenarios are a few KiB).
inline constexpr size_t kMaxScenarioBytes = 1024 * 1024;
// The most progress queries --flash-steps may ask for.
inline constexpr int kMaxFlashSteps = 1000000;

// Everything velmora-camsim was asked to do.
struct SimOptions {
    std::string usbDir;
    int usbCount = 0;
    size_t usbReportLength = 65;
    int flashMs = 3000;
    int flashSteps = 0;  // 0: writing a package takes flashMs; N: it ends with the N-th progress query
    int rebootMs = 1500;
    std::vector<Fault> allFaults;                   // faults for every camera ("*:" or "all:")
    std::map<std::string, CameraSettings> cameras;  // by name
    std::string scenarioPath;
    // --writers-file: where the number of cameras receiving or writing firmware is kept.
    std::string writersFile;
    // Network cameras: one per loopback address, with a generated H.264 main stream.
    std::vector<std::string> netAddresses;
    int netWidth = 1280, netHeight = 720, netFps = 25;
    int netReplay = 0;  // > 0: main streams loop this many pictures encoded at start
    std::vector<std::pair<std::string, std::string>> netUsers;   // empty: admin / pelno
    std::map<std::string, std::vector<std::string>> netFaults;   // by address ("*" for all)
    bool verbose = false;
    bool help = false;
    bool version = false;  // --version
};

// Parses the command line (argv[0] is the program). A --scenario file is loaded first and the
// other options are applied on top of it, wherever they stand; it must be a regular file of at
// most kMaxScenarioBytes. Returns 0, or -1 with `error`.
int ParseCommandLine(int argc, const char* const* argv, SimOptions* options, std::string* error);

// Applies a scenario (JSON text) to `options`. Returns 0, or -1 with `error`.
int ApplyScenario(std::string_view text, SimOptions* options, std::string* error);

// Applies one "--fault NAME:FAULT" value. Returns 0, or -1 with `error`.
int AddFaultOption(std::string_view value, SimOptions* options, std::string* error);

// Applies one network option (--net, --net-size, --net-fps, --net-replay, --net-user, --net-fault).
// Returns 0, or -1 with `error`.
int ApplyNetOption(std::string_view arg, std::string_view value, SimOptions* options, std::string* error);

// Camera names for a count: cam01, cam02, ... (wider when the count needs it, so they sort).
std::string UsbCameraName(int index, int count);

// The configuration of the number-th USB camera (from 1) before per-camera settings: the
// options' defaults and faults for every camera, the default identity of that number.
UsbCameraConfig DefaultUsbCameraConfig(const SimOptions& options, int number, std::string name);

// Builds the configuration of every USB camera. Fails when a setting names a camera that does
// not exist or a value is out of range. Returns 0, or -1 with `error`.
int BuildUsbCameras(const SimOptions& options, std::vector<UsbCameraConfig>* cameras, std::string* error);

// The --help text.
std::string UsageText();

}  // namespace velmora::sim
