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

#include "camera/camera_directory.h"
#include "transport/usb/cusb_device.h"

// The firmware upgrade of USB cameras without any window: the rows (one per camera), the package
// list, the workers that send every package to their camera and follow its flashing, and the
// reboot thread. The upgrade window and the command-line tool both drive it; they see every row
// change through an UpgradeObserver.
namespace velmora::upgrade {

// Rebooting, Reconnecting, Verifying and Verified belong to the after-flash phase
// (UpgradeOptions::verify): the camera is told to reboot, waited for until it is back, asked its
// identity and its version checked.
enum class UpgradeRowState : int {
    Queued = -2, Failed = -1, Done = 0, Sending = 1, Flashing = 2,
    Rebooting = 3, Reconnecting = 4, Verifying = 5, Verified = 6
};

inline constexpr int kMaxUpgradeRows = 10;
inline constexpr size_t kUpgradeChunkBytes = 1048576;

// Results of the session's operations besides 0.
inline constexpr int kUpgradeLoadFailed = -1;  // a package could not be read (message shown)
inline constexpr int kUpgradeBusy = -2;        // refused: a row is sending, or a reboot runs
inline constexpr int kUpgradeStopped = -3;     // UpgradeRow::result of a row whose run was stopped
inline constexpr int kUpgradeStalled = -4;     // UpgradeRow::result: the camera's progress stood still too long

// UpgradeRow::result codes of the after-flash phase and of the per-camera deadline.
inline constexpr int kUpgradeVersionUnchanged = -360;  // "版本未变": back with the version it had
inline constexpr int kUpgradeNotBack = -361;           // "重启后未上线": not back within the reconnect time
inline constexpr int kUpgradeDeadline = -362;          // the camera's whole run took longer than its deadline
inline constexpr int kUpgradeVersionMismatch = -363;   // back with another version (or build date) than expected
// Start refused: the after-flash phase needs a camera directory that follows the cameras.
inline constexpr int kUpgradeCannotVerify = -5;

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

// The phases whose time is kept per camera (UpgradeRow::seconds), in this order.
enum class UpgradePhase : int { Sending = 0, Flashing, Rebooting, Reconnecting, Verifying, Count };
inline constexpr const char* kUpgradePhaseNames[] = {"sending", "flashing", "rebooting", "reconnecting", "verifying"};

// How a start runs its cameras; set with UpgradeSession::SetOptions, used by the next Start.
struct UpgradeOptions {
    // Cameras worked on at once; the others wait their turn. 0: every checked camera at once.
    int jobs = 0;
    // Time limit of one camera's whole run, from its first request to its last check; 0: none.
    // A command in flight ends first (within its own time-out).
    std::chrono::milliseconds deadline{0};
    // After the last package: reboot, wait for the same camera to come back, read its identity
    // and check its version (needs SetCameraDirectory with a directory that watches).
    bool verify = false;
    std::chrono::milliseconds reconnectTimeout{60000};
    // The BIOS version the camera must report after the reboot, as `list` prints it; empty:
    // higher than the version read before the upgrade.
    std::string expectVersion;
    // The build date it must report; empty: not checked.
    std::string expectBuildDate;
};

// Orders two BIOS version texts ("1.02", "1.0a": the camera's number printed as hexadecimal
// parts): <0, 0, >0. Texts whose parts are not all hexadecimal numbers compare as texts.
int CompareVersionText(const std::string& a, const std::string& b);

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
    // The device's place in the list the session was built from (rows removed by a reboot do
    // not renumber it).
    int source = -1;
    // Identity read after the reboot (after-flash phase); empty until then.
    std::string versionAfter, buildDateAfter;
    // Seconds spent in each UpgradePhase during the last start.
    double seconds[static_cast<int>(UpgradePhase::Count)] = {};
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
    // `maxRows` 0 takes every device (the command line); the window keeps kMaxUpgradeRows.
    UpgradeSession(transport::CUSBDevice& usb, const std::vector<transport::UsbDeviceEntry>& devices,
                   UpgradeObserver* observer, int maxRows = kMaxUpgradeRows);
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
    // "无法打开文件:"+path and "文件读取失败！" go through platform::Messages(); a file of 4 GiB or
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

    // Options of the next Start (concurrency cap, deadline, after-flash phase).
    void SetOptions(const UpgradeOptions& options);
    UpgradeOptions Options() const;
    // The directory through which a rebooted camera is found again; it must be watching
    // (StartWatching) and outlive the session. Its transport must be `usb`.
    void SetCameraDirectory(camera::CameraDirectory* cameras);

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
    struct PhaseClock;  // the phase a worker's camera is in and since when
    struct RowSlot {
        uint64_t id = 0;
        std::string key;  // the camera's identity key in a CameraDirectory (serial, or its path)
        bool hasWorker = false;
        UpgradeRow row;
    };
    struct Worker {
        std::thread thread;
        std::atomic<bool> finished{false};
    };

    // A worker takes rows one after another until none is left (the concurrency cap).
    void WorkerMain(std::shared_ptr<std::atomic<bool>> stop,
                    std::shared_ptr<const std::vector<UpgradePackage>> packages, const UpgradeOptions& options);
    // One camera's run: every package, then the after-flash phase when asked.
    void RunRow(uint64_t id, int32_t handle, const std::atomic<bool>& stop,
                const std::vector<UpgradePackage>& packages, const UpgradeOptions& options);
    // Reboot, reconnect, identity, version check. false when the row failed (already shown).
    bool VerifyRow(uint64_t id, int32_t handle, const std::atomic<bool>& stop, const UpgradeOptions& options,
                   std::chrono::steady_clock::time_point deadline, PhaseClock& clock);
    // Marks the row failed with `code` and `text`, with the phase times so far.
    void FailRow(uint64_t id, PhaseClock& clock, int32_t code, std::string text);
    void RebootMain(std::shared_ptr<std::atomic<bool>> stop);
    bool Claim(uint64_t& id, int32_t& handle);
    int LoadPackagesLocked();
    // Waits one poll interval; false when the stop flag cut it short.
    bool Pause(const std::atomic<bool>& stop, std::chrono::steady_clock::time_point until);
    // Applies `change` to the row with this id under the lock, then tells the observer.
    template <typename F>
    void Update(uint64_t id, F&& change);
    int IndexOfLocked(uint64_t id) const;
    void ReapFinishedLocked(std::list<Worker>& out);

    transport::CUSBDevice& usb_;
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
    mutable std::mutex optionsMu_;  // guards options_, cameras_
    UpgradeOptions options_;
    camera::CameraDirectory* cameras_ = nullptr;
    std::atomic<bool> rebooting_{false};
    std::atomic<bool> rebootLive_{false};  // until the reboot thread's last observer call returned
    std::mutex startMu_;  // serialises Start, LoadPackages and StartReboot as wholes
    std::mutex waitMu_;   // with waitCv_: the poll pause, cut short by RequestStop
    std::condition_variable waitCv_;
};

}  // namespace velmora::upgrade
