#pragma once

#include <atomic>
#include <ostream>
#include <string>
#include <vector>

#include "platform/text_language.h"
#include "transport/usb/cusb_device.h"

// The upgrade and reboot commands of velmora-cli: the upgrade session of the upgrade window run
// on one or several opened USB cameras in parallel, its row changes printed as they happen.
namespace velmora::cli {

// One camera the command works on: its number as the user counts it (list order from 1) and its
// open entry.
struct UpgradeTarget {
    int number = 0;
    UsbDeviceEntry entry{};
};

struct UpgradeRunOptions {
    // Redraw one progress bar per camera (stdout is a terminal) instead of printing
    // "[N] <text>" per change.
    bool live = false;
    // --json: one object per change and line, {"camera": N, "state", "percent", "text"}, instead
    // of "[N] <text>" (docs/cli.md).
    bool json = false;
    // The language of the "[N] <text>" lines and the error lines (the session's texts are
    // Chinese); --json keeps the session's texts as they are.
    UiLanguage language = UiLanguage::Chinese;
    // Raised by SIGINT: the session is stopped, then waited for. May be null.
    const std::atomic<bool>* interrupt = nullptr;
};

// Sends every package, in order, to every target. Lines "[N] <text>" (or bars) go to `out`; each
// camera that did not end Done gives one line "error <code>: camera N: <text>" on `err`.
// Returns kExitOk only when every camera ended Done, else kExitFailed (kExitUsage for more
// cameras than one session takes: those are named and nothing is sent to any of them).
int RunUpgradeCommand(CUSBDevice& usb, const std::vector<UpgradeTarget>& targets,
                      const std::vector<std::string>& packages, const UpgradeRunOptions& options,
                      std::ostream& out, std::ostream& err);

// Reboots every target, last to first; a rebooted camera's handle is closed. Output as above.
int RunRebootCommand(CUSBDevice& usb, const std::vector<UpgradeTarget>& targets,
                     const UpgradeRunOptions& options, std::ostream& out, std::ostream& err);

}  // namespace velmora::cli
