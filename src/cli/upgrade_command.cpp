#include "cli/upgrade_command.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <thread>

#include "camera/camera_directory.h"
#include "cli/commands.h"
#include "cli/json_output.h"
#include "fleet/parallel_each.h"
#include "platform/atomic_file.h"
#include "platform/json_text.h"
#include "platform/user_messages.h"
#include "upgrade/upgrade_session.h"
#include "upgrade/upgrade_texts.h"

namespace velmora::cli {
namespace {

constexpr auto kWaitStep = std::chrono::milliseconds(50);
constexpr int kBarWidth = 20;

// Prints the session's row changes: one line per new text, or one redrawn bar per camera.
// Rows are known by their place in the target list (UpgradeRow::source): a rebooted camera
// comes back under a new handle.
class Printer final : public upgrade::UpgradeObserver {
public:
    Printer(const std::vector<UpgradeTarget>& targets, bool live, std::ostream& out, bool json = false,
            platform::UiLanguage language = platform::UiLanguage::Chinese)
        : live_(live && !json), json_(json), language_(language), out_(out) {
        for (const UpgradeTarget& t : targets) order_.push_back({t.number, {}, -1, upgrade::UpgradeRowState::Queued});
    }

    void RowChanged(int, const upgrade::UpgradeRow& row) override {
        std::lock_guard lock(mu_);
        if (row.source < 0 || static_cast<size_t>(row.source) >= order_.size()) return;
        Line& line = order_[static_cast<size_t>(row.source)];
        const bool newText = row.text != line.text;
        const bool newState = row.state != line.state;
        line.text = row.text;
        line.percent = row.percent;
        line.state = row.state;
        if (live_) {
            Redraw();
        } else if (json_ && (newText || newState) && !row.text.empty()) {
            out_ << JsonObject()
                        .Add("camera", line.number)
                        .Add("state", UpgradeStateName(row.state))
                        .Add("percent", row.percent)
                        .Add("text", row.text)
                        .Text()
                 << '\n'
                 << std::flush;
        } else if (newText && !row.text.empty()) {
            out_ << '[' << line.number << "] " << TerminalText(upgrade::UpgradeTextIn(language_, row.text)) << '\n'
                 << std::flush;
        }
    }
    void RowRemoved(int) override {}
    void StatusText(const std::string&) override {}  // the window's hint to refresh its list
    void RebootFinished() override {}

private:
    struct Line {
        int number;
        std::string text;
        int percent;
        upgrade::UpgradeRowState state;
    };

    void Redraw() {
        if (drawn_) out_ << "\x1b[" << order_.size() << 'A';
        for (const Line& l : order_) {
            const int pct = l.state == upgrade::UpgradeRowState::Done || l.state == upgrade::UpgradeRowState::Verified
                                ? 100
                            : l.percent < 0   ? 0
                            : l.percent > 100 ? 100
                                              : l.percent;
            const int filled = pct * kBarWidth / 100;
            out_ << "\r\x1b[K[" << l.number << "] [" << std::string(static_cast<size_t>(filled), '#')
                 << std::string(static_cast<size_t>(kBarWidth - filled), '.') << "] " << pct << "% "
                 << TerminalText(upgrade::UpgradeTextIn(language_, l.text)) << '\n';
        }
        out_ << std::flush;
        drawn_ = true;
    }

    const bool live_;
    const bool json_;
    const platform::UiLanguage language_;
    std::ostream& out_;
    std::mutex mu_;
    std::vector<Line> order_;
    bool drawn_ = false;
};

// Keeps the messages of the package loading for the error line instead of the log.
class CapturedMessages final : public platform::UserMessages {
public:
    std::string last;
    void Information(std::string_view text) override {
        // One error line: a message with the file and reason on a second line is joined.
        last = std::string(text);
        for (char& c : last)
            if (c == '\n') c = ' ';
    }
    bool AskOkCancel(std::string_view) override { return false; }
    bool AskYesNo(std::string_view) override { return false; }
};

std::vector<transport::UsbDeviceEntry> Entries(const std::vector<UpgradeTarget>& targets) {
    std::vector<transport::UsbDeviceEntry> out;
    for (const UpgradeTarget& t : targets) out.push_back(t.entry);
    return out;
}

// "camera N (serial SN)", as the commands on a set of cameras name a camera.
std::string CameraName(int number, const std::string& serial) {
    std::string name = "camera " + std::to_string(number);
    if (!serial.empty()) name += " (serial " + TerminalText(serial) + ")";
    return name;
}

// Waits while `busy` holds, stopping the session once when the interrupt flag rises.
template <typename Busy>
void WaitFor(upgrade::UpgradeSession& session, const UpgradeRunOptions& options, Busy busy) {
    bool stopped = false;
    while (busy()) {
        if (!stopped && options.interrupt && options.interrupt->load()) {
            session.RequestStop();
            stopped = true;
        }
        std::this_thread::sleep_for(kWaitStep);
    }
    session.Join();
}

bool ParseSeconds(const std::string& text, double max, std::chrono::milliseconds& out) {
    if (text.empty()) return false;
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (*end != '\0' || !std::isfinite(v) || v <= 0 || v > max) return false;
    out = std::chrono::milliseconds(static_cast<int64_t>(std::llround(v * 1000)));
    return out.count() > 0;
}

std::string Seconds(double s) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", s);
    return text;
}

}  // namespace

