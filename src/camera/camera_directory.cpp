#include "camera/camera_directory.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace velmora::camera {

namespace {

std::string TextOf(const char* field, size_t size) { return std::string(field, strnlen(field, size)); }

}  // namespace

CameraDirectory::CameraDirectory(std::unique_ptr<transport::HidBackend> hid) : usb_(std::move(hid)) {
    usb_.SetVendorFilter(0, nullptr);  // the built-in vendor id until the caller names more
}

CameraDirectory::~CameraDirectory() {
    StopWatching();
    CloseAllNetwork();
    CloseUsb();
}

std::string CameraDirectory::UsbKeyOf(const transport::UsbDeviceEntry& entry, std::string_view path) {
    std::string serial = TextOf(entry.serial, sizeof entry.serial);
    if (!serial.empty()) return serial;
    return "path:" + std::string(path);
}

void CameraDirectory::SetVendorFilter(const std::vector<uint16_t>& ids) {
    usb_.SetVendorFilter(static_cast<int>(ids.size()), ids.data());
}

std::shared_ptr<UsbCamera> CameraDirectory::ObjectForLocked(const std::string& key) {
    auto it = usbObjects_.find(key);
    if (it != usbObjects_.end()) return it->second;
    auto camera = std::make_shared<UsbCamera>(usb_, 0);
    usbObjects_.emplace(key, camera);
    return camera;
}

void CameraDirectory::AdoptUsbLocked(const std::vector<transport::UsbDeviceEntry>& entries, int firstIndex) {
    // Every identity starts as gone; those found again get their new handle below. Two devices
    // that report one serial are told apart by path, so neither takes the other's object.
    for (auto& [key, camera] : usbObjects_) camera->Rebind(0);
    listing_.clear();
    int index = firstIndex;
    for (const transport::UsbDeviceEntry& entry : entries) {
        std::string path = usb_.DevicePath(entry.handle);
        std::string key = UsbKeyOf(entry, path);
        for (const UsbListing& earlier : listing_) {
            if (earlier.key == key) {
                key = "path:" + path;
                break;
            }
        }
        const std::shared_ptr<UsbCamera> camera = ObjectForLocked(key);
        camera->Rebind(entry.handle);
        camera->KeepIdentity(entry);
        listing_.push_back(UsbListing{index++, std::move(key), std::move(path), entry});
    }
}

int CameraDirectory::RefreshUsb() {
    std::lock_guard discovery(discoveryMu_);
    const int found = usb_.RefreshDevices();
    const std::vector<transport::UsbDeviceEntry> entries = usb_.GetDevices();
    const std::vector<transport::UsbNodeState> nodes = usb_.GetNodes();
    std::lock_guard lock(mu_);
    AdoptUsbLocked(entries, 1);
    // One numbering with `list` and --device: a node that could not be opened keeps its place,
    // so the cameras after it are numbered by their node.
    for (UsbListing& listed : listing_)
        for (size_t i = 0; i < nodes.size(); ++i)
            if (nodes[i].handle == listed.entry.handle) listed.index = static_cast<int>(i) + 1;
    return found;
}

std::vector<UsbListing> CameraDirectory::UsbCameras() const {
    std::lock_guard lock(mu_);
    return listing_;
}

std::shared_ptr<UsbCamera> CameraDirectory::UsbCameraByHandle(int32_t handle) {
    std::lock_guard lock(mu_);
    for (const UsbListing& listed : listing_) {
        if (listed.entry.handle == handle) return ObjectForLocked(listed.key);
    }
    return nullptr;
}

std::shared_ptr<UsbCamera> CameraDirectory::UsbCameraByKey(std::string_view key) {
    std::lock_guard lock(mu_);
    auto it = usbObjects_.find(key);
    return it != usbObjects_.end() ? it->second : nullptr;
}

int CameraDirectory::OpenUsbAt(int index, std::shared_ptr<UsbCamera>& camera, int* matching) {
    std::lock_guard discovery(discoveryMu_);
    int32_t handle = transport::kInvalidUsbHandle;
    const int r = usb_.OpenDeviceAt(index - 1, &handle, matching);
    if (r != 0) return r;
    std::lock_guard lock(mu_);
    for (const transport::UsbDeviceEntry& entry : usb_.GetDevices()) {
        if (entry.handle != handle) continue;
        camera = AdoptOneLocked(index, entry);
        return 0;
    }
    return transport::kUsbInvalidHandle;
}

