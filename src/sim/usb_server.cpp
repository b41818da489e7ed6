#include "sim/usb_server.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <future>
#include <mutex>
#include <optional>
#include <thread>

#include "platform/atomic_file.h"
#include "platform/zeb_log.h"
#include "sim/hid_framing.h"
#include "sim/json_ptr.h"
#include "sim/usb_dispatch.h"

namespace velmora::sim {
namespace {

using Clock = std::chrono::steady_clock;
constexpr size_t kMaxClients = 16;
// Refused connections kept open until their host hangs up (see RefuseBusy), at most this many
// and at most this long each.
constexpr size_t kMaxRefused = 16;
constexpr auto kRefusedLinger = std::chrono::seconds(2);
constexpr unsigned kLogInfo = 2;
constexpr unsigned kLogWarn = 3;
constexpr const char* kLockName = ".camsim.lock";

// Takes the directory's lock file: an exclusive flock held until ReleaseLock, with this process's
// id written into the file so that a refused simulator can name the holder. Only the lock counts,
// never the file's existence: a file left by a simulator that died holds no lock. Returns the
// file descriptor, or -1 with `error`.
int TakeLock(const std::string& path, const std::string& dir, std::string* error) {
    auto fail = [&](const std::string& why) {
        if (error) *error = why;
        return -1;
    };
    // A holder removes the file before it lets go of the lock; whoever locked a file that is no
    // longer the one at `path` tries again, so two simulators never hold locks on different files.
    for (int attempt = 0; attempt < 8; ++attempt) {
        const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
        if (fd < 0) {
            const char* why = std::strerror(errno);  // before any string is built
            return fail("cannot open " + path + ": " + why);
        }
        if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
            const int err = errno;
            char text[32] = {};
            const ssize_t n = pread(fd, text, sizeof text - 1, 0);
            close(fd);
            if (err != EWOULDBLOCK) return fail("cannot lock " + path + ": " + std::strerror(err));
            long pid = 0;
            const bool known = n > 0 && std::sscanf(text, "%ld", &pid) == 1 && pid > 0;
            return fail(dir + " is in use by another velmora-camsim" +
                        (known ? " (pid " + std::to_string(pid) + ")" : std::string()));
        }
        struct stat held{}, named{};
        if (fstat(fd, &held) != 0 || stat(path.c_str(), &named) != 0 || held.st_dev != named.st_dev ||
            held.st_ino != named.st_ino) {
            close(fd);
            continue;
        }
        const std::string pid = std::to_string(getpid()) + "\n";
        if (pwrite(fd, pid.data(), pid.size(), 0) != static_cast<ssize_t>(pid.size()) ||
            ftruncate(fd, static_cast<off_t>(pid.size())) != 0) {
            const int err = errno;
            close(fd);
            return fail("cannot write " + path + ": " + std::strerror(err));
        }
        return fd;
    }
    return fail("cannot lock " + path + ": it keeps being replaced");
}

// Reads and drops whatever the host of a refused connection has sent.
void DiscardInput(int fd) {
    char buf[512];
    while (recv(fd, buf, sizeof buf, MSG_DONTWAIT) > 0) {
    }
}

int MillisUntil(Clock::time_point when, Clock::time_point now) {
    if (when <= now) return 0;
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(when - now).count() + 1;
    return static_cast<int>(std::min<int64_t>(ms, 60000));
}

}  // namespace

class UsbServer::Camera {
public:
    Camera(const std::string& dir, UsbCameraConfig config)
        : config_(std::move(config)),
          sockPath_(dir + "/" + config_.name + ".sock"),
          jsonPath_(dir + "/" + config_.name + ".json"),
          model_(config_.model) {
        if (auto ms = SlowFlashMs(config_.faults)) model_.SetFlashMs(*ms);
        if (HasFault(config_.faults, Fault::Kind::NeverFlash)) model_.SetNeverFlash(true);
        if (HasFault(config_.faults, Fault::Kind::AcceptEmpty)) model_.SetAcceptEmpty(true);
        if (HasFault(config_.faults, Fault::Kind::Rollback)) model_.SetRollback(true);
        ApplyParamFaults(config_.faults, model_);
        for (const auto& [member, value] : config_.params) model_.Set(member, value);
    }
    ~Camera() {
        Join();
        Unplug();
        if (ctlFd_ >= 0) close(ctlFd_);
    }