bool ParseUpgradeArgs(const std::vector<std::string>& args, UpgradeArgs& out, std::string& error) {
    out = UpgradeArgs{};
    constexpr double kMaxSeconds = 7 * 24 * 3600;
    size_t i = 0;
    const auto value = [&](const std::string& name, std::string& v) {
        if (i + 1 >= args.size()) {
            error = "upgrade " + name + " needs a value";
            return false;
        }
        v = args[++i];
        return true;
    };
    for (; i < args.size(); ++i) {
        const std::string& a = args[i];
        std::string v;
        if (a == "--") {
            ++i;
            break;
        }
        if (a.size() < 2 || a[0] != '-') break;
        if (a == "--reboot") {
            out.session.verify = true;
        } else if (a == "--jobs") {
            if (!value(a, v)) return false;
            char* end = nullptr;
            const long n = std::strtol(v.c_str(), &end, 10);
            if (v.empty() || *end != '\0' || n < 1 || n > 64) {
                error = "upgrade --jobs needs a number of cameras 1..64, not '" + v + "'";
                return false;
            }
            out.session.jobs = static_cast<int>(n);
            out.jobsGiven = true;
        } else if (a == "--timeout" || a == "--reconnect-timeout") {
            if (!value(a, v)) return false;
            std::chrono::milliseconds& target = a == "--timeout" ? out.session.deadline : out.session.reconnectTimeout;
            if (!ParseSeconds(v, kMaxSeconds, target)) {
                error = "upgrade " + a + " needs seconds above 0 (at most a week), not '" + v + "'";
                return false;
            }
        } else if (a == "--expect-version" || a == "--expect-build-date") {
            if (!value(a, v)) return false;
            if (v.empty()) {
                error = "upgrade " + a + " needs a text";
                return false;
            }
            (a == "--expect-version" ? out.session.expectVersion : out.session.expectBuildDate) = v;
        } else if (a == "--report") {
            if (!value(a, out.report)) return false;
            if (out.report.empty()) {
                error = "upgrade --report needs a file name";
                return false;
            }
        } else {
            error = "upgrade: unknown option '" + a + "'";
            return false;
        }
    }
    out.packages.assign(args.begin() + static_cast<std::ptrdiff_t>(std::min(i, args.size())), args.end());
    if (out.packages.empty()) {
        error = "upgrade needs one or more PACKAGE files";
        return false;
    }
    const bool verifyOnly = !out.session.expectVersion.empty() || !out.session.expectBuildDate.empty();
    if (verifyOnly && !out.session.verify) {
        error = "upgrade --expect-version and --expect-build-date need --reboot";
        return false;
    }
    return true;
}

const char* UpgradeStateName(upgrade::UpgradeRowState state) {
    switch (state) {
    case upgrade::UpgradeRowState::Queued: return "queued";
    case upgrade::UpgradeRowState::Failed: return "failed";
    case upgrade::UpgradeRowState::Done: return "done";
    case upgrade::UpgradeRowState::Sending: return "sending";
    case upgrade::UpgradeRowState::Flashing: return "flashing";
    case upgrade::UpgradeRowState::Rebooting: return "rebooting";
    case upgrade::UpgradeRowState::Reconnecting: return "reconnecting";
    case upgrade::UpgradeRowState::Verifying: return "verifying";
    case upgrade::UpgradeRowState::Verified: return "verified";
    }
    return "unknown";
}

std::string UpgradeReportJson(const std::vector<UpgradeTarget>& targets, const std::vector<upgrade::UpgradeRow>& rows,
                              const UpgradeRunOptions& options, int status) {
    JsonArray names;
    for (const std::string& p : options.upgrade.packages) names.AddRaw(platform::JsonString(p));
    JsonArray cameras;
    for (const upgrade::UpgradeRow& row : rows) {
        const int number = row.source >= 0 && static_cast<size_t>(row.source) < targets.size()
                               ? targets[static_cast<size_t>(row.source)].number
                               : 0;
        const bool ok = row.state == (options.upgrade.session.verify ? upgrade::UpgradeRowState::Verified
                                                                     : upgrade::UpgradeRowState::Done);
        const int code = ok ? 0 : row.result != 0 ? row.result : upgrade::kUpgradeStopped;
        JsonObject seconds;
        double total = 0;
        for (int p = 0; p < static_cast<int>(upgrade::UpgradePhase::Count); ++p) {
            seconds.AddRaw(upgrade::kUpgradePhaseNames[p], Seconds(row.seconds[p]));
            total += row.seconds[p];
        }
        seconds.AddRaw("total", Seconds(total));
        JsonObject camera;
        camera.Add("index", number).Add("serial", row.serial).Add("model", row.model).Add("version_before", row.biosVersion);
        if (row.versionAfter.empty()) camera.AddNull("version_after");
        else camera.Add("version_after", row.versionAfter);
        camera.AddRaw("packages", names.Text())
            .Add("result", ok ? UpgradeStateName(row.state) : "failed")
            .Add("error_code", code)
            .Add("error", ok ? std::string() : row.text)
            .AddRaw("seconds", seconds.Text());
        cameras.AddRaw(camera.Text());
    }
    for (const MissingTarget& m : options.missing) {
        cameras.AddRaw(JsonObject()
                           .Add("index", 0)
                           .Add("serial", m.serial)
                           .Add("model", "")
                           .Add("version_before", "")
                           .AddNull("version_after")
                           .AddRaw("packages", names.Text())
                           .Add("result", "failed")
                           .Add("error_code", m.code)
                           .Add("error", m.what)
                           .AddRaw("seconds", "{}")
                           .Text());
    }
    return JsonObject()
               .AddRaw("packages", names.Text())
               .AddBool("reboot", options.upgrade.session.verify)
               .Add("status", status)
               .AddRaw("cameras", cameras.Text())
               .Text() +
           "\n";
}

