#include "transport/usb/device_watcher.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <libudev.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <map>
#include <optional>
#include <set>
#include <thread>

#include "platform/unique_fd.h"
#include "platform/zeb_log.h"

namespace velmora::transport {

namespace {

using Clock = std::chrono::steady_clock;

// What a backend tells the shared loop: a device's presence as seen just now.
struct Observation {
    std::string path;
    bool present = false;
};

// The thread, the wake-up and the debounce both backends share. A backend gives the descriptor
// to wait on, reads what changed when it is readable, and lists what is present at start.
class WatcherBase : public DeviceWatcher {
public:
    explicit WatcherBase(std::chrono::milliseconds settle) : settle_(settle) {}
    ~WatcherBase() override { Stop(); }

    int Start(Sink sink) override {
        if (thread_.joinable()) return -EBUSY;
        wake_.reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
        if (!wake_) return -errno;
        if (int r = Open(); r != 0) return r;
        sink_ = std::move(sink);
        for (Observation& o : Present()) Note(std::move(o));
        thread_ = std::thread([this] { Run(); });
        return 0;
    }

    void Stop() override {
        if (!thread_.joinable()) return;
        const uint64_t one = 1;
        (void)!::write(wake_.get(), &one, sizeof one);
        thread_.join();
        Close();
    }

protected:
    virtual int Open() = 0;
    virtual void Close() = 0;
    virtual int Fd() const = 0;
    virtual std::vector<Observation> Drain() = 0;
    virtual std::vector<Observation> Present() = 0;

private:
    void Note(Observation o) {
        Pending& p = pending_[o.path];
        // A device seen gone within the settle time is a new device when it is back: a camera
        // that reboots quickly must still be announced as leaving and arriving.
        p.wentAway = p.wentAway || !o.present;
        p.present = o.present;
        p.due = Clock::now() + settle_;
    }

    void Run() {
        for (;;) {
            int timeout = -1;
            const auto now = Clock::now();
            for (const auto& [path, p] : pending_) {
                const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(p.due - now).count();
                const int ms = static_cast<int>(std::max<long long>(0, left));
                timeout = timeout < 0 ? ms : std::min(timeout, ms);
            }
            pollfd fds[2] = {{wake_.get(), POLLIN, 0}, {Fd(), POLLIN, 0}};
            const int n = ::poll(fds, 2, timeout);
            if (n < 0 && errno != EINTR) {
                platform::LogLine(4, {}, "device watcher: poll failed: %s", std::strerror(errno));
                return;
            }
            if (fds[0].revents) return;  // Stop
            if (fds[1].revents & POLLIN) {
                for (Observation& o : Drain()) Note(std::move(o));
            }
            AnnounceSettled();
        }
    }

    void AnnounceSettled() {
        const auto now = Clock::now();
        for (auto it = pending_.begin(); it != pending_.end();) {
            if (it->second.due > now) {
                ++it;
                continue;
            }
            const bool present = it->second.present;
            const bool known = announced_.count(it->first) != 0;
            if (present && known && it->second.wentAway) {
                sink_(DeviceChange{DeviceChange::Kind::Left, it->first});
                sink_(DeviceChange{DeviceChange::Kind::Arrived, it->first});
            } else if (present != known) {
                if (present) {
                    announced_.insert(it->first);
                } else {
                    announced_.erase(it->first);
                }
                sink_(DeviceChange{present ? DeviceChange::Kind::Arrived : DeviceChange::Kind::Left, it->first});
            }
            it = pending_.erase(it);
        }
    }

    struct Pending {
        bool present = false;
        bool wentAway = false;  // seen absent since the last announcement
        Clock::time_point due;
    };

