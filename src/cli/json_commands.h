#pragma once

#include <functional>
#include <ostream>

#include "camera/camera.h"
#include "cli/cli_options.h"

// The --json forms of the per-camera commands (docs/cli.md, "JSON output"). Each prints one JSON
// object; a failure prints {"error": {"code": C, "message": M}} on `out` as well as its usual
// error line on `err`, and the status is the one the text form gives. Thread-bound per call.
namespace velmora::cli {

int RunCameraCommandJson(const CliOptions& opts, camera::Camera& camera, std::ostream& out, std::ostream& err);

// Runs `command`; when it fails (status 1) without printing anything on `out`, prints the JSON
// error object made from its last "error <code>: <what>" line. Usage errors (status 2) print only
// their text, as the command line was not understood.
int WithJsonErrors(std::ostream& out, std::ostream& err, const std::function<int(std::ostream&, std::ostream&)>& command);

}  // namespace velmora::cli
