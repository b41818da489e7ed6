#include "sim/net/camera_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <map>

#include "wire/search_wire.h"
#include "wire/wire_codes.h"
#include "wire/socket_io.h"
#include "wire/wire.h"
#include "sim/net/server_protocol.h"

namespace velmora::sim {

namespace {

constexpr char kDefaultReply[] = "{\"Content\":{\"nResult\":0}}";
// What a camera with the garbage fault sends instead of JSON.
constexpr char kGarbageReply[] = "<<garbage>> this is not JSON \x01\x7f {\"Content\":";

bool IsLoopback(uint32_t hostOrder) { return (hostOrder >> 24) == 127; }

int BindUdp(uint32_t hostOrderAddress, uint16_t port, uint16_t& boundPort) {
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    int one = 1;
    // Several simulated cameras on one host share the search port.
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(hostOrderAddress);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) != 0) {
        ::close(fd);
        return -1;
    }
    socklen_t len = sizeof(sa);
    getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
    boundPort = ntohs(sa.sin_port);
    return fd;
}

}  // namespace

// ===== Connection ============================================================================

class CameraServer::Connection : public ServerConnectionHost {
public:
    Connection(CameraServer& server, int fd) : server_(server), fd_(fd) {}
    ~Connection() override {
        Shutdown();
        Join();
        wire::CloseFd(fd_);
    }

    void StartThread() { thread_ = std::thread([this] { Run(); }); }
    void Shutdown() {
        closing_.store(true);
        ::shutdown(fd_, SHUT_RDWR);
    }
    void Join() {
        if (thread_.joinable()) thread_.join();
    }
    bool finished() const { return finished_.load(); }

    void EndStreams(bool notify) {
        std::map<uint32_t, std::unique_ptr<StreamRun>> streams;
        {
            std::lock_guard<std::mutex> lock(streamsMu_);
            streams.swap(streams_);
        }
        for (auto& [id, s] : streams) {
            Finish(*s);
            if (notify) {
                auto p = wire::EncodeStreamId(id);
                SendFrame(wire::MsgType::StreamEnd, 0, 0, p);
            }
        }
    }

    int StreamCount() {
        std::lock_guard<std::mutex> lock(streamsMu_);
        return static_cast<int>(streams_.size());
    }

    // ---- ServerConnectionHost ----
    bool SendBytes(const uint8_t* data, size_t length) override {
        std::lock_guard<std::mutex> lock(sendMu_);
        if (closing_.load()) return false;
        if (wire::SendAll(fd_, data, length, wire::NowMs() + server_.config_.sendTimeoutMs) < 0) {
            Shutdown();
            return false;
        }
        return true;
    }
    int LoginPolicy() override { return server_.refuseLogins_.load() ? wire::ORVEX_ERR_REFUSED : 0; }
    bool FindPassword(const std::string& user, std::string& password) override {
        for (const auto& u : server_.config_.users) {
            if (u.name == user) {
                password = u.password;
                return true;
            }
        }
        return false;
    }
    void OnLoginResult(bool accepted) override {
        (accepted ? server_.loginsAccepted_ : server_.loginsRefused_).fetch_add(1);
    }
    wire::LoginAcceptedMsg Identity() override {
        wire::LoginAcceptedMsg m;
        m.deviceName = server_.config_.deviceName;
        m.serial = server_.config_.serial;
        m.firmware = server_.config_.firmware;
        m.model = server_.config_.model;
        return m;
    }
    bool BeforeRequest() override {
        ++requests_;
        int n = server_.dropAfter_.load();
        return n < 0 || requests_ <= n;
    }
    TextOutcome HandleText(const std::string& request) override {
        server_.textRequests_.fetch_add(1);
        int stall;
        {
            std::lock_guard<std::mutex> lock(server_.faultMu_);
            stall = server_.stallMs_;
        }
        if (stall != 0) server_.WaitStall(stall, closing_);
        TextOutcome out;
        if (closing_.load() || !server_.running_.load()) {
            out.drop = true;
            return out;
        }
        if (server_.garbage_.load()) {
            out.text = kGarbageReply;
            return out;
        }
        TextHandler handler;
        {
            std::lock_guard<std::mutex> lock(server_.mu_);
            handler = server_.textHandler_;
        }
        out.text = handler ? handler(request) : std::string(kDefaultReply);
        return out;
    }
    int PrepareStream(uint32_t streamId, int selector) override {
        StreamSourceFactory factory;
        {
            std::lock_guard<std::mutex> lock(server_.mu_);
            factory = server_.streamFactory_;
        }
        {
            std::lock_guard<std::mutex> lock(streamsMu_);
            if (streams_.count(streamId)) return wire::ORVEX_ERR_INVALID_ARG;
            if (static_cast<int>(streams_.size()) >= server_.config_.maxStreamsPerSession)
                return wire::ORVEX_ERR_NO_RESOURCES;
        }
        std::unique_ptr<StreamSource> source = factory ? factory(selector) : nullptr;
        if (!source) return wire::ORVEX_ERR_STREAM_UNAVAILABLE;
        auto s = std::make_unique<StreamRun>();
        s->id = streamId;
        s->source = std::move(source);
        std::lock_guard<std::mutex> lock(streamsMu_);
        streams_[streamId] = std::move(s);
        return 0;
    }
    void BeginStream(uint32_t streamId) override {
        std::lock_guard<std::mutex> lock(streamsMu_);
        auto it = streams_.find(streamId);
        if (it == streams_.end()) return;
        StreamRun* s = it->second.get();
        s->thread = std::thread([this, s] { Pump(*s); });
    }
    bool StopStream(uint32_t streamId) override {
        std::unique_ptr<StreamRun> s;
        {
            std::lock_guard<std::mutex> lock(streamsMu_);
            auto it = streams_.find(streamId);
            if (it == streams_.end()) return false;
            s = std::move(it->second);
            streams_.erase(it);
        }
        Finish(*s);
        return true;
    }
    int MaxStreams() override { return server_.config_.maxStreamsPerSession; }

private:
    struct StreamRun {
        uint32_t id = 0;
        std::unique_ptr<StreamSource> source;
        std::thread thread;
        std::atomic<bool> stop{false};
    };