    int Plug(std::string* error);
    void Unplug();
    // 0, or -1 with `error` when the thread's wake-up cannot be made.
    int StartThread(int wakeFd, std::string* error) {
        wakeFd_ = wakeFd;
        if (ctlFd_ < 0) ctlFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (ctlFd_ < 0) {
            if (error) *error = config_.name + ": eventfd: " + std::strerror(errno);
            return -1;
        }
        {
            std::lock_guard lock(ctlMu_);
            running_ = true;
        }
        thread_ = std::thread([this] { Run(); });
        return 0;
    }
    void Join() {
        if (thread_.joinable()) thread_.join();
    }

    CameraModel& model() { return model_; }
    const UsbCameraConfig& config() const { return config_; }
    const std::string& sockPath() const { return sockPath_; }
    const std::string& jsonPath() const { return jsonPath_; }
    bool plugged() const { return plugged_.load(); }
    int64_t exchanges() const { return exchanges_.load(); }
    int64_t reads() const { return reads_.load(); }
    int64_t sets() const { return sets_.load(); }
    bool removed() const { return removed_.load(); }
    void MarkRemoved() { removed_ = true; }

    // What the control channel asks of a running camera; carried out by the camera's thread.
    enum class Op { Plug, Unplug, End };
    // Hands `op` to the camera's thread and waits until it is done. 0, or -1 with `error`.
    int Ask(Op op, std::string* error);

private:
    enum class After { None, Unplug, Reboot };
    struct Client {
        int fd = -1;
        RequestAssembler assembler;
        std::vector<uint8_t> out;  // reply reports back to back
        size_t outPos = 0;         // reports already sent
        std::optional<Clock::time_point> holdUntil;
        After after = After::None;
        int64_t replugMs = -1;
        bool closed = false;
        explicit Client(int f, size_t reportLength) : fd(f), assembler(reportLength) {}
    };

    struct Refused {
        int fd;
        Clock::time_point until;
    };

    void Run();
    void RefuseBusy(int fd, Clock::time_point now);
    void ReadRequests(Client& c);
    void Process(Client& c, RequestAssembler::Event event);
    void Flush(Client& c);
    void CloseClient(Client& c);
    void DropAll();
    // Carries out the control requests queued by Ask; false when the thread is to end.
    bool RunRequests();

    struct Request {
        Op op;
        std::promise<std::pair<int, std::string>> done;
    };

    UsbCameraConfig config_;
    std::string sockPath_;
    std::string jsonPath_;
    CameraModel model_;
    int wakeFd_ = -1;
    int listenFd_ = -1;
    std::vector<std::unique_ptr<Client>> clients_;
    std::vector<Refused> refused_;
    std::optional<Clock::time_point> replugAt_;
    std::atomic<bool> plugged_{false};
    std::atomic<int64_t> exchanges_{0};
    std::atomic<int64_t> reads_{0};
    std::atomic<int64_t> sets_{0};
    std::atomic<bool> removed_{false};
    int ctlFd_ = -1;        // eventfd: requests queued in pending_
    std::mutex ctlMu_;      // guards pending_ and running_
    std::vector<Request> pending_;
    bool running_ = false;  // the thread takes requests
    std::thread thread_;
};