    std::chrono::milliseconds settle_;
    Sink sink_;
    platform::UniqueFd wake_;
    std::thread thread_;
    std::map<std::string, Pending> pending_;  // the watcher thread's, and Start's before it runs
    std::set<std::string> announced_;
};

// ---- the simulator's folder ----

class SimFolderWatcher final : public WatcherBase {
public:
    SimFolderWatcher(std::string dir, std::chrono::milliseconds settle) : WatcherBase(settle), dir_(std::move(dir)) {
        if (!dir_.empty() && dir_.back() == '/') dir_.pop_back();
    }
    ~SimFolderWatcher() override { Stop(); }

private:
    int Open() override {
        fd_.reset(::inotify_init1(IN_CLOEXEC | IN_NONBLOCK));
        if (!fd_) return -errno;
        if (::inotify_add_watch(fd_.get(), dir_.c_str(),
                                IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_CLOSE_WRITE) < 0) {
            const int e = errno;
            fd_.reset();
            return -e;
        }
        return 0;
    }
    void Close() override { fd_.reset(); }
    int Fd() const override { return fd_.get(); }

    // A camera is there while its socket and its description both are.
    bool PresentNow(const std::string& base) const {
        struct stat st {};
        return ::stat((base + ".sock").c_str(), &st) == 0 && S_ISSOCK(st.st_mode) &&
               ::stat((base + ".json").c_str(), &st) == 0 && S_ISREG(st.st_mode);
    }

    static std::optional<std::string> BaseName(std::string_view name) {
        for (std::string_view suffix : {std::string_view(".sock"), std::string_view(".json")}) {
            if (name.size() > suffix.size() && name.substr(name.size() - suffix.size()) == suffix)
                return std::string(name.substr(0, name.size() - suffix.size()));
        }
        return std::nullopt;
    }

    std::vector<Observation> Drain() override {
        std::set<std::string> touched;
        std::set<std::string> removed;  // a file went: the device was away, if only briefly
        alignas(inotify_event) char buffer[8192];
        for (;;) {
            const ssize_t n = ::read(fd_.get(), buffer, sizeof buffer);
            if (n <= 0) break;
            for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(inotify_event)) <= n;) {
                const auto* e = reinterpret_cast<const inotify_event*>(buffer + at);
                if (e->len > 0) {
                    if (auto base = BaseName(std::string_view(e->name, strnlen(e->name, e->len)))) {
                        touched.insert(dir_ + "/" + *base);
                        if (e->mask & (IN_DELETE | IN_MOVED_FROM)) removed.insert(dir_ + "/" + *base);
                    }
                }
                at += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
            }
        }
        std::vector<Observation> out;
        for (const std::string& base : touched) {
            if (removed.count(base) != 0) out.push_back({base + ".sock", false});
            out.push_back({base + ".sock", PresentNow(base)});
        }
        return out;
    }

    std::vector<Observation> Present() override {
        std::vector<Observation> out;
        DIR* d = ::opendir(dir_.c_str());
        if (d == nullptr) return out;
        while (dirent* e = ::readdir(d)) {
            const std::string_view name(e->d_name);
            if (name.size() <= 5 || name.substr(name.size() - 5) != ".json") continue;
            const std::string base = dir_ + "/" + std::string(name.substr(0, name.size() - 5));
            if (PresentNow(base)) out.push_back({base + ".sock", true});
        }
        ::closedir(d);
        return out;
    }

    std::string dir_;
    platform::UniqueFd fd_;
};

// ---- udev ----

// The vendor id of a hidraw device from its parent HID device's HID_ID ("0003:00001703:00001234").
std::optional<uint16_t> HidVendorOf(udev_device* dev) {
    udev_device* hid = udev_device_get_parent_with_subsystem_devtype(dev, "hid", nullptr);
    const char* id = hid ? udev_device_get_property_value(hid, "HID_ID") : nullptr;
    if (id == nullptr) return std::nullopt;
    unsigned bus = 0, vendor = 0, product = 0;
    if (std::sscanf(id, "%x:%x:%x", &bus, &vendor, &product) != 3 || vendor > 0xFFFF) return std::nullopt;
    return static_cast<uint16_t>(vendor);
}

