#include "sim/fault.h"

#include <algorithm>
#include <climits>

#include "sim/camera_model.h"
#include "sim/parse_int.h"

namespace velmora::sim {
namespace {

std::string Range(int64_t min, int64_t max) { return std::to_string(min) + ".." + std::to_string(max); }

}  // namespace

int ParseFault(std::string_view text, Fault* out, std::string* error) {
    Fault f;
    auto fail = [&](std::string why) {
        if (error) *error = "fault '" + std::string(text) + "': " + why;
        return -1;
    };
    std::vector<std::string_view> parts;
    for (size_t start = 0;;) {
        size_t comma = text.find(',', start);
        parts.push_back(text.substr(start, comma == std::string_view::npos ? std::string_view::npos : comma - start));
        if (comma == std::string_view::npos) break;
        start = comma + 1;
    }
    auto split = [](std::string_view part, std::string_view* key, std::string_view* value) {
        size_t eq = part.find('=');
        *key = part.substr(0, eq);
        *value = eq == std::string_view::npos ? std::string_view{} : part.substr(eq + 1);
        return eq != std::string_view::npos;
    };

    std::string_view kind, value;
    const bool hasValue = split(parts[0], &kind, &value);
    auto needValue = [&](int64_t min, int64_t max) -> bool {
        return hasValue && ParseInt(value, min, max, &f.value);
    };
    if (kind == "refuse" || kind == "refuse-status" || kind == "refuse-result") {
        f.kind = Fault::Kind::Refuse;
        f.where = kind == "refuse" ? Fault::Where::Both
                  : kind == "refuse-status" ? Fault::Where::Status : Fault::Where::Result;
        if (!needValue(INT32_MIN, INT32_MAX) || f.value == 0) return fail("needs a non-zero code, e.g. refuse=-5");
    } else if (kind == "stall") {
        f.kind = Fault::Kind::Stall;
        if (!hasValue) f.forever = true;
        else if (!needValue(0, 3600000)) return fail("stall=MS needs " + Range(0, 3600000) + " milliseconds");
    } else if (kind == "bad-magic") {
        f.kind = Fault::Kind::BadMagic;
        f.value = 1;
        if (hasValue && !needValue(1, 1000000)) return fail("bad-magic=K needs a report index from 1");
    } else if (kind == "not-json") {
        f.kind = Fault::Kind::NotJson;
        if (hasValue) return fail("not-json takes no value");
    } else if (kind == "split") {
        f.kind = Fault::Kind::Split;
        if (!needValue(1, 65535)) return fail("split=N needs a payload size " + Range(1, 65535));
    } else if (kind == "unplug") {
        f.kind = Fault::Kind::Unplug;
        if (!needValue(1, INT32_MAX)) return fail("unplug=N needs an exchange count from 1");
    } else if (kind == "slow-flash") {
        f.kind = Fault::Kind::SlowFlash;
        if (!needValue(0, 86400000)) return fail("slow-flash=MS needs milliseconds");
    } else if (kind == "neg-progress") {
        f.kind = Fault::Kind::NegativeProgress;
        if (!needValue(INT32_MIN, -1)) return fail("neg-progress=CODE needs a negative code");
    } else if (kind == "no-status") {
        f.kind = Fault::Kind::NoStatus;
        if (hasValue) return fail("no-status takes no value");
    } else if (kind == "never-flash" || kind == "accept-empty") {
        f.kind = kind == "never-flash" ? Fault::Kind::NeverFlash : Fault::Kind::AcceptEmpty;
        if (hasValue) return fail(std::string(kind) + " takes no value");
    } else if (kind == "rollback" || kind == "no-return") {
        f.kind = kind == "rollback" ? Fault::Kind::Rollback : Fault::Kind::NoReturn;
        if (hasValue) return fail(std::string(kind) + " takes no value");
    } else if (kind == "slow-return") {
        f.kind = Fault::Kind::SlowReturn;
        if (!needValue(0, 3600000)) return fail("slow-return=MS needs " + Range(0, 3600000) + " milliseconds");
    } else if (kind == "clamp") {
        f.kind = Fault::Kind::Clamp;
        const size_t colon = value.find(':');
        const size_t dots = value.find("..", colon == std::string_view::npos ? 0 : colon);
        const ParamInfo* p = colon == std::string_view::npos ? nullptr : CameraModel::FindParam(value.substr(0, colon));
        if (p == nullptr || dots == std::string_view::npos ||
            !ParseInt(value.substr(colon + 1, dots - colon - 1), INT32_MIN, INT32_MAX, &f.min) ||
            !ParseInt(value.substr(dots + 2), INT32_MIN, INT32_MAX, &f.max) || f.min > f.max)
            return fail("clamp needs MEMBER:MIN..MAX with a parameter member and MIN <= MAX, e.g. clamp=Luminance:10..80");
        f.member = p->name;
    } else if (kind == "ignore") {
        f.kind = Fault::Kind::Ignore;
        const ParamInfo* p = CameraModel::FindParam(value);
        if (p == nullptr) return fail("ignore needs a parameter member, e.g. ignore=Contrast");
        f.member = p->name;
    } else {
        return fail("unknown kind '" + std::string(kind) + "'");
    }

    for (size_t i = 1; i < parts.size(); ++i) {
        std::string_view key, v;
        if (!split(parts[i], &key, &v)) return fail("expected KEY=VALUE, got '" + std::string(parts[i]) + "'");
        int64_t n = 0;
        if (key == "cmd") {
            if (!ParseInt(v, 0, UINT32_MAX, &n)) return fail("cmd needs a command id");
            f.command = static_cast<uint32_t>(n);
        } else if (key == "after") {
            if (!ParseInt(v, 0, INT64_MAX / 2, &n)) return fail("after needs a count from 0");
            f.after = n;
        } else if (key == "times") {
            if (!ParseInt(v, 1, INT64_MAX / 2, &n)) return fail("times needs a count from 1");
            f.times = n;
        } else if (key == "replug" && f.kind == Fault::Kind::Unplug) {
            if (!ParseInt(v, 0, 3600000, &n)) return fail("replug needs milliseconds");
            f.replugMs = n;
        } else if (key == "phase" &&
                   (f.kind == Fault::Kind::NegativeProgress || f.kind == Fault::Kind::NoStatus)) {
            if (v == "data") f.phaseCommand = 3004;
            else if (v == "progress") f.phaseCommand = 40001207;
            else return fail("phase is data or progress");
        } else {
            return fail("unknown key '" + std::string(key) + "'");
        }
    }
    *out = f;
    return 0;
}

ExchangePlan PlanExchange(std::vector<Fault>& faults, uint32_t command) {
    ExchangePlan plan;
    for (Fault& f : faults) {
        if (IsModelFault(f.kind)) continue;
        if (f.command && *f.command != command) continue;
        if (f.kind == Fault::Kind::NegativeProgress || f.kind == Fault::Kind::NoStatus) {
            const uint32_t only = f.phaseCommand.value_or(0);
            if (only ? command != only : (command != 3004 && command != 40001207)) continue;
        }
        if (f.times >= 0 && f.fired >= f.times) continue;
        ++f.matched;
        if (f.kind == Fault::Kind::Unplug) {
            if (f.matched < f.after + f.value) continue;
            f.matched = 0;  // after a replug the count starts again
            f.after = 0;
        } else if (f.matched <= f.after) {
            continue;
        }
        ++f.fired;
        switch (f.kind) {
        case Fault::Kind::Refuse: {
            const auto code = static_cast<int32_t>(f.value);
            plan.refuse = true;
            plan.refuseStatus = f.where == Fault::Where::Result ? 0 : code;
            plan.refuseResult = f.where == Fault::Where::Status ? 0 : code;
            break;
        }
        case Fault::Kind::Stall:
            if (f.forever) plan.swallow = true;
            else plan.delayMs = std::max(plan.delayMs, f.value);
            break;
        case Fault::Kind::BadMagic:
            plan.badMagicFrom = static_cast<size_t>(f.value);
            break;
        case Fault::Kind::NotJson:
            plan.notJson = true;
            break;
        case Fault::Kind::Split:
            plan.split = static_cast<size_t>(f.value);
            break;
        case Fault::Kind::Unplug:
            plan.unplug = true;
            plan.replugMs = f.replugMs;
            break;
        case Fault::Kind::NegativeProgress:
            plan.negativeProgress = true;
            plan.progressCode = static_cast<int32_t>(f.value);
            break;
        case Fault::Kind::NoStatus:
            plan.dropStatus = true;
            break;
        case Fault::Kind::SlowFlash:
        case Fault::Kind::NeverFlash:
        case Fault::Kind::AcceptEmpty:
        case Fault::Kind::Clamp:
        case Fault::Kind::Ignore:
        case Fault::Kind::Rollback:
        case Fault::Kind::NoReturn:
        case Fault::Kind::SlowReturn:
            break;
        }
    }
    return plan;
}

std::optional<int> SlowFlashMs(const std::vector<Fault>& faults) {
    std::optional<int> ms;
    for (const Fault& f : faults) {
        if (f.kind == Fault::Kind::SlowFlash) ms = static_cast<int>(f.value);
    }
    return ms;
}

int64_t RebootAwayMs(const std::vector<Fault>& faults, int64_t normal) {
    int64_t ms = normal;
    for (const Fault& f : faults) {
        if (f.kind == Fault::Kind::NoReturn) return -1;
        if (f.kind == Fault::Kind::SlowReturn) ms = f.value;
    }
    return ms;
}

bool IsModelFault(Fault::Kind kind) {
    return kind == Fault::Kind::SlowFlash || kind == Fault::Kind::NeverFlash || kind == Fault::Kind::AcceptEmpty ||
           kind == Fault::Kind::Clamp || kind == Fault::Kind::Ignore || kind == Fault::Kind::Rollback ||
           kind == Fault::Kind::NoReturn || kind == Fault::Kind::SlowReturn;
}

void ApplyParamFaults(const std::vector<Fault>& faults, CameraModel& model) {
    for (const Fault& f : faults) {
        if (f.kind == Fault::Kind::Clamp) model.AddClamp({f.member, f.min, f.max});
        if (f.kind == Fault::Kind::Ignore) model.AddIgnored(f.member);
    }
}

bool HasFault(const std::vector<Fault>& faults, Fault::Kind kind) {
    for (const Fault& f : faults)
        if (f.kind == kind) return true;
    return false;
}

}  // namespace velmora::sim
