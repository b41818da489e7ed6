#include "cli/commands.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <set>
#include <string_view>

#include "platform/codepage.h"
#include "protocol/param_file.h"
#include "protocol/requests.h"

namespace velmora::cli {
namespace {

int Fail(std::ostream& err, int code, const std::string& what) {
    err << "error " << code << ": " << what << "\n";
    return kExitFailed;
}

int Usage(std::ostream& err, const std::string& what) {
    err << "velmora-cli: " << what << "\n";
    return kExitUsage;
}

// A member name goes into the request text between quotes: letters, digits and '_' only.
bool ValidMember(std::string_view name) {
    if (name.empty() || name.size() > 63) return false;
    for (char c : name)
        if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '_')) return false;
    return true;
}

bool ParseInt32(const std::string& s, int* out) {
    if (s.empty()) return false;
    errno = 0;
    char* end = nullptr;
    long long v = std::strtoll(s.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || v < INT32_MIN || v > INT32_MAX) return false;
    *out = static_cast<int>(v);
    return true;
}

int CmdGet(CameraTarget& t, std::ostream& out, std::ostream& err) {
    VideoParam rec;
    int r = t.ReadVideoParams(rec);
    if (r != 0) return Fail(err, r, "reading the parameters failed");
    // Record order; the second scene-mode copy carries the same member name and is skipped.
    std::set<std::string> seen;
    for (const VideoParamField& f : VideoParamFields()) {
        if (!seen.insert(f.member).second) continue;
        out << f.member << "=" << ReadFieldForSend(rec, f) << "\n";
    }
    return kExitOk;
}

int CmdSet(const CliOptions& o, CameraTarget& t, std::ostream& out, std::ostream& err) {
    if (o.args.empty()) return Usage(err, "set needs NAME=VALUE pairs");
    std::vector<std::pair<std::string, int>> pairs;
    for (const std::string& a : o.args) {
        size_t eq = a.find('=');
        int value = 0;
        if (eq == std::string::npos || !ValidMember(std::string_view(a).substr(0, eq)) ||
            !ParseInt32(a.substr(eq + 1), &value))
            return Usage(err, "'" + a + "' is not NAME=VALUE with a member name and a whole number");
        pairs.emplace_back(a.substr(0, eq), value);
    }
    for (const auto& [name, value] : pairs) {
        int r = t.SetVideoParamField(FormatFieldText(name.c_str(), value));
        if (r < 0) return Fail(err, r, "setting " + name + " failed");
        out << name << "=" << value << "\n";
    }
    return kExitOk;
}

int CmdExport(const CliOptions& o, CameraTarget& t, std::ostream& out, std::ostream& err) {
    if (o.args.size() != 1) return Usage(err, "export needs one FILE");
    VideoParam rec;
    int r = t.ReadVideoParams(rec);
    if (r != 0) return Fail(err, r, "reading the parameters failed, nothing was written");
    r = SaveParamFile(o.args[0], rec);
    if (r != 0) return Fail(err, r, "could not write " + o.args[0] + " (any earlier file is unchanged)");
    out << "exported " << kVideoParamSize << " bytes to " << o.args[0] << "\n";
    return kExitOk;
}

int CmdImport(const CliOptions& o, CameraTarget& t, std::ostream& out, std::ostream& err) {
    if (o.args.size() != 1) return Usage(err, "import needs one FILE");
    VideoParam rec;
    long long size = -1;
    int r = LoadParamFile(o.args[0], rec, &size);
    if (r == kParamFileSizeMismatch)
        return Fail(err, r, o.args[0] + " holds " + std::to_string(size) + " bytes, a parameter file holds " +
                                std::to_string(kVideoParamSize) + "; nothing was sent");
    if (r != 0) return Fail(err, r, "could not open " + o.args[0]);
    r = t.WriteVideoParams(rec);
    if (r < 0) return Fail(err, r, "the camera did not take the parameters");
    out << "imported " << o.args[0] << "\n";
    return kExitOk;
}

int CmdAbilities(CameraTarget& t, std::ostream& out, std::ostream& err) {
    AbilityList list;
    int r = t.ReadAbilityList(list);
    if (r != 0) return Fail(err, r, "reading the ability list failed");
    for (size_t i = 0; i < list.size(); ++i) {
        const AbilityItem& item = list[i];
        out << item.key << "\tdisplay=" << static_cast<int>(item.display);
        if (item.display == 2) out << "\trule=" << item.displayRule;
        if (item.title[0]) out << "\t" << item.title;
        for (const AbilityOption& opt : item.options) {
            std::string label = t.LabelsAreCp936() ? Cp936ToUtf8(opt.label) : std::string(opt.label);
            out << "\t" << opt.value << ":" << label;
        }
        out << "\n";
    }
    return kExitOk;
}

}  // namespace

bool TakesArguments(const std::string& c) { return c == "set" || c == "export" || c == "import" || c == "snapshot"; }

bool IsCameraCommand(const std::string& c) {
    static const std::set<std::string> kCommands = {"info",     "get",       "set",        "export",    "import",
                                                    "defaults", "abilities", "focus-near", "frame-rate"};
    return kCommands.count(c) != 0;
}

int RunCameraCommand(const CliOptions& o, CameraTarget& t, std::ostream& out, std::ostream& err) {
    const std::string& c = o.command;
    if (!TakesArguments(c) && !o.args.empty())
        return Usage(err, "'" + c + "' takes no arguments (options such as --device stand before the command)");
    if (c == "get") return CmdGet(t, out, err);
    if (c == "set") return CmdSet(o, t, out, err);
    if (c == "export") return CmdExport(o, t, out, err);
    if (c == "import") return CmdImport(o, t, out, err);
    if (c == "abilities") return CmdAbilities(t, out, err);
    if (c == "info") {
        std::vector<std::pair<std::string, std::string>> info;
        int r = t.Info(info);
        if (r != 0) return Fail(err, r, "reading the device information failed");
        for (auto& [k, v] : info) out << k << "=" << v << "\n";
        return kExitOk;
    }
    if (c == "defaults") {
        int r = t.RestoreDefaults();
        if (r < 0) return Fail(err, r, "restoring the defaults failed");
        out << "defaults restored\n";
        return kExitOk;
    }
    if (c == "focus-near") {
        int r = t.GetFocusNear();
        if (r < 0) return Fail(err, r, "reading the near focus limit failed");
        out << r << "\n";
        return kExitOk;
    }
    if (c == "frame-rate") {
        int r = t.GetFrameRate();
        if (r < 0) return Fail(err, r, "reading the frame rate failed");
        if (r == 0) return Fail(err, 0, "the camera gave no usable frame rate");
        out << r << "\n";
        return kExitOk;
    }
    return Usage(err, "unknown command '" + c + "'");
}

}  // namespace velmora::cli
