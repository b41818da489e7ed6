#include "transport/usb/cusb_device.h"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <string>
#include <system_error>
#include <thread>

#include "platform/codepage.h"
#include "platform/zeb_log.h"

using velmora::HidConnection;
using velmora::HidDeviceDescriptor;
using velmora::ReplyHeader;

namespace {

// Handles come from one process-wide counter so that no id is ever handed out twice in a run, even
// across CUSBDevice instances.
std::atomic<int32_t> g_nextHandle{1};

int32_t NextHandle() {
    int32_t h = g_nextHandle.fetch_add(1);
    return h > 0 ? h : 0;  // 0 once the ids are used up: no device gets a recycled id
}

// Copies a device text into an entry field, cut to fit without splitting a UTF-8 character.
template <size_t N, size_t M>
void CopyField(char (&dst)[N], const char (&src)[M]) {
    velmora::CopyUtf8Field(dst, N, std::string_view(src, strnlen(src, M)));
}

// The entry's texts from a device's identity: the name converted from UTF-8 to CP936, the others
// as they came; all cut to fit.
void StoreIdentity(UsbDeviceEntry& e, const UsbDeviceInfo& info) {
    std::string name = velmora::Utf8ToCp936(std::string_view(info.DeviceName, strnlen(info.DeviceName, sizeof info.DeviceName)));
    velmora::CopyCp936Field(e.name, sizeof e.name, name);
    CopyField(e.productModel, info.ProductModel);
    CopyField(e.serial, info.Serial);
    CopyField(e.buildDate, info.BuildDate);
    CopyField(e.biosVersion, info.BiosVersion);
}

}  // namespace

// One open device. The connection is released when the last holder (the map or a running
// exchange) lets go, so a closed device's descriptor is never reused under a running exchange.
struct CUSBDevice::OpenDevice {
    int32_t handle = 0;
    std::string path;           // what the backend opened; names the device in log lines
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    int reportLength = 0;       // output report length: request framing
    int inputReportLength = 0;  // bytes read per reply report
    std::unique_ptr<HidConnection> conn;
    std::mutex exchangeMu;      // one exchange at a time on this device
    // The device refused this connection (busy notice): every later exchange on it gives -42.
    // Guarded by exchangeMu.
    bool refused = false;
};

// State of one exchange, read by its two phase threads. It lives on the caller's stack; every
// phase thread is joined before Transfer returns.
struct CUSBDevice::TransferContext {
    int32_t handle = 0;
    uint32_t command = 0;
    const uint8_t* data = nullptr;
    int dataLength = 0;
    char* reply = nullptr;
    int replyCapacity = 0;
    int* received = nullptr;
    // 0 just before each read or write call, 1 just after; starts at 0, so a phase that times out
    // before its first call returned counts as blocked in I/O.
    std::atomic<int> inIo{0};
    HidConnection* conn = nullptr;
    int reportLength = 0;
    int inputReportLength = 0;
    // Set by the reply phase when the device's busy notice came; read after the join.
    bool busyNotice = false;
};

CUSBDevice::CUSBDevice(std::unique_ptr<velmora::HidBackend> backend) : backend_(std::move(backend)) {}

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
        if (d.outputReportLength < velmora::kMinReportLength || d.outputReportLength > velmora::kMaxReportLength) {
            // A report this small cannot carry the framing (and would never finish a request).
            LogLine(3, {}, "%s: unusable report length %d, skipped", d.path.c_str(), d.outputReportLength);
            continue;
        }
        matching.push_back(std::move(d));
    }
    return matching;
}

std::shared_ptr<CUSBDevice::OpenDevice> CUSBDevice::OpenOne(const HidDeviceDescriptor& d, int matchedBefore) {
    std::unique_ptr<HidConnection> conn = backend_->Open(d);
    if (!conn) return nullptr;
    int32_t handle = NextHandle();
    if (handle <= 0) {
        conn->Close();
        return nullptr;
    }
    LogLine(2, {"CUSBDevice::DeviceOpen", 99}, "[%d]:handle=%d, vid=0x%x, pid=0x%x, OutputReportByteLength=%d",
            matchedBefore, handle, d.vendorId, d.productId, d.outputReportLength);

    auto dev = std::make_shared<OpenDevice>();
    dev->handle = handle;
    dev->path = d.path;
    dev->vendorId = d.vendorId;
    dev->productId = d.productId;
    dev->reportLength = d.outputReportLength;
    int in = d.inputReportLength;
    dev->inputReportLength = (in >= velmora::kMinReportLength && in <= velmora::kMaxReportLength) ? in : d.outputReportLength;
    dev->conn = std::move(conn);
    return dev;
}