    void Finish(StreamRun& s) {
        s.stop.store(true);
        if (s.thread.joinable()) s.thread.join();
        s.source.reset();  // not started: never used by a stream thread
    }

    bool SendFrame(wire::MsgType type, uint32_t requestId, int32_t status, const std::vector<uint8_t>& payload) {
        std::vector<uint8_t> frame;
        wire::AppendFrame(frame, type, requestId, status, payload.data(), payload.size());
        return SendBytes(frame.data(), frame.size());
    }

    void Pump(StreamRun& s) {
        while (!s.stop.load() && !closing_.load()) {
            if (server_.streamsPaused_.load()) {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
                continue;
            }
            AccessUnit au;
            if (!s.source->Next(au, std::chrono::milliseconds(50))) continue;
            if (au.data.empty() || au.data.size() > wire::kMaxMediaData) continue;
            if (s.stop.load() || server_.streamsPaused_.load()) continue;
            wire::MediaHeader mh;
            mh.streamId = s.id;
            mh.dataType = wire::ORVEX_DATA_H264;
            mh.flags = au.keyFrame ? wire::kMediaFlagKey : 0;
            mh.timestampUs = au.timestampUs;
            uint8_t header[wire::kHeaderSize + wire::kMediaHeaderSize];
            wire::FrameHeader h;
            h.type = static_cast<uint8_t>(wire::MsgType::Media);
            h.length = static_cast<uint32_t>(wire::kMediaHeaderSize + au.data.size());
            wire::EncodeHeader(h, header);
            wire::EncodeMediaHeader(mh, header + wire::kHeaderSize);
            iovec v[2] = {{header, sizeof(header)}, {au.data.data(), au.data.size()}};
            int rc;
            {
                std::lock_guard<std::mutex> lock(sendMu_);
                if (closing_.load()) break;
                rc = wire::SendAll(fd_, v, 2, wire::NowMs() + server_.config_.sendTimeoutMs);
            }
            if (rc < 0) {
                Shutdown();
                break;
            }
            server_.mediaFramesSent_.fetch_add(1);
        }
        s.source.reset();  // destroyed on the thread that used it
    }

    void Run() {
        const int64_t loginDeadline = wire::NowMs() + server_.config_.loginTimeoutMs;
        std::vector<uint8_t> buf(64 * 1024);
        while (!closing_.load() && server_.running_.load()) {
            int wait = 1000;
            if (!core_.loggedIn()) {
                int64_t left = loginDeadline - wire::NowMs();
                if (left <= 0) break;
                wait = static_cast<int>(std::min<int64_t>(left, 1000));
            }
            long n = wire::RecvSome(fd_, buf.data(), buf.size(), wait);
            if (n < 0) break;
            if (n > 0 && core_.Feed(buf.data(), static_cast<size_t>(n)) != 0) break;
        }
        // Let the client see the end of the connection before anything else happens.
        {
            std::lock_guard<std::mutex> lock(sendMu_);
            closing_.store(true);
            ::shutdown(fd_, SHUT_RDWR);
        }
        EndStreams(false);
        finished_.store(true);
    }

