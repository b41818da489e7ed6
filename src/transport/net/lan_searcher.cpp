#include "transport/net/lan_searcher.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <random>

#include "platform/codepage.h"
#include "platform/zeb_log.h"

namespace velmora::transport {

namespace {

constexpr size_t kRecentProbeIds = 4;

int64_t NowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

std::string_view Trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r' || s.back() == '\n'))
        s.remove_suffix(1);
    return s;
}

bool ParseOne(std::string_view entry, SearchTarget& out) {
    std::string_view host = entry;
    uint16_t port = wire::kSearchPort;
    auto colon = entry.find(':');
    if (colon != std::string_view::npos) {
        host = entry.substr(0, colon);
        std::string_view p = entry.substr(colon + 1);
        if (p.empty() || p.size() > 5) return false;
        unsigned v = 0;
        for (char c : p) {
            if (c < '0' || c > '9') return false;
            v = v * 10 + unsigned(c - '0');
        }
        if (v == 0 || v > 65535) return false;
        port = static_cast<uint16_t>(v);
    }
    if (host.empty() || host.size() > 15) return false;
    char buf[16];
    std::memcpy(buf, host.data(), host.size());
    buf[host.size()] = '\0';
    in_addr a{};
    if (inet_pton(AF_INET, buf, &a) != 1) return false;
    out.address = ntohl(a.s_addr);
    out.port = port;
    return true;
}

}  // namespace

int ParseSearchTargets(std::string_view text, std::vector<SearchTarget>& out, std::vector<std::string>* skippedTexts) {
    int skipped = 0;
    while (!text.empty()) {
        auto comma = text.find(',');
        std::string_view entry = Trim(text.substr(0, comma));
        text = comma == std::string_view::npos ? std::string_view() : text.substr(comma + 1);
        if (entry.empty()) continue;
        SearchTarget t;
        if (ParseOne(entry, t)) {
            if (std::find(out.begin(), out.end(), t) == out.end()) out.push_back(t);
        } else {
            ++skipped;
            if (skippedTexts) skippedTexts->emplace_back(entry);
        }
    }
    return skipped;
}

std::vector<SearchTarget> ResolveSearchTargets(const char* environmentValue, std::string_view configured,
                                               std::string* problem) {
    std::vector<SearchTarget> out;
    if (problem) problem->clear();
    if (environmentValue) {
        std::vector<std::string> skipped;
        ParseSearchTargets(environmentValue, out, &skipped);
        if (problem && (!skipped.empty() || out.empty())) {
            *problem = "VELMORA_SEARCH_TARGETS:";
            for (const std::string& entry : skipped) *problem += " '" + entry + "'";
            if (!skipped.empty()) *problem += skipped.size() == 1 ? " is not" : " are not";
            if (!skipped.empty()) *problem += " ADDRESS[:PORT] and skipped";
            if (out.empty()) *problem += skipped.empty() ? " names no target: nothing is searched" : "; nothing is searched";
        }
        return out;
    }
    ParseSearchTargets(configured, out);
    if (out.empty()) out.push_back(SearchTarget{INADDR_BROADCAST, wire::kSearchPort});
    return out;
}

bool IsGroupAddress(uint32_t address) {
    return address == INADDR_BROADCAST || (address >> 28) == 0xE || (address & 0xFF) == 0xFF;
}

bool IsCameraSource(uint32_t address, const std::vector<uint32_t>& localBroadcasts) {
    const uint32_t top = address >> 24;
    if (top == 0 || top >= 224) return false;  // this network; multicast, reserved, broadcast
    if (address == 0x7F000000u || address == 0x7FFFFFFFu) return false;
    return std::find(localBroadcasts.begin(), localBroadcasts.end(), address) == localBroadcasts.end();
}

std::vector<uint32_t> LocalBroadcastAddresses() {
    std::vector<uint32_t> out;
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) return out;
    for (const ifaddrs* i = list; i != nullptr; i = i->ifa_next) {
        if (i->ifa_addr == nullptr || i->ifa_netmask == nullptr || i->ifa_addr->sa_family != AF_INET) continue;
        const uint32_t address = ntohl(reinterpret_cast<const sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr);
        const uint32_t mask = ntohl(reinterpret_cast<const sockaddr_in*>(i->ifa_netmask)->sin_addr.s_addr);
        if (mask == 0xFFFFFFFFu || mask == 0xFFFFFFFEu) continue;  // point-to-point: no broadcast
        out.push_back(address & mask);
        out.push_back(address | ~mask);
    }
    ::freeifaddrs(list);
    return out;
}