std::shared_ptr<UsbCamera> CameraDirectory::AdoptOneLocked(int index, const transport::UsbDeviceEntry& opened) {
    transport::UsbDeviceEntry entry = opened;
    std::string path = usb_.DevicePath(entry.handle);
    std::string key = UsbKeyOf(entry, path);
    for (auto it = listing_.begin(); it != listing_.end(); ++it) {
        // The same device listed before (its identity read then, or opened on its own before):
        // it keeps its key and identity texts, and the old listing gives way to the new handle.
        if (it->path == path || it->key == key) {
            if (entry.serial[0] == '\0') {
                key = it->key;
                const int32_t handle = entry.handle;
                entry = it->entry;
                entry.handle = handle;
            }
            if (index == 0) index = it->index;
            listing_.erase(it);
            break;
        }
    }
    if (index == 0) index = static_cast<int>(listing_.size()) + 1;
    std::shared_ptr<UsbCamera> camera = ObjectForLocked(key);
    camera->Rebind(entry.handle);
    camera->KeepIdentity(entry);
    listing_.push_back(UsbListing{index, std::move(key), std::move(path), entry});
    return camera;
}

int CameraDirectory::OpenUsbBySerial(std::string_view serial, std::shared_ptr<UsbCamera>& camera, int* matching,
                                     std::vector<int>* sameSerial) {
    std::lock_guard discovery(discoveryMu_);
    int32_t handle = transport::kInvalidUsbHandle;
    const int r = usb_.OpenDeviceBySerial(serial, &handle, matching, sameSerial);
    if (r != 0) return r;
    std::lock_guard lock(mu_);
    for (const transport::UsbDeviceEntry& entry : usb_.GetDevices()) {
        if (entry.handle != handle) continue;
        camera = AdoptOneLocked(0, entry);
        return 0;
    }
    return transport::kUsbInvalidHandle;
}

void CameraDirectory::CloseUsb() {
    std::lock_guard discovery(discoveryMu_);
    usb_.CloseAll();
    std::lock_guard lock(mu_);
    for (auto& [key, camera] : usbObjects_) camera->Rebind(0);
    listing_.clear();
}

int CameraDirectory::StartWatching(UsbListener listener, std::unique_ptr<transport::DeviceWatcher> watcher) {
    StopWatching();
    if (!watcher) {
        std::vector<uint16_t> vendors;
        for (int slot = 0; slot < usb_.VendorCount(); ++slot) vendors.push_back(usb_.VendorId(slot));
        watcher = transport::MakeDefaultDeviceWatcher(std::move(vendors));
    }
    listener_ = std::move(listener);
    watcher_ = std::move(watcher);
    const int r = watcher_->Start([this](const transport::DeviceChange& change) { OnDeviceChange(change); });
    if (r != 0) watcher_.reset();
    return r;
}

void CameraDirectory::StopWatching() {
    if (watcher_) watcher_->Stop();
    watcher_.reset();
}

bool CameraDirectory::Watching() const { return watcher_ != nullptr; }

uint64_t CameraDirectory::UsbArrivalCount() const {
    std::lock_guard lock(mu_);
    return arrivalCount_;
}

CameraDirectory::ArrivalWait CameraDirectory::WaitForUsbArrival(std::string_view key, std::string_view path,
                                                                uint64_t after,
                                                                std::chrono::steady_clock::time_point deadline,
                                                                const std::atomic<bool>& stop, UsbListing& out) {
    std::unique_lock lock(mu_);
    const auto found = [&] {
        for (auto it = arrivals_.rbegin(); it != arrivals_.rend() && it->first > after; ++it) {
            if (it->second.key == key || (!path.empty() && it->second.path == path)) {
                out = it->second;
                return true;
            }
        }
        return false;
    };
    for (;;) {
        if (found()) return ArrivalWait::Arrived;
        if (stop.load()) return ArrivalWait::Stopped;
        if (arrivalCv_.wait_until(lock, deadline) == std::cv_status::timeout) {
            return found() ? ArrivalWait::Arrived : stop.load() ? ArrivalWait::Stopped : ArrivalWait::TimedOut;
        }
    }
}

