#pragma once

#include <chrono>
#include <functional>
#include <map>
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
// The rules can be read again while the session runs (SetReload; velmora-cli does it on SIGHUP):
// every present camera is then matched against the new rules and checked at once; rules that
// cannot be read leave the rules in force.
//
// Thread rules: Run runs on one thread and calls the sink and the loader there; the watcher's
// thread only queues arrivals and wakes Run. Run returns once `stopFd` becomes readable, between two checks
// (a check in progress finishes its exchanges first), after the watcher has been stopped and
// joined, so nothing of the session runs after Run returns.
namespace velmora::fleet {

struct KeepEvent {
    enum class Kind { Arrived, InStep, Drift, Applied, Adjusted, Refused, Left, Reloaded, ReloadFailed };
    Kind kind = Kind::Arrived;
    std::chrono::system_clock::time_point time;
    camera::UsbListing camera;                    // identity as listed (name in CP936)
    const KeepRule* rule = nullptr;               // null: no rule (arrived only)
    int identifyResult = 0;                       // arrived: the identity read's code (0: it answered)
    const camera::ApplyReport* report = nullptr;  // drift, applied, adjusted, refused (the check's report)
    int code = 0;                                 // refused: the first member's refusal or the read's failure
    size_t ruleCount = 0;                         // reloaded: the rules now in force (no camera)
    std::string message;                          // reload-failed: why (no camera)
};

// "arrived", "in-step", "drift", "applied", "adjusted", "refused", "left", "reloaded",
// "reload-failed".
const char* KeepEventName(KeepEvent::Kind kind);

class KeepSession {
public:
    using Sink = std::function<void(const KeepEvent&)>;
    // Reads the rules again: 0 and the rules, or a negative code and why, in one line.
    using Loader = std::function<int(KeepRules& rules, std::string& error)>;

    // `directory` must outlive the session.
    KeepSession(camera::CameraDirectory& directory, KeepRules rules, std::chrono::milliseconds interval, Sink sink);
    ~KeepSession();
    KeepSession(const KeepSession&) = delete;
    KeepSession& operator=(const KeepSession&) = delete;

    // Watches (through `watcher`, null: the directory's default) and keeps cameras until `stopFd`
    // is readable. 0, or the watcher's negative code when watching cannot start.
    int Run(int stopFd, std::unique_ptr<transport::DeviceWatcher> watcher = nullptr);

    // While Run runs, `reloadFd` becoming readable (a signalfd, an eventfd; what it holds is read
    // and dropped) makes it read the rules again with `loader`. Call before Run.
    void SetReload(int reloadFd, Loader loader);

private:
    struct Tracked;
    void OnArrival(const camera::UsbArrival& arrival);
    void Check(Tracked& t);
    void Emit(KeepEvent& event);
    // Takes rules the loader read, or says why not; present cameras are matched again.
    void Reload(std::map<std::string, Tracked>& tracked);
    // The rule of a camera as listed, and its object when it has one (else no rule).
    void Match(Tracked& t);

    camera::CameraDirectory& directory_;
    KeepRules rules_;
    int reloadFd_ = -1;
    Loader loader_;
    std::chrono::milliseconds interval_;
    Sink sink_;
    int wakeFd_ = -1;
    std::mutex mu_;                             // guards arrivals_
    std::vector<camera::UsbArrival> arrivals_;  // queued by the watcher's thread
};

}  // namespace velmora::fleet
