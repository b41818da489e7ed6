#include "upgrade/upgrade_session.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <iterator>
#include <new>
#include <optional>
#include <system_error>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <chrono>
#include <utility>

#include "platform/codepage.h"
#include "platform/unique_fd.h"
#include "platform/user_messages.h"
#include "upgrade/upgrade_exchange.h"

namespace velmora::upgrade {
namespace {

constexpr std::chrono::milliseconds kPollInterval{200};
constexpr const char kReadFailed[] = "文件读取失败！";
constexpr const char* kRebootStatus = "重启成功的设备将从列表删除，稍后请重新手动刷新.";

std::string FieldText(const char* field, size_t size) {
    const std::string_view raw(field, strnlen(field, size));
    std::string utf8;
    if (platform::Cp936ToUtf8(raw, utf8)) return utf8;
    return std::string(raw);  // not CP936: shown as it came
}

// Reads the whole file into `out`. 0, or the message to show.
std::string ReadPackage(UpgradePackage& out) {
    // Non-blocking open: a FIFO chosen by mistake must not hang the start.
    const int fd = ::open(out.path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return "无法打开文件:" + out.path;
    platform::UniqueFd file(fd);
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
        return platform::WithFileReason(kReadFailed, out.path, "not a regular file");
    const uint64_t length = static_cast<uint64_t>(st.st_size);
    if (length > UINT32_MAX) return "升级包过大(须小于4GB):" + out.path;
    // An empty package has nothing to write; a camera that accepted it would report success.
    if (length == 0) return "升级包为空:" + out.path;
    out.size = static_cast<uint32_t>(length);
    try {
        out.data.resize(out.size);
    } catch (const std::bad_alloc&) {
        return platform::WithFileReason(kReadFailed, out.path, "not enough memory");  // must not end the program
    }
    size_t got = 0;
    while (got < out.size) {
        const ssize_t n = ::read(fd, out.data.data() + got, out.size - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return platform::WithFileReason(kReadFailed, out.path, std::strerror(errno));
        if (n == 0) return platform::WithFileReason(kReadFailed, out.path, "the file became shorter while it was read");
        got += static_cast<size_t>(n);
    }
    return {};
}

}  // namespace

namespace {

// The hexadecimal parts of a version text, or nothing when a part is not one.
std::optional<std::vector<unsigned long>> VersionParts(const std::string& text) {
    std::vector<unsigned long> parts;
    size_t start = 0;
    for (;;) {
        const size_t dot = text.find('.', start);
        const std::string part = text.substr(start, dot == std::string::npos ? std::string::npos : dot - start);
        if (part.empty() || part.size() > 8 ||
            !std::all_of(part.begin(), part.end(), [](unsigned char c) { return std::isxdigit(c) != 0; }))
            return std::nullopt;
        parts.push_back(std::stoul(part, nullptr, 16));
        if (dot == std::string::npos) return parts;
        start = dot + 1;
    }
}

std::string DeadlineText(std::chrono::milliseconds deadline) {
    return platform::Format("升级超时:%g秒内未完成", static_cast<double>(deadline.count()) / 1000.0);
}

}  // namespace

int CompareVersionText(const std::string& a, const std::string& b) {
    const auto pa = VersionParts(a), pb = VersionParts(b);
    if (!pa || !pb) return a.compare(b) < 0 ? -1 : a == b ? 0 : 1;
    const size_t n = std::max(pa->size(), pb->size());
    for (size_t i = 0; i < n; ++i) {
        const unsigned long x = i < pa->size() ? (*pa)[i] : 0, y = i < pb->size() ? (*pb)[i] : 0;
        if (x != y) return x < y ? -1 : 1;
    }
    return 0;
}

std::string UpgradeTypeName(const std::string& path, int index) {
    std::string lower = path;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    static const char* const kKeywords[] = {"uimage", "uboot", "extrootfs", "rootfs", "terrans", "updata"};
    for (const char* k : kKeywords)
        if (lower.find(k) != std::string::npos) return k;
    return std::to_string(index + 1);
}

UpgradeSession::UpgradeSession(transport::CUSBDevice& usb, const std::vector<transport::UsbDeviceEntry>& devices,
                               UpgradeObserver* observer, int maxRows)
    : usb_(usb), observer_(observer), packages_(std::make_shared<const std::vector<UpgradePackage>>()),
      stop_(std::make_shared<std::atomic<bool>>(false)),
      rebootStop_(std::make_shared<std::atomic<bool>>(false)) {
    for (const transport::UsbDeviceEntry& d : devices) {
        if (maxRows > 0 && static_cast<int>(rows_.size()) >= maxRows) break;
        RowSlot slot;
        slot.id = nextId_++;
        slot.key = camera::CameraDirectory::UsbKeyOf(d, usb.DevicePath(d.handle));
        slot.row.source = static_cast<int>(rows_.size());
        slot.row.handle = d.handle;
        slot.row.name = std::string(d.displayName, strnlen(d.displayName, sizeof d.displayName));  // UTF-8 as sent
        slot.row.model = FieldText(d.productModel, sizeof d.productModel);
        slot.row.serial = FieldText(d.serial, sizeof d.serial);
        slot.row.biosVersion = FieldText(d.biosVersion, sizeof d.biosVersion);
        slot.row.buildDate = FieldText(d.buildDate, sizeof d.buildDate);
        rows_.push_back(std::move(slot));
    }
}

UpgradeSession::~UpgradeSession() {
    RequestStop();
    Join();
}

void UpgradeSession::SetPackagePaths(std::vector<std::string> paths) {
    std::lock_guard lock(rowsMu_);
    paths_ = std::move(paths);
    packagesChanged_ = true;
}

std::vector<std::string> UpgradeSession::PackagePaths() const {
    std::lock_guard lock(rowsMu_);
    return paths_;
}

std::shared_ptr<const std::vector<UpgradePackage>> UpgradeSession::Packages() const {
    std::lock_guard lock(rowsMu_);
    return packages_;
}

int UpgradeSession::LoadPackages() {
    std::lock_guard start(startMu_);
    return LoadPackagesLocked();
}

int UpgradeSession::LoadPackagesLocked() {
    std::vector<std::string> paths;
    {
        std::lock_guard lock(rowsMu_);
        if (!packagesChanged_) return 0;
        // Workers read the current packages; a new list waits until they ended.
        if (running_.load() > 0) return kUpgradeBusy;
        paths = paths_;
        // The old contents go before the new ones are read, so only one set is ever held.
        packages_ = std::make_shared<const std::vector<UpgradePackage>>();
    }
    auto list = std::make_shared<std::vector<UpgradePackage>>();
    list->reserve(paths.size());
    for (size_t i = 0; i < paths.size(); ++i) {
        UpgradePackage p;
        p.path = paths[i];
        p.typeName = UpgradeTypeName(p.path, static_cast<int>(i));
        list->push_back(std::move(p));
    }
    for (UpgradePackage& p : *list) {
        const std::string failure = ReadPackage(p);
        if (!failure.empty()) {
            platform::Messages().Information(failure);
            return kUpgradeLoadFailed;
        }
    }
    std::lock_guard lock(rowsMu_);
    packages_ = std::move(list);
    packagesChanged_ = false;
    return 0;
}

void UpgradeSession::SetOptions(const UpgradeOptions& options) {
    std::lock_guard lock(optionsMu_);
    options_ = options;
}

UpgradeOptions UpgradeSession::Options() const {
    std::lock_guard lock(optionsMu_);
    return options_;
}

void UpgradeSession::SetCameraDirectory(camera::CameraDirectory* cameras) {
    std::lock_guard lock(optionsMu_);
    cameras_ = cameras;
}

int UpgradeSession::Start() {
    std::lock_guard start(startMu_);
    if (rebooting_.load() || AnySending()) return kUpgradeBusy;
    const UpgradeOptions options = Options();
    if (options.verify) {
        std::lock_guard lock(optionsMu_);
        if (cameras_ == nullptr || !cameras_->Watching()) return kUpgradeCannotVerify;
    }
    std::shared_ptr<std::atomic<bool>> stop = std::make_shared<std::atomic<bool>>(false);
    {
        std::lock_guard lock(threadsMu_);
        // Workers still writing from an earlier start keep that start's flag; a stop reaches them too.
        std::erase_if(earlierStops_, [](const std::weak_ptr<std::atomic<bool>>& w) { return w.expired(); });
        earlierStops_.push_back(stop_);
        stop_ = stop;
    }
    if (int r = LoadPackagesLocked()) return r;
    std::shared_ptr<const std::vector<UpgradePackage>> packages = Packages();

    {
        std::lock_guard lock(claimMu_);
        claimCursor_ = -1;
    }
    std::vector<std::pair<int, UpgradeRow>> changes;
    int workers = 0;
    {
        std::lock_guard lock(rowsMu_);
        for (size_t i = 0; i < rows_.size(); ++i) {
            RowSlot& s = rows_[i];
            if (s.row.state == UpgradeRowState::Flashing) {
                if (s.row.checked) {
                    s.row.checked = false;
                    changes.emplace_back(static_cast<int>(i), s.row);
                }
                continue;
            }
            if (s.hasWorker) continue;  // its worker is just ending; it is not queued twice
            if (s.row.state != UpgradeRowState::Queued || s.row.result != 0) {
                s.row.state = UpgradeRowState::Queued;
                s.row.result = 0;
                changes.emplace_back(static_cast<int>(i), s.row);
            }
            std::fill(std::begin(s.row.seconds), std::end(s.row.seconds), 0.0);
            if (s.row.checked) ++workers;
        }
    }
    if (observer_)
        for (const auto& [index, row] : changes) observer_->RowChanged(index, row);

    // The cap: fewer workers, each taking the next queued row when its camera is finished.
    if (options.jobs > 0) workers = std::min(workers, options.jobs);
    std::list<Worker> finished;
    {
        std::lock_guard lock(threadsMu_);
        ReapFinishedLocked(finished);
        for (int i = 0; i < workers; ++i) {
            Worker& w = workers_.emplace_back();
            running_.fetch_add(1);
            try {
                w.thread = std::thread([this, &w, stop, packages, options] {
                    WorkerMain(stop, packages, options);
                    running_.fetch_sub(1);
                    w.finished.store(true);
                });
            } catch (const std::system_error&) {
                // No thread to be had: the rows left stay Queued for the next start.
                running_.fetch_sub(1);
                workers_.pop_back();
                break;
            }
        }
    }
    for (Worker& w : finished) w.thread.join();
    return 0;
}

void UpgradeSession::RequestStop() {
    {
        std::lock_guard lock(threadsMu_);
        stop_->store(true);
        for (const auto& w : earlierStops_)
            if (auto flag = w.lock()) flag->store(true);
        rebootStop_->store(true);
    }
    {
        std::lock_guard lock(optionsMu_);
        if (cameras_) cameras_->WakeUsbWaiters();  // a worker waiting for its camera to come back
    }
    std::lock_guard lock(waitMu_);
    waitCv_.notify_all();
}

int UpgradeSession::RunningWorkers() const { return running_.load(); }

bool UpgradeSession::AnySending() const {
    std::lock_guard lock(rowsMu_);
    return std::any_of(rows_.begin(), rows_.end(),
                       [](const RowSlot& s) { return s.row.state == UpgradeRowState::Sending; });
}

bool UpgradeSession::AnySendingOrFlashing() const {
    std::lock_guard lock(rowsMu_);
    return std::any_of(rows_.begin(), rows_.end(), [](const RowSlot& s) {
        return s.row.state == UpgradeRowState::Sending || s.row.state == UpgradeRowState::Flashing;
    });
}

bool UpgradeSession::Busy() const { return running_.load() > 0 || AnySending(); }

int UpgradeSession::StartReboot() {
    std::lock_guard start(startMu_);
    if (rebooting_.load() || Busy()) return kUpgradeBusy;
    std::lock_guard lock(threadsMu_);
    // The previous reboot thread has told its end; it may still be returning from that call.
    if (rebootThread_.joinable()) retired_.push_back(std::move(rebootThread_));
    rebootStop_ = std::make_shared<std::atomic<bool>>(false);
    rebooting_.store(true);
    rebootLive_.store(true);
    try {
        rebootThread_ = std::thread([this, stop = rebootStop_] { RebootMain(stop); });
    } catch (const std::system_error&) {
        rebooting_.store(false);
        rebootLive_.store(false);
        return kUpgradeBusy;
    }
    return 0;
}

void UpgradeSession::SetStallLimit(std::chrono::milliseconds limit) { stallLimitMs_.store(limit.count()); }

bool UpgradeSession::Rebooting() const { return rebooting_.load(); }

bool UpgradeSession::Idle() const { return running_.load() == 0 && !rebootLive_.load(); }

void UpgradeSession::Join() {
    for (;;) {
        std::list<Worker> workers;
        std::vector<std::thread> threads;
        {
            std::lock_guard lock(threadsMu_);
            workers.splice(workers.end(), workers_);
            if (rebootThread_.joinable()) threads.push_back(std::move(rebootThread_));
            for (std::thread& t : retired_) threads.push_back(std::move(t));
            retired_.clear();
        }
        if (workers.empty() && threads.empty()) return;
        for (Worker& w : workers) {
            if (w.thread.joinable()) w.thread.join();
        }
        for (std::thread& t : threads) {
            if (t.joinable()) t.join();
        }
    }
}

int UpgradeSession::RowCount() const {
    std::lock_guard lock(rowsMu_);
    return static_cast<int>(rows_.size());
}

UpgradeRow UpgradeSession::Row(int index) const {
    std::lock_guard lock(rowsMu_);
    if (index < 0 || index >= static_cast<int>(rows_.size())) return {};
    return rows_[static_cast<size_t>(index)].row;
}

void UpgradeSession::SetChecked(int index, bool checked) {
    std::lock_guard lock(rowsMu_);
    if (index < 0 || index >= static_cast<int>(rows_.size())) return;
    rows_[static_cast<size_t>(index)].row.checked = checked;
}

void UpgradeSession::ReapFinishedLocked(std::list<Worker>& out) {
    for (auto it = workers_.begin(); it != workers_.end();) {
        auto next = std::next(it);
        if (it->finished.load()) out.splice(out.end(), workers_, it);
        it = next;
    }
}

int UpgradeSession::IndexOfLocked(uint64_t id) const {
    for (size_t i = 0; i < rows_.size(); ++i)
        if (rows_[i].id == id) return static_cast<int>(i);
    return -1;
}

template <typename F>
void UpgradeSession::Update(uint64_t id, F&& change) {
    int index;
    UpgradeRow copy;
    {
        std::lock_guard lock(rowsMu_);
        index = IndexOfLocked(id);
        if (index < 0) return;
        UpgradeRow& row = rows_[static_cast<size_t>(index)].row;
        change(row);
        copy = row;
    }
    if (observer_) observer_->RowChanged(index, copy);
}

bool UpgradeSession::Claim(uint64_t& id, int32_t& handle) {
    std::lock_guard cursor(claimMu_);
    std::lock_guard lock(rowsMu_);
    const int count = static_cast<int>(rows_.size());
    if (claimCursor_ >= count) return false;
    for (int i = claimCursor_ + 1; i < count; ++i) {
        RowSlot& s = rows_[static_cast<size_t>(i)];
        if (s.row.checked && s.row.state == UpgradeRowState::Queued && !s.hasWorker) {
            claimCursor_ = i;
            s.hasWorker = true;
            id = s.id;
            handle = s.row.handle;
            return true;
        }
    }
    return false;
}

bool UpgradeSession::Pause(const std::atomic<bool>& stop, std::chrono::steady_clock::time_point until) {
    std::unique_lock lock(waitMu_);
    const auto wake = std::min(std::chrono::steady_clock::now() + kPollInterval, until);
    return !waitCv_.wait_until(lock, wake, [&] { return stop.load(); });
}

struct UpgradeSession::PhaseClock {
    int phase = -1;
    std::chrono::steady_clock::time_point since{};
    double seconds[static_cast<int>(UpgradePhase::Count)] = {};

    void Enter(UpgradePhase p) {
        Leave();
        phase = static_cast<int>(p);
        since = std::chrono::steady_clock::now();
    }
    void Leave() {
        if (phase >= 0)
            seconds[phase] += std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
        phase = -1;
    }
    void CopyTo(UpgradeRow& r) const { std::copy(std::begin(seconds), std::end(seconds), std::begin(r.seconds)); }
};

void UpgradeSession::FailRow(uint64_t id, PhaseClock& clock, int32_t code, std::string text) {
    clock.Leave();
    Update(id, [&](UpgradeRow& r) {
        r.state = UpgradeRowState::Failed;
        r.result = code;
        r.text = std::move(text);
        clock.CopyTo(r);
    });
}

void UpgradeSession::WorkerMain(std::shared_ptr<std::atomic<bool>> stop,
                                std::shared_ptr<const std::vector<UpgradePackage>> packages,
                                const UpgradeOptions& options) {
    uint64_t id = 0;
    int32_t handle = -1;
    // Without a cap (the window) each worker takes one row, as it always did: a row checked
    // after the start is not taken by a worker that is done with its own.
    const bool takeMore = options.jobs > 0;
    for (bool first = true; (first || (takeMore && !stop->load())) && Claim(id, handle); first = false) {
        RunRow(id, handle, *stop, *packages, options);
        std::lock_guard lock(rowsMu_);
        const int index = IndexOfLocked(id);
        if (index >= 0) rows_[static_cast<size_t>(index)].hasWorker = false;
    }
}

void UpgradeSession::RunRow(uint64_t id, int32_t handle, const std::atomic<bool>& stop,
                            const std::vector<UpgradePackage>& packages, const UpgradeOptions& options) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline =
        options.deadline.count() > 0 ? Clock::now() + options.deadline : Clock::time_point::max();
    PhaseClock clock;
    auto fail = [&](int32_t code, std::string text) { FailRow(id, clock, code, std::move(text)); };
    // The deadline covers the camera's whole run; it is looked at between commands.
    auto expired = [&] {
        if (Clock::now() < deadline) return false;
        fail(kUpgradeDeadline, DeadlineText(options.deadline));
        return true;
    };
    int32_t lastStatus = 0;
    int32_t lastProgress = 0;
    std::string reply;
    const std::chrono::milliseconds stallLimit{stallLimitMs_.load()};
    for (const UpgradePackage& p : packages) {
        const char* type = p.typeName.c_str();
        // A stop raised between two packages (or before the first) requests nothing more.
        if (stop.load()) {
            fail(kUpgradeStopped, "停止升级");
            goto finish;
        }
        if (expired()) goto finish;
        clock.Enter(UpgradePhase::Sending);
        Update(id, [&](UpgradeRow& r) { r.text = platform::Format("请求升级[%s]...", type); });
        int res = SendUpgradeRequest(usb_, handle, p.size);
        if (res < 0) {
            fail(res, platform::Format("请求升级失败:%d", res));
            goto finish;
        }
        // Each package is followed to its own end: a 2 kept from the previous package would
        // otherwise count this one as written before the camera was asked.
        lastStatus = 0;
        Update(id, [&](UpgradeRow& r) {
            r.text = platform::Format("发送升级包[%s]..", type);
            r.state = UpgradeRowState::Sending;
            r.percent = -1;  // no bar until this package's first reply
        });

        for (size_t offset = 0; !stop.load() && offset < p.size;) {
            if (expired()) goto finish;
            const size_t chunk = std::min<size_t>(p.size - offset, kUpgradeChunkBytes);
            res = SendUpgradeData(usb_, handle, p.data.data() + offset, chunk, reply);
            if (res < 0) {
                fail(res, platform::Format("升级[%s]失败:%d", type, res));
                goto finish;
            }
            offset += chunk;
            const UpgradeReply parsed = ParseUpgradeReply(reply.c_str());
            if (!parsed.json) continue;
            if (parsed.hasResult && parsed.result < 0) {  // refused in the body, as the sets are
                fail(parsed.result, platform::Format("升级[%s]失败:%d", type, parsed.result));
                goto finish;
            }
            if (parsed.hasStatus) lastStatus = parsed.status;
            if (parsed.hasProgress) lastProgress = parsed.progress;
            if (lastProgress < 0) {
                fail(lastProgress, platform::Format("升级[%s]返回失败:%d", type, lastProgress));
                goto finish;
            }
            Update(id, [&](UpgradeRow& r) {
                r.text = platform::Format("升级[%s]: %d%%", type, lastProgress);
                r.percent = lastProgress;
            });
        }
        if (stop.load()) {
            fail(kUpgradeStopped, "停止升级");
            goto finish;
        }
        clock.Enter(UpgradePhase::Flashing);
        Update(id, [&](UpgradeRow& r) {
            r.state = UpgradeRowState::Flashing;
            r.checked = false;
            clock.CopyTo(r);
        });

        // The watchdog: a camera that stops moving (stuck at 99 %, never reporting UpdateStatus 2)
        // would otherwise be asked for ever.
        auto lastMove = Clock::now();
        int32_t seenStatus = lastStatus, seenProgress = lastProgress;
        while (!stop.load() && lastStatus != 2) {
            if (expired()) goto finish;
            if (Clock::now() - lastMove >= stallLimit) {
                fail(kUpgradeStalled, platform::Format("升级[%s]超时:进度%lld秒无变化", type,
                                             static_cast<long long>(stallLimit.count() / 1000)));
                goto finish;
            }
            res = QueryUpgradeProgress(usb_, handle, reply);
            if (res < 0) {
                fail(res, platform::Format("升级[%s]失败: %d", type, res));
                goto finish;
            }
            const UpgradeReply parsed = ParseUpgradeReply(reply.c_str());
            if (!parsed.json) continue;
            if (parsed.hasResult && parsed.result < 0) {
                fail(parsed.result, platform::Format("升级[%s]失败: %d", type, parsed.result));
                goto finish;
            }
            if (parsed.hasStatus) lastStatus = parsed.status;
            if (parsed.hasProgress) lastProgress = parsed.progress;
            if (lastStatus != seenStatus || lastProgress != seenProgress) {
                seenStatus = lastStatus;
                seenProgress = lastProgress;
                lastMove = Clock::now();
            }
            if (lastProgress < 0) {
                fail(lastProgress, platform::Format("升级返回失败:%d", lastProgress));
                goto finish;
            }
            Update(id, [&](UpgradeRow& r) {
                r.text = (lastStatus == 2 && lastProgress == 0)
                             ? std::string("升级成功.")
                             : platform::Format("升级[%s](烧写中):%d%%", type, lastProgress);
                r.percent = lastProgress;
            });
            if (lastStatus != 2) Pause(stop, deadline);
        }
        if (stop.load()) {
            fail(kUpgradeStopped, "停止升级");
            goto finish;
        }
        clock.Leave();
        Update(id, [&](UpgradeRow& r) {
            r.state = UpgradeRowState::Done;
            clock.CopyTo(r);
        });
    }
    if (options.verify && !packages.empty()) VerifyRow(id, handle, stop, options, deadline, clock);
finish:
    Update(id, [&](UpgradeRow& r) { r.checked = true; });
}

bool UpgradeSession::VerifyRow(uint64_t id, int32_t handle, const std::atomic<bool>& stop,
                               const UpgradeOptions& options, std::chrono::steady_clock::time_point deadline,
                               PhaseClock& clock) {
    using Clock = std::chrono::steady_clock;
    camera::CameraDirectory* cameras = nullptr;
    {
        std::lock_guard lock(optionsMu_);
        cameras = cameras_;
    }
    std::string key, before;
    {
        std::lock_guard lock(rowsMu_);
        const int index = IndexOfLocked(id);
        if (index < 0) return false;
        key = rows_[static_cast<size_t>(index)].key;
        before = rows_[static_cast<size_t>(index)].row.biosVersion;
    }
    auto fail = [&](int32_t code, std::string text) {
        FailRow(id, clock, code, std::move(text));
        return false;
    };
    auto enter = [&](UpgradePhase phase, UpgradeRowState state, std::string text) {
        clock.Enter(phase);
        Update(id, [&](UpgradeRow& r) {
            r.state = state;
            r.text = std::move(text);
            r.percent = -1;
            clock.CopyTo(r);
        });
    };
    if (stop.load()) return fail(kUpgradeStopped, "停止升级");
    if (Clock::now() >= deadline) return fail(kUpgradeDeadline, DeadlineText(options.deadline));
    if (cameras == nullptr) return fail(kUpgradeCannotVerify, "重启后未上线");

    // Arrivals after this count are the camera coming back, not an earlier plugging.
    const uint64_t mark = cameras->UsbArrivalCount();
    const std::string path = usb_.DevicePath(handle);
    enter(UpgradePhase::Rebooting, UpgradeRowState::Rebooting, "重启中...");
    const int res = SendReboot(usb_, handle);
    if (res < 0) return fail(res, platform::Format("重启失败:%d", res));
    usb_.CloseDevice(handle);

    enter(UpgradePhase::Reconnecting, UpgradeRowState::Reconnecting, "等待设备重新上线...");
    const Clock::time_point back = std::min(Clock::now() + options.reconnectTimeout, deadline);
    camera::UsbListing found;
    switch (cameras->WaitForUsbArrival(key, path, mark, back, stop, found)) {
    case camera::CameraDirectory::ArrivalWait::Arrived: break;
    case camera::CameraDirectory::ArrivalWait::Stopped: return fail(kUpgradeStopped, "停止升级");
    case camera::CameraDirectory::ArrivalWait::TimedOut:
        if (back == deadline && Clock::now() >= deadline) return fail(kUpgradeDeadline, DeadlineText(options.deadline));
        return fail(kUpgradeNotBack, "重启后未上线");
    }
    const int32_t newHandle = found.entry.handle;
    enter(UpgradePhase::Verifying, UpgradeRowState::Verifying, "校验版本...");
    Update(id, [&](UpgradeRow& r) { r.handle = newHandle; });
    transport::UsbDeviceEntry entry{};
    const int read = usb_.IdentifyDevice(newHandle, entry);
    if (read < 0) return fail(read, platform::Format("读取设备信息失败:%d", read));
    const std::string after = FieldText(entry.biosVersion, sizeof entry.biosVersion);
    const std::string builtAfter = FieldText(entry.buildDate, sizeof entry.buildDate);
    Update(id, [&](UpgradeRow& r) {
        r.versionAfter = after;
        r.buildDateAfter = builtAfter;
    });
    const bool unchanged = CompareVersionText(after, before) == 0;
    const bool versionOk = options.expectVersion.empty() ? CompareVersionText(after, before) > 0
                                                         : CompareVersionText(after, options.expectVersion) == 0;
    if (!versionOk) {
        if (unchanged) return fail(kUpgradeVersionUnchanged, "版本未变");
        return fail(kUpgradeVersionMismatch, platform::Format("版本不符:%s", after.c_str()));
    }
    if (!options.expectBuildDate.empty() && builtAfter != options.expectBuildDate)
        return fail(kUpgradeVersionMismatch, platform::Format("编译时间不符:%s", builtAfter.c_str()));
    clock.Leave();
    Update(id, [&](UpgradeRow& r) {
        r.state = UpgradeRowState::Verified;
        r.result = 0;
        r.text = platform::Format("校验通过:版本%s", after.c_str());
        clock.CopyTo(r);
    });
    return true;
}

void UpgradeSession::RebootMain(std::shared_ptr<std::atomic<bool>> stop) {
    for (int i = RowCount() - 1; i >= 0 && !stop->load(); --i) {
        uint64_t id;
        int32_t handle;
        {
            std::lock_guard lock(rowsMu_);
            if (i >= static_cast<int>(rows_.size()) || !rows_[static_cast<size_t>(i)].row.checked) continue;
            id = rows_[static_cast<size_t>(i)].id;
            handle = rows_[static_cast<size_t>(i)].row.handle;
        }
        const int res = SendReboot(usb_, handle);
        if (res < 0) {
            Update(id, [res](UpgradeRow& r) {
                r.text = "重启失败";
                r.result = res;
            });
            continue;
        }
        Update(id, [](UpgradeRow& r) {
            r.text = "设备已经重启";
            r.result = 0;
        });
        usb_.CloseDevice(handle);
        int index;
        {
            std::lock_guard lock(rowsMu_);
            index = IndexOfLocked(id);
            if (index >= 0) rows_.erase(rows_.begin() + index);
        }
        if (index >= 0 && observer_) observer_->RowRemoved(index);
    }
    if (observer_) observer_->StatusText(kRebootStatus);
    rebooting_.store(false);
    if (observer_) observer_->RebootFinished();
    rebootLive_.store(false);
}

}  // namespace velmora::upgrade
