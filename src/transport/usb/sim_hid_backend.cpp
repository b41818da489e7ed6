#include "transport/usb/sim_hid_backend.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <thread>
#include <vector>

#include <cjson/cJSON.h>

#include "platform/zeb_log.h"
#include "protocol/json_util.h"
#include "transport/usb/device_lock.h"
#include "transport/usb/hid_framing.h"

namespace velmora::transport {
namespace {

constexpr size_t kMaxDescriptionBytes = 64 * 1024;
// poll() wakes at least this often as a safety net; Cancel and Close also wake it through the
// event fd at once.
constexpr int kPollSliceMs = 200;
// The same for the reader that waits for input between exchanges: every open camera has one, so
// a short slice would wake a program that watches many idle cameras hundreds of times a second.
constexpr int kIdleReadSliceMs = 5000;
// DiscardPending drops at most this many reports per call.
constexpr int kMaxDiscardedReports = 4096;

bool GetInt(const cJSON* root, const char* name, long lo, long hi, long& out) {
    const cJSON* item = cJSON_GetObjectItem(root, name);
    if (!cJSON_IsNumber(item)) return false;
    double v = item->valuedouble;
    if (!std::isfinite(v) || v != std::floor(v) || v < static_cast<double>(lo) || v > static_cast<double>(hi))
        return false;
    out = static_cast<long>(v);
    return true;
}

// One connected SOCK_SEQPACKET socket plus an event fd that Cancel and Close signal.
class SeqpacketConnection : public HidConnection {
public:
    SeqpacketConnection(int fd, int wake, std::unique_ptr<DeviceLockFile> lock)
        : fd_(fd), wake_(wake), lock_(std::move(lock)) {}
    ~SeqpacketConnection() override {
        ::close(fd_);
        ::close(wake_);
    }

    int Write(const uint8_t* report, size_t length) override {
        return WriteBefore(report, length, std::chrono::steady_clock::time_point::max());
    }

    int WriteBefore(const uint8_t* report, size_t length, std::chrono::steady_clock::time_point deadline) override {
        for (;;) {
            if (int stop = Stopped()) return stop;
            ssize_t n = ::send(fd_, report, length, MSG_DONTWAIT | MSG_NOSIGNAL);
            if (n >= 0) return static_cast<int>(n);
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                int sliceMs = kPollSliceMs;
                if (deadline != std::chrono::steady_clock::time_point::max()) {
                    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
                    if (left.count() <= 0) return kHidTimedOut;
                    sliceMs = static_cast<int>(std::min<long long>(left.count(), kPollSliceMs));
                }
                if (int r = Wait(POLLOUT, sliceMs); r < 0) return r;
                continue;
            }
            return (errno == EPIPE || errno == ECONNRESET || errno == ENOTCONN) ? kHidDisconnected : kHidIoError;
        }
    }

    int Read(uint8_t* buffer, size_t capacity) override {
        bool resetSeen = false;
        for (;;) {
            if (int stop = Stopped()) return stop;
            // MSG_TRUNC makes recv report the packet's real size, so an oversized report is
            // noticed instead of silently cut.
            ssize_t n = ::recv(fd_, buffer, capacity, MSG_DONTWAIT | MSG_TRUNC);
            if (n > 0) return static_cast<size_t>(n) > capacity ? kHidOversized : static_cast<int>(n);
            if (n == 0) return kHidDisconnected;
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                if (int r = Wait(POLLIN, kIdleReadSliceMs); r < 0) return r;
                continue;
            }
            if (errno == ECONNRESET && !resetSeen) {
                // A peer that closed while our request lay unread is reported once as a reset;
                // the reports it sent before closing (e.g. a busy notice) are still queued and
                // the end of the connection follows them.
                resetSeen = true;
                continue;
            }
            return errno == ECONNRESET ? kHidDisconnected : kHidIoError;
        }
    }

    int ReadWaiting(uint8_t* buffer, size_t capacity) override {
        if (Stopped()) return 0;
        const ssize_t n = ::recv(fd_, buffer, capacity, MSG_DONTWAIT | MSG_TRUNC);
        if (n <= 0) return 0;  // nothing waits, or the end: Read tells which
        return static_cast<size_t>(n) > capacity ? kHidOversized : static_cast<int>(n);
    }