int UsbServer::Camera::Plug(std::string* error) {
    auto fail = [&](const std::string& why) {
        if (error) *error = config_.name + ": " + why;
        if (listenFd_ >= 0) {
            close(listenFd_);
            listenFd_ = -1;
        }
        return -1;
    };
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (sockPath_.size() >= sizeof addr.sun_path) return fail("socket path too long: " + sockPath_);
    std::memcpy(addr.sun_path, sockPath_.c_str(), sockPath_.size() + 1);

    struct stat st{};
    if (lstat(sockPath_.c_str(), &st) == 0) {
        // A socket left by a simulator that did not end cleanly is replaced; anything else is not ours.
        if (!S_ISSOCK(st.st_mode)) return fail(sockPath_ + " exists and is not a socket");
        unlink(sockPath_.c_str());
    }
    listenFd_ = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (listenFd_ < 0) return fail(std::string("socket: ") + std::strerror(errno));
    if (bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        const char* why = std::strerror(errno);  // before any string is built
        return fail("bind " + sockPath_ + ": " + why);
    }
    if (listen(listenFd_, 8) != 0) {
        unlink(sockPath_.c_str());
        return fail(std::string("listen: ") + std::strerror(errno));
    }
    // The description appears only once the socket listens, and atomically, so a host that
    // enumerates the directory never sees a device it cannot open.
    char desc[160];
    std::snprintf(desc, sizeof desc,
                  "{\"vendor_id\": %u, \"product_id\": %u, \"output_report_length\": %zu, "
                  "\"input_report_length\": %zu}\n",
                  config_.vendorId, config_.productId, config_.reportLength, config_.reportLength);
    const std::string tmp = jsonPath_ + ".tmp";
    FILE* f = std::fopen(tmp.c_str(), "w");
    bool ok = f && std::fputs(desc, f) >= 0;
    if (f && std::fclose(f) != 0) ok = false;
    if (!ok || std::rename(tmp.c_str(), jsonPath_.c_str()) != 0) {
        std::remove(tmp.c_str());
        unlink(sockPath_.c_str());
        return fail("cannot write " + jsonPath_);
    }
    plugged_ = true;
    return 0;
}

void UsbServer::Camera::Unplug() {
    // The device disappears from the directory before its connections close, so a host that
    // sees its connection end never finds the old socket still listening.
    plugged_ = false;
    if (listenFd_ >= 0) {
        unlink(jsonPath_.c_str());
        unlink(sockPath_.c_str());
        close(listenFd_);
        listenFd_ = -1;
    }
    DropAll();
}

void UsbServer::Camera::CloseClient(Client& c) {
    if (c.fd >= 0) close(c.fd);
    c.fd = -1;
    c.closed = true;
}

void UsbServer::Camera::DropAll() {
    for (auto& c : clients_) CloseClient(*c);
    clients_.clear();
    for (const Refused& r : refused_) close(r.fd);
    refused_.clear();
}

void UsbServer::Camera::RefuseBusy(int fd, Clock::time_point now) {
    platform::AppLog().Log(kLogWarn, nullptr, "camsim %s: busy, all %zu connections taken; refused a connection",
                 config_.name.c_str(), clients_.size());
    const std::vector<uint8_t> notice = BuildBusyNotice(config_.reportLength);
    if (send(fd, notice.data(), notice.size(), MSG_DONTWAIT | MSG_NOSIGNAL) != static_cast<ssize_t>(notice.size())) {
        close(fd);
        return;
    }
    // The host reads the notice and then the end of the connection. The socket itself stays open
    // until the host hangs up: closing it while a request of the host is still unread would make
    // the host's next read fail with a reset instead of returning the notice.
    shutdown(fd, SHUT_WR);
    if (refused_.size() >= kMaxRefused) {
        DiscardInput(fd);
        close(fd);
        return;
    }
    refused_.push_back({fd, now + kRefusedLinger});
}

