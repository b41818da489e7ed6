#pragma once

#include <atomic>
#include <ostream>
#include <string>
#include <vector>

#include "platform/text_language.h"
#include "transport/usb/cusb_device.h"
#include "upgrade/upgrade_session.h"

namespace velmora::camera {
class CameraDirectory;
}

// The upgrade and reboot commands of velmora-cli: the upgrade session of the upgrade window run
// on one or many opened USB cameras, at most --jobs at once, its row changes printed as they
// happen, and the report of a fleet upgrade. Thread rules: called from the main thread; the
// session's threads only print through the command's own locked printer.
namespace velmora::cli {

// One camera the command works on: its number as the user counts it (list order from 1) and its
// open entry (with its identity texts when they were read).
struct UpgradeTarget {
    int number = 0;
    transport::UsbDeviceEntry entry{};
};

// A camera the command line named but that was not found (a serial of --serial-file that no
// camera answers to): it counts as failed and is listed in the report.
struct MissingTarget {
    std::string serial;
    int code = 0;
    std::string what;
};

// What `upgrade` takes after its name:
//   [--jobs N] [--timeout S] [--reboot] [--reconnect-timeout S] [--expect-version V]
//   [--expect-build-date D] [--report FILE.json] [--] PACKAGE...
struct UpgradeArgs {
    upgrade::UpgradeOptions session;  // jobs 0 here: the caller's default applies
    bool jobsGiven = false;
    std::string report;
    std::vector<std::string> packages;
};

// false with `error` on a usage error (an unknown option, a bad number, no package).
bool ParseUpgradeArgs(const std::vector<std::string>& args, UpgradeArgs& out, std::string& error);

struct UpgradeRunOptions {
    // Redraw one progress bar per camera (stdout is a terminal) instead of printing
    // "[N] <text>" per change.
    bool live = false;
    // --json: one object per change and line, {"camera": N, "state", "percent", "text"}, instead
    // of "[N] <text>" (docs/cli.md).
    bool json = false;
    // The language of the "[N] <text>" lines and the error lines (the session's texts are
    // Chinese); --json keeps the session's texts as they are.
    platform::UiLanguage language = platform::UiLanguage::Chinese;
    // Raised by SIGINT: the session is stopped, then waited for. May be null.
    const std::atomic<bool>* interrupt = nullptr;
    UpgradeArgs upgrade;
    // The directory that follows the cameras (needed by --reboot); its transport is the one
    // the command gets.
    camera::CameraDirectory* cameras = nullptr;
    std::vector<MissingTarget> missing;
};

// Sends every package, in order, to every target, at most `jobs` cameras at once, and with
// --reboot follows each camera through reboot, reconnection and version check. Lines
// "[N] <text>" (or bars) go to `out`; each camera that did not end as asked (verified with
// --reboot, done without) gives one line "error <code>: camera N (serial SN): <text>" on `err`.
// Writes the report when asked. Returns kExitOk only when every camera ended as asked.
int RunUpgradeCommand(transport::CUSBDevice& usb, const std::vector<UpgradeTarget>& targets,
                      const UpgradeRunOptions& options, std::ostream& out, std::ostream& err);

// Reboots every target, last to first; a rebooted camera's handle is closed. Output as above.
int RunRebootCommand(transport::CUSBDevice& usb, const std::vector<UpgradeTarget>& targets,
                     const UpgradeRunOptions& options, std::ostream& out, std::ostream& err);

// The report of a fleet upgrade (docs/cli.md): one object with the packages, whether cameras
// were rebooted and checked, the exit status and one entry per camera.
std::string UpgradeReportJson(const std::vector<UpgradeTarget>& targets, const std::vector<upgrade::UpgradeRow>& rows,
                              const UpgradeRunOptions& options, int status);

// The JSON name of a row state ("queued", "sending", ..., "verified").
const char* UpgradeStateName(upgrade::UpgradeRowState state);

}  // namespace velmora::cli