class UdevWatcher final : public WatcherBase {
public:
    UdevWatcher(std::vector<uint16_t> vendorIds, std::chrono::milliseconds settle)
        : WatcherBase(settle), vendors_(std::move(vendorIds)) {}
    ~UdevWatcher() override { Stop(); }

private:
    int Open() override {
        udev_ = udev_new();
        if (udev_ == nullptr) return -ENOMEM;
        monitor_ = udev_monitor_new_from_netlink(udev_, "udev");
        if (monitor_ == nullptr || udev_monitor_filter_add_match_subsystem_devtype(monitor_, "hidraw", nullptr) < 0 ||
            udev_monitor_enable_receiving(monitor_) < 0) {
            Close();
            return -EIO;
        }
        return 0;
    }
    void Close() override {
        if (monitor_) udev_monitor_unref(monitor_);
        if (udev_) udev_unref(udev_);
        monitor_ = nullptr;
        udev_ = nullptr;
    }
    int Fd() const override { return monitor_ ? udev_monitor_get_fd(monitor_) : -1; }

    bool Wanted(udev_device* dev) {
        const std::optional<uint16_t> vendor = HidVendorOf(dev);
        if (!vendor) return false;
        for (uint16_t v : vendors_)
            if (v == *vendor) return true;
        return false;
    }

    std::vector<Observation> Drain() override {
        std::vector<Observation> out;
        while (udev_device* dev = udev_monitor_receive_device(monitor_)) {
            const char* node = udev_device_get_devnode(dev);
            const char* action = udev_device_get_action(dev);
            if (node != nullptr && action != nullptr) {
                const std::string_view a(action);
                // A removed device has lost its parents' properties: the watcher answers for the
                // nodes it announced, whatever their vendor.
                if (a == "remove") {
                    out.push_back({node, false});
                } else if ((a == "add" || a == "change" || a == "bind") && Wanted(dev)) {
                    out.push_back({node, true});
                }
            }
            udev_device_unref(dev);
        }
        return out;
    }

    std::vector<Observation> Present() override {
        std::vector<Observation> out;
        udev_enumerate* e = udev_enumerate_new(udev_);
        if (e == nullptr) return out;
        udev_enumerate_add_match_subsystem(e, "hidraw");
        udev_enumerate_scan_devices(e);
        udev_list_entry* entry = nullptr;
        udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(e)) {
            udev_device* dev = udev_device_new_from_syspath(udev_, udev_list_entry_get_name(entry));
            if (dev == nullptr) continue;
            const char* node = udev_device_get_devnode(dev);
            if (node != nullptr && Wanted(dev)) out.push_back({node, true});
            udev_device_unref(dev);
        }
        udev_enumerate_unref(e);
        return out;
    }

    std::vector<uint16_t> vendors_;
    udev* udev_ = nullptr;
    udev_monitor* monitor_ = nullptr;
};

}  // namespace

std::unique_ptr<DeviceWatcher> MakeSimFolderWatcher(std::string dir, std::chrono::milliseconds settle) {
    return std::make_unique<SimFolderWatcher>(std::move(dir), settle);
}

std::unique_ptr<DeviceWatcher> MakeUdevWatcher(std::vector<uint16_t> vendorIds, std::chrono::milliseconds settle) {
    return std::make_unique<UdevWatcher>(std::move(vendorIds), settle);
}

std::unique_ptr<DeviceWatcher> MakeDefaultDeviceWatcher(std::vector<uint16_t> vendorIds,
                                                        std::chrono::milliseconds settle) {
    const char* dir = std::getenv("VELMORA_USB_SIM");
    struct stat st {};
    if (dir && *dir && ::stat(dir, &st) == 0 && S_ISDIR(st.st_mode)) return MakeSimFolderWatcher(dir, settle);
    return MakeUdevWatcher(std::move(vendorIds), settle);
}

}  // namespace velmora::transport
