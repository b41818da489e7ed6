#include "transport/usb/cusb_device.h"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <string>
#include <system_error>
#include <thread>

#include "platform/codepage.h"
#include "platform/zeb_log.h"

namespace velmora::transport {


namespace {

// Handles come from one process-wide counter so that no id is ever handed out twice in a run, even
// across CUSBDevice instances.
std::atomic<int32_t> g_nextHandle{1};

// RefreshDevices asks at most this many cameras for their identity at once.
constexpr size_t kMaxIdentityWorkers = 4;
// How long an exchange waits for the reader to take a report that already reached the
// connection, and how many such rounds dropping stale input takes at most.
constexpr std::chrono::milliseconds kCatchUpLimit{200};
constexpr int kMaxCatchUps = 64;

int32_t NextHandle() {
    int32_t h = g_nextHandle.fetch_add(1);
    return h > 0 ? h : 0;  // 0 once the ids are used up: no device gets a recycled id
}

// Copies a device text into an entry field, cut to fit without splitting a UTF-8 character.
template <size_t N, size_t M>
void CopyField(char (&dst)[N], const char (&src)[M]) {
    platform::CopyUtf8Field(dst, N, std::string_view(src, strnlen(src, M)));
}

// The entry's texts from a device's identity: the name converted from UTF-8 to CP936, the others
// as they came; all cut to fit.
void StoreIdentity(UsbDeviceEntry& e, const protocol::UsbDeviceInfo& info) {
    const std::string_view utf8(info.DeviceName, strnlen(info.DeviceName, sizeof info.DeviceName));
    // Characters CP936 lacks become '?' instead of emptying the whole name.
    platform::CopyCp936Field(e.name, sizeof e.name, platform::Utf8ToCp936Replacing(utf8));
    platform::CopyUtf8Field(e.displayName, sizeof e.displayName, utf8);
    CopyField(e.productModel, info.ProductModel);
    CopyField(e.serial, info.Serial);
    CopyField(e.buildDate, info.BuildDate);
    CopyField(e.biosVersion, info.BiosVersion);
}

}  // namespace

// One reply report as the device's reader received it.
struct InboxReport {
    std::vector<uint8_t> bytes;
    bool oversized = false;  // longer than an input report: refused as malformed
};

// One open device: its connection and the long-lived reader that takes every report the device
// sends into the inbox, where exchanges pick up their replies. The connection is released when the
// last holder (the map or a running exchange) lets go; the reader is stopped and joined first, so
// a closed device's descriptor is never reused under a running exchange or the reader.
struct CUSBDevice::OpenDevice {
    int32_t handle = 0;
    std::string path;           // what the backend opened; names the device in log lines
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    int reportLength = 0;       // output report length: request framing
    int inputReportLength = 0;  // bytes read per reply report
    std::unique_ptr<HidConnection> conn;
    std::mutex exchangeMu;      // one exchange at a time on this device
    // Guarded by exchangeMu: the device refused this connection (busy notice), so every later
    // exchange on it gives -42; and a reply the device still owes to an exchange that timed out,
    // expected until owedUntil.
    bool refused = false;
    bool owed = false;
    std::chrono::steady_clock::time_point owedUntil;

    // The inbox, guarded by inboxMu. readerEnd is 0 while the reader runs, then the Read failure
    // that ended it (the device is gone or the connection closed).
    std::mutex inboxMu;
    std::condition_variable inboxCv;
    std::deque<InboxReport> inbox;
    int readerEnd = 0;
    bool notifyEach = false;  // an exchange waits for the reader to catch up: wake it for each report
    std::thread reader;

    ~OpenDevice() {
        if (conn) conn->Close();
        if (reader.joinable()) reader.join();
    }

    // Starts the reader. False when no thread could be had.
    bool StartReader() {
        try {
            reader = std::thread([this] { Read(); });
        } catch (const std::system_error&) {
            return false;
        }
        return true;
    }

