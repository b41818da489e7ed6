#pragma once

#include <chrono>
#include <ostream>
#include <string>
#include <vector>

#include "cli/cli_options.h"
#include "fleet/keep_session.h"

// velmora-cli keep [--interval S] RULES: keeps the USB cameras at the profiles of a rules file
// (fleet/keep_rules.h) until SIGINT or SIGTERM, one line per event on stdout (docs/keep.md).
// SIGHUP reads the rules again.
// Runs on the calling thread; the session's watcher thread is joined before it returns.
namespace velmora::cli {

inline constexpr std::chrono::milliseconds kDefaultKeepInterval{30000};

struct KeepArgs {
    std::chrono::milliseconds interval = kDefaultKeepInterval;
    std::string rules;
};

// Reads `keep`'s own arguments: [--interval S] RULES, S seconds from 0.1 to 86400 (decimals
// allowed). false with `error` on a usage error.
bool ParseKeepArgs(const std::vector<std::string>& args, KeepArgs& out, std::string& error);

// One event as one line without its newline: text "TIME EVENT SERIAL details", or with `json`
// one object with at least "event", "serial" and "time".
std::string KeepEventLine(const fleet::KeepEvent& event, bool json);

// Runs the command: 0 once stopped by SIGINT/SIGTERM, 2 for a usage error or a refused rules
// file (one line on `err`), 1 when the cameras cannot be watched.
int RunKeepCommand(const CliOptions& opts, std::ostream& out, std::ostream& err);

}  // namespace velmora::cli
