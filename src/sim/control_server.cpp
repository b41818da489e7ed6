#include "sim/control_server.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "platform/zeb_log.h"
#include "sim/parse_int.h"
#include "sim/sim_options.h"

namespace velmora::sim {
namespace {

constexpr size_t kMaxControlClients = 8;
constexpr unsigned kLogInfo = 2;
constexpr unsigned kLogWarn = 3;

std::vector<std::string_view> Words(std::string_view line) {
    std::vector<std::string_view> words;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r')) ++i;
        const size_t start = i;
        while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r') ++i;
        if (i > start) words.push_back(line.substr(start, i - start));
    }
    return words;
}

std::string Error(std::string_view why) { return "error " + std::string(why); }

constexpr const char kHelp[] =
    "ok commands: list | add [NAME] [serial=SN model=M name=TEXT bios=N build_date=D MEMBER=V] | "
    "unplug NAME | plug NAME | remove NAME | set NAME MEMBER VALUE | get NAME MEMBER | count NAME";

// Fills a new camera's settings from KEY=VALUE words. Returns an empty text or the error.
std::string ApplyAddSettings(const std::vector<std::string_view>& words, size_t from, UsbCameraConfig& cfg) {
    for (size_t i = from; i < words.size(); ++i) {
        const std::string_view w = words[i];
        const size_t eq = w.find('=');
        if (eq == std::string_view::npos || eq == 0) return "'" + std::string(w) + "' is not KEY=VALUE";
        const std::string_view key = w.substr(0, eq);
        const std::string value(w.substr(eq + 1));
        CameraIdentity& id = cfg.model.identity;
        if (key == "serial") {
            id.serial = value;
        } else if (key == "model") {
            id.productModel = value;
            if (cfg.model.useDefaultAbility) cfg.model.ability = CameraModel::DefaultAbility(value);
        } else if (key == "name") {
            id.deviceName = value;
        } else if (key == "build_date") {
            id.buildDate = value;
        } else if (key == "bios") {
            int64_t v = 0;
            if (!ParseInt(value, 0, 0xffff, &v)) return "bios needs a number 0..65535, not '" + value + "'";
            id.biosVersion = static_cast<uint16_t>(v);
        } else if (const ParamInfo* param = CameraModel::FindParam(key)) {
            int64_t v = 0;
            if (!ParseInt(value, INT32_MIN, INT32_MAX, &v)) return std::string(key) + " needs a number, not '" + value + "'";
            cfg.params[param->name] = v;
        } else {
            return "unknown setting '" + std::string(key) + "'";
        }
    }
    return {};
}

std::string Add(UsbServer& usb, const std::vector<std::string_view>& words, const NewCameraConfig& newCamera) {
    if (!newCamera) return Error("cameras cannot be added to this simulator");
    size_t next = 1;
    std::string name;
    if (words.size() > 1 && words[1].find('=') == std::string_view::npos) {
        name = std::string(words[1]);
        next = 2;
    }
    const int number = static_cast<int>(usb.CameraCount()) + 1;
    if (name.empty()) {
        for (int n = number;; ++n) {
            name = UsbCameraName(n, n);
            if (usb.FindCamera(name) < 0) break;
        }
    }
    UsbCameraConfig cfg = newCamera(number, name);
    if (std::string why = ApplyAddSettings(words, next, cfg); !why.empty()) return Error(why);
    std::string why;
    if (usb.AddCamera(std::move(cfg), &why) < 0) return Error(why);
    platform::AppLog().Log(kLogInfo, nullptr, "camsim %s: added (control)", name.c_str());
    return "ok " + name;
}

}  // namespace

