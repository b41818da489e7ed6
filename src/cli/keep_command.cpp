#include "cli/keep_command.h"

#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "camera/camera_directory.h"
#include "cli/commands.h"
#include "cli/json_output.h"
#include "cli/profile_commands.h"
#include "platform/codepage.h"
#include "platform/text.h"

namespace velmora::cli {
namespace {

using fleet::KeepEvent;

std::string TimeText(std::chrono::system_clock::time_point t) {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
    const std::time_t seconds = static_cast<std::time_t>(ms / 1000);
    std::tm tm{};
    gmtime_r(&seconds, &tm);
    char text[40];
    const size_t n = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &tm);
    std::snprintf(text + n, sizeof text - n, ".%03dZ", static_cast<int>(ms % 1000));
    return text;
}

std::string Field(const char* field, size_t size) { return platform::FieldText(field, size); }

// What the camera is called in a line: its serial, or its device path when it has none.
std::string SerialOf(const KeepEvent& e) { return Field(e.camera.entry.serial, sizeof e.camera.entry.serial); }

std::string Members(const KeepEvent& e, bool json) {
    JsonArray array;
    std::string text;
    for (const camera::ApplyMember& m : e.report->members) {
        if (json) {
            array.AddRaw(JsonObject().Add("member", m.field->member).Add("from", m.before).Add("to", m.wanted).Text());
        } else {
            text += (text.empty() ? "" : ", ") + std::string(m.field->member) + " " + std::to_string(m.before) +
                    "->" + std::to_string(m.wanted);
        }
    }
    return json ? array.Text() : text;
}

// The outcome of the members sent (and skipped), as text.
std::string OutcomeText(const KeepEvent& e) {
    const camera::ApplyReport& r = *e.report;
    std::string text;
    auto add = [&](const std::string& part) { text += (text.empty() ? "" : "; ") + part; };
    if (e.kind == KeepEvent::Kind::Refused) {
        if (r.readResult != 0) return "error " + std::to_string(e.code) + " reading the parameters";
        std::string names;
        for (const camera::ApplyMember& m : r.members)
            if (m.outcome == camera::ApplyOutcome::Refused || m.outcome == camera::ApplyOutcome::Unverified)
                names += (names.empty() ? "" : ", ") + std::string(m.field->member);
        add("error " + std::to_string(e.code) + " (" + names + ")");
    }
    for (const camera::ApplyMember& m : r.members) {
        if (m.outcome == camera::ApplyOutcome::Adjusted)
            add(std::string(m.field->member) + " wanted " + std::to_string(m.wanted) + ", the camera keeps " +
                std::to_string(*m.after));
        if (m.outcome == camera::ApplyOutcome::Skipped) add(std::string(m.field->member) + " skipped: " + m.reason);
    }
    const size_t confirmed = r.Count(camera::ApplyOutcome::Confirmed);
    if (confirmed > 0 || text.empty()) add(std::to_string(confirmed) + " confirmed");
    return text;
}

std::string TextLine(const KeepEvent& e) {
    if (e.kind == KeepEvent::Kind::Reloaded)
        return TimeText(e.time) + " reloaded " + std::to_string(e.ruleCount) + (e.ruleCount == 1 ? " rule" : " rules");
    if (e.kind == KeepEvent::Kind::ReloadFailed)
        return TimeText(e.time) + " reload-failed " + TerminalText(e.message) + "; the rules in force stay";
    const transport::UsbDeviceEntry& id = e.camera.entry;
    const std::string serial = SerialOf(e);
    std::string line = TimeText(e.time) + " " + fleet::KeepEventName(e.kind) + " " +
                       TerminalText(serial.empty() ? e.camera.key : serial);
    switch (e.kind) {
    case KeepEvent::Kind::Arrived:
        if (e.identifyResult != 0) line += " (identity not read: error " + std::to_string(e.identifyResult) + ")";
        else
            line += " \"" + TerminalText(Field(id.displayName, sizeof id.displayName)) + "\" " +
                    TerminalText(Field(id.productModel, sizeof id.productModel));
        line += e.rule ? " rule " + TerminalText(e.rule->selector) + " -> " + TerminalText(e.rule->file)
                       : std::string(" no rule: left alone");
        break;
    case KeepEvent::Kind::Drift: line += " " + Members(e, false); break;
    case KeepEvent::Kind::Applied:
    case KeepEvent::Kind::Adjusted:
    case KeepEvent::Kind::Refused: line += " " + OutcomeText(e); break;
    case KeepEvent::Kind::InStep:
    case KeepEvent::Kind::Left:
    case KeepEvent::Kind::Reloaded:
    case KeepEvent::Kind::ReloadFailed: break;
    }
    return line;
}

std::string JsonLine(const KeepEvent& e) {
    if (e.kind == KeepEvent::Kind::Reloaded || e.kind == KeepEvent::Kind::ReloadFailed) {
        JsonObject j;
        j.Add("event", fleet::KeepEventName(e.kind)).Add("time", TimeText(e.time));
        if (e.kind == KeepEvent::Kind::Reloaded) j.Add("rules", static_cast<int64_t>(e.ruleCount));
        else j.Add("error", e.message);
        return j.Text();
    }
    const transport::UsbDeviceEntry& id = e.camera.entry;
    JsonObject j;
    j.Add("event", fleet::KeepEventName(e.kind)).Add("serial", SerialOf(e)).Add("time", TimeText(e.time));
    j.Add("model", Field(id.productModel, sizeof id.productModel)).Add("path", e.camera.path);
    switch (e.kind) {
    case KeepEvent::Kind::Arrived:
        j.Add("name", Field(id.displayName, sizeof id.displayName));
        if (e.rule) j.Add("rule", e.rule->selector).Add("profile", e.rule->file);
        else j.AddNull("rule");
        if (e.identifyResult != 0) j.Add("identify_error", e.identifyResult);
        break;
    case KeepEvent::Kind::Drift: j.AddRaw("members", Members(e, true)); break;
    case KeepEvent::Kind::Refused:
        j.Add("code", e.code);
        [[fallthrough]];
    case KeepEvent::Kind::Applied:
    case KeepEvent::Kind::Adjusted: j.AddRaw("apply", ApplyReportJson(*e.report)); break;
    case KeepEvent::Kind::InStep:
    case KeepEvent::Kind::Left:
    case KeepEvent::Kind::Reloaded:
    case KeepEvent::Kind::ReloadFailed: break;
    }
    return j.Text();
}

// SIGINT and SIGTERM become readable on *stopFd, SIGHUP on *reloadFd, instead of ending the
// process; they are blocked before any thread starts, so every thread inherits the mask.
bool TakeSignals(int* stopFd, int* reloadFd) {
    sigset_t stop, reload, both;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    sigemptyset(&reload);
    sigaddset(&reload, SIGHUP);
    both = stop;
    sigaddset(&both, SIGHUP);
    if (pthread_sigmask(SIG_BLOCK, &both, nullptr) != 0) return false;
    *stopFd = signalfd(-1, &stop, SFD_CLOEXEC | SFD_NONBLOCK);
    *reloadFd = *stopFd < 0 ? -1 : signalfd(-1, &reload, SFD_CLOEXEC | SFD_NONBLOCK);
    if (*reloadFd < 0 && *stopFd >= 0) {
        const int saved = errno;
        ::close(*stopFd);
        errno = saved;
    }
    return *reloadFd >= 0;
}

}  // namespace