void UsbServer::Camera::Run() {
    std::vector<pollfd> fds;
    std::vector<Client*> polled;
    for (;;) {
        Clock::time_point now = Clock::now();
        if (!plugged_ && replugAt_ && now >= *replugAt_) {
            std::string error;
            if (Plug(&error) == 0) {
                replugAt_.reset();
                platform::AppLog().Log(kLogInfo, nullptr, "camsim %s: plugged in again", config_.name.c_str());
            } else {
                platform::AppLog().Log(kLogWarn, nullptr, "camsim %s", error.c_str());
                replugAt_ = now + std::chrono::seconds(1);
            }
        }
        fds.clear();
        polled.clear();
        fds.push_back({wakeFd_, POLLIN, 0});
        fds.push_back({ctlFd_, POLLIN, 0});
        const size_t listenAt = fds.size();
        if (listenFd_ >= 0) fds.push_back({listenFd_, POLLIN, 0});
        int timeout = -1;
        if (replugAt_) timeout = MillisUntil(*replugAt_, now);
        const size_t firstRefused = fds.size();
        for (const Refused& r : refused_) {
            fds.push_back({r.fd, POLLIN, 0});
            const int t = MillisUntil(r.until, now);
            timeout = timeout < 0 ? t : std::min(timeout, t);
        }
        const size_t firstClient = fds.size();
        for (auto& c : clients_) {
            short events = 0;
            if (c->holdUntil && now < *c->holdUntil) {
                const int t = MillisUntil(*c->holdUntil, now);
                timeout = timeout < 0 ? t : std::min(timeout, t);
            } else if (c->outPos * config_.reportLength < c->out.size()) {
                events = POLLOUT;
            } else {
                events = POLLIN;
            }
            fds.push_back({c->fd, events, 0});
            polled.push_back(c.get());
        }
        if (poll(fds.data(), fds.size(), timeout) < 0) {
            if (errno == EINTR) continue;
            platform::AppLog().Log(kLogWarn, nullptr, "camsim %s: poll: %s", config_.name.c_str(),
                                   std::strerror(errno));
            break;
        }
        if (fds[0].revents) break;  // shutdown
        if (fds[1].revents) {
            // A plug or unplug may have closed the connections polled above: poll afresh
            // (level-triggered, so nothing reported here is lost).
            if (!RunRequests()) break;
            continue;
        }
        now = Clock::now();
        // Refused connections: drop what their hosts send, close them once the host hangs up or
        // their time is over.
        for (size_t i = 0; i < refused_.size(); ++i) {
            const short re = fds[firstRefused + i].revents;
            if (re & POLLIN) DiscardInput(refused_[i].fd);
            if ((re & (POLLHUP | POLLERR | POLLNVAL)) || now >= refused_[i].until) {
                DiscardInput(refused_[i].fd);
                close(refused_[i].fd);
                refused_[i].fd = -1;
            }
        }
        std::erase_if(refused_, [](const Refused& r) { return r.fd < 0; });
        if (listenFd_ >= 0 && fds[listenAt].revents & POLLIN) {
            for (;;) {
                int fd = accept4(listenFd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
                if (fd < 0) break;
                if (clients_.size() >= kMaxClients) {
                    RefuseBusy(fd, now);
                    continue;
                }
                clients_.push_back(std::make_unique<Client>(fd, config_.reportLength));
            }
        }
        After action = After::None;
        int64_t replugMs = -1;
        for (size_t i = 0; i < polled.size(); ++i) {
            Client& c = *polled[i];
            const short re = fds[firstClient + i].revents;
            if (c.holdUntil && now >= *c.holdUntil) c.holdUntil.reset();
            if (re & POLLNVAL) {
                CloseClient(c);
                continue;
            }
            if (re & POLLIN) ReadRequests(c);
            else if (re & (POLLERR | POLLHUP)) CloseClient(c);
            if (!c.closed && !c.holdUntil) Flush(c);
            if (!c.closed && c.after != After::None && c.outPos * config_.reportLength >= c.out.size()) {
                action = c.after;
                replugMs = c.replugMs;
                c.after = After::None;
            }
        }
        std::erase_if(clients_, [](const std::unique_ptr<Client>& c) { return c->closed; });
        if (action != After::None && listenFd_ >= 0) {
            platform::AppLog().Log(kLogInfo, nullptr, "camsim %s: unplugged", config_.name.c_str());
            Unplug();
            if (replugMs >= 0) replugAt_ = Clock::now() + std::chrono::milliseconds(replugMs);
        }
        if (action == After::Reboot) {
            platform::AppLog().Log(kLogInfo, nullptr, "camsim %s: rebooting", config_.name.c_str());
            model_.Reboot();
        }
    }
    Unplug();
    replugAt_.reset();
    // Nobody waits in vain: requests that came too late are answered here.
    std::vector<Request> late;
    {
        std::lock_guard lock(ctlMu_);
        running_ = false;
        late.swap(pending_);
    }
    for (Request& r : late) r.done.set_value({-1, config_.name + " is no longer served"});
}

int UsbServer::Camera::Ask(Op op, std::string* error) {
    std::future<std::pair<int, std::string>> answer;
    {
        std::lock_guard lock(ctlMu_);
        if (!running_) {
            if (error) *error = config_.name + " is not served";
            return -1;
        }
        pending_.push_back(Request{op, {}});
        answer = pending_.back().done.get_future();
    }
    const uint64_t one = 1;
    if (write(ctlFd_, &one, sizeof one) != static_cast<ssize_t>(sizeof one)) {
        // The counter cannot overflow in practice; the request stays queued and is taken with the next.
        platform::AppLog().Log(kLogWarn, nullptr, "camsim %s: cannot wake the camera thread", config_.name.c_str());
    }
    auto [result, why] = answer.get();
    if (result != 0 && error) *error = why;
    return result;
}

bool UsbServer::Camera::RunRequests() {
    uint64_t count = 0;
    if (read(ctlFd_, &count, sizeof count) < 0 && errno != EAGAIN) {
        platform::AppLog().Log(kLogWarn, nullptr, "camsim %s: control wake-up: %s", config_.name.c_str(),
                               std::strerror(errno));
    }
    std::vector<Request> requests;
    {
        std::lock_guard lock(ctlMu_);
        requests.swap(pending_);
    }
    bool keepRunning = true;
    for (Request& r : requests) {
        int result = 0;
        std::string why;
        switch (r.op) {
        case Op::Unplug:
            // Also cancels a pending return (unplug=N,replug=MS or a reboot): it stays away.
            replugAt_.reset();
            if (listenFd_ >= 0) {
                platform::AppLog().Log(kLogInfo, nullptr, "camsim %s: unplugged (control)", config_.name.c_str());
                Unplug();
            }
            break;
        case Op::Plug:
            if (listenFd_ < 0) {
                result = Plug(&why);
                if (result == 0) {
                    replugAt_.reset();
                    platform::AppLog().Log(kLogInfo, nullptr, "camsim %s: plugged in (control)", config_.name.c_str());
                }
            }
            break;
        case Op::End:
            keepRunning = false;
            break;
        }
        r.done.set_value({result, why});
    }
    return keepRunning;
}

void UsbServer::Camera::ReadRequests(Client& c) {
    std::vector<uint8_t> buf(config_.reportLength + 1);
    for (;;) {
        const ssize_t n = recv(c.fd, buf.data(), buf.size(), MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return;
            CloseClient(c);
            return;
        }
        if (n == 0) {  // the host closed the device
            CloseClient(c);
            return;
        }
        const auto event = c.assembler.Feed(buf.data(), static_cast<size_t>(n));
        if (event == RequestAssembler::Event::Incomplete) continue;
        if (event == RequestAssembler::Event::Malformed) {
            platform::AppLog().Log(kLogWarn, nullptr, "camsim %s: report ignored: %s", config_.name.c_str(),
                         c.assembler.error().c_str());
            continue;
        }
        Process(c, event);
        return;  // one exchange at a time: read on once the reply is out
    }
}

void UsbServer::Camera::Process(Client& c, RequestAssembler::Event event) {
    ++exchanges_;
    const uint32_t command = c.assembler.command();
    if (command == kCmdGetParams) ++reads_;
    if (command == kCmdSetParams) ++sets_;
    UsbReply reply;
    ExchangePlan plan = PlanExchange(config_.faults, command);
    if (event == RequestAssembler::Event::Oversized) {
        platform::AppLog().Log(kLogWarn, nullptr, "camsim %s: %s", config_.name.c_str(), c.assembler.error().c_str());
        reply.status = kErrTooLarge;
    } else if (plan.refuse) {
        reply.status = plan.refuseStatus;
        reply.body = ResultText(plan.refuseResult);
    } else {
        reply = HandleUsbCommand(model_, command, c.assembler.payload());
    }
    if (plan.negativeProgress) {
        reply.body = "{\"UpdateStatus\":1,\"Progress\":" + std::to_string(plan.progressCode) + "}";
    }
    if (plan.dropStatus) {
        if (JsonPtr root = ParseJsonObject(reply.body)) {
            cJSON_DeleteItemFromObjectCaseSensitive(root.get(), "UpdateStatus");
            if (char* text = cJSON_PrintUnformatted(root.get())) {
                reply.body = text;
                cJSON_free(text);
            }
        }
    }
    if (plan.notJson) reply.body = "ERROR 500: internal camera error";
    platform::AppLog().Log(kLogInfo, nullptr, "camsim %s: command %u, %zu bytes -> status %d, %zu bytes",
                           config_.name.c_str(), command, c.assembler.payload().size(), reply.status,
                           reply.body.size());
    if (plan.swallow) {
        platform::AppLog().Log(kLogInfo, nullptr, "camsim %s: request swallowed (stall)", config_.name.c_str());
        return;
    }
    ReplyFraming framing;
    framing.chunk = plan.split;
    framing.badMagicFrom = plan.badMagicFrom;
    c.out = BuildReplyReports(command, reply.status, reply.body, config_.reportLength, framing);
    c.outPos = 0;
    std::chrono::microseconds hold = std::chrono::milliseconds(plan.delayMs);
    if (config_.reportIntervalUs > 0) {
        const size_t perRequestReport = config_.reportLength > kRequestHeaderOffset
                                            ? config_.reportLength - kRequestHeaderOffset
                                            : 1;
        const size_t reports = std::max<size_t>(1, (c.assembler.payload().size() + perRequestReport - 1) /
                                                       perRequestReport) +
                               c.out.size() / config_.reportLength;
        hold += std::chrono::microseconds(int64_t{config_.reportIntervalUs} * static_cast<int64_t>(reports));
    }
    if (hold.count() > 0) c.holdUntil = Clock::now() + hold;
    if (reply.reboot && !plan.refuse) {
        c.after = After::Reboot;
        c.replugMs = plan.unplug && plan.replugMs >= 0 ? plan.replugMs : RebootAwayMs(config_.faults, config_.rebootMs);
    } else if (plan.unplug) {
        c.after = After::Unplug;
        c.replugMs = plan.replugMs;
    }
}

void UsbServer::Camera::Flush(Client& c) {
    const size_t len = config_.reportLength;
    while (c.outPos * len < c.out.size()) {
        const ssize_t n = send(c.fd, c.out.data() + c.outPos * len, len, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return;
            CloseClient(c);
            return;
        }
        ++c.outPos;
    }
    c.out.clear();
    c.outPos = 0;
}

// Shared by every camera's writing hook, on the cameras' threads.
struct UsbServer::WriterGauge {
    std::mutex mu;  // guards everything below; the file is written under it, so it never goes back
    std::string path;
    int now = 0;
    int peak = 0;

    void Change(bool writing) {
        std::lock_guard lock(mu);
        now += writing ? 1 : -1;
        peak = std::max(peak, now);
        if (path.empty()) return;
        const std::string text =
            "{\"writers\": " + std::to_string(now) + ", \"peak_writers\": " + std::to_string(peak) + "}\n";
        std::string error;
        if (platform::WriteFileAtomically(path, text, &error) != 0)
            platform::AppLog().Log(kLogWarn, nullptr, "camsim: cannot write %s: %s", path.c_str(), error.c_str());
    }
};

UsbServer::UsbServer(std::string dir, std::vector<UsbCameraConfig> cameras)
    : dir_(std::move(dir)), writers_(std::make_shared<WriterGauge>()) {
    for (auto& cfg : cameras) cameras_.push_back(std::make_unique<Camera>(dir_, std::move(cfg)));
    for (auto& c : cameras_) c->model().SetWritingHook([gauge = writers_](bool writing) { gauge->Change(writing); });
}

void UsbServer::SetWritersFile(std::string path) {
    std::lock_guard lock(writers_->mu);
    writers_->path = std::move(path);
}

int UsbServer::PeakWriters() const {
    std::lock_guard lock(writers_->mu);
    return writers_->peak;
}

UsbServer::~UsbServer() { Stop(); }

int UsbServer::Start(std::string* error) {
    if (started_) return 0;
    std::error_code ec;
    std::filesystem::create_directories(dir_, ec);
    if (ec) {
        if (error) *error = "cannot create " + dir_ + ": " + ec.message();
        return -1;
    }
    // The lock comes before any socket: a second simulator on this directory must not replace
    // the first one's sockets, nor remove them when it ends.
    lockFd_ = TakeLock(LockPath(), dir_, error);
    if (lockFd_ < 0) return -1;
    for (size_t i = 0; i < cameras_.size(); ++i) {
        if (cameras_[i]->Plug(error) != 0) {
            for (size_t k = 0; k < i; ++k) cameras_[k]->Unplug();
            ReleaseLock();
            return -1;
        }
    }
    wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd_ < 0) {
        if (error) *error = std::string("eventfd: ") + std::strerror(errno);
        for (auto& c : cameras_) c->Unplug();
        ReleaseLock();
        return -1;
    }
    for (auto& c : cameras_) {
        if (c->StartThread(wakeFd_, error) != 0) {
            started_ = true;
            Stop();
            return -1;
        }
    }
    started_ = true;
    return 0;
}