LanSearcher::LanSearcher(LanSearchOptions options) : options_(std::move(options)) {
    if (options_.probeIntervalMs < 10) options_.probeIntervalMs = 10;
    if (options_.expiryMs < options_.probeIntervalMs) options_.expiryMs = options_.probeIntervalMs;
}

LanSearcher::~LanSearcher() { Stop(); }

int LanSearcher::Start() {
    if (running_.load()) return 0;
    {
        std::lock_guard<std::mutex> lock(mu_);
        known_.clear();
        recentProbeIds_.clear();
        localBroadcasts_ = LocalBroadcastAddresses();
    }
    fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd_ < 0) return -1;
    int one = 1;
    setsockopt(fd_, SOL_SOCKET, SO_BROADCAST, &one, sizeof(one));
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_ANY);
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) != 0 ||
        ::pipe2(wakeFd_, O_NONBLOCK | O_CLOEXEC) != 0) {
        ::close(fd_);
        fd_ = -1;
        return -1;
    }
    running_.store(true);
    probeRequested_ = true;
    thread_ = std::thread([this] { Run(); });
    return 0;
}

void LanSearcher::Stop() {
    if (!thread_.joinable()) return;
    {
        // Under the lock, so a concurrent ProbeNow cannot write to the pipe once it is closed.
        std::lock_guard<std::mutex> lock(mu_);
        running_.store(false);
        char b = 1;
        (void)!::write(wakeFd_[1], &b, 1);
    }
    thread_.join();
    ::close(fd_);
    ::close(wakeFd_[0]);
    ::close(wakeFd_[1]);
    fd_ = wakeFd_[0] = wakeFd_[1] = -1;
}

void LanSearcher::SetTargets(std::vector<SearchTarget> targets) {
    {
        std::lock_guard<std::mutex> lock(mu_);
        options_.targets = std::move(targets);
    }
    ProbeNow();
}

void LanSearcher::ProbeNow() {
    std::lock_guard<std::mutex> lock(mu_);
    probeRequested_ = true;
    if (running_.load()) {
        char b = 1;
        (void)!::write(wakeFd_[1], &b, 1);
    }
}

void LanSearcher::Run() {
    int64_t nextProbe = 0;
    while (running_.load()) {
        int64_t now = NowMs();
        bool probe;
        {
            std::lock_guard<std::mutex> lock(mu_);
            probe = probeRequested_ || now >= nextProbe;
            probeRequested_ = false;
        }
        if (probe) {
            SendProbes();
            nextProbe = now + options_.probeIntervalMs;
        }
        pollfd p[2] = {{fd_, POLLIN, 0}, {wakeFd_[0], POLLIN, 0}};
        int wait = static_cast<int>(std::max<int64_t>(1, nextProbe - NowMs()));
        int n = ::poll(p, 2, wait);
        if (n < 0 && errno != EINTR) break;
        if (n <= 0) continue;
        if (p[1].revents) {
            char buf[64];
            while (::read(wakeFd_[0], buf, sizeof(buf)) > 0) {
            }
        }
        if (p[0].revents & POLLIN) ReceiveOne();
    }
}

void LanSearcher::SendProbes() {
    static thread_local std::mt19937 rng{std::random_device{}()};
    uint32_t id = rng();
    std::vector<SearchTarget> targets;
    {
        std::lock_guard<std::mutex> lock(mu_);
        recentProbeIds_.push_back(id);
        if (recentProbeIds_.size() > kRecentProbeIds) recentProbeIds_.erase(recentProbeIds_.begin());
        targets = options_.targets;
    }
    auto probe = wire::EncodeProbe(id);
    for (const auto& t : targets) {
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(t.port);
        sa.sin_addr.s_addr = htonl(t.address);
        if (::sendto(fd_, probe.data(), probe.size(), MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) < 0) {
            const int err = errno;  // before the log site is built
            platform::LogLine(1, {}, "probe to %08x:%u failed: %d\n", t.address, unsigned(t.port), err);
        }
    }
}

