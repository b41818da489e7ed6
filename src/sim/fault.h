#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velmora::sim {

// One injected fault of a simulated USB camera, written as
//   KIND[=VALUE][,KEY=VALUE...]
// Kinds:
//   refuse=CODE        refuse the request (not applied): CODE in the status word and in nResult
//   refuse-status=CODE only in the status word (the body says nResult 0)
//   refuse-result=CODE only in nResult (status word 0)
//   stall              never answer the request (later requests are served again)
//   stall=MS           answer only after MS milliseconds, reading nothing else meanwhile
//   bad-magic[=K]      reply reports from the K-th on (default 1) carry a wrong magic
//   not-json           the reply body is a text that is not JSON
//   split=N            reply payload cut into reports of at most N bytes
//   unplug=N           after the N-th matching exchange: close connections, remove the socket
//   slow-flash=MS      writing a firmware package takes MS milliseconds
//   neg-progress=CODE  upgrade data and progress replies report Progress CODE
//   never-flash        writing a firmware package never ends (UpdateStatus stays 1)
//   accept-empty       a firmware package of 0 bytes is accepted (and written at once)
//   no-status          upgrade data and progress replies leave out UpdateStatus (cmd= picks one)
//   rollback           after a reboot the camera runs its old firmware (the version is unchanged)
//   no-return          a rebooting camera never comes back
//   slow-return=MS     a rebooting camera stays away MS milliseconds (overrides --reboot-ms)
//   clamp=MEMBER:MIN..MAX  a set of MEMBER stores the value limited to MIN..MAX, answering success
//   ignore=MEMBER      a set of MEMBER answers success and keeps the old value
// Keys (all optional):
//   cmd=ID        only exchanges with this HID command id match
//   after=N       the first N matching exchanges are left alone
//   times=N       the fault acts at most N times
//   replug=MS     with unplug: the camera comes back MS milliseconds later
//   phase=data|progress   with neg-progress or no-status: only data replies (3004) or progress
//                 replies (40001207)
struct Fault {
    enum class Kind {
        Refuse, Stall, BadMagic, NotJson, Split, Unplug, SlowFlash, NegativeProgress, NeverFlash, AcceptEmpty, NoStatus,
        Clamp, Ignore, Rollback, NoReturn, SlowReturn
    };
    enum class Where { Both, Status, Result };

    Kind kind = Kind::Refuse;
    int64_t value = 0;          // code, milliseconds, report index, chunk size or exchange count
    bool forever = false;       // stall without a value
    Where where = Where::Both;  // refuse variants
    std::optional<uint32_t> command;
    int64_t after = 0;
    int64_t times = -1;         // -1: unlimited
    int64_t replugMs = -1;      // -1: stays unplugged
    std::optional<uint32_t> phaseCommand;  // neg-progress or no-status restricted to one command
    std::string member;         // clamp, ignore: the parameter (as the camera spells it)
    int64_t min = 0, max = 0;   // clamp

    // Runtime counters (per camera, not shared).
    int64_t matched = 0;
    int64_t fired = 0;
};

// Parses one fault text. Returns 0, or -1 with a message in `error`.
int ParseFault(std::string_view text, Fault* out, std::string* error);

// What the faults decided for one exchange.
struct ExchangePlan {
    bool refuse = false;
    int32_t refuseStatus = 0;
    int32_t refuseResult = 0;
    bool swallow = false;   // stall forever
    int64_t delayMs = 0;    // stall=MS
    size_t badMagicFrom = 0;
    bool notJson = false;
    size_t split = 0;
    bool negativeProgress = false;
    int32_t progressCode = 0;
    bool dropStatus = false;  // no-status
    bool unplug = false;
    int64_t replugMs = -1;
};

// Runs the faults of one camera against an exchange with `command`, advancing their counters.
// Thread-bound: the camera's serving thread owns the vector.
ExchangePlan PlanExchange(std::vector<Fault>& faults, uint32_t command);

// The flashing time set by a slow-flash fault, if any.
std::optional<int> SlowFlashMs(const std::vector<Fault>& faults);
// How long a reboot keeps the camera away: -1 for no-return, a slow-return's time, else `normal`.
int64_t RebootAwayMs(const std::vector<Fault>& faults, int64_t normal);

// Whether the fault acts on the camera's state rather than on exchanges.
bool IsModelFault(Fault::Kind kind);

// Gives the camera model the clamp and ignore faults among `faults`.
class CameraModel;
void ApplyParamFaults(const std::vector<Fault>& faults, CameraModel& model);

// Whether a fault of this kind is among `faults` (for the kinds applied to the camera itself).
bool HasFault(const std::vector<Fault>& faults, Fault::Kind kind);

}  // namespace velmora::sim