void CUSBDevice::Publish(const std::shared_ptr<OpenDevice>& dev, const UsbDeviceInfo* identity) {
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
        if (!dev) continue;
        Publish(dev, nullptr);
        ++matched;
    }
    return matched;
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
    if (index < 0) return velmora::kUsbInvalidHandle;

    std::shared_ptr<OpenDevice> dev = OpenOne(found[static_cast<size_t>(index)], index);
    if (!dev) return velmora::kUsbInvalidHandle;
    // A device whose connections are all taken answers with its busy notice and closes. If that
    // has already arrived it costs nothing to notice here; otherwise the first exchange says so.
    bool busy = false;
    dev->conn->DiscardPending(static_cast<size_t>(dev->inputReportLength), [&busy](const uint8_t* r, size_t n) {
        ReplyHeader h;
        if (velmora::PeekReplyHeader(r, n, h) && velmora::IsBusyNotice(h)) busy = true;
    });
    if (busy) {
        LogLine(3, {}, "%s: the device refused the connection, all its connections are taken", dev->path.c_str());
        dev->conn->Close();
        return velmora::kUsbDeviceBusy;
    }
    Publish(dev, nullptr);
    if (handle) *handle = dev->handle;
    return 0;
}

int CUSBDevice::OpenDeviceBySerial(std::string_view serial, int32_t* handle, int* matching) {
    if (handle) *handle = 0;
    if (matching) *matching = 0;
    std::lock_guard refresh(refreshMu_);
    std::vector<HidDeviceDescriptor> found = EnumerateMatching();
    if (matching) *matching = static_cast<int>(found.size());
    if (serial.empty()) return velmora::kUsbInvalidHandle;

    // A busy camera cannot tell its serial number: when no other one matches, it may be the one.
    bool anyBusy = false;
    for (size_t i = 0; i < found.size(); ++i) {
        std::shared_ptr<OpenDevice> dev = OpenOne(found[i], static_cast<int>(i));
        if (!dev) continue;
        {
            // Reachable by its handle for the identity query, not listed yet.
            std::lock_guard lock(mu_);
            open_[dev->handle] = dev;
        }
        UsbDeviceInfo info{};
        const int asked = GetDeviceInfo(dev->handle, info);
        if (asked == velmora::kUsbDeviceBusy) anyBusy = true;
        bool keep = asked == 0 && std::string_view(info.Serial, strnlen(info.Serial, sizeof info.Serial)) == serial;
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
            if (handle) *handle = dev->handle;
            return 0;
        }
        dev->conn->Close();
    }
    return anyBusy ? velmora::kUsbDeviceBusy : velmora::kUsbInvalidHandle;
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
    }
    // Wakes exchanges still running on these devices; they fail and release their hold.
    for (auto& [handle, dev] : closing) dev->conn->Close();
}