void UsbServer::Stop() {
    if (!started_) return;
    const uint64_t one = 1;
    if (write(wakeFd_, &one, sizeof one) != static_cast<ssize_t>(sizeof one)) {
        platform::AppLog().Log(kLogWarn, nullptr, "camsim: cannot wake the camera threads");
    }
    for (auto& c : cameras_) c->Join();
    for (auto& c : cameras_) c->Unplug();
    close(wakeFd_);
    wakeFd_ = -1;
    ReleaseLock();
    started_ = false;
}

std::string UsbServer::LockPath() const { return dir_ + "/" + kLockName; }

void UsbServer::ReleaseLock() {
    if (lockFd_ < 0) return;
    // Removed while still locked (see TakeLock), so that the directory is left as it was found.
    unlink(LockPath().c_str());
    close(lockFd_);
    lockFd_ = -1;
}

UsbServer::Camera* UsbServer::At(size_t index) const {
    std::lock_guard lock(camerasMu_);
    return cameras_.at(index).get();
}

size_t UsbServer::CameraCount() const {
    std::lock_guard lock(camerasMu_);
    return cameras_.size();
}
CameraModel& UsbServer::Model(size_t index) { return At(index)->model(); }
const UsbCameraConfig& UsbServer::Config(size_t index) const { return At(index)->config(); }
std::string UsbServer::SocketPath(size_t index) const { return At(index)->sockPath(); }
std::string UsbServer::DescriptionPath(size_t index) const { return At(index)->jsonPath(); }
bool UsbServer::Plugged(size_t index) const { return At(index)->plugged(); }
int64_t UsbServer::Exchanges(size_t index) const { return At(index)->exchanges(); }
int64_t UsbServer::Reads(size_t index) const { return At(index)->reads(); }
int64_t UsbServer::Sets(size_t index) const { return At(index)->sets(); }
bool UsbServer::Removed(size_t index) const { return At(index)->removed(); }

