#include "cli/json_commands.h"

#include <cstdlib>
#include <set>
#include <sstream>

#include "cli/commands.h"
#include "cli/json_output.h"
#include "cli/profile_commands.h"
#include "platform/codepage.h"
#include "protocol/param_file.h"
#include "protocol/profile.h"
#include "protocol/replies.h"

namespace velmora::cli {
namespace {

int Usage(std::ostream& err, const std::string& what) {
    err << "velmora-cli: " << what << "\n";
    return kExitUsage;
}

int Get(camera::Camera& camera, std::ostream& out, std::ostream& err) {
    protocol::VideoParam rec;
    const int r = camera.ReadVideoParams(rec);
    if (r != 0) return ReportFailure(err, RealCode(camera, r), "reading the parameters failed");
    JsonObject members;
    for (const protocol::VideoParamField* f : protocol::ProfileFields())
        members.Add(f->member, ReadFieldForSend(rec, *f));
    out << JsonObject().AddRaw("members", members.Text()).Text() << '\n';
    return kExitOk;
}

int Set(const CliOptions& o, camera::Camera& camera, std::ostream& out, std::ostream& err) {
    std::vector<std::pair<const protocol::VideoParamField*, int>> pairs;
    if (int status = ParseSetPairs(o.args, pairs, err); status != kExitOk) return status;
    JsonObject set;
    for (const auto& [field, value] : pairs) {
        const int r = camera.SetField(*field, value);
        if (r < 0) {
            // The members set before the refusal stay set: say which they were.
            out << JsonObject()
                       .AddRaw("set", set.Text())
                       .AddRaw("error", JsonError(r, std::string("setting ") + field->member + " failed"))
                       .Text()
                << '\n';
            return ReportFailure(err, r, std::string("setting ") + field->member + " failed");
        }
        set.Add(field->member, value);
    }
    out << JsonObject().AddRaw("set", set.Text()).Text() << '\n';
    return kExitOk;
}

int Info(camera::Camera& camera, std::ostream& out, std::ostream& err) {
    camera::CameraIdentity info;
    const int r = camera.ReadIdentity(info);
    if (r != 0) return ReportFailure(err, r, "reading the device information failed");
    JsonObject identity;
    for (const auto& [k, v] : info) identity.Add(k, v);
    out << JsonObject().AddRaw("identity", identity.Text()).Text() << '\n';
    return kExitOk;
}

int Abilities(camera::Camera& camera, std::ostream& out, std::ostream& err) {
    protocol::AbilityList list;
    const int r = camera.ReadAbilityList(list);
    if (r != 0) return ReportFailure(err, RealCode(camera, r), "reading the ability list failed");
    JsonArray items;
    for (const protocol::AbilityItem& item : list) {
        JsonObject j;
        j.Add("key", item.key).Add("display", static_cast<int>(item.display));
        if (item.display == 2) j.Add("rule", item.displayRule);
        if (item.title[0])
            j.Add("title", camera.LabelsAreCp936() ? platform::Cp936ToUtf8(item.title) : std::string(item.title));
        JsonArray options;
        for (const protocol::AbilityOption& opt : item.options) {
            const std::string label =
                camera.LabelsAreCp936() ? platform::Cp936ToUtf8(opt.label) : std::string(opt.label);
            options.AddRaw(JsonObject().Add("value", opt.value).Add("label", label).Text());
        }
        j.AddRaw("options", options.Text());
        items.AddRaw(j.Text());
    }
    out << JsonObject().AddRaw("abilities", items.Text()).Text() << '\n';
    return kExitOk;
}

// export to a parameter file, import, defaults, focus-near, frame-rate: the text form's work,
// its one result said as JSON.
int Simple(const CliOptions& o, camera::Camera& camera, std::ostream& out, std::ostream& err) {
    CliOptions text = o;
    text.json = false;
    std::ostringstream ignored;
    const int status = RunCameraCommand(text, camera, ignored, err);
    if (status != kExitOk) return status;
    const std::string& c = o.command;
    JsonObject j;
    if (c == "export") j.Add("file", o.args[0]).Add("format", "dat").Add("bytes", protocol::kVideoParamSize);
    else if (c == "import") j.Add("file", o.args[0]).AddBool("imported", true);
    else if (c == "defaults") j.AddBool("defaults_restored", true);
    else if (c == "focus-near") j.Add("focus_near", std::atoi(ignored.str().c_str()));
    else if (c == "frame-rate") j.Add("frame_rate", std::atoi(ignored.str().c_str()));
    out << j.Text() << '\n';
    return kExitOk;
}

}  // namespace

int WithJsonErrors(std::ostream& out, std::ostream& err, const std::function<int(std::ostream&, std::ostream&)>& command) {
    std::ostringstream o, e;
    const int status = command(o, e);
    out << o.str();
    err << e.str();
    if (status != kExitFailed || !o.str().empty()) return status;
    // The last "error <code>: <what>" line.
    const std::string text = e.str();
    const size_t at = text.rfind("error ", text.size() > 1 ? text.size() - 2 : 0);
    int code = -1;
    std::string what = text;
    if (at != std::string::npos) {
        const std::string line = text.substr(at + 6, text.find('\n', at) - at - 6);
        code = std::atoi(line.c_str());
        const size_t colon = line.find(": ");
        what = colon == std::string::npos ? line : line.substr(colon + 2);
    }
    out << JsonObject().AddRaw("error", JsonError(code, what)).Text() << '\n';
    return status;
}

int RunCameraCommandJson(const CliOptions& o, camera::Camera& camera, std::ostream& out, std::ostream& err) {
    return WithJsonErrors(out, err, [&](std::ostream& jout, std::ostream& jerr) {
        const std::string& c = o.command;
        if (!TakesArguments(c) && !o.args.empty())
            return Usage(jerr, "'" + c + "' takes no arguments (options such as --device stand before the command)");
        if (IsProfileCommand(o)) return RunProfileCommand(o, camera, jout, jerr);
        if (c == "get") return Get(camera, jout, jerr);
        if (c == "set") return Set(o, camera, jout, jerr);
        if (c == "info") return Info(camera, jout, jerr);
        if (c == "abilities") return Abilities(camera, jout, jerr);
        if (c == "export" || c == "import" || c == "defaults" || c == "focus-near" || c == "frame-rate")
            return Simple(o, camera, jout, jerr);
        return Usage(jerr, "unknown command '" + c + "'");
    });
}

}  // namespace velmora::cli
