#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "transport/usb/cusb_device.h"

// The firmware upgrade of USB cameras without any window: the rows (one per camera), the package
// list, the workers that send every package to their camera and follow its flashing, and the
// reboot thread. The upgrade window and the command-line tool both drive it; they see every row
// change through an UpgradeObserver.
namespace velmora {

enum class UpgradeRowState : int { Queued = -2, Failed = -1, Done = 0, Sending = 1, Flashing = 2 };

inline constexpr int kMaxUpgradeRows = 10;
inline constexpr size_t kUpgradeChunkBytes = 1048576;

// Results of the session's operations besides 0.
inline constexpr int kUpgradeLoadFailed = -1;  // a package could not be read (message shown)
inline constexpr int kUpgradeBusy = -2;        // refused: a row is sending, or a reboot runs
inline constexpr int kUpgradeStopped = -3;     // UpgradeRow::result of a row whose run was stopped
inline constexpr int kUpgradeStalled = -4;     // UpgradeRow::result: the camera's progress stood still too long

// A camera whose writing shows no change of progress (nor of its status) for this long has failed.
inline constexpr std::chrono::milliseconds kUpgradeStallLimit{60000};

// One chosen package file: its path as chosen, its label, its length and its whole content.
struct UpgradePackage {
    std::string path;
    std::string typeName;
    uint32_t size = 0;
    std::vector<uint8_t> data;
};

// Keyword search over the whole lower-cased path: uimage, uboot, extrootfs, rootfs, terrans,
// updata, the first found wins; with none the label is the decimal index + 1.
std::string UpgradeTypeName(const std::string& path, int index);

struct UpgradeRow {
    int32_t handle = -1;
    UpgradeRowState state = UpgradeRowState::Queued;
    bool checked = true;
    std::string text;  // column "状态", UTF-8
    int percent = -1;  // last Progress shown (for a progress bar); -1 none
    // Code of the row's last failure, as its text shows it: a command's negative result, the
    // camera's negative Progress, or kUpgradeStopped; 0 while nothing failed since the last start
    // or reboot.
    int32_t result = 0;
    std::string name, model, serial, biosVersion, buildDate;  // UTF-8
};

// Told of every change; called on the session's threads (workers, reboot thread) and, for the rows
// a start queues, on the thread that calls Start before it returns. Each call returns once the
// change is shown. The session holds no row, claim or thread lock while calling, so an observer
// may read the session (Row, RowCount, Busy, ...); it must not call Start, LoadPackages, Join or
// the destructor from a callback.
// A window that waits for its own thread in these calls must not block that thread in Join or in
// the destructor while workers may still call: it raises RequestStop and keeps handling events
// until Idle(), then destroys the session.
class UpgradeObserver {
public:
    virtual ~UpgradeObserver() = default;
    virtual void RowChanged(int index, const UpgradeRow& row) = 0;
    virtual void RowRemoved(int index) = 0;                // after a successful reboot
    virtual void StatusText(const std::string& text) = 0;  // the status line after a reboot run
    virtual void RebootFinished() = 0;
};

// Thread-safe: every method may be called from any thread except that the destructor and Join
// must not be called from an observer callback.
class UpgradeSession {
public:
    // Rows from the first kMaxUpgradeRows devices (checked, Queued, their handles). `observer`
    // may be null. `usb` must outlive the session.
    UpgradeSession(CUSBDevice& usb, const std::vector<UsbDeviceEntry>& devices, UpgradeObserver* observer);
    ~UpgradeSession();  // RequestStop, then joins every thread
    UpgradeSession(const UpgradeSession&) = delete;
    UpgradeSession& operator=(const UpgradeSession&) = delete;

    // "浏览": replaces the package paths (upgrade order) and marks them for loading.
    void SetPackagePaths(std::vector<std::string> paths);
    // A copy of the paths.
    std::vector<std::string> PackagePaths() const;
    // The loaded packages (shared with running workers; never changed in place).
    std::shared_ptr<const std::vector<UpgradePackage>> Packages() const;