    CameraServer& server_;
    int fd_;
    std::thread thread_;
    std::atomic<bool> closing_{false};
    std::atomic<bool> finished_{false};
    std::mutex sendMu_;
    std::mutex streamsMu_;
    std::map<uint32_t, std::unique_ptr<StreamRun>> streams_;
    int requests_ = 0;  // connection thread only
    ServerConnectionCore core_{*this};
};

// ===== CameraServer ==========================================================================

CameraServer::CameraServer(CameraServerConfig config) : config_(std::move(config)) {
    answerSearch_.store(config_.answerSearch);
}

CameraServer::~CameraServer() { Stop(); }

int CameraServer::Start() {
    if (running_.load()) return 0;
    in_addr a{};
    if (inet_pton(AF_INET, config_.address.c_str(), &a) != 1) return -1;
    const uint32_t address = ntohl(a.s_addr);

    listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (listenFd_ < 0) return -1;
    int one = 1;
    setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(config_.port);
    sa.sin_addr = a;
    socklen_t len = sizeof(sa);
    if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) != 0 || ::listen(listenFd_, 16) != 0 ||
        getsockname(listenFd_, reinterpret_cast<sockaddr*>(&sa), &len) != 0) {
        wire::CloseFd(listenFd_);
        return -1;
    }
    port_ = ntohs(sa.sin_port);
    config_.port = port_;  // a restart comes back on the same port

    if (config_.answerSearch) {
        // Unicast probes arrive on the camera's own address; broadcasts on the broadcast address
        // of the network, which every camera on this host binds with SO_REUSEADDR so each gets
        // a copy. Answers go out from the own address.
        uint16_t bound = 0;
        searchUnicastFd_ = BindUdp(address, config_.searchPort, bound);
        if (searchUnicastFd_ >= 0) {
            searchPort_ = bound;
            config_.searchPort = bound;
            uint16_t ignored = 0;
            uint32_t broadcast = IsLoopback(address) ? 0x7FFFFFFFu : INADDR_ANY;
            searchBroadcastFd_ = BindUdp(broadcast, bound, ignored);
        }
        if (searchUnicastFd_ < 0 || searchBroadcastFd_ < 0) {
            wire::CloseFd(searchUnicastFd_);
            wire::CloseFd(searchBroadcastFd_);
            wire::CloseFd(listenFd_);
            return -1;
        }
    }
    if (::pipe2(wakeFd_, O_NONBLOCK | O_CLOEXEC) != 0) {
        wire::CloseFd(searchUnicastFd_);
        wire::CloseFd(searchBroadcastFd_);
        wire::CloseFd(listenFd_);
        return -1;
    }
    running_.store(true);
    service_ = std::thread([this] { ServiceLoop(); });
    return 0;
}

void CameraServer::Stop() {
    if (!running_.exchange(false)) return;
    char b = 1;
    (void)!::write(wakeFd_[1], &b, 1);
    if (service_.joinable()) service_.join();
    wire::CloseFd(listenFd_);
    wire::CloseFd(searchUnicastFd_);
    wire::CloseFd(searchBroadcastFd_);
    wire::CloseFd(wakeFd_[0]);
    wire::CloseFd(wakeFd_[1]);
    std::list<std::shared_ptr<Connection>> connections;
    {
        std::lock_guard<std::mutex> lock(mu_);
        connections.swap(connections_);
    }
    for (auto& c : connections) c->Shutdown();
    {
        std::lock_guard<std::mutex> lock(faultMu_);
    }
    faultCv_.notify_all();
    for (auto& c : connections) c->Join();
    connections.clear();
}

void CameraServer::ServiceLoop() {
    while (running_.load()) {
        pollfd p[4];
        int n = 0;
        p[n++] = {wakeFd_[0], POLLIN, 0};
        p[n++] = {listenFd_, POLLIN, 0};
        if (searchUnicastFd_ >= 0) p[n++] = {searchUnicastFd_, POLLIN, 0};
        if (searchBroadcastFd_ >= 0) p[n++] = {searchBroadcastFd_, POLLIN, 0};
        int r = ::poll(p, static_cast<nfds_t>(n), 200);
        if (r < 0 && errno != EINTR) break;
        if (r > 0) {
            if (p[0].revents) break;  // Stop
            if (p[1].revents & POLLIN) AcceptOne();
            for (int i = 2; i < n; ++i)
                if (p[i].revents & POLLIN) AnswerProbe(p[i].fd);
        }
        ReapFinished(false);
    }
}