    void Read() {
        std::vector<uint8_t> buffer(static_cast<size_t>(inputReportLength), 0);
        bool more = false;  // a report that is not a reply's last was just read
        for (;;) {
            std::unique_lock lock(inboxMu, std::defer_lock);
            int n = 0;
            if (more) {
                // Taken straight away if it is there (one system call, not a wait and a read),
                // under the inbox lock like every report.
                lock.lock();
                n = conn->ReadWaiting(buffer.data(), buffer.size());
                if (n == 0) lock.unlock();
            }
            if (n == 0) {
                // Where the backend can say a report waits, the report is read and put into the
                // inbox under one hold of the inbox lock: DropStale then sees every report that
                // has left the connection. Otherwise a report can be in flight between the two
                // for a moment.
                const int waited = conn->WaitInput();
                n = waited;
                if (waited > 0) {
                    lock.lock();
                    n = conn->Read(buffer.data(), buffer.size());
                } else {
                    if (waited == 0) n = conn->Read(buffer.data(), buffer.size());
                    lock.lock();
                }
            }
            if (n <= 0 && n != kHidOversized) {
                readerEnd = n;
                inboxCv.notify_all();
                return;
            }
            if (inbox.size() >= kMaxInboxReports) inbox.pop_front();  // nobody is listening: drop the oldest
            InboxReport& r = inbox.emplace_back();
            r.oversized = n == kHidOversized;
            if (!r.oversized) r.bytes.assign(buffer.begin(), buffer.begin() + n);
            // The waiting exchange only needs to look at the inbox when a report decides
            // something: a final, malformed or refused one. The others wait their turn there.
            ReplyHeader h;
            const bool decides = r.oversized || !PeekReplyHeader(r.bytes.data(), r.bytes.size(), h) || h.last ||
                                 IsBusyNotice(h) || h.payloadLength > n - kReplyPayloadOffset;
            if (notifyEach || decides) inboxCv.notify_all();
            more = !decides;  // more of this reply is on its way
        }
    }