std::string RunControlLine(UsbServer& usb, std::string_view line, const NewCameraConfig& newCamera) {
    const std::vector<std::string_view> words = Words(line);
    if (words.empty()) return Error("empty command; try help");
    const std::string_view verb = words[0];
    if (verb == "help") return kHelp;
    if (verb == "list") {
        std::string reply = "ok";
        for (size_t i = 0; i < usb.CameraCount(); ++i) {
            if (usb.Removed(i)) continue;
            reply += " " + usb.Config(i).name + (usb.Plugged(i) ? ":plugged:" : ":unplugged:") +
                     usb.Model(i).Identity().serial;
        }
        return reply;
    }
    if (verb == "add") return Add(usb, words, newCamera);

    // Every other command names a camera.
    struct Usage {
        std::string_view verb;
        size_t words;
        const char* usage;
    };
    static constexpr Usage kUsages[] = {
        {"unplug", 2, "unplug NAME"}, {"plug", 2, "plug NAME"},   {"remove", 2, "remove NAME"},
        {"set", 4, "set NAME MEMBER VALUE"}, {"get", 3, "get NAME MEMBER"}, {"count", 2, "count NAME"},
    };
    const Usage* shape = nullptr;
    for (const Usage& s : kUsages)
        if (s.verb == verb) shape = &s;
    if (!shape) return Error("unknown command '" + std::string(verb) + "'; try help");
    if (words.size() != shape->words) return Error(std::string("usage: ") + shape->usage);
    const int index = usb.FindCamera(std::string(words[1]));
    if (index < 0) return Error("no camera named '" + std::string(words[1]) + "'");
    const size_t i = static_cast<size_t>(index);
    std::string why;
    if (verb == "unplug" || verb == "plug") {
        if (usb.SetPlugged(i, verb == "plug", &why) != 0) return Error(why);
        return "ok";
    }
    if (verb == "remove") {
        if (usb.RemoveCamera(i, &why) != 0) return Error(why);
        return "ok";
    }
    if (verb == "count") {
        return "ok exchanges=" + std::to_string(usb.Exchanges(i)) + " reads=" + std::to_string(usb.Reads(i)) +
               " sets=" + std::to_string(usb.Sets(i));
    }
    const ParamInfo* param = CameraModel::FindParam(words[2]);
    if (!param) return Error("no parameter member '" + std::string(words[2]) + "'");
    if (verb == "get") return "ok " + std::to_string(*usb.Model(i).Get(param->name));
    int64_t value = 0;
    if (!ParseInt(words[3], INT32_MIN, INT32_MAX, &value))
        return Error("set needs a whole number, not '" + std::string(words[3]) + "'");
    usb.Model(i).Set(param->name, value);
    return "ok " + std::to_string(*usb.Model(i).Get(param->name));
}

ControlServer::ControlServer(UsbServer& usb, NewCameraConfig newCamera)
    : usb_(usb), newCamera_(std::move(newCamera)) {}

ControlServer::~ControlServer() { Stop(); }

int ControlServer::Start(const std::string& path, std::string* error) {
    auto fail = [&](const std::string& why) {
        if (error) *error = why;
        if (listenFd_ >= 0) close(listenFd_);
        if (wakeFd_ >= 0) close(wakeFd_);
        listenFd_ = wakeFd_ = -1;
        return -1;
    };
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) return fail("control socket path too long: " + path);
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    struct stat st{};
    if (lstat(path.c_str(), &st) == 0) {
        if (!S_ISSOCK(st.st_mode)) return fail(path + " exists and is not a socket");
        unlink(path.c_str());  // left by a simulator that was killed (the directory lock is ours)
    }
    listenFd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (listenFd_ < 0) return fail(std::string("socket: ") + std::strerror(errno));
    if (bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        const char* why = std::strerror(errno);
        return fail("bind " + path + ": " + why);
    }
    path_ = path;
    if (listen(listenFd_, 8) != 0) {
        unlink(path.c_str());
        return fail(std::string("listen: ") + std::strerror(errno));
    }
    wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd_ < 0) {
        unlink(path.c_str());
        return fail(std::string("eventfd: ") + std::strerror(errno));
    }
    thread_ = std::thread([this] { Run(); });
    return 0;
}