int CUSBDevice::CloseDevice(int32_t handle) {
    std::shared_ptr<OpenDevice> dev;
    {
        std::lock_guard lock(mu_);
        auto it = open_.find(handle);
        if (it == open_.end()) return velmora::kUsbInvalidHandle;
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

    Timing t = GetTiming();
    std::this_thread::sleep_for(t.settleAfterOpen);

    std::vector<int32_t> handles;
    {
        std::lock_guard lock(mu_);
        for (const auto& e : devices_) handles.push_back(e.handle);
    }
    for (int32_t handle : handles) {
        UsbDeviceInfo info{};
        if (GetDeviceInfo(handle, info) != 0) {
            std::this_thread::sleep_for(t.retryAfterFailedInfo);
            continue;  // the entry keeps empty texts and stays in the list
        }
        std::lock_guard lock(mu_);
        for (auto& e : devices_) {
            if (e.handle == handle) StoreIdentity(e, info);
        }
    }
    return count;
}

int CUSBDevice::GetDeviceInfo(int32_t handle, UsbDeviceInfo& info) {
    std::vector<char> reply(1024, 0);
    int received = 0;
    int rc = Transfer(handle, kHidCmdDeviceInfo, nullptr, 0, reply.data(), static_cast<int>(reply.size()), &received, 5);
    if (rc != 0) return rc;
    return ParseDeviceInfoReply(reply.data(), info);
}

int CUSBDevice::IdentifyDevice(int32_t handle, UsbDeviceEntry& entry) {
    UsbDeviceInfo info{};
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
    return dev ? dev->reportLength : velmora::kUsbInvalidHandle;
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
    if (handle == kInvalidUsbHandle) return velmora::kUsbInvalidHandle;
    std::shared_ptr<OpenDevice> dev = FindDevice(handle);
    if (!dev) return velmora::kUsbInvalidHandle;
    if (dataLen < 0 || (dataLen > 0 && !data)) return velmora::kUsbWriteFailed;

    const Timing t = GetTiming();
    std::lock_guard exchange(dev->exchangeMu);
    if (dev->refused) return velmora::kUsbDeviceBusy;

    TransferContext ctx;
    ctx.handle = handle;
    ctx.command = cmd;
    ctx.data = static_cast<const uint8_t*>(data);
    ctx.dataLength = dataLen;
    ctx.reply = static_cast<char*>(reply);
    ctx.replyCapacity = reply ? std::max(replyCap, 0) : 0;
    ctx.received = received;
    ctx.conn = dev->conn.get();
    ctx.reportLength = dev->reportLength;
    ctx.inputReportLength = dev->inputReportLength;

    std::chrono::milliseconds requestLimit = t.requestPhase.count() >= 0
                                                 ? t.requestPhase
                                                 : std::chrono::milliseconds(int64_t{std::max(timeoutSeconds, 0)} * 1000);
    ctx.conn->Rearm();

    // Other processes (and other CUSBDevice objects) talking to this device wait for each other:
    // on hidraw every open handle receives every reply.
    int locked = ctx.conn->LockExchange(requestLimit);
    if (locked == velmora::kHidLockTimeout) {
        LogLine(3, {}, "handle=%d, cmd=%d: %s is locked by another exchange; gave up after %lld ms", handle,
                static_cast<int>(cmd), dev->path.c_str(), static_cast<long long>(requestLimit.count()));
        return velmora::kUsbTimeout;
    }
    if (locked != 0) return velmora::kUsbWriteFailed;  // closed while waiting: as a write on a closed device
    struct Unlock {
        HidConnection* conn;
        ~Unlock() { conn->UnlockExchange(); }
    } unlock{ctx.conn};

    // Replies that arrived after their exchange gave up would otherwise answer this one.
    if (DiscardStale(ctx)) {
        dev->refused = true;
        return velmora::kUsbDeviceBusy;
    }

    int requestResult = RunPhase(&CUSBDevice::WriteThread, ctx, requestLimit);

    // The reply phase runs whatever the request phase gave, so a late reply is drained and the
    // next exchange starts in step; but it never turns a failed request into success.
    ctx.conn->Rearm();
    ctx.inIo.store(0);
    int replyResult = RunPhase(&CUSBDevice::ReadThread, ctx, t.replyPhase);
    if (ctx.busyNotice) {
        // The device refused the connection; that is the answer even when the request could not
        // be written because the device had already closed it.
        dev->refused = true;
        return velmora::kUsbDeviceBusy;
    }
    return requestResult < 0 ? requestResult : replyResult;
}

bool CUSBDevice::DiscardStale(TransferContext& ctx) {
    bool busy = false;
    int dropped = ctx.conn->DiscardPending(static_cast<size_t>(ctx.inputReportLength), [&busy](const uint8_t* r, size_t n) {
        ReplyHeader h;
        if (velmora::PeekReplyHeader(r, n, h) && velmora::IsBusyNotice(h)) busy = true;
    });
    if (dropped > 0) {
        LogLine(3, {}, "handle=%d, cmd=%d: dropped %d stale report(s) before the request", ctx.handle,
                static_cast<int>(ctx.command), dropped);
    }
    if (busy) {
        LogLine(3, {}, "handle=%d: the device refused the connection, all its connections are taken", ctx.handle);
    }
    return busy;
}

int CUSBDevice::RunPhase(int (*body)(TransferContext&), TransferContext& ctx, std::chrono::milliseconds limit) {
    struct Sync {
        std::mutex mu;
        std::condition_variable cv;
        bool done = false;
        int result = 0;
    } sync;

    std::thread worker;
    try {
        worker = std::thread([&sync, &ctx, body] {
            int r = body(ctx);
            std::lock_guard lock(sync.mu);
            sync.result = r;
            sync.done = true;
            sync.cv.notify_one();
        });
    } catch (const std::system_error&) {
        return velmora::kUsbWaitFailed;  // the phase could not be started, so it cannot be waited for
    }

    bool finished;
    {
        std::unique_lock lock(sync.mu);
        finished = sync.cv.wait_for(lock, limit, [&sync] { return sync.done; });
    }
    if (!finished) {
        // The thread is either blocked in a read/write (in-I/O flag 0) or between two calls. Either
        // way the cancel makes its current or next call fail, so it ends promptly and can be joined:
        // no phase thread outlives the context it reads.
        LogLine(3, {}, "handle=%d, cmd=%d: phase timed out after %lld ms, in-I/O=%d", ctx.handle,
                static_cast<int>(ctx.command), static_cast<long long>(limit.count()), ctx.inIo.load());
        ctx.conn->Cancel();
        worker.join();
        return velmora::kUsbTimeout;
    }
    worker.join();
    return sync.result;
}

int CUSBDevice::WriteThread(TransferContext& ctx) {
    LogLine(2, {"WriteThread", 304}, "handle=%d, cmd=%d,cmdLen=%d, OutputReportByteLength=%d", ctx.handle,
            static_cast<int>(ctx.command), ctx.dataLength, ctx.reportLength);

    const int length = ctx.reportLength;
    std::vector<uint8_t> report(static_cast<size_t>(length), 0);
    const int perReport = length - velmora::kRequestPayloadOffset;

    auto writeOne = [&ctx, &report, length]() {
        ctx.inIo.store(0);
        int n = ctx.conn->Write(report.data(), report.size());
        ctx.inIo.store(1);
        return n == length;
    };

    if (ctx.dataLength == 0) {
        velmora::EncodeRequestReport(report.data(), length, ctx.command, nullptr, 0, true);
        return writeOne() ? 0 : velmora::kUsbWriteFailed;
    }
    int offset = 0;
    while (offset < ctx.dataLength) {
        int remaining = ctx.dataLength - offset;
        int chunk = std::min(remaining, perReport);
        velmora::EncodeRequestReport(report.data(), length, ctx.command, ctx.data + offset, chunk, chunk == remaining);
        if (!writeOne()) return velmora::kUsbWriteFailed;
        offset += chunk;
    }
    return 0;
}

int CUSBDevice::ReadThread(TransferContext& ctx) {
    std::vector<uint8_t> report(static_cast<size_t>(ctx.inputReportLength), 0);
    velmora::ReplyAssembler assembler(ctx.reply, ctx.replyCapacity, ctx.received, ctx.inputReportLength);
    for (;;) {
        ctx.inIo.store(0);
        int n = ctx.conn->Read(report.data(), report.size());
        ctx.inIo.store(1);
        if (n == velmora::kHidOversized) return velmora::kUsbBadReply;
        if (n <= 0) return velmora::kUsbReadFailed;  // device gone, or woken by a close
        ReplyHeader h;
        if (velmora::PeekReplyHeader(report.data(), static_cast<size_t>(n), h)) {
            if (velmora::IsBusyNotice(h)) {
                LogLine(3, {}, "handle=%d: the device refused the connection, all its connections are taken",
                        ctx.handle);
                ctx.busyNotice = true;
                return velmora::kUsbDeviceBusy;
            }
            if (h.command != ctx.command) {
                // Not this exchange's reply (a late one of an earlier exchange): not fed.
                LogLine(3, {}, "handle=%d, cmd=%d: skipped a reply report of command %u", ctx.handle,
                        static_cast<int>(ctx.command), h.command);
                continue;
            }
        }
        if (assembler.Feed(report.data(), static_cast<size_t>(n))) return assembler.Result();
    }
}
