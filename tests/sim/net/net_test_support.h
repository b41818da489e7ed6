#pragma once

// Helpers shared by the network tests: a trivial H.264-looking stream source, login records and
// a recording TCP relay. Loopback only.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "transport/net/orvex_sdk.h"
#include "sim/net/camera_server.h"
#include "sim/net/stream_source.h"

namespace nettest {

// Access units every `periodMs`: a start code, an IDR or non-IDR slice NAL header and a
// running counter, so a receiver can check order.
class CountingSource : public velmora::sim::StreamSource {
public:
    explicit CountingSource(int periodMs = 5) : period_(periodMs) {}
    bool Next(velmora::sim::AccessUnit& out, std::chrono::milliseconds maxWait) override {
        auto now = std::chrono::steady_clock::now();
        if (next_ > now + maxWait) {
            std::this_thread::sleep_for(maxWait);
            return false;
        }
        if (next_ > now) std::this_thread::sleep_until(next_);
        next_ = std::max(next_, now) + std::chrono::milliseconds(period_);
        bool key = seq_ % 10 == 0;
        out.data = {0, 0, 0, 1, uint8_t(key ? 0x65 : 0x41)};
        for (int i = 0; i < 4; ++i) out.data.push_back(uint8_t(seq_ >> (8 * i)));
        out.keyFrame = key;
        out.timestampUs = uint64_t(seq_) * 40000;
        ++seq_;
        return true;
    }
    static uint32_t SequenceOf(const unsigned char* data, int length) {
        if (length < 9) return 0xFFFFFFFFu;
        return uint32_t(data[5]) | (uint32_t(data[6]) << 8) | (uint32_t(data[7]) << 16) | (uint32_t(data[8]) << 24);
    }

private:
    int period_;
    uint32_t seq_ = 0;
    std::chrono::steady_clock::time_point next_{};
};

inline velmora::sim::StreamSourceFactory CountingFactory(int periodMs = 5) {
    return [periodMs](int selector) -> std::unique_ptr<velmora::sim::StreamSource> {
        if (selector != 0) return nullptr;
        return std::make_unique<CountingSource>(periodMs);
    };
}

inline velmora::transport::LoginInfo MakeLogin(const std::string& address, uint16_t port,
                                               const std::string& user = "admin",
                                               const std::string& password = "pelno") {
    velmora::transport::LoginInfo li{};
    std::strncpy(li.address, address.c_str(), sizeof(li.address) - 1);
    li.port = port;
    std::strncpy(li.user, user.c_str(), sizeof(li.user) - 1);
    std::strncpy(li.password, password.c_str(), sizeof(li.password) - 1);
    return li;
}

// A camera on a loopback address and a free port, without the LAN search.
inline velmora::sim::CameraServerConfig LoopbackCamera(const std::string& address = "127.0.0.2") {
    velmora::sim::CameraServerConfig c;
    c.address = address;
    c.port = 0;
    c.answerSearch = false;
    return c;
}

// Listens on 127.0.0.1, forwards one connection to a target and records both directions.
class RecordingRelay {
public:
    RecordingRelay(const std::string& targetAddress, uint16_t targetPort) : target_(targetAddress), targetPort_(targetPort) {
        listen_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(listen_, reinterpret_cast<sockaddr*>(&sa), sizeof(sa));
        ::listen(listen_, 4);
        socklen_t len = sizeof(sa);
        getsockname(listen_, reinterpret_cast<sockaddr*>(&sa), &len);
        port_ = ntohs(sa.sin_port);
        thread_ = std::thread([this] { Run(); });
    }
    ~RecordingRelay() {
        stop_.store(true);
        thread_.join();
        ::close(listen_);
    }
    uint16_t port() const { return port_; }
    std::vector<uint8_t> Upstream() {
        std::lock_guard<std::mutex> lock(mu_);
        return up_;
    }
    std::vector<uint8_t> Downstream() {
        std::lock_guard<std::mutex> lock(mu_);
        return down_;
    }

private:
    void Run() {
        pollfd lp{listen_, POLLIN, 0};
        while (!stop_.load() && ::poll(&lp, 1, 50) <= 0) {
        }
        if (stop_.load()) return;
        int client = ::accept(listen_, nullptr, nullptr);
        int camera = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(targetPort_);
        inet_pton(AF_INET, target_.c_str(), &sa.sin_addr);
        if (::connect(camera, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) != 0) {
            ::close(client);
            ::close(camera);
            return;
        }
        uint8_t buf[4096];
        while (!stop_.load()) {
            pollfd p[2] = {{client, POLLIN, 0}, {camera, POLLIN, 0}};
            if (::poll(p, 2, 50) <= 0) continue;
            bool closed = false;
            for (int i = 0; i < 2; ++i) {
                if (!p[i].revents) continue;
                ssize_t n = ::recv(p[i].fd, buf, sizeof(buf), 0);
                if (n <= 0) {
                    closed = true;
                    break;
                }
                {
                    std::lock_guard<std::mutex> lock(mu_);
                    auto& log = i == 0 ? up_ : down_;
                    log.insert(log.end(), buf, buf + n);
                }
                ::send(i == 0 ? camera : client, buf, static_cast<size_t>(n), MSG_NOSIGNAL);
            }
            if (closed) break;
        }
        ::close(client);
        ::close(camera);
    }

    std::string target_;
    uint16_t targetPort_;
    int listen_ = -1;
    uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::mutex mu_;
    std::vector<uint8_t> up_, down_;
    std::thread thread_;
};

inline bool Contains(const std::vector<uint8_t>& hay, const std::string& needle) {
    return std::search(hay.begin(), hay.end(), needle.begin(), needle.end()) != hay.end();
}

// Polls `pred` every few milliseconds for up to `ms`.
template <typename Pred>
bool WaitFor(Pred pred, int ms = 3000) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < end) {
        if (pred()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return pred();
}

}  // namespace nettest
