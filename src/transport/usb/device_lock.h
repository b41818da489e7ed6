#pragma once

#include <chrono>
#include <functional>
#include <string>

namespace velmora::transport {

// An advisory lock (flock, LOCK_EX) that serialises exchanges on one device across processes: on
// hidraw every open handle receives every input report, so two processes talking to one camera at
// once would read each other's replies. flock locks belong to an open file description, so each
// connection opens the file itself, and two connections of one process contend exactly like two
// processes.
// Thread-bound: used by one exchange at a time (the caller holds the device's exchange mutex).
class DeviceLockFile {
public:
    // Opens `path` with `flags` (O_CLOEXEC is added). When the open fails the lock is not usable
    // (logged at level 3): Acquire then succeeds at once and only the in-process serialisation
    // remains.
    DeviceLockFile(std::string path, int flags);
    ~DeviceLockFile();
    DeviceLockFile(const DeviceLockFile&) = delete;
    DeviceLockFile& operator=(const DeviceLockFile&) = delete;

    bool usable() const { return fd_ >= 0; }
    const std::string& path() const { return path_; }

    // Takes the lock, trying without blocking every few milliseconds for at most `limit` (at
    // least once); `stopped` (may be empty) is asked between tries. Returns 0, kHidLockTimeout
    // when another holder kept it, or kHidCancelled when `stopped` said so.
    int Acquire(std::chrono::milliseconds limit, const std::function<bool()>& stopped);
    // Releases the lock if held.
    void Release();

private:
    std::string path_;
    int fd_ = -1;
    bool held_ = false;
};

}  // namespace velmora::transport