    int DiscardPending(size_t capacity, const HidReportVisitor& seen) override {
        if (Stopped()) return 0;
        std::vector<uint8_t> buffer(std::max<size_t>(capacity, 1));
        int dropped = 0;
        bool resetSeen = false;
        while (dropped < kMaxDiscardedReports) {
            ssize_t n = ::recv(fd_, buffer.data(), buffer.size(), MSG_DONTWAIT | MSG_TRUNC);
            if (n > 0) {
                ++dropped;
                if (seen) seen(buffer.data(), std::min(static_cast<size_t>(n), buffer.size()));
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && errno == ECONNRESET && !resetSeen) {
                resetSeen = true;  // see Read
                continue;
            }
            break;  // nothing waits, or the connection ended: the exchange notices the latter
        }
        return dropped;
    }

    int WaitInput() override {
        for (;;) {
            if (int stop = Stopped()) return stop;
            pollfd fds[2] = {{fd_, POLLIN, 0}, {wake_, POLLIN, 0}};
            const int r = ::poll(fds, 2, kIdleReadSliceMs);
            if (r < 0 && errno != EINTR) return kHidIoError;
            // POLLHUP/POLLERR: the Read that follows reports what happened, without blocking.
            if (r > 0 && (fds[0].revents & (POLLIN | POLLHUP | POLLERR))) return 1;
        }
    }

    bool InputWaiting() override {
        pollfd p{fd_, POLLIN, 0};
        return ::poll(&p, 1, 0) > 0 && (p.revents & POLLIN);
    }

    int LockExchange(std::chrono::milliseconds limit) override {
        if (!lock_) return 0;
        return lock_->Acquire(limit, [this] { return Stopped() != 0; });
    }

    void UnlockExchange() override {
        if (lock_) lock_->Release();
    }

    void Cancel() override {
        cancelled_.store(true);
        Signal();
    }

    void Rearm() override {
        if (closed_.load()) return;
        cancelled_.store(false);
        uint64_t v;
        while (::read(wake_, &v, sizeof v) == static_cast<ssize_t>(sizeof v)) {
        }
        // A Close() that raced with the drain is still seen through closed_ before every call;
        // its wake-up, which the drain may have taken, is given again for a reader already waiting.
        if (closed_.load()) Signal();
    }

    void Close() override {
        closed_.store(true);
        Signal();
    }

private:
    int Stopped() const { return (closed_.load() || cancelled_.load()) ? kHidCancelled : 0; }

    void Signal() {
        uint64_t one = 1;
        ssize_t r = ::write(wake_, &one, sizeof one);
        (void)r;  // a saturated counter is still readable, which is all poll needs
    }

    int Wait(short events, int ms) {
        pollfd fds[2] = {{fd_, events, 0}, {wake_, POLLIN, 0}};
        int r = ::poll(fds, 2, ms);
        if (r < 0 && errno != EINTR) return kHidIoError;
        if (fds[1].revents & POLLIN) return Stopped() ? kHidCancelled : 0;
        // POLLHUP/POLLERR: the following send/recv reports what happened.
        return 0;
    }

    int fd_;
    int wake_;
    std::unique_ptr<DeviceLockFile> lock_;
    std::atomic<bool> cancelled_{false};
    std::atomic<bool> closed_{false};
};

}  // namespace

int ParseSimDeviceDescription(const char* text, size_t length, HidDeviceDescriptor& out) {
    if (!text || length == 0 || length > kMaxDescriptionBytes) return -1;
    protocol::detail::JsonPtr owner(cJSON_ParseWithLength(text, length));
    const cJSON* root = owner.get();
    if (!root) return -1;
    long vid = 0, pid = 0, outLen = 0, inLen = 0;
    bool ok = cJSON_IsObject(root) && GetInt(root, "vendor_id", 0, 0xFFFF, vid) &&
              GetInt(root, "product_id", 0, 0xFFFF, pid) &&
              GetInt(root, "output_report_length", kMinReportLength, kMaxReportLength, outLen);
    if (ok && cJSON_GetObjectItem(root, "input_report_length")) {
        ok = GetInt(root, "input_report_length", kMinReportLength, kMaxReportLength, inLen);
    } else {
        inLen = outLen;
    }
    if (!ok) return -1;
    out.vendorId = static_cast<uint16_t>(vid);
    out.productId = static_cast<uint16_t>(pid);
    out.outputReportLength = static_cast<int>(outLen);
    out.inputReportLength = static_cast<int>(inLen);
    out.numberedReports = false;
    return 0;
}

