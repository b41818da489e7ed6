#include "fleet/keep_session.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <map>

#include "platform/text.h"

namespace velmora::fleet {
namespace {

using Clock = std::chrono::steady_clock;

bool Readable(int fd) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, 0) > 0 && (p.revents & (POLLIN | POLLHUP | POLLERR)) != 0;
}

}  // namespace

const char* KeepEventName(KeepEvent::Kind kind) {
    switch (kind) {
    case KeepEvent::Kind::Arrived: return "arrived";
    case KeepEvent::Kind::InStep: return "in-step";
    case KeepEvent::Kind::Drift: return "drift";
    case KeepEvent::Kind::Applied: return "applied";
    case KeepEvent::Kind::Adjusted: return "adjusted";
    case KeepEvent::Kind::Refused: return "refused";
    case KeepEvent::Kind::Left: return "left";
    case KeepEvent::Kind::Reloaded: return "reloaded";
    case KeepEvent::Kind::ReloadFailed: return "reload-failed";
    }
    return "?";
}

struct KeepSession::Tracked {
    camera::UsbListing listing;
    const KeepRule* rule = nullptr;
    std::shared_ptr<camera::UsbCamera> camera;
    Clock::time_point due;
};

KeepSession::KeepSession(camera::CameraDirectory& directory, KeepRules rules, std::chrono::milliseconds interval,
                         Sink sink)
    : directory_(directory), rules_(std::move(rules)), interval_(interval), sink_(std::move(sink)) {}

void KeepSession::SetReload(int reloadFd, Loader loader) {
    reloadFd_ = reloadFd;
    loader_ = std::move(loader);
}

void KeepSession::Match(Tracked& t) {
    const transport::UsbDeviceEntry& e = t.listing.entry;
    t.rule = rules_.Find(platform::FieldText(e.serial, sizeof e.serial),
                         platform::FieldText(e.productModel, sizeof e.productModel));
    if (t.rule && !t.camera) t.camera = directory_.UsbCameraByKey(t.listing.key);
    if (!t.camera) t.rule = nullptr;  // nothing to keep it with: left alone
}

void KeepSession::Reload(std::map<std::string, Tracked>& tracked) {
    char drained[128];  // one signalfd record, or an eventfd count
    [[maybe_unused]] const ssize_t n = ::read(reloadFd_, drained, sizeof drained);
    KeepRules fresh;
    KeepEvent event;
    const int r = loader_ ? loader_(fresh, event.message) : -1;
    if (r != 0) {
        event.kind = KeepEvent::Kind::ReloadFailed;
        Emit(event);
        return;
    }
    // The tracked cameras point into the old rules: each is matched again before anything else.
    rules_ = std::move(fresh);
    for (auto& [path, t] : tracked) {
        Match(t);
        t.due = Clock::now();  // checked against the new profile at once
    }
    event.kind = KeepEvent::Kind::Reloaded;
    event.ruleCount = rules_.rules.size();
    Emit(event);
}

KeepSession::~KeepSession() {
    if (wakeFd_ >= 0) ::close(wakeFd_);
}

void KeepSession::OnArrival(const camera::UsbArrival& arrival) {
    {
        std::lock_guard lock(mu_);
        arrivals_.push_back(arrival);
    }
    const uint64_t one = 1;
    // An eventfd counter does not fill up in practice; the queue is read on the next wake-up anyway.
    [[maybe_unused]] const ssize_t n = ::write(wakeFd_, &one, sizeof one);
}

void KeepSession::Emit(KeepEvent& event) {
    event.time = std::chrono::system_clock::now();
    if (sink_) sink_(event);
}

