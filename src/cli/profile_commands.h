#pragma once

#include <ostream>
#include <string>

#include "camera/camera.h"
#include "camera/verified_apply.h"
#include "cli/cli_options.h"
#include "protocol/profile.h"

// velmora-cli's profile commands: diff (a camera against a profile, or two profile files),
// verified apply, and export to a JSON profile. Thread-bound per call; calls on different cameras
// may run in parallel (they share no state).
namespace velmora::cli {

// `diff` found differences, or `apply` finished with members adjusted or skipped.
inline constexpr int kExitDifferent = 3;

// diff, apply, and export to a FILE ending in ".json".
bool IsProfileCommand(const CliOptions& opts);

// `diff A B`: two profile files, no camera.
bool IsFileDiff(const CliOptions& opts);
int RunFileDiff(const CliOptions& opts, std::ostream& out, std::ostream& err);

// diff PROFILE, apply PROFILE, export FILE.json on one camera.
int RunProfileCommand(const CliOptions& opts, camera::Camera& camera, std::ostream& out, std::ostream& err);

// Loads a profile file, reporting a refusal as one error line naming the file and the line and
// column or the member. Returns 0 or the code.
int LoadProfileReporting(const std::string& path, protocol::Profile& profile, std::ostream& err);

// The apply report as one JSON object (members with their outcome) and as text lines.
std::string ApplyReportJson(const camera::ApplyReport& report);
void PrintApplyReport(const camera::ApplyReport& report, std::ostream& out);
// The exit status an apply report stands for (0, 1 or 3).
int ApplyExitStatus(const camera::ApplyReport& report);

}  // namespace velmora::cli