    static constexpr size_t kMaxInboxReports = 4096;
};

CUSBDevice::CUSBDevice(std::unique_ptr<HidBackend> backend) : backend_(std::move(backend)) {}

CUSBDevice::~CUSBDevice() { CloseAll(); }

int CUSBDevice::SetVendorFilter(int count, const uint16_t* ids) {
    std::lock_guard lock(mu_);
    std::fill(std::begin(vendorIds_), std::end(vendorIds_), uint16_t{0});
    vendorIds_[0] = kDefaultUsbVendorId;
    vendorCount_ = 1;
    if (count > 0 && ids) {
        int n = std::min(count, 9);
        std::copy(ids, ids + n, vendorIds_ + 1);
        vendorCount_ += n;
    }
    return 1;
}

int CUSBDevice::VendorCount() const {
    std::lock_guard lock(mu_);
    return vendorCount_;
}

uint16_t CUSBDevice::VendorId(int slot) const {
    std::lock_guard lock(mu_);
    return (slot >= 0 && slot < 10) ? vendorIds_[slot] : 0;
}

int CUSBDevice::DeviceOpen() {
    std::lock_guard refresh(refreshMu_);
    return DeviceOpenLocked();
}

bool CUSBDevice::Matches(const HidDeviceDescriptor& d) const {
    std::lock_guard lock(mu_);
    for (int i = 0; i < vendorCount_; ++i) {
        if (vendorIds_[i] == d.vendorId) return true;
    }
    return false;
}

std::vector<HidDeviceDescriptor> CUSBDevice::EnumerateMatching() {
    std::vector<HidDeviceDescriptor> matching;
    if (!backend_) return matching;
    for (HidDeviceDescriptor& d : backend_->Enumerate()) {
        if (!Matches(d)) continue;
        if (d.outputReportLength < kMinReportLength || d.outputReportLength > kMaxReportLength) {
            // A report this small cannot carry the framing (and would never finish a request).
            platform::LogLine(3, {}, "%s: unusable report length %d, skipped", d.path.c_str(), d.outputReportLength);
            continue;
        }
        matching.push_back(std::move(d));
    }
    return matching;
}

std::shared_ptr<CUSBDevice::OpenDevice> CUSBDevice::OpenOne(const HidDeviceDescriptor& d, int matchedBefore,
                                                             bool startReader) {
    std::unique_ptr<HidConnection> conn = backend_->Open(d);
    if (!conn) return nullptr;
    int32_t handle = NextHandle();
    if (handle <= 0) {
        conn->Close();
        return nullptr;
    }
    platform::LogLine(2, {"CUSBDevice::DeviceOpen", 99},
                      "[%d]:handle=%d, vid=0x%x, pid=0x%x, OutputReportByteLength=%d", matchedBefore, handle,
                      d.vendorId, d.productId, d.outputReportLength);

    auto dev = std::make_shared<OpenDevice>();
    dev->handle = handle;
    dev->path = d.path;
    dev->vendorId = d.vendorId;
    dev->productId = d.productId;
    dev->reportLength = d.outputReportLength;
    int in = d.inputReportLength;
    dev->inputReportLength = (in >= kMinReportLength && in <= kMaxReportLength) ? in : d.outputReportLength;
    dev->conn = std::move(conn);
    if (startReader && !dev->StartReader()) {
        platform::LogLine(3, {}, "%s: no thread for its reader; device skipped", d.path.c_str());
        return nullptr;
    }
    return dev;
}

void CUSBDevice::Publish(const std::shared_ptr<OpenDevice>& dev, const protocol::UsbDeviceInfo* identity) {
    UsbDeviceEntry entry{};
    entry.handle = dev->handle;
    if (identity) StoreIdentity(entry, *identity);
    std::lock_guard lock(mu_);
    open_[dev->handle] = dev;
    devices_.push_back(entry);
}

int CUSBDevice::DeviceOpenLocked() {
    int matched = 0;
    for (const HidDeviceDescriptor& d : EnumerateMatching()) {
        std::shared_ptr<OpenDevice> dev = OpenOne(d, matched);
        {
            std::lock_guard lock(mu_);
            nodes_.push_back({d.path, dev ? dev->handle : 0, dev ? 0 : kUsbInvalidHandle, 0});
        }
        if (!dev) {
            platform::LogLine(3, {}, "%s: cannot be opened", d.path.c_str());
            continue;
        }
        Publish(dev, nullptr);
        ++matched;
    }
    return matched;
}

std::vector<UsbNodeState> CUSBDevice::GetNodes() const {
    std::lock_guard lock(mu_);
    return nodes_;
}

int CUSBDevice::OpenDeviceAt(int index, int32_t* handle, int* matching) {
    return OpenOneOf([index](const std::vector<HidDeviceDescriptor>& found) {
        return index >= 0 && static_cast<size_t>(index) < found.size() ? index : -1;
    }, handle, matching);
}

int CUSBDevice::OpenDevicePath(std::string_view path, int32_t* handle) {
    return OpenOneOf([path](const std::vector<HidDeviceDescriptor>& found) {
        for (size_t i = 0; i < found.size(); ++i)
            if (found[i].path == path) return static_cast<int>(i);
        return -1;
    }, handle, nullptr);
}

int CUSBDevice::OpenOneOf(const std::function<int(const std::vector<HidDeviceDescriptor>&)>& choose, int32_t* handle,
                          int* matching) {
    if (handle) *handle = 0;
    if (matching) *matching = 0;
    std::lock_guard refresh(refreshMu_);
    std::vector<HidDeviceDescriptor> found = EnumerateMatching();
    if (matching) *matching = static_cast<int>(found.size());
    const int index = choose(found);
    if (index < 0) return kUsbInvalidHandle;

    std::shared_ptr<OpenDevice> dev = OpenOne(found[static_cast<size_t>(index)], index, false);
    if (!dev) return kUsbInvalidHandle;
    // A device whose connections are all taken answers with its busy notice and closes. If that
    // has already arrived it costs nothing to notice here; otherwise the first exchange says so.
    bool busy = false;
    dev->conn->DiscardPending(static_cast<size_t>(dev->inputReportLength), [&busy](const uint8_t* r, size_t n) {
        ReplyHeader h;
        if (PeekReplyHeader(r, n, h) && IsBusyNotice(h)) busy = true;
    });
    if (busy) {
        platform::LogLine(3, {}, "%s: the device refused the connection, all its connections are taken",
                          dev->path.c_str());
        dev->conn->Close();
        return kUsbDeviceBusy;
    }
    if (!dev->StartReader()) return kUsbInvalidHandle;
    Publish(dev, nullptr);
    if (handle) *handle = dev->handle;
    return 0;
}

int CUSBDevice::OpenDeviceBySerial(std::string_view serial, int32_t* handle, int* matching, std::vector<int>* sameSerial) {
    if (sameSerial) sameSerial->clear();
    if (handle) *handle = 0;
    if (matching) *matching = 0;
    std::lock_guard refresh(refreshMu_);
    std::vector<HidDeviceDescriptor> found = EnumerateMatching();
    if (matching) *matching = static_cast<int>(found.size());
    if (serial.empty()) return kUsbInvalidHandle;

    // A busy camera cannot tell its serial number: when no other one matches, it may be the one.
    bool anyBusy = false;
    int32_t kept = 0;
    for (size_t i = 0; i < found.size(); ++i) {
        std::shared_ptr<OpenDevice> dev = OpenOne(found[i], static_cast<int>(i));
        if (!dev) continue;
        {
            // Reachable by its handle for the identity query, not listed yet.
            std::lock_guard lock(mu_);
            open_[dev->handle] = dev;
        }
        protocol::UsbDeviceInfo info{};
        const int asked = GetDeviceInfo(dev->handle, info);
        if (asked == kUsbDeviceBusy) anyBusy = true;
        const bool same = asked == 0 && std::string_view(info.Serial, strnlen(info.Serial, sizeof info.Serial)) == serial;
        if (same && sameSerial) sameSerial->push_back(static_cast<int>(i));
        bool keep = same && kept == 0;
        {
            std::lock_guard lock(mu_);
            auto it = open_.find(dev->handle);
            if (it == open_.end()) {
                keep = false;  // closed meanwhile by CloseDevice on another thread
            } else if (keep) {
                UsbDeviceEntry entry{};
                entry.handle = dev->handle;
                StoreIdentity(entry, info);
                devices_.push_back(entry);
            } else {
                open_.erase(it);
            }
        }
        if (keep) {
            kept = dev->handle;
            if (!sameSerial) break;  // the first is enough unless the caller wants to know of twins
            continue;
        }
        dev->conn->Close();
    }
    if (kept != 0) {
        if (handle) *handle = kept;
        return 0;
    }
    return anyBusy ? kUsbDeviceBusy : kUsbInvalidHandle;
}

void CUSBDevice::CloseAll() {
    std::lock_guard refresh(refreshMu_);
    CloseAllLocked();
}

void CUSBDevice::CloseAllLocked() {
    std::map<int32_t, std::shared_ptr<OpenDevice>> closing;
    {
        std::lock_guard lock(mu_);
        closing.swap(open_);
        devices_.clear();
        nodes_.clear();
    }
    // Wakes exchanges still running on these devices; they fail and release their hold.
    for (auto& [handle, dev] : closing) dev->conn->Close();
}

int CUSBDevice::CloseDevice(int32_t handle) {
    std::shared_ptr<OpenDevice> dev;
    {
        std::lock_guard lock(mu_);
        auto it = open_.find(handle);
        if (it == open_.end()) return kUsbInvalidHandle;
        dev = std::move(it->second);
        open_.erase(it);
    }
    dev->conn->Close();
    return 0;
}

int CUSBDevice::RefreshDevices() {
    std::lock_guard refresh(refreshMu_);
    CloseAllLocked();
    int count = DeviceOpenLocked();
    if (count <= 0) return count;

    // Each identity query waits for its camera's answer (or its failure); no fixed wait first
    // unless one is configured.
    Timing t = GetTiming();
    if (t.settleAfterOpen.count() > 0) std::this_thread::sleep_for(t.settleAfterOpen);

    std::vector<int32_t> handles;
    {
        std::lock_guard lock(mu_);
        for (const auto& e : devices_) handles.push_back(e.handle);
    }
    // The cameras are asked side by side (each device has its own reader, and a slow camera holds
    // up only its own worker); the list keeps the order DeviceOpen gave it.
    std::atomic<size_t> next{0};
    auto ask = [&] {
        for (size_t i = next++; i < handles.size(); i = next++) {
            protocol::UsbDeviceInfo info{};
            if (const int asked = GetDeviceInfo(handles[i], info); asked != 0) {
                {
                    std::lock_guard lock(mu_);
                    for (auto& n : nodes_)
                        if (n.handle == handles[i]) n.infoResult = asked;
                }
                std::this_thread::sleep_for(t.retryAfterFailedInfo);
                continue;  // the entry keeps empty texts and stays in the list
            }
            std::lock_guard lock(mu_);
            for (auto& e : devices_) {
                if (e.handle == handles[i]) StoreIdentity(e, info);
            }
        }
    };
    std::vector<std::thread> workers;
    const size_t helpers = std::min<size_t>(handles.size() / 8, kMaxIdentityWorkers - 1);
    for (size_t i = 0; i < helpers; ++i) {
        try {
            workers.emplace_back(ask);
        } catch (const std::system_error&) {
            break;  // fewer helpers: this thread asks the rest
        }
    }
    ask();
    for (std::thread& w : workers) w.join();
    return count;
}

int CUSBDevice::GetDeviceInfo(int32_t handle, protocol::UsbDeviceInfo& info) {
    std::vector<char> reply(1024, 0);
    int received = 0;
    int rc = Transfer(handle, protocol::kHidCmdDeviceInfo, nullptr, 0, reply.data(), static_cast<int>(reply.size()),
                      &received, 5);
    if (rc != 0) return rc;
    return protocol::ParseDeviceInfoReply(reply.data(), info);
}

int CUSBDevice::IdentifyDevice(int32_t handle, UsbDeviceEntry& entry) {
    protocol::UsbDeviceInfo info{};
    const int r = GetDeviceInfo(handle, info);
    std::lock_guard lock(mu_);
    for (auto& e : devices_) {
        if (e.handle != handle) continue;
        if (r == 0) StoreIdentity(e, info);
        entry = e;
    }
    return r;
}

int CUSBDevice::GetDeviceCount() const {
    std::lock_guard lock(mu_);
    return static_cast<int>(devices_.size());
}

bool CUSBDevice::GetDevice(int index, UsbDeviceEntry& entry) const {
    std::lock_guard lock(mu_);
    if (index < 0 || static_cast<size_t>(index) >= devices_.size()) return false;
    entry = devices_[static_cast<size_t>(index)];
    return true;
}

std::vector<UsbDeviceEntry> CUSBDevice::GetDevices() const {
    std::lock_guard lock(mu_);
    return devices_;
}

int CUSBDevice::ReportLength(int32_t handle) const {
    auto dev = FindDevice(handle);
    return dev ? dev->reportLength : kUsbInvalidHandle;
}

std::string CUSBDevice::DevicePath(int32_t handle) const {
    auto dev = FindDevice(handle);
    return dev ? dev->path : std::string();
}

void CUSBDevice::SetTiming(const Timing& timing) {
    std::lock_guard lock(mu_);
    timing_ = timing;
}

CUSBDevice::Timing CUSBDevice::GetTiming() const {
    std::lock_guard lock(mu_);
    return timing_;
}

std::shared_ptr<CUSBDevice::OpenDevice> CUSBDevice::FindDevice(int32_t handle) const {
    std::lock_guard lock(mu_);
    auto it = open_.find(handle);
    return it == open_.end() ? nullptr : it->second;
}

int CUSBDevice::Transfer(int32_t handle, uint32_t cmd, const void* data, int dataLen, void* reply, int replyCap,
                         int* received, int timeoutSeconds) {
    if (handle == kInvalidUsbHandle) return kUsbInvalidHandle;
    std::shared_ptr<OpenDevice> dev = FindDevice(handle);
    if (!dev) return kUsbInvalidHandle;
    if (dataLen < 0 || (dataLen > 0 && !data)) return kUsbWriteFailed;

    const Timing t = GetTiming();
    std::lock_guard exchange(dev->exchangeMu);
    if (dev->refused) return kUsbDeviceBusy;

    const std::chrono::milliseconds requestLimit =
        t.requestPhase.count() >= 0 ? t.requestPhase
                                    : std::chrono::milliseconds(int64_t{std::max(timeoutSeconds, 0)} * 1000);
    dev->conn->Rearm();

    // Other processes (and other CUSBDevice objects) talking to this device wait for each other:
    // on hidraw every open handle receives every reply.
    int locked = dev->conn->LockExchange(requestLimit);
    if (locked == kHidLockTimeout) {
        platform::LogLine(3, {}, "handle=%d, cmd=%d: %s is locked by another exchange; gave up after %lld ms", handle,
                static_cast<int>(cmd), dev->path.c_str(), static_cast<long long>(requestLimit.count()));
        return kUsbTimeout;
    }
    if (locked != 0) return kUsbWriteFailed;  // closed while waiting: as a write on a closed device
    struct Unlock {
        HidConnection* conn;
        ~Unlock() { conn->UnlockExchange(); }
    } unlock{dev->conn.get()};

    // The reply of an exchange that gave up, and anything else that came unasked, must not
    // answer this one.
    if ((dev->owed && SettleOwedReply(*dev)) || DropStale(*dev, cmd)) {
        dev->refused = true;
        return kUsbDeviceBusy;
    }

    const auto start = std::chrono::steady_clock::now();
    const int requestResult = WriteRequest(*dev, cmd, static_cast<const uint8_t*>(data), dataLen, start + requestLimit);

    // The reply is awaited whatever the request gave, so a late reply is taken off the inbox and
    // the next exchange starts in step; but it never turns a failed request into success.
    transport::ReplyAssembler assembler(static_cast<char*>(reply), reply ? std::max(replyCap, 0) : 0, received,
                                      dev->inputReportLength);
    bool busy = false;
    const int replyResult = TakeReply(*dev, cmd, assembler, std::chrono::steady_clock::now() + t.replyPhase, busy);
    if (busy) {
        // The device refused the connection; that is the answer even when the request could not
        // be written because the device had already closed it.
        dev->refused = true;
        return kUsbDeviceBusy;
    }
    if (replyResult == kUsbTimeout && requestResult == 0) {
        // The whole request reached the device, so its reply may still come: the next exchange
        // waits for it (within one more reply-phase time) and drops it.
        dev->owed = true;
        dev->owedUntil = std::chrono::steady_clock::now() + t.replyPhase;
        platform::LogLine(3, {}, "handle=%d, cmd=%d: no reply within %lld ms; the next exchange waits for it first",
                          handle, static_cast<int>(cmd), static_cast<long long>(t.replyPhase.count()));
    }
    return requestResult < 0 ? requestResult : replyResult;
}

bool CUSBDevice::SettleOwedReply(OpenDevice& dev) {
    std::unique_lock lock(dev.inboxMu);
    int dropped = 0;
    for (;;) {
        while (!dev.inbox.empty()) {
            InboxReport r = std::move(dev.inbox.front());
            dev.inbox.pop_front();
            ++dropped;
            ReplyHeader h;
            if (r.oversized || !PeekReplyHeader(r.bytes.data(), r.bytes.size(), h)) continue;
            if (IsBusyNotice(h)) return true;
            if (h.last) {
                dev.owed = false;
                platform::LogLine(3, {},
                                  "handle=%d: dropped the late reply of the exchange that timed out (%d report(s))",
                                  dev.handle, dropped);
                return false;
            }
        }
        if (dev.readerEnd != 0) break;  // the device is gone: the exchange finds out
        if (dev.inboxCv.wait_until(lock, dev.owedUntil) == std::cv_status::timeout && dev.inbox.empty()) {
            // Reports that reached the connection but not yet the reader still count.
            if (CatchUp(dev, lock)) continue;
            platform::LogLine(3, {}, "handle=%d: the reply owed to the exchange that timed out never came", dev.handle);
            break;
        }
    }
    dev.owed = false;
    return false;
}

bool CUSBDevice::CatchUp(OpenDevice& dev, std::unique_lock<std::mutex>& lock) {
    if (dev.readerEnd != 0) return false;
    lock.unlock();
    const bool waiting = dev.conn->InputWaiting();
    lock.lock();
    if (!waiting || !dev.inbox.empty()) return !dev.inbox.empty();
    // The reader is about to take it: wait for the next report it brings, briefly.
    dev.notifyEach = true;
    dev.inboxCv.wait_for(lock, kCatchUpLimit, [&dev] { return !dev.inbox.empty() || dev.readerEnd != 0; });
    dev.notifyEach = false;
    return !dev.inbox.empty();
}

bool CUSBDevice::DropStale(OpenDevice& dev, uint32_t cmd) {
    std::unique_lock lock(dev.inboxMu);
    bool busy = false;
    size_t dropped = 0;
    // What the reader holds, and what reached the connection but not yet the reader (bounded, so
    // a device that never stops talking cannot hold the exchange up).
    for (int round = 0; round < kMaxCatchUps && (!dev.inbox.empty() || CatchUp(dev, lock)); ++round) {
        dropped += dev.inbox.size();
        for (const InboxReport& r : dev.inbox) {
            ReplyHeader h;
            if (!r.oversized && PeekReplyHeader(r.bytes.data(), r.bytes.size(), h) && IsBusyNotice(h))
                busy = true;
        }
        dev.inbox.clear();
    }
    if (dropped == 0) return false;
    platform::LogLine(3, {}, "handle=%d, cmd=%d: dropped %zu stale report(s) before the request", dev.handle,
            static_cast<int>(cmd), dropped);
    if (busy)
        platform::LogLine(3, {}, "handle=%d: the device refused the connection, all its connections are taken",
                          dev.handle);
    return busy;
}

int CUSBDevice::WriteRequest(OpenDevice& dev, uint32_t cmd, const uint8_t* data, int dataLength,
                             std::chrono::steady_clock::time_point deadline) {
    platform::LogLine(2, {"WriteThread", 304}, "handle=%d, cmd=%d,cmdLen=%d, OutputReportByteLength=%d", dev.handle,
            static_cast<int>(cmd), dataLength, dev.reportLength);

    const int length = dev.reportLength;
    std::vector<uint8_t> report(static_cast<size_t>(length), 0);
    const int perReport = length - kRequestPayloadOffset;
    auto writeOne = [&]() {
        if (std::chrono::steady_clock::now() >= deadline) return kUsbTimeout;
        const int n = dev.conn->WriteBefore(report.data(), report.size(), deadline);
        if (n == kHidTimedOut) return kUsbTimeout;
        return n == length ? 0 : kUsbWriteFailed;
    };
    int result = 0;
    if (dataLength == 0) {
        EncodeRequestReport(report.data(), length, cmd, nullptr, 0, true);
        result = writeOne();
    }
    for (int offset = 0; offset < dataLength && result == 0;) {
        const int chunk = std::min(dataLength - offset, perReport);
        EncodeRequestReport(report.data(), length, cmd, data + offset, chunk, chunk == dataLength - offset);
        result = writeOne();
        offset += chunk;
    }
    if (result == kUsbTimeout) {
        platform::LogLine(3, {}, "handle=%d, cmd=%d: request phase timed out", dev.handle, static_cast<int>(cmd));
    }
    return result;
}

int CUSBDevice::TakeReply(OpenDevice& dev, uint32_t cmd, transport::ReplyAssembler& assembler,
                          std::chrono::steady_clock::time_point deadline, bool& busy) {
    std::unique_lock lock(dev.inboxMu);
    for (;;) {
        while (!dev.inbox.empty()) {
            InboxReport r = std::move(dev.inbox.front());
            dev.inbox.pop_front();
            if (r.oversized) return kUsbBadReply;
            ReplyHeader h;
            if (PeekReplyHeader(r.bytes.data(), r.bytes.size(), h)) {
                if (IsBusyNotice(h)) {
                    platform::LogLine(3, {},
                                      "handle=%d: the device refused the connection, all its connections are taken",
                                      dev.handle);
                    busy = true;
                    return kUsbDeviceBusy;
                }
                if (h.command != cmd) {
                    // Not this exchange's reply (a late one of an earlier exchange): not fed.
                    platform::LogLine(3, {}, "handle=%d, cmd=%d: skipped a reply report of command %u", dev.handle,
                            static_cast<int>(cmd), h.command);
                    continue;
                }
            }
            if (assembler.Feed(r.bytes.data(), r.bytes.size())) return assembler.Result();
        }
        if (dev.readerEnd != 0) return kUsbReadFailed;  // device gone, or closed by a refresh
        if (dev.inboxCv.wait_until(lock, deadline) == std::cv_status::timeout && dev.inbox.empty()) {
            if (dev.readerEnd != 0) return kUsbReadFailed;
            platform::LogLine(3, {}, "handle=%d, cmd=%d: reply phase timed out", dev.handle, static_cast<int>(cmd));
            return kUsbTimeout;
        }
    }
}

}  // namespace velmora::transport