void CameraDirectory::WakeUsbWaiters() {
    { std::lock_guard lock(mu_); }  // a waiter between its check and its wait sees the flag first
    arrivalCv_.notify_all();
}

void CameraDirectory::OnDeviceChange(const transport::DeviceChange& change) {
    UsbArrival event;
    event.arrived = change.kind == transport::DeviceChange::Kind::Arrived;
    {
        std::lock_guard discovery(discoveryMu_);
        std::unique_lock lock(mu_);
        auto listed = std::find_if(listing_.begin(), listing_.end(),
                                   [&](const UsbListing& l) { return l.path == change.path; });
        if (!event.arrived) {
            if (listed == listing_.end()) return;  // never listed: nothing to forget
            event.listing = *listed;
            listing_.erase(listed);
            if (auto it = usbObjects_.find(event.listing.key); it != usbObjects_.end()) it->second->Rebind(0);
            lock.unlock();
            usb_.CloseDevice(event.listing.entry.handle);
        } else {
            // Listed and still answering (found by a refresh before the watcher reported it):
            // nothing changed.
            if (listed != listing_.end() && usb_.ReportLength(listed->entry.handle) > 0) return;
            lock.unlock();
            int32_t handle = 0;
            event.result = usb_.OpenDevicePath(change.path, &handle);
            if (event.result != 0) return;  // gone again, or not one of ours
            transport::UsbDeviceEntry entry{};
            entry.handle = handle;
            event.result = usb_.IdentifyDevice(handle, entry);
            lock.lock();
            std::erase_if(listing_, [&](const UsbListing& l) { return l.path == change.path; });
            std::string key = UsbKeyOf(entry, change.path);
            const std::shared_ptr<UsbCamera> camera = ObjectForLocked(key);
            camera->Rebind(handle);
            camera->KeepIdentity(entry);
            const int index = static_cast<int>(listing_.size()) + 1;
            listing_.push_back(UsbListing{index, std::move(key), change.path, entry});
            event.listing = listing_.back();
            arrivals_.emplace_back(++arrivalCount_, event.listing);
            if (arrivals_.size() > kKeptArrivals) arrivals_.pop_front();
            lock.unlock();
            arrivalCv_.notify_all();
        }
    }
    if (listener_) listener_(event);
}

int CameraDirectory::OpenNetwork(const std::string& address, int port, const std::string& user,
                                 const std::string& password, std::shared_ptr<NetCamera>& camera, std::string& what) {
    std::lock_guard opening(netOpenMu_);
    if ((camera = NetworkCamera(address))) return 0;
    auto session = std::make_unique<NetSession>();
    const int r = session->Login(address, port, user, password, what);
    if (r != 0) return r;
    auto opened = std::make_shared<NetCamera>(session->handle(), session->address(), port, session->identity());
    std::lock_guard lock(mu_);
    netLogins_.emplace(address, NetLogin{std::move(session), opened});
    camera = std::move(opened);
    return 0;
}

std::shared_ptr<NetCamera> CameraDirectory::NetworkCamera(std::string_view address) const {
    std::lock_guard lock(mu_);
    auto it = netLogins_.find(address);
    return it != netLogins_.end() ? it->second.camera : nullptr;
}

bool CameraDirectory::CloseNetwork(std::string_view address) {
    NetLogin login;
    {
        std::lock_guard lock(mu_);
        auto it = netLogins_.find(address);
        if (it == netLogins_.end()) return false;
        login = std::move(it->second);
        netLogins_.erase(it);
    }
    login.session->LogOut();  // outside the lock: logging out waits for the camera
    return true;
}

void CameraDirectory::CloseAllNetwork() {
    std::map<std::string, NetLogin, std::less<>> logins;
    {
        std::lock_guard lock(mu_);
        logins.swap(netLogins_);
    }
    for (auto& [address, login] : logins) login.session->LogOut();
}

std::vector<std::string> CameraDirectory::OpenNetworkAddresses() const {
    std::lock_guard lock(mu_);
    std::vector<std::string> addresses;
    for (const auto& [address, login] : netLogins_) addresses.push_back(address);
    return addresses;
}

}  // namespace velmora::camera