    // Reads the packages when the paths changed since the last successful load. Messages
    // "无法打开文件:"+path and "文件读取失败！" go through velmora::Messages(); a file of 4 GiB or
    // more is refused with its own message. 0, kUpgradeLoadFailed, or kUpgradeBusy while a worker
    // runs and the paths changed.
    int LoadPackages();

    // "开始升级": clears stop, loads, queues the rows and starts one worker per checked Queued row.
    // Rows that are Flashing or whose worker still runs are unchecked and skipped. 0, a load
    // failure, or kUpgradeBusy while a row is Sending or a reboot runs.
    int Start();
    // "停止升级": every worker ends after its command in flight; so does the reboot walk.
    void RequestStop();

    int RunningWorkers() const;
    bool AnySending() const;
    bool AnySendingOrFlashing() const;
    // The window is "running" while any worker runs or a row is Sending.
    bool Busy() const;

    // "重启设备": the reboot thread over the checked rows, last to first. A rebooted row's handle
    // is closed with CUSBDevice::CloseDevice and the row removed. 0, or kUpgradeBusy while
    // workers run or another reboot runs.
    int StartReboot();
    bool Rebooting() const;

    // The progress watchdog of the writing phase (kUpgradeStallLimit unless changed; tests shorten
    // it). Applies to workers started afterwards.
    void SetStallLimit(std::chrono::milliseconds limit);

    // No worker runs and no reboot runs: the session may be destroyed without waiting.
    bool Idle() const;

    // Waits for every worker and the reboot thread.
    void Join();

    int RowCount() const;
    UpgradeRow Row(int index) const;  // a default row when out of range
    void SetChecked(int index, bool checked);  // the caller shows it; no RowChanged

private:
    struct RowSlot {
        uint64_t id = 0;
        bool hasWorker = false;
        UpgradeRow row;
    };
    struct Worker {
        std::thread thread;
        std::atomic<bool> finished{false};
    };

    void WorkerMain(std::shared_ptr<std::atomic<bool>> stop,
                    std::shared_ptr<const std::vector<UpgradePackage>> packages);
    void RebootMain(std::shared_ptr<std::atomic<bool>> stop);
    bool Claim(uint64_t& id, int32_t& handle);
    int LoadPackagesLocked();
    // Waits one poll interval; false when the stop flag cut it short.
    bool Pause(const std::atomic<bool>& stop);
    // Applies `change` to the row with this id under the lock, then tells the observer.
    template <typename F>
    void Update(uint64_t id, F&& change);
    int IndexOfLocked(uint64_t id) const;
    void ReapFinishedLocked(std::list<Worker>& out);

    CUSBDevice& usb_;
    UpgradeObserver* observer_;

    mutable std::mutex claimMu_;  // guards claimCursor_ only; taken before rowsMu_
    int claimCursor_ = -1;

    mutable std::mutex rowsMu_;   // guards rows_, nextId_, paths_, packages_, packagesChanged_
    std::vector<RowSlot> rows_;
    uint64_t nextId_ = 1;
    std::vector<std::string> paths_;
    std::shared_ptr<const std::vector<UpgradePackage>> packages_;
    bool packagesChanged_ = false;

    mutable std::mutex threadsMu_;  // guards workers_, stop_, rebootThread_, rebootStop_
    std::list<Worker> workers_;
    std::shared_ptr<std::atomic<bool>> stop_;  // the current run's stop flag
    // Stop flags of earlier runs whose workers may still run (Start may run while cameras write).
    std::vector<std::weak_ptr<std::atomic<bool>>> earlierStops_;
    std::thread rebootThread_;
    std::vector<std::thread> retired_;  // reboot threads that ended but were not joined yet
    std::shared_ptr<std::atomic<bool>> rebootStop_;
    std::atomic<int> running_{0};
    std::atomic<int64_t> stallLimitMs_{kUpgradeStallLimit.count()};
    std::atomic<bool> rebooting_{false};
    std::atomic<bool> rebootLive_{false};  // until the reboot thread's last observer call returned
    std::mutex startMu_;  // serialises Start, LoadPackages and StartReboot as wholes
    std::mutex waitMu_;   // with waitCv_: the poll pause, cut short by RequestStop
    std::condition_variable waitCv_;
};

}  // namespace velmora
