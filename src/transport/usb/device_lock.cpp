#include "transport/usb/device_lock.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <thread>

#include "platform/zeb_log.h"
#include "transport/usb/hid_backend.h"

namespace velmora::transport {
namespace {

// Polling steps while another holder keeps the lock: short at first (exchanges are usually
// brief), then a few milliseconds.
constexpr std::chrono::milliseconds kFirstPoll{1};
constexpr std::chrono::milliseconds kMaxPoll{5};

}  // namespace

DeviceLockFile::DeviceLockFile(std::string path, int flags) : path_(std::move(path)) {
    do {
        fd_ = ::open(path_.c_str(), flags | O_CLOEXEC);
    } while (fd_ < 0 && errno == EINTR);
    if (fd_ < 0) {
        const char* why = std::strerror(errno);  // before the log site is built
        platform::LogLine(
            3, {}, "%s: cannot open for the exchange lock (%s); exchanges are serialised within this process only",
            path_.c_str(), why);
    }
}

DeviceLockFile::~DeviceLockFile() {
    if (fd_ >= 0) ::close(fd_);  // also drops a lock still held
}

int DeviceLockFile::Acquire(std::chrono::milliseconds limit, const std::function<bool()>& stopped) {
    if (fd_ < 0 || held_) return 0;
    const auto deadline = std::chrono::steady_clock::now() + std::max(limit, std::chrono::milliseconds(0));
    std::chrono::milliseconds step = kFirstPoll;
    for (;;) {
        if (stopped && stopped()) return kHidCancelled;
        if (::flock(fd_, LOCK_EX | LOCK_NB) == 0) {
            held_ = true;
            return 0;
        }
        if (errno == EINTR) continue;
        if (errno != EWOULDBLOCK) {
            // The file system refuses locks (e.g. ENOLCK): carry on with the in-process
            // serialisation rather than failing every exchange.
            const char* why = std::strerror(errno);  // before the log site is built
            platform::LogLine(3, {}, "%s: flock failed (%s); exchange not locked", path_.c_str(), why);
            return 0;
        }
        auto now = std::chrono::steady_clock::now();
        if (now >= deadline) return kHidLockTimeout;
        std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(step, deadline - now));
        step = std::min(step * 2, kMaxPoll);
    }
}

void DeviceLockFile::Release() {
    if (fd_ < 0 || !held_) return;
    ::flock(fd_, LOCK_UN);
    held_ = false;
}

}  // namespace velmora::transport
