#include "cli/commands.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <set>
#include <string_view>

#include "platform/codepage.h"
#include "cli/json_commands.h"
#include "cli/profile_commands.h"
#include "platform/display_text.h"
#include "protocol/param_file.h"
#include "protocol/profile.h"
#include "protocol/replies.h"
#include "protocol/requests.h"
#include "transport/usb/hid_framing.h"

namespace velmora::cli {
namespace {

int Fail(std::ostream& err, int code, const std::string& what) { return ReportFailure(err, code, what); }

int Usage(std::ostream& err, const std::string& what) {
    err << "velmora-cli: " << what << "\n";
    return kExitUsage;
}

bool ParseInt64(const std::string& s, long long* out) {
    if (s.empty() || std::isspace(static_cast<unsigned char>(s[0]))) return false;
    errno = 0;
    char* end = nullptr;
    long long v = std::strtoll(s.c_str(), &end, 10);
    if (errno != 0 || *end != '\0') return false;
    *out = v;
    return true;
}

int CmdGet(camera::Camera& camera, std::ostream& out, std::ostream& err) {
    protocol::VideoParam rec;
    int r = camera.ReadVideoParams(rec);
    if (r != 0) return Fail(err, RealCode(camera, r), "reading the parameters failed");
    // Record order; the second scene-mode copy carries the same member name and is skipped.
    std::set<std::string> seen;
    for (const protocol::VideoParamField& f : protocol::VideoParamFields()) {
        if (!seen.insert(f.member).second) continue;
        out << f.member << "=" << ReadFieldForSend(rec, f) << "\n";
    }
    return kExitOk;
}

int CmdSet(const CliOptions& o, camera::Camera& camera, std::ostream& out, std::ostream& err) {
    std::vector<std::pair<const protocol::VideoParamField*, int>> pairs;
    if (int status = ParseSetPairs(o.args, pairs, err); status != kExitOk) return status;
    for (const auto& [field, value] : pairs) {
        int r = camera.SetField(*field, value);
        if (r < 0) return Fail(err, r, std::string("setting ") + field->member + " failed");
        out << field->member << "=" << value << "\n";
    }
    return kExitOk;
}

int CmdExport(const CliOptions& o, camera::Camera& camera, std::ostream& out, std::ostream& err) {
    if (o.args.size() != 1) return Usage(err, "export needs one FILE");
    protocol::VideoParam rec;
    int r = camera.ReadVideoParams(rec);
    if (r != 0) return Fail(err, RealCode(camera, r), "reading the parameters failed, nothing was written");
    std::string why;
    r = protocol::SaveParamFile(o.args[0], rec, &why);
    if (r != 0)
        return Fail(err, r, "could not write " + o.args[0] + (why.empty() ? "" : ": " + why) +
                                " (any earlier file is unchanged)");
    out << "exported " << protocol::kVideoParamSize << " bytes to " << o.args[0] << "\n";
    return kExitOk;
}

int CmdImport(const CliOptions& o, camera::Camera& camera, std::ostream& out, std::ostream& err) {
    if (o.args.size() != 1) return Usage(err, "import needs one FILE");
    protocol::VideoParam rec;
    long long size = -1;
    std::string why;
    int r = protocol::LoadParamFile(o.args[0], rec, &size, &why);
    if (r == protocol::kParamFileSizeMismatch)
        return Fail(err, r, o.args[0] + " holds " + std::to_string(size) + " bytes, a parameter file holds " +
                                std::to_string(protocol::kVideoParamSize) + "; nothing was sent");
    if (r != 0) return Fail(err, r, "could not open " + o.args[0] + (why.empty() ? "" : ": " + why));
    r = camera.WriteVideoParams(rec);
    if (r < 0) return Fail(err, r, "the camera did not take the parameters");
    out << "imported " << o.args[0] << "\n";
    return kExitOk;
}

int CmdAbilities(camera::Camera& camera, std::ostream& out, std::ostream& err) {
    protocol::AbilityList list;
    int r = camera.ReadAbilityList(list);
    if (r != 0) return Fail(err, RealCode(camera, r), "reading the ability list failed");
    const bool cp936 = camera.LabelsAreCp936();
    for (size_t i = 0; i < list.size(); ++i) {
        const protocol::AbilityItem& item = list[i];
        out << TerminalText(item.key) << "\tdisplay=" << static_cast<int>(item.display);
        if (item.display == 2) out << "\trule=" << TerminalText(item.displayRule);
        if (item.title[0]) out << "\t" << TerminalText(item.title);
        for (const protocol::AbilityOption& opt : item.options) {
            std::string label = cp936 ? platform::Cp936ToUtf8(opt.label) : std::string(opt.label);
            out << "\t" << opt.value << ":" << TerminalText(label);
        }
        out << "\n";
    }
    return kExitOk;
}

int CmdFrameRate(camera::Camera& camera, std::ostream& out, std::ostream& err) {
    int r = camera.GetFrameRate();
    if (r < 0) return Fail(err, RealCode(camera, r), "reading the frame rate failed");
    if (r == 0) {
        // The operation answers 0 for a failed exchange and for a reply without a usable rate.
        const int exchange = camera.LastExchangeResult();
        return exchange < 0 ? Fail(err, exchange, "reading the frame rate failed")
                            : Fail(err, protocol::kReplyIncomplete, "the camera gave no usable frame rate");
    }
    out << r << "\n";
    return kExitOk;
}

}  // namespace

int RealCode(const camera::Camera& camera, int result) {
    const int exchange = camera.LastExchangeResult();
    return result == -1 && exchange < 0 ? exchange : result;
}

// Every pair is checked against the parameter table before anything is sent: an unknown member
// would change nothing, and a value that does not fit would arrive cut (1000 as 232).
int ParseSetPairs(const std::vector<std::string>& args,
                  std::vector<std::pair<const protocol::VideoParamField*, int>>& pairs, std::ostream& err) {
    if (args.empty()) return Usage(err, "set needs NAME=VALUE pairs");
    for (const std::string& a : args) {
        size_t eq = a.find('=');
        if (eq == std::string::npos || eq == 0)
            return Usage(err, "'" + TerminalText(a) + "' is not NAME=VALUE");
        const std::string name = a.substr(0, eq);
        const protocol::VideoParamField* field = protocol::FindVideoParamField(name);
        if (field == nullptr) {
            std::string nearest = protocol::NearestVideoParamMember(name);
            return Usage(err, "there is no parameter '" + TerminalText(name) + "'" +
                                  (nearest.empty() ? "" : "; did you mean " + nearest + "?") +
                                  " ('get' lists them all)");
        }
        long long value = 0;
        if (!ParseInt64(a.substr(eq + 1), &value))
            return Usage(err, "'" + TerminalText(a) + "' needs a whole number after '='");
        if (!protocol::FieldValueFits(*field, value)) {
            const bool wide = field->width == 4;
            const char* range = wide ? "-2147483648..2147483647" : field->isSigned ? "-128..127" : "0..255";
            return Usage(err, std::string(field->member) + " takes " + range + ", not " + std::to_string(value));
        }
        pairs.emplace_back(field, static_cast<int>(value));
    }
    return kExitOk;
}

int ReportFailure(std::ostream& err, int code, const std::string& what) {
    err << "error " << code << ": " << what;
    if (code == transport::kUsbDeviceBusy) err << " (the camera is busy: all its connections are taken)";
    err << "\n";
    return kExitFailed;
}

std::string TerminalText(std::string_view text) { return platform::EscapeForDisplay(text); }

bool TakesArguments(const std::string& c) {
    return c == "set" || c == "export" || c == "import" || c == "snapshot" || c == "upgrade" || c == "diff" ||
           c == "apply" || c == "keep";
}

bool IsCameraCommand(const std::string& c) {
    static const std::set<std::string> kCommands = {"info",     "get",       "set",        "export",    "import",
                                                    "defaults", "abilities", "focus-near", "frame-rate", "diff",
                                                    "apply"};
    return kCommands.count(c) != 0;
}

int RunCameraCommand(const CliOptions& o, camera::Camera& camera, std::ostream& out, std::ostream& err) {
    const std::string& c = o.command;
    if (!TakesArguments(c) && !o.args.empty())
        return Usage(err, "'" + c + "' takes no arguments (options such as --device stand before the command)");
    if (o.json) return RunCameraCommandJson(o, camera, out, err);
    if (IsProfileCommand(o)) return RunProfileCommand(o, camera, out, err);
    if (c == "get") return CmdGet(camera, out, err);
    if (c == "set") return CmdSet(o, camera, out, err);
    if (c == "export") return CmdExport(o, camera, out, err);
    if (c == "import") return CmdImport(o, camera, out, err);
    if (c == "abilities") return CmdAbilities(camera, out, err);
    if (c == "frame-rate") return CmdFrameRate(camera, out, err);
    if (c == "info") {
        camera::CameraIdentity info;
        int r = camera.ReadIdentity(info);
        if (r != 0) return Fail(err, r, "reading the device information failed");
        for (auto& [k, v] : info) out << k << "=" << TerminalText(v) << "\n";
        return kExitOk;
    }
    if (c == "defaults") {
        int r = camera.RestoreDefaults();
        if (r < 0) return Fail(err, r, "restoring the defaults failed");
        out << "defaults restored\n";
        return kExitOk;
    }
    if (c == "focus-near") {
        int r = camera.GetFocusNear();
        if (r < 0) return Fail(err, r, "reading the near focus limit failed");
        out << r << "\n";
        return kExitOk;
    }
    return Usage(err, "unknown command '" + c + "'");
}

}  // namespace velmora::cli