bool ParseKeepArgs(const std::vector<std::string>& args, KeepArgs& out, std::string& error) {
    out = KeepArgs{};
    size_t i = 0;
    if (i < args.size() && args[i] == "--interval") {
        if (i + 1 >= args.size()) {
            error = "--interval needs a number of seconds";
            return false;
        }
        const std::string& v = args[i + 1];
        char* end = nullptr;
        errno = 0;
        const double seconds = v.empty() || std::isspace(static_cast<unsigned char>(v[0])) ? NAN : std::strtod(v.c_str(), &end);
        if (errno != 0 || end == nullptr || *end != '\0' || !std::isfinite(seconds) || seconds < 0.1 || seconds > 86400) {
            error = "--interval needs seconds from 0.1 to 86400, not '" + v + "'";
            return false;
        }
        out.interval = std::chrono::milliseconds(static_cast<int64_t>(std::llround(seconds * 1000)));
        i += 2;
    }
    if (i + 1 != args.size() || args[i].empty() || args[i][0] == '-') {
        error = "keep needs one RULES file: keep [--interval S] RULES";
        return false;
    }
    out.rules = args[i];
    return true;
}

std::string KeepEventLine(const fleet::KeepEvent& event, bool json) { return json ? JsonLine(event) : TextLine(event); }

int RunKeepCommand(const CliOptions& o, std::ostream& out, std::ostream& err) {
    if (o.deviceGiven || o.all || o.serialGiven || o.ipGiven) {
        err << "velmora-cli: keep chooses its cameras by its rules; --device, --all, --serial and --ip do not apply\n";
        return kExitUsage;
    }
    KeepArgs args;
    std::string error;
    if (!ParseKeepArgs(o.args, args, error)) {
        err << "velmora-cli: " << error << "\n";
        return kExitUsage;
    }
    fleet::KeepRules rules;
    if (fleet::LoadKeepRules(args.rules, rules, &error) != 0) {
        err << "velmora-cli: " << TerminalText(error) << "\n";
        return kExitUsage;
    }
    int stopFd = -1;
    int reloadFd = -1;
    if (!TakeSignals(&stopFd, &reloadFd))
        return ReportFailure(err, -errno, std::string("cannot take SIGINT, SIGTERM and SIGHUP: ") + std::strerror(errno));
    int status = kExitOk;
    {
        camera::CameraDirectory cameras;
        cameras.SetVendorFilter(o.vids);
        fleet::KeepSession session(cameras, std::move(rules), args.interval, [&](const fleet::KeepEvent& e) {
            out << KeepEventLine(e, o.json) << '\n';
            out.flush();  // one line per event, seen as it happens even through a pipe
        });
        // SIGHUP reads the rules file and every profile it names again.
        session.SetReload(reloadFd, [&](fleet::KeepRules& fresh, std::string& why) {
            return fleet::LoadKeepRules(args.rules, fresh, &why);
        });
        const int r = session.Run(stopFd);
        if (r != 0) {
            const std::string what = "the USB cameras cannot be watched";
            status = ReportFailure(err, r, what);
            if (o.json) out << JsonObject().AddRaw("error", JsonError(r, what)).Text() << '\n';
        }
    }
    ::close(stopFd);
    ::close(reloadFd);
    return status;
}

}  // namespace velmora::cli