void LanSearcher::ReceiveOne() {
    uint8_t buf[wire::kMaxDatagram + 1];
    for (int i = 0; i < 256; ++i) {  // bounded, so a flood cannot starve probing
        sockaddr_in from{};
        socklen_t fromLength = sizeof(from);
        ssize_t n = ::recvfrom(fd_, buf, sizeof(buf), MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from), &fromLength);
        if (n < 0) return;
        if (static_cast<size_t>(n) > wire::kMaxDatagram || fromLength < sizeof(from)) continue;  // oversized: ignore
        uint32_t probeId = 0;
        wire::SearchIdentity id;
        if (wire::ParseAnswer(buf, static_cast<size_t>(n), probeId, id) < 0) continue;
        uint32_t address = ntohl(from.sin_addr.s_addr);
        std::lock_guard<std::mutex> lock(mu_);
        if (!IsCameraSource(address, localBroadcasts_)) continue;
        if (std::find(recentProbeIds_.begin(), recentProbeIds_.end(), probeId) == recentProbeIds_.end())
            continue;  // not an answer to one of our recent probes
        int64_t now = NowMs();
        DropExpired(now);
        auto it = known_.find(address);
        if (it == known_.end()) {
            if (known_.size() >= static_cast<size_t>(kSearchMaxDevices)) continue;
            it = known_.emplace(address, Known{}).first;
        }
        it->second.identity = std::move(id);
        it->second.lastSeenMs = now;
        answered_.notify_all();
    }
}

bool LanSearcher::AllTargetsAnswered() const {
    if (options_.targets.empty()) return false;
    for (const SearchTarget& t : options_.targets) {
        if (IsGroupAddress(t.address) || known_.count(t.address) == 0) return false;
    }
    return true;
}

bool LanSearcher::WaitForTargets(int timeoutMs) {
    std::unique_lock<std::mutex> lock(mu_);
    return answered_.wait_for(lock, std::chrono::milliseconds(std::max(timeoutMs, 0)),
                              [this] { return AllTargetsAnswered(); });
}

void LanSearcher::DropExpired(int64_t nowMs) {
    for (auto it = known_.begin(); it != known_.end();) {
        if (nowMs - it->second.lastSeenMs > options_.expiryMs)
            it = known_.erase(it);
        else
            ++it;
    }
}

int LanSearcher::Count() {
    std::lock_guard<std::mutex> lock(mu_);
    DropExpired(NowMs());
    return static_cast<int>(known_.size());
}

int LanSearcher::Snapshot(BSC_DeviceInfo* records, int capacity) {
    if (!records || capacity <= 0) return 0;
    std::lock_guard<std::mutex> lock(mu_);
    int64_t now = NowMs();
    DropExpired(now);
    int n = 0;
    for (const auto& [address, k] : known_) {
        if (n >= capacity) break;
        BSC_DeviceInfo& r = records[n++];
        std::memset(&r, 0, sizeof(r));
        // The camera's texts are UTF-8 (addresses are plain ASCII).
        platform::CopyUtf8Field(r.deviceName, sizeof(r.deviceName), k.identity.deviceName);
        platform::CopyUtf8Field(r.serial, sizeof(r.serial), k.identity.serial);
        platform::CopyUtf8Field(r.firmware, sizeof(r.firmware), k.identity.firmware);
        std::memcpy(r.mac, k.identity.mac.data(), sizeof(r.mac));
        r.sdkPort = k.identity.sdkPort;
        in_addr a{};
        a.s_addr = htonl(address);
        inet_ntop(AF_INET, &a, r.ip, sizeof(r.ip));
        platform::CopyUtf8Field(r.netmask, sizeof(r.netmask), k.identity.netmask);
        platform::CopyUtf8Field(r.gateway, sizeof(r.gateway), k.identity.gateway);
        platform::CopyUtf8Field(r.model, sizeof(r.model), k.identity.model);
        r.httpPort = k.identity.httpPort;
        int64_t age = now - k.lastSeenMs;
        r.ageMs = static_cast<uint32_t>(age < 0 ? 0 : age);
    }
    return n;
}

}  // namespace velmora::transport