void CameraServer::AcceptOne() {
    int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return;
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    ReapFinished(false);
    std::lock_guard<std::mutex> lock(mu_);
    if (static_cast<int>(connections_.size()) >= config_.maxConnections) {
        std::vector<uint8_t> frame;
        wire::AppendFrame(frame, wire::MsgType::Error, 0, wire::ORVEX_ERR_NO_RESOURCES, nullptr, 0);
        wire::SendAll(fd, frame.data(), frame.size(), wire::NowMs() + 100);
        ::close(fd);
        return;
    }
    auto c = std::make_shared<Connection>(*this, fd);
    connections_.push_back(c);
    c->StartThread();
}

void CameraServer::AnswerProbe(int fd) {
    for (int i = 0; i < 64; ++i) {
        uint8_t buf[wire::kMaxDatagram + 1];
        sockaddr_in from{};
        socklen_t len = sizeof(from);
        ssize_t n = ::recvfrom(fd, buf, sizeof(buf), MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from), &len);
        if (n < 0) return;
        uint32_t probeId = 0;
        if (wire::ParseProbe(buf, static_cast<size_t>(n), probeId) < 0) continue;
        if (!answerSearch_.load()) continue;
        // Answers go only back to where the probe came from, and only on loopback here.
        if (!IsLoopback(ntohl(from.sin_addr.s_addr))) continue;
        wire::SearchIdentity id;
        id.deviceName = config_.deviceName;
        id.serial = config_.serial;
        id.firmware = config_.firmware;
        id.model = config_.model;
        id.mac = config_.mac;
        id.sdkPort = port_;
        id.httpPort = 80;
        id.ip = config_.address;
        id.netmask = "255.0.0.0";
        id.gateway = "127.0.0.1";
        auto answer = wire::EncodeAnswer(probeId, id);
        if (::sendto(searchUnicastFd_, answer.data(), answer.size(), MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&from),
                     sizeof(from)) > 0)
            probesAnswered_.fetch_add(1);
    }
}

void CameraServer::ReapFinished(bool all) {
    std::list<std::shared_ptr<Connection>> done;
    {
        std::lock_guard<std::mutex> lock(mu_);
        for (auto it = connections_.begin(); it != connections_.end();) {
            if (all || (*it)->finished()) {
                done.push_back(*it);
                it = connections_.erase(it);
            } else {
                ++it;
            }
        }
    }
    done.clear();  // joins outside the lock
}

void CameraServer::WaitStall(int ms, const std::atomic<bool>& closing) {
    std::unique_lock<std::mutex> lock(faultMu_);
    const uint64_t generation = stallGeneration_;
    auto over = [&] { return closing.load() || !running_.load() || stallGeneration_ != generation; };
    if (ms < 0)
        faultCv_.wait(lock, over);
    else
        faultCv_.wait_for(lock, std::chrono::milliseconds(ms), over);
}

void CameraServer::SetTextHandler(TextHandler handler) {
    std::lock_guard<std::mutex> lock(mu_);
    textHandler_ = std::move(handler);
}

void CameraServer::SetStreamSourceFactory(StreamSourceFactory factory) {
    std::lock_guard<std::mutex> lock(mu_);
    streamFactory_ = std::move(factory);
}

void CameraServer::SetRefuseLogins(bool refuse) { refuseLogins_.store(refuse); }
void CameraServer::SetDropAfterRequests(int n) { dropAfter_.store(n); }
void CameraServer::SetGarbageReplies(bool garbage) { garbage_.store(garbage); }
void CameraServer::SetStreamsPaused(bool paused) { streamsPaused_.store(paused); }
void CameraServer::SetSearchAnswering(bool answer) { answerSearch_.store(answer); }

void CameraServer::SetReplyStallMs(int ms) {
    {
        std::lock_guard<std::mutex> lock(faultMu_);
        stallMs_ = ms;
        ++stallGeneration_;
    }
    faultCv_.notify_all();
}

void CameraServer::EndAllStreams() {
    std::list<std::shared_ptr<Connection>> connections;
    {
        std::lock_guard<std::mutex> lock(mu_);
        connections = connections_;
    }
    for (auto& c : connections) c->EndStreams(true);
}

void CameraServer::DisconnectAll() {
    std::list<std::shared_ptr<Connection>> connections;
    {
        std::lock_guard<std::mutex> lock(mu_);
        connections = connections_;
    }
    for (auto& c : connections) c->Shutdown();
    {
        std::lock_guard<std::mutex> lock(faultMu_);
    }
    faultCv_.notify_all();
}

int CameraServer::ConnectionCount() {
    std::lock_guard<std::mutex> lock(mu_);
    int n = 0;
    for (auto& c : connections_)
        if (!c->finished()) ++n;
    return n;
}

int CameraServer::OpenStreams() {
    std::lock_guard<std::mutex> lock(mu_);
    int n = 0;
    for (auto& c : connections_) n += c->StreamCount();
    return n;
}

}  // namespace velmora::sim
