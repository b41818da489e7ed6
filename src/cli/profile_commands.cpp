#include "cli/profile_commands.h"

#include <strings.h>

#include <ctime>

#include "cli/commands.h"
#include "cli/json_output.h"
#include "platform/atomic_file.h"
#include "platform/text.h"

namespace velmora::cli {
namespace {

bool IsJsonName(const std::string& path) {
    return path.size() >= 5 && strcasecmp(path.c_str() + path.size() - 5, ".json") == 0;
}

int Usage(std::ostream& err, const std::string& what) {
    err << "velmora-cli: " << what << "\n";
    return kExitUsage;
}

std::string Value(const std::optional<int32_t>& v) { return v ? std::to_string(*v) : "-"; }

std::string DifferencesJson(const std::vector<protocol::ProfileDifference>& diffs, const char* left,
                            const char* right) {
    JsonArray members;
    for (const protocol::ProfileDifference& d : diffs) {
        JsonObject m;
        m.Add("member", d.field->member);
        if (d.left) m.Add(left, *d.left);
        else m.AddNull(left);
        if (d.right) m.Add(right, *d.right);
        else m.AddNull(right);
        members.AddRaw(m.Text());
    }
    return members.Text();
}

void PrintDifferences(const std::vector<protocol::ProfileDifference>& diffs, std::ostream& out) {
    for (const protocol::ProfileDifference& d : diffs)
        out << d.field->member << '\t' << Value(d.left) << '\t' << Value(d.right) << '\n';
}

std::string IdentityText(const camera::CameraIdentity& identity, const char* key) {
    for (const auto& [k, v] : identity)
        if (platform::EqualsIgnoreCase(k, key)) return v;
    return {};
}

std::string UtcNow() {
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    gmtime_r(&now, &tm);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return text;
}

int CameraDiff(const CliOptions& o, camera::Camera& camera, std::ostream& out, std::ostream& err) {
    protocol::Profile profile;
    if (int r = LoadProfileReporting(o.args[0], profile, err); r != 0) return kExitFailed;
    protocol::VideoParam rec;
    int r = camera.ReadVideoParams(rec);
    if (r != 0) return ReportFailure(err, RealCode(camera, r), "reading the parameters failed");
    const std::vector<protocol::ProfileDifference> diffs = protocol::DiffRecordProfile(rec, profile);
    if (o.json) {
        out << JsonObject()
                   .Add("profile", o.args[0])
                   .Add("compared", profile.values.size())
                   .Add("different", diffs.size())
                   .AddRaw("members", DifferencesJson(diffs, "camera", "profile"))
                   .Text()
            << '\n';
    } else {
        PrintDifferences(diffs, out);
    }
    return diffs.empty() ? kExitOk : kExitDifferent;
}

int CameraApply(const CliOptions& o, camera::Camera& camera, std::ostream& out, std::ostream& err) {
    protocol::Profile profile;
    if (LoadProfileReporting(o.args[0], profile, err) != 0) return kExitFailed;
    camera::ApplyReport report;
    camera::VerifiedApply(camera, profile, report);
    if (report.readResult != 0) return ReportFailure(err, report.readResult, "reading the parameters failed, nothing was sent");
    if (o.json) out << ApplyReportJson(report) << '\n';
    else PrintApplyReport(report, out);
    const int status = ApplyExitStatus(report);
    if (status == kExitFailed) {
        int code = report.readBackResult;
        for (const camera::ApplyMember& m : report.members)
            if (m.outcome == camera::ApplyOutcome::Refused) {
                code = m.code;
                break;
            }
        ReportFailure(err, code != 0 ? code : camera::kApplyNotConfirmed,
                      "the camera did not take " + std::to_string(report.Count(camera::ApplyOutcome::Refused) +
                                                                  report.Count(camera::ApplyOutcome::Unverified)) +
                          " of the members");
    }
    return status;
}

int ExportJson(const CliOptions& o, camera::Camera& camera, std::ostream& out, std::ostream& err) {
    protocol::VideoParam rec;
    int r = camera.ReadVideoParams(rec);
    if (r != 0) return ReportFailure(err, RealCode(camera, r), "reading the parameters failed, nothing was written");
    // The identity only labels the file: a camera that cannot tell it still exports its values.
    camera::CameraIdentity identity;
    if (camera.ReadIdentity(identity) != 0) identity.clear();
    const std::string text = protocol::ProfileJsonText(rec, IdentityText(identity, "ProductModel"),
                                                       IdentityText(identity, "Serial"), UtcNow());
    std::string why;
    r = platform::WriteFileAtomically(o.args[0], text, &why);
    if (r != 0)
        return ReportFailure(err, r, "could not write " + o.args[0] + (why.empty() ? "" : ": " + why) +
                                         " (any earlier file is unchanged)");
    if (o.json)
        out << JsonObject().Add("file", o.args[0]).Add("format", "json").Add("bytes", text.size()).Text() << '\n';
    else
        out << "exported " << protocol::ProfileFields().size() << " members to " << o.args[0] << "\n";
    return kExitOk;
}

}  // namespace

bool IsProfileCommand(const CliOptions& o) {
    return o.command == "diff" || o.command == "apply" ||
           (o.command == "export" && o.args.size() == 1 && IsJsonName(o.args[0]));
}

bool IsFileDiff(const CliOptions& o) { return o.command == "diff" && o.args.size() == 2; }

int LoadProfileReporting(const std::string& path, protocol::Profile& profile, std::ostream& err) {
    protocol::ProfileError error;
    const int r = protocol::LoadProfile(path, profile, &error);
    if (r != 0) ReportFailure(err, r, path + ": " + TerminalText(error.message) + "; nothing was sent");
    return r;
}

int RunFileDiff(const CliOptions& o, std::ostream& out, std::ostream& err) {
    protocol::Profile left, right;
    if (LoadProfileReporting(o.args[0], left, err) != 0 || LoadProfileReporting(o.args[1], right, err) != 0)
        return kExitFailed;
    const std::vector<protocol::ProfileDifference> diffs = protocol::DiffProfiles(left, right);
    if (o.json) {
        out << JsonObject()
                   .Add("left", o.args[0])
                   .Add("right", o.args[1])
                   .Add("different", diffs.size())
                   .AddRaw("members", DifferencesJson(diffs, "left", "right"))
                   .Text()
            << '\n';
    } else {
        PrintDifferences(diffs, out);
    }
    return diffs.empty() ? kExitOk : kExitDifferent;
}

int RunProfileCommand(const CliOptions& o, camera::Camera& camera, std::ostream& out, std::ostream& err) {
    if (o.command == "export") return ExportJson(o, camera, out, err);
    if (o.args.size() != 1)
        return Usage(err, o.command == "apply" ? "apply needs one PROFILE" : "diff needs one or two PROFILE files");
    return o.command == "apply" ? CameraApply(o, camera, out, err) : CameraDiff(o, camera, out, err);
}

std::string ApplyReportJson(const camera::ApplyReport& report) {
    JsonArray members;
    for (const camera::ApplyMember& m : report.members) {
        JsonObject j;
        j.Add("member", m.field->member).Add("outcome", ApplyOutcomeName(m.outcome));
        j.Add("before", m.before).Add("wanted", m.wanted);
        if (m.after) j.Add("after", *m.after);
        if (m.outcome == camera::ApplyOutcome::Refused) j.Add("code", m.code);
        if (!m.reason.empty()) j.Add("reason", m.reason);
        members.AddRaw(j.Text());
    }
    JsonObject counts;
    for (camera::ApplyOutcome o :
         {camera::ApplyOutcome::Confirmed, camera::ApplyOutcome::Adjusted, camera::ApplyOutcome::Refused,
          camera::ApplyOutcome::Skipped, camera::ApplyOutcome::Unverified})
        counts.Add(camera::ApplyOutcomeName(o), report.Count(o));
    return JsonObject()
        .Add("result", report.result)
        .AddBool("whole_record", report.wholeRecord)
        .Add("unchanged", report.unchanged)
        .AddRaw("counts", counts.Text())
        .AddRaw("members", members.Text())
        .Text();
}

void PrintApplyReport(const camera::ApplyReport& report, std::ostream& out) {
    for (const camera::ApplyMember& m : report.members) {
        out << m.field->member << '\t' << ApplyOutcomeName(m.outcome) << '\t';
        switch (m.outcome) {
        case camera::ApplyOutcome::Confirmed: out << m.before << " -> " << m.wanted; break;
        case camera::ApplyOutcome::Adjusted:
            out << m.before << " -> " << m.wanted << ", the camera keeps " << *m.after;
            break;
        case camera::ApplyOutcome::Refused: out << "error " << m.code; break;
        case camera::ApplyOutcome::Skipped: out << m.reason; break;
        case camera::ApplyOutcome::Unverified:
            out << "sent, but reading back failed (" << report.readBackResult << ")";
            break;
        }
        out << '\n';
    }
    out << "applied: " << report.Count(camera::ApplyOutcome::Confirmed) << " confirmed, "
        << report.Count(camera::ApplyOutcome::Adjusted) << " adjusted, " << report.Count(camera::ApplyOutcome::Refused)
        << " refused, " << report.Count(camera::ApplyOutcome::Skipped) << " skipped, " << report.unchanged
        << " already equal" << (report.wholeRecord ? " (sent as the whole record)" : "") << '\n';
}

int ApplyExitStatus(const camera::ApplyReport& report) {
    if (report.Failed()) return kExitFailed;
    return report.result == 0 ? kExitOk : kExitDifferent;
}

}  // namespace velmora::cli
