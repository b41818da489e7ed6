#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "camera/camera_directory.h"
#include "camera/verified_apply.h"
#include "fleet/keep_rules.h"

// Keeps USB cameras at their profiles (velmora-cli keep). The session follows cameras through the
// directory's watcher (no polling of the cameras between rounds). When a camera arrives, and
// every `interval` after its last check for as long as it stays, a camera with a rule is checked:
// one verified apply of its profile (read, send what differs, read back). A camera without a rule
// is only identified (the watcher's one question) and never sent anything else.
//
// A check that fails (the camera refuses a member, or cannot be read) is tried again at the
// camera's next interval, never sooner; a camera that leaves and comes back is checked on its
// return. Checks run one camera at a time on the thread that calls Run.
//
// Thread rules: Run runs on one thread and calls the sink there; the watcher's thread only
// queues arrivals and wakes Run. Run returns once `stopFd` becomes readable, between two checks
// (a check in progress finishes its exchanges first), after the watcher has been stopped and
// joined, so nothing of the session runs after Run returns.
namespace velmora::fleet {

struct KeepEvent {
    enum class Kind { Arrived, InStep, Drift, Applied, Adjusted, Refused, Left };
    Kind kind = Kind::Arrived;
    std::chrono::system_clock::time_point time;
    UsbListing camera;                 // identity as listed (name in CP936)
    const KeepRule* rule = nullptr;    // null: no rule (arrived only)
    int identifyResult = 0;            // arrived: the identity read's code (0: it answered)
    const ApplyReport* report = nullptr;  // drift, applied, adjusted, refused (the check's report)
    int code = 0;                      // refused: the first member's refusal or the read's failure
};

// "arrived", "in-step", "drift", "applied", "adjusted", "refused", "left".
const char* KeepEventName(KeepEvent::Kind kind);

class KeepSession {
public:
    using Sink = std::function<void(const KeepEvent&)>;

    // `rules` and `directory` must outlive the session.
    KeepSession(CameraDirectory& directory, const KeepRules& rules, std::chrono::milliseconds interval, Sink sink);
    ~KeepSession();
    KeepSession(const KeepSession&) = delete;
    KeepSession& operator=(const KeepSession&) = delete;

    // Watches (through `watcher`, null: the directory's default) and keeps cameras until `stopFd`
    // is readable. 0, or the watcher's negative code when watching cannot start.
    int Run(int stopFd, std::unique_ptr<DeviceWatcher> watcher = nullptr);

private:
    struct Tracked;
    void OnArrival(const UsbArrival& arrival);
    void Check(Tracked& t);
    void Emit(KeepEvent& event);

    CameraDirectory& directory_;
    const KeepRules& rules_;
    std::chrono::milliseconds interval_;
    Sink sink_;
    int wakeFd_ = -1;
    std::mutex mu_;                    // guards arrivals_
    std::vector<UsbArrival> arrivals_;  // queued by the watcher's thread
};

}  // namespace velmora::fleet