void ControlServer::Stop() {
    if (!thread_.joinable()) return;
    const uint64_t one = 1;
    if (write(wakeFd_, &one, sizeof one) != static_cast<ssize_t>(sizeof one)) {
        platform::AppLog().Log(kLogWarn, nullptr, "camsim: cannot wake the control thread");
    }
    thread_.join();
    unlink(path_.c_str());
    close(listenFd_);
    close(wakeFd_);
    listenFd_ = wakeFd_ = -1;
}

void ControlServer::Run() {
    struct Client {
        int fd;
        std::string in;
    };
    std::vector<std::unique_ptr<Client>> clients;
    std::vector<pollfd> fds;
    for (;;) {
        fds.clear();
        fds.push_back({wakeFd_, POLLIN, 0});
        fds.push_back({listenFd_, POLLIN, 0});
        for (auto& c : clients) fds.push_back({c->fd, POLLIN, 0});
        if (poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR) continue;
            platform::AppLog().Log(kLogWarn, nullptr, "camsim control: poll: %s", std::strerror(errno));
            break;
        }
        if (fds[0].revents) break;
        for (size_t k = 0; k < clients.size(); ++k) {
            Client& c = *clients[k];
            if (!(fds[2 + k].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            char buf[512];
            const ssize_t n = recv(c.fd, buf, sizeof buf, MSG_DONTWAIT);
            if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
            if (n <= 0) {
                close(c.fd);
                c.fd = -1;
                continue;
            }
            c.in.append(buf, static_cast<size_t>(n));
            size_t nl;
            while (c.fd >= 0 && (nl = c.in.find('\n')) != std::string::npos) {
                const std::string line = c.in.substr(0, nl);
                c.in.erase(0, nl + 1);
                const std::string reply = RunControlLine(usb_, line, newCamera_) + "\n";
                // Replies are short; a client that does not read them loses its connection.
                if (send(c.fd, reply.data(), reply.size(), MSG_NOSIGNAL | MSG_DONTWAIT) !=
                    static_cast<ssize_t>(reply.size())) {
                    close(c.fd);
                    c.fd = -1;
                }
            }
            if (c.fd >= 0 && c.in.size() > kMaxControlLine) {
                const std::string reply = "error command line longer than " + std::to_string(kMaxControlLine) + " bytes\n";
                send(c.fd, reply.data(), reply.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
                close(c.fd);
                c.fd = -1;
            }
        }
        std::erase_if(clients, [](const std::unique_ptr<Client>& c) { return c->fd < 0; });
        if (fds[1].revents & POLLIN) {
            for (;;) {
                const int fd = accept4(listenFd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
                if (fd < 0) break;
                if (clients.size() >= kMaxControlClients) {
                    static constexpr char kBusy[] = "error too many control connections\n";
                    send(fd, kBusy, sizeof kBusy - 1, MSG_NOSIGNAL | MSG_DONTWAIT);
                    close(fd);
                    continue;
                }
                clients.push_back(std::make_unique<Client>(Client{fd, {}}));
            }
        }
    }
    for (auto& c : clients) close(c->fd);
}

int SendControlLine(const std::string& dir, const std::string& line, std::string* reply) {
    const std::string path = dir + "/" + kControlSocketName;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) {
        *reply = "control socket path too long: " + path;
        return -1;
    }
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        *reply = "no simulator serves " + dir + " (" + std::strerror(errno) + ")";
        if (fd >= 0) close(fd);
        return -1;
    }
    const std::string text = line + "\n";
    if (send(fd, text.data(), text.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(text.size())) {
        *reply = std::string("cannot send the command: ") + std::strerror(errno);
        close(fd);
        return -1;
    }
    std::string in;
    char c;
    while (in.size() <= kMaxControlLine * 4 && recv(fd, &c, 1, 0) == 1 && c != '\n') in += c;
    close(fd);
    *reply = in;
    if (in.rfind("ok", 0) == 0) return 0;
    if (in.rfind("error", 0) == 0) return 1;
    if (in.empty()) *reply = "the simulator closed the control connection without a reply";
    return -1;
}

}  // namespace velmora::sim