int RunUpgradeCommand(transport::CUSBDevice& usb, const std::vector<UpgradeTarget>& targets,
                      const UpgradeRunOptions& options, std::ostream& out, std::ostream& err) {
    Printer printer(targets, options.live, out, options.json, options.language);
    upgrade::UpgradeSession session(usb, Entries(targets), &printer, 0);
    session.SetPackagePaths(options.upgrade.packages);
    upgrade::UpgradeOptions run = options.upgrade.session;
    if (run.jobs <= 0) run.jobs = static_cast<int>(fleet::DefaultJobs(targets.size()));
    session.SetOptions(run);
    session.SetCameraDirectory(options.cameras);

    // The report's folder is checked before any camera is touched.
    std::string why;
    if (!options.upgrade.report.empty() && platform::CheckReplaceableFile(options.upgrade.report, &why) != 0)
        return ReportFailure(err, platform::kAtomicFileRefused,
                             "cannot write the report " + options.upgrade.report + ": " + why);

    CapturedMessages captured;
    platform::UserMessages& previous = platform::Messages();
    platform::SetUserMessages(&captured);
    const int started = targets.empty() ? 0 : session.Start();
    SetUserMessages(&previous);
    if (started == upgrade::kUpgradeCannotVerify)
        return ReportFailure(err, started, "--reboot needs the cameras to be followed, and they cannot be");
    if (started != 0)
        return ReportFailure(err, started,
                             captured.last.empty() ? "the upgrade did not start"
                                                   : upgrade::UpgradeTextIn(options.language, captured.last));

    WaitFor(session, options, [&] { return session.Busy(); });
    const upgrade::UpgradeRowState wanted =
        run.verify ? upgrade::UpgradeRowState::Verified : upgrade::UpgradeRowState::Done;
    int status = kExitOk;
    std::vector<upgrade::UpgradeRow> rows;
    for (int i = 0; i < session.RowCount(); ++i) rows.push_back(session.Row(i));
    for (const upgrade::UpgradeRow& row : rows) {
        if (row.state == wanted) continue;
        const int number = targets[static_cast<size_t>(row.source)].number;
        const std::string text =
            row.text.empty() ? "not upgraded" : TerminalText(upgrade::UpgradeTextIn(options.language, row.text));
        status = ReportFailure(err, row.result != 0 ? row.result : upgrade::kUpgradeStopped,
                               CameraName(number, row.serial) + ": " + text);
    }
    for (const MissingTarget& m : options.missing) status = ReportFailure(err, m.code, m.what);
    if (!options.upgrade.report.empty()) {
        const int w = platform::WriteFileAtomically(options.upgrade.report,
                                                    UpgradeReportJson(targets, rows, options, status), &why);
        if (w != 0) status = ReportFailure(err, w, "cannot write the report " + options.upgrade.report + ": " + why);
    }
    return status;
}

int RunRebootCommand(transport::CUSBDevice& usb, const std::vector<UpgradeTarget>& targets,
                     const UpgradeRunOptions& options, std::ostream& out, std::ostream& err) {
    Printer printer(targets, false, out, options.json, options.language);
    upgrade::UpgradeSession session(usb, Entries(targets), &printer, 0);
    if (int r = session.StartReboot()) return ReportFailure(err, r, "the reboot did not start");
    WaitFor(session, options, [&] { return session.Rebooting(); });
    // Rebooted rows are gone; what is left failed or was not reached after a stop.
    int status = kExitOk;
    for (int i = 0; i < session.RowCount(); ++i) {
        const upgrade::UpgradeRow row = session.Row(i);
        const std::string what =
            row.text.empty() ? "not rebooted" : TerminalText(upgrade::UpgradeTextIn(options.language, row.text));
        status = ReportFailure(err, row.result != 0 ? row.result : upgrade::kUpgradeStopped,
                               CameraName(targets[static_cast<size_t>(row.source)].number, row.serial) + ": " + what);
    }
    return status;
}

}  // namespace velmora::cli