void KeepSession::Check(Tracked& t) {
    camera::ApplyReport report;
    const int r = camera::VerifiedApply(*t.camera, t.rule->profile, report);
    KeepEvent event;
    event.camera = t.listing;
    event.rule = t.rule;
    event.report = &report;
    if (report.readResult != 0) {
        event.kind = KeepEvent::Kind::Refused;
        event.code = report.readResult;
        Emit(event);
        return;
    }
    if (report.members.empty()) {
        event.kind = KeepEvent::Kind::InStep;
        Emit(event);
        return;
    }
    event.kind = KeepEvent::Kind::Drift;
    Emit(event);
    const auto refused = std::find_if(report.members.begin(), report.members.end(), [](const camera::ApplyMember& m) {
        return m.outcome == camera::ApplyOutcome::Refused;
    });
    if (report.Failed()) {
        event.kind = KeepEvent::Kind::Refused;
        event.code = refused != report.members.end() ? refused->code
                     : report.readBackResult != 0   ? report.readBackResult
                                                    : r;
    } else if (report.Count(camera::ApplyOutcome::Adjusted) > 0) {
        event.kind = KeepEvent::Kind::Adjusted;
    } else {
        event.kind = KeepEvent::Kind::Applied;
    }
    Emit(event);
}

int KeepSession::Run(int stopFd, std::unique_ptr<transport::DeviceWatcher> watcher) {
    wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd_ < 0) return -errno;
    const int started =
        directory_.StartWatching([this](const camera::UsbArrival& a) { OnArrival(a); }, std::move(watcher));
    if (started != 0) return started;

    std::map<std::string, Tracked> tracked;  // present cameras by device path
    for (;;) {
        int timeout = -1;
        const Clock::time_point now = Clock::now();
        for (const auto& [path, t] : tracked) {
            if (!t.rule) continue;
            const auto wait = std::chrono::ceil<std::chrono::milliseconds>(std::max(t.due - now, Clock::duration::zero()));
            const int ms = static_cast<int>(std::min<int64_t>(wait.count(), 24 * 3600 * 1000));
            timeout = timeout < 0 ? ms : std::min(timeout, ms);
        }
        pollfd fds[3] = {{stopFd, POLLIN, 0}, {wakeFd_, POLLIN, 0}, {reloadFd_, POLLIN, 0}};
        if (::poll(fds, reloadFd_ >= 0 ? 3 : 2, timeout) < 0 && errno != EINTR) break;
        if (fds[0].revents) break;
        if (fds[1].revents) {
            uint64_t count = 0;
            [[maybe_unused]] const ssize_t n = ::read(wakeFd_, &count, sizeof count);
        }
        if (reloadFd_ >= 0 && fds[2].revents) Reload(tracked);
        std::vector<camera::UsbArrival> arrivals;
        {
            std::lock_guard lock(mu_);
            arrivals.swap(arrivals_);
        }
        bool stop = false;
        for (const camera::UsbArrival& a : arrivals) {
            if ((stop = Readable(stopFd))) break;
            KeepEvent event;
            event.camera = a.listing;
            if (!a.arrived) {
                auto it = tracked.find(a.listing.path);
                if (it == tracked.end()) continue;
                event.kind = KeepEvent::Kind::Left;
                event.rule = it->second.rule;
                tracked.erase(it);
                Emit(event);
                continue;
            }
            Tracked t;
            t.listing = a.listing;
            const transport::UsbDeviceEntry& e = a.listing.entry;
            event.kind = KeepEvent::Kind::Arrived;
            event.rule = rules_.Find(platform::FieldText(e.serial, sizeof e.serial),
                                     platform::FieldText(e.productModel, sizeof e.productModel));
            event.identifyResult = a.result;
            Emit(event);
            Match(t);
            Tracked& placed = tracked[a.listing.path] = std::move(t);
            if (placed.rule) {
                Check(placed);
                placed.due = Clock::now() + interval_;
            }
        }
        if (stop) break;
        for (auto& [path, t] : tracked) {
            if (!t.rule || Clock::now() < t.due) continue;
            if ((stop = Readable(stopFd))) break;
            Check(t);
            t.due = Clock::now() + interval_;
        }
        if (stop) break;
    }
    directory_.StopWatching();
    return 0;
}

}  // namespace velmora::fleet
