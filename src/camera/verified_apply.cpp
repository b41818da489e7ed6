#include "camera/verified_apply.h"

#include <algorithm>

#include "protocol/ability_list.h"

namespace velmora::camera {
namespace {

int SendField(Camera& camera, const protocol::VideoParamField& field, int32_t value) {
    return camera.SetField(field, value);
}

// Why the ability list keeps the member from being sent, or empty when it may be sent.
std::string SkipReason(const protocol::AbilityList& list, const protocol::VideoParamField& field, int32_t value) {
    const protocol::AbilityItem* item = list.Find(field.member);
    if (item == nullptr) return {};
    if (item->display == 0) return "hidden by the camera's ability list";
    if (item->display == 2 || item->options.empty()) return {};
    const bool offered = std::any_of(item->options.begin(), item->options.end(),
                                     [&](const protocol::AbilityOption& o) { return o.value == value; });
    if (offered) return {};
    std::string choices;
    for (const protocol::AbilityOption& o : item->options)
        choices += (choices.empty() ? "" : ",") + std::to_string(o.value);
    return "not among the camera's choices (" + choices + ")";
}

void StoreField(protocol::VideoParam& rec, const protocol::VideoParamField& field, int32_t value) {
    if (field.width == 4) {
        WriteInt32LE(rec, field.offset, value);
    } else {
        rec.bytes[field.offset] = static_cast<uint8_t>(value);
    }
}

}  // namespace

const char* ApplyOutcomeName(ApplyOutcome outcome) {
    switch (outcome) {
    case ApplyOutcome::Confirmed: return "confirmed";
    case ApplyOutcome::Adjusted: return "adjusted";
    case ApplyOutcome::Refused: return "refused";
    case ApplyOutcome::Skipped: return "skipped";
    case ApplyOutcome::Unverified: return "unverified";
    }
    return "unknown";
}

size_t ApplyReport::Count(ApplyOutcome outcome) const {
    return static_cast<size_t>(
        std::count_if(members.begin(), members.end(), [&](const ApplyMember& m) { return m.outcome == outcome; }));
}

bool ApplyReport::Failed() const {
    return readResult != 0 || Count(ApplyOutcome::Refused) != 0 || Count(ApplyOutcome::Unverified) != 0;
}

int VerifiedApply(Camera& camera, const protocol::Profile& profile, ApplyReport& report) {
    report = ApplyReport{};
    protocol::VideoParam current;
    report.readResult = camera.ReadVideoParams(current);
    if (report.readResult != 0) {
        // Some reads answer a failed exchange with a fixed -1; the transport's code says more.
        const int exchange = camera.LastExchangeResult();
        if (report.readResult == -1 && exchange < 0) report.readResult = exchange;
        report.result = report.readResult < 0 ? report.readResult : -1;
        return report.result;
    }

    const std::vector<protocol::ProfileDifference> differences = protocol::DiffRecordProfile(current, profile);
    report.unchanged = profile.values.size() - differences.size();
    if (differences.empty()) return report.result = 0;

    protocol::AbilityList ability;
    report.abilityResult = camera.ReadAbilityList(ability);
    if (report.abilityResult != 0) ability.Clear();

    std::vector<size_t> toSend;
    for (const protocol::ProfileDifference& d : differences) {
        ApplyMember m;
        m.field = d.field;
        m.before = *d.left;
        m.wanted = *d.right;
        m.reason = SkipReason(ability, *d.field, m.wanted);
        if (m.reason.empty()) toSend.push_back(report.members.size());
        report.members.push_back(std::move(m));
    }

    report.wholeRecord = profile.whole && toSend.size() > kWholeRecordThreshold;
    if (report.wholeRecord) {
        protocol::VideoParam rec = current;
        for (size_t i : toSend) StoreField(rec, *report.members[i].field, report.members[i].wanted);
        const int r = camera.WriteVideoParams(rec);
        for (size_t i : toSend) {
            ApplyMember& m = report.members[i];
            // ucAEWeightLevel is not part of the whole-record set.
            const int sent = m.field->sendOrder < 0 && r >= 0 ? SendField(camera, *m.field, m.wanted) : r;
            m.outcome = sent < 0 ? ApplyOutcome::Refused : ApplyOutcome::Unverified;
            m.code = sent < 0 ? sent : 0;
        }
    } else {
        for (size_t i : toSend) {
            ApplyMember& m = report.members[i];
            const int r = SendField(camera, *m.field, m.wanted);
            m.outcome = r < 0 ? ApplyOutcome::Refused : ApplyOutcome::Unverified;
            m.code = r < 0 ? r : 0;
        }
    }

    protocol::VideoParam after;
    report.readBackResult = camera.ReadVideoParams(after);
    if (report.readBackResult == -1 && camera.LastExchangeResult() < 0)
        report.readBackResult = camera.LastExchangeResult();
    for (ApplyMember& m : report.members) {
        if (m.outcome != ApplyOutcome::Unverified || report.readBackResult != 0) continue;
        m.after = protocol::ReadFieldForSend(after, *m.field);
        m.outcome = *m.after == m.wanted ? ApplyOutcome::Confirmed : ApplyOutcome::Adjusted;
    }
    const bool allConfirmed = std::all_of(report.members.begin(), report.members.end(),
                                          [](const ApplyMember& m) { return m.outcome == ApplyOutcome::Confirmed; });
    return report.result = allConfirmed ? 0 : kApplyNotConfirmed;
}

}  // namespace velmora::camera
