#pragma once

#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "camera/camera.h"
#include "cli/cli_options.h"

// A per-camera command on a set of cameras (--all, repeated --device / --serial / --ip), run in
// parallel with at most --jobs cameras at once, each camera's result independent of the others.
// Thread rules: RunOnCameraSet is called from one thread; the members' Open functions are called
// on worker threads, each on its own member, concurrently with other members' Open.
namespace velmora::cli {

// One camera of a set. `Open` returns the camera ready for commands, or null with a code and a
// phrase; what it returns must stay usable until it is destroyed (on the same worker thread).
struct SetMember {
    int index = 0;       // the --device number (list order), or the place of --ip in the command line
    std::string serial;  // empty when unknown
    std::string ip;      // network cameras
    std::function<std::shared_ptr<camera::Camera>(int& code, std::string& what)> open;
};

// True when the command line names a set of cameras: --all, a repeated --device / --serial / --ip,
// or a FILE argument holding {serial}, {index} or {ip}.
bool WantsCameraSet(const CliOptions& opts);

// `pattern` with {serial}, {index} and {ip} replaced by the member's (a serial's characters other
// than letters, digits, '-', '_' and '.' become '_', so a camera cannot name a path).
std::string NameForCamera(const std::string& pattern, const SetMember& member);

// Runs the command on every member, prints each camera's output as it ends and returns the
// status of the whole: 2 when a camera reported a usage error, else 1 when any failed, else 3
// when any ended with differences (diff, apply), else 0.
//  - text: each output line prefixed "[N] ", N the member's index; a failure is one line
//    "error <code>: camera N (serial SN): <what>" on `err`.
//  - --json: one object per camera and line: {"camera": {"index", "serial", "ip"}, "status",
//    "output": the command's own JSON object}.
int RunOnCameraSet(const CliOptions& opts, std::vector<SetMember>& members, std::ostream& out, std::ostream& err);

// --serial-file: the serials of a text, one per line (surrounding blanks trimmed, empty lines
// and lines starting with '#' skipped), or, when the text is an upgrade report (a JSON object
// with "cameras"), the serials of its cameras whose "result" is "failed", in report order.
// `fromReport` says which it was. 0, or kExitUsage with `error` (broken JSON, a serial longer
// than a camera's 31 bytes or holding a control character, a report entry without a serial).
int ParseSerialList(std::string_view text, std::vector<std::string>& serials, bool& fromReport, std::string& error);
// Reads FILE (a regular file of at most 4 MiB) and parses it as above.
int LoadSerialFile(const std::string& path, std::vector<std::string>& serials, bool& fromReport, std::string& error);

// Finds the cameras the command line names (USB: one enumeration with identities; network: one
// login per address, on its worker) and runs the command on them with RunOnCameraSet.
int RunCameraSetCommand(const CliOptions& opts, std::ostream& out, std::ostream& err);

}  // namespace velmora::cli
