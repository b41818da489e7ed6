#pragma once

#include <ostream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "camera/camera.h"
#include "cli/cli_options.h"

namespace velmora::cli {

// Exit statuses of velmora-cli.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;   // the camera, the transport or a file refused
inline constexpr int kExitUsage = 2;    // the command line was wrong

// Runs one per-camera command (info, get, set, export, import, defaults, abilities, focus-near,
// frame-rate) on an opened camera. Results go to `out`; failures to `err` as one line
// "error <code>: <what failed>" with the most specific code known.
int RunCameraCommand(const CliOptions& opts, camera::Camera& camera, std::ostream& out, std::ostream& err);

// Operations that answer a failed exchange with a fixed -1 (as the windows expect) still let
// the tool name the transport's own code: `result`, or the exchange's code behind a -1.
int RealCode(const camera::Camera& camera, int result);

// Writes the one failure line "error <code>: <what>" (saying so when the camera is busy) and
// returns kExitFailed.
int ReportFailure(std::ostream& err, int code, const std::string& what);

// Checks `set` arguments NAME=VALUE against the parameter table (member known, value fits) into
// `pairs`; kExitOk, or kExitUsage with the reason on `err`. Nothing is sent.
int ParseSetPairs(const std::vector<std::string>& args,
                  std::vector<std::pair<const protocol::VideoParamField*, int>>& pairs, std::ostream& err);

// True for the commands that take arguments after their name.
bool TakesArguments(const std::string& command);

// True for the commands RunCameraCommand handles.
bool IsCameraCommand(const std::string& command);

// Text from a camera made safe for a terminal and for line-based parsing: EscapeForDisplay
// (platform/display_text.h), the rule the windows apply too. Control characters (C0, DEL, C1),
// the bidirectional controls and bytes that are not UTF-8 become \xNN, and a backslash becomes
// \\, so a name can neither forge a second line nor send escape sequences. Other UTF-8 stays.
std::string TerminalText(std::string_view text);

}  // namespace velmora::cli
