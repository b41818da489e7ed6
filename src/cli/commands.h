#pragma once

#include <ostream>

#include "cli/camera_target.h"
#include "cli/cli_options.h"

namespace velmora::cli {

// Exit statuses of velmora-cli.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;   // the camera, the transport or a file refused
inline constexpr int kExitUsage = 2;    // the command line was wrong

// Runs one per-camera command (info, get, set, export, import, defaults, abilities, focus-near,
// frame-rate) on an opened target. Results go to `out`; failures to `err` as one line
// "error <code>: <what failed>".
int RunCameraCommand(const CliOptions& opts, CameraTarget& target, std::ostream& out, std::ostream& err);

// True for the commands that take arguments after their name.
bool TakesArguments(const std::string& command);

// True for the commands RunCameraCommand handles.
bool IsCameraCommand(const std::string& command);

}  // namespace velmora::cli