std::unique_ptr<HidConnection> MakeSeqpacketConnection(int fd, const std::string& lockPath) {
    int wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake < 0) {
        ::close(fd);
        return nullptr;
    }
    std::unique_ptr<DeviceLockFile> lock;
    if (!lockPath.empty()) lock = std::make_unique<DeviceLockFile>(lockPath, O_RDONLY);
    return std::make_unique<SeqpacketConnection>(fd, wake, std::move(lock));
}

SimHidBackend::SimHidBackend(std::string directory, std::chrono::milliseconds connectTimeout)
    : dir_(std::move(directory)), connectTimeout_(connectTimeout) {}

std::vector<HidDeviceDescriptor> SimHidBackend::Enumerate() {
    std::vector<std::string> names;
    if (DIR* d = ::opendir(dir_.c_str())) {
        while (dirent* e = ::readdir(d)) {
            std::string n = e->d_name;
            if (n.size() > 5 && n.compare(n.size() - 5, 5, ".json") == 0) names.push_back(n.substr(0, n.size() - 5));
        }
        ::closedir(d);
    }
    std::sort(names.begin(), names.end());

    std::vector<HidDeviceDescriptor> found;
    for (const auto& name : names) {
        std::string base = dir_ + "/" + name;
        struct stat st {};
        if (::stat((base + ".sock").c_str(), &st) != 0 || !S_ISSOCK(st.st_mode)) continue;

        std::string text;
        if (FILE* f = std::fopen((base + ".json").c_str(), "rb")) {
            char buf[4096];
            size_t n;
            while ((n = std::fread(buf, 1, sizeof buf, f)) > 0 && text.size() <= kMaxDescriptionBytes) text.append(buf, n);
            std::fclose(f);
        }
        HidDeviceDescriptor dev;
        if (ParseSimDeviceDescription(text.data(), text.size(), dev) != 0) {
            platform::LogLine(3, {}, "skipping %s.json: not a usable device description", base.c_str());
            continue;
        }
        dev.path = base + ".sock";
        found.push_back(std::move(dev));
    }
    return found;
}

namespace {

// Connects `fd` (non-blocking) to `addr`, retrying until `deadline`. A listener whose backlog is
// full answers EAGAIN and cannot be waited for, so connect() is tried again in short steps.
// Returns 0, 1 when the deadline passed, or -1 when the device refuses (no listener, ...).
int ConnectBefore(int fd, const sockaddr_un& addr, std::chrono::steady_clock::time_point deadline) {
    std::chrono::milliseconds step{1};
    for (;;) {
        if (::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0) return 0;
        const int err = errno;
        if (err == EINTR) continue;
        if (err == EISCONN) return 0;  // an earlier attempt completed meanwhile
        auto now = std::chrono::steady_clock::now();
        if (err == EINPROGRESS || err == EALREADY) {
            auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count();
            if (left <= 0) return 1;
            pollfd p{fd, POLLOUT, 0};
            int r = ::poll(&p, 1, static_cast<int>(std::min<long long>(left, 1000)));
            if (r < 0 && errno != EINTR) return -1;
            if (r > 0) {
                int soErr = 0;
                socklen_t len = sizeof soErr;
                if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &soErr, &len) != 0 || soErr != 0) return -1;
                return 0;
            }
            continue;
        }
        if (err != EAGAIN && err != EWOULDBLOCK) return -1;
        if (now >= deadline) return 1;
        std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(step, deadline - now));
        step = std::min(step * 2, std::chrono::milliseconds(20));
    }
}

}  // namespace

std::unique_ptr<HidConnection> SimHidBackend::Open(const HidDeviceDescriptor& device) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (device.path.size() >= sizeof addr.sun_path) return nullptr;
    std::memcpy(addr.sun_path, device.path.c_str(), device.path.size() + 1);
    int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return nullptr;
    int r = ConnectBefore(fd, addr, std::chrono::steady_clock::now() + connectTimeout_);
    if (r != 0) {
        if (r > 0) {
            platform::LogLine(3, {}, "%s: connection not accepted within %lld ms; device skipped", device.path.c_str(),
                    static_cast<long long>(connectTimeout_.count()));
        }
        ::close(fd);
        return nullptr;
    }
    // Every process names the device's lock by its description file next to the socket.
    std::string lockPath;
    const std::string sock = ".sock";
    if (device.path.size() > sock.size() && device.path.compare(device.path.size() - sock.size(), sock.size(), sock) == 0)
        lockPath = device.path.substr(0, device.path.size() - sock.size()) + ".json";
    return MakeSeqpacketConnection(fd, lockPath);
}

}  // namespace velmora::transport