int UsbServer::FindCamera(const std::string& name) const {
    std::lock_guard lock(camerasMu_);
    for (size_t i = 0; i < cameras_.size(); ++i)
        if (!cameras_[i]->removed() && cameras_[i]->config().name == name) return static_cast<int>(i);
    return -1;
}

int UsbServer::AddCamera(UsbCameraConfig config, std::string* error) {
    if (config.name.empty() || config.name.find('/') != std::string::npos || config.name[0] == '.') {
        if (error) *error = "'" + config.name + "' cannot name a camera";
        return -1;
    }
    if (FindCamera(config.name) >= 0) {
        if (error) *error = config.name + " exists already";
        return -1;
    }
    auto camera = std::make_unique<Camera>(dir_, std::move(config));
    camera->model().SetWritingHook([gauge = writers_](bool writing) { gauge->Change(writing); });
    if (started_) {
        if (camera->Plug(error) != 0) return -1;
        if (camera->StartThread(wakeFd_, error) != 0) return -1;
    }
    std::lock_guard lock(camerasMu_);
    cameras_.push_back(std::move(camera));
    return static_cast<int>(cameras_.size()) - 1;
}

int UsbServer::SetPlugged(size_t index, bool plugged, std::string* error) {
    if (index >= CameraCount() || Removed(index)) {
        if (error) *error = "no such camera";
        return -1;
    }
    return At(index)->Ask(plugged ? Camera::Op::Plug : Camera::Op::Unplug, error);
}

int UsbServer::RemoveCamera(size_t index, std::string* error) {
    if (index >= CameraCount() || Removed(index)) {
        if (error) *error = "no such camera";
        return -1;
    }
    Camera* camera = At(index);
    const int r = camera->Ask(Camera::Op::End, error);
    if (r != 0) return r;
    camera->Join();  // its thread has unplugged it on its way out
    camera->MarkRemoved();
    return 0;
}

}  // namespace velmora::sim
