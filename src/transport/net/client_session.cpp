#include "transport/net/client_session.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "platform/codepage.h"
#include "wire/login_auth.h"
#include "wire/socket_io.h"

namespace velmora::transport {

using wire::FrameView;
using wire::MsgType;

namespace {

constexpr size_t kMaxPendingRequests = 64;
constexpr int kDefaultMaxStreams = 4;
constexpr int kMaxStreamsCap = 16;
constexpr size_t kReceiveChunk = 64 * 1024;

// A status from the camera that claims failure must be negative; anything else is a broken peer.
int FailureCode(int32_t status) { return status < 0 ? status : wire::ORVEX_ERR_PROTOCOL; }

// The reason a camera gives for ending a stream should be negative; a camera that leaves it 0 (or
// sends a positive value) still ended the stream, which is then reported as no longer available.
int StreamEndReason(int32_t status) { return status < 0 ? status : wire::ORVEX_ERR_STREAM_UNAVAILABLE; }

}  // namespace

// ===== LoginHandshake ========================================================================

LoginHandshake::LoginHandshake(std::string user, std::string password)
    : user_(std::move(user)), password_(std::move(password)) {
    // Cut as the login frame cuts it (between UTF-8 characters), so the proof covers the very
    // name the camera receives.
    user_.resize(platform::Utf8PrefixLength(user_, wire::kMaxUserName));
}

int LoginHandshake::Begin(std::vector<uint8_t>& out) {
    if (!wire::RandomBytes(clientNonce_.data(), clientNonce_.size())) {
        state_ = State::Failed;
        return wire::ORVEX_ERR_INTERNAL;
    }
    wire::LoginBeginMsg m;
    m.clientNonce = clientNonce_;
    m.user = user_;
    auto payload = wire::EncodeLoginBegin(m);
    wire::AppendFrame(out, MsgType::LoginBegin, 1, 0, payload.data(), payload.size());
    state_ = State::AwaitChallenge;
    return 0;
}

int LoginHandshake::OnFrame(const FrameView& f, std::vector<uint8_t>& out) {
    auto fail = [this](int code) {
        state_ = State::Failed;
        return code;
    };
    if (state_ != State::AwaitChallenge && state_ != State::AwaitResult) return fail(wire::ORVEX_ERR_PROTOCOL);
    switch (f.type()) {
    case MsgType::Ping:
    case MsgType::Pong:
        return 0;
    case MsgType::Error:
        return fail(FailureCode(f.header.status));
    case MsgType::LoginChallenge: {
        if (state_ != State::AwaitChallenge) return fail(wire::ORVEX_ERR_PROTOCOL);
        wire::LoginChallengeMsg c;
        if (f.header.status != 0) return fail(FailureCode(f.header.status));
        if (wire::ParseLoginChallenge(f.payload, f.length, c) < 0) return fail(wire::ORVEX_ERR_PROTOCOL);
        if (c.algorithm != wire::kAlgHmacSha256) return fail(wire::ORVEX_ERR_UNSUPPORTED);
        serverNonce_ = c.serverNonce;
        wire::LoginProofMsg proof;
        proof.proof = wire::ComputeClientProof(password_, serverNonce_, clientNonce_, user_);
        auto payload = wire::EncodeLoginProof(proof);
        wire::AppendFrame(out, MsgType::LoginProof, 2, 0, payload.data(), payload.size());
        state_ = State::AwaitResult;
        return 0;
    }
    case MsgType::LoginResult: {
        // A camera may refuse at once, before any challenge.
        if (f.header.status != 0) return fail(FailureCode(f.header.status));
        if (state_ != State::AwaitResult) return fail(wire::ORVEX_ERR_PROTOCOL);
        wire::LoginAcceptedMsg a;
        if (wire::ParseLoginAccepted(f.payload, f.length, a) < 0) return fail(wire::ORVEX_ERR_PROTOCOL);
        // The camera proves it knows the password too; an impostor cannot.
        auto expected = wire::ComputeCameraProof(password_, clientNonce_, serverNonce_, user_);
        if (!wire::ProofsEqual(expected, a.cameraProof)) return fail(wire::ORVEX_ERR_AUTH);
        accepted_ = std::move(a);
        state_ = State::Done;
        return 1;
    }
    default:
        return fail(wire::ORVEX_ERR_PROTOCOL);
    }
}

// ===== ClientSession =========================================================================

ClientSession::ClientSession(int fd, wire::FrameParser parser, const Timeouts& timeouts)
    : fd_(fd), detached_(fd < 0), parser_(std::move(parser)), timeouts_(timeouts) {}

ClientSession::~ClientSession() {
    Close();
    if (receiver_.joinable()) {
        if (receiver_.get_id() == std::this_thread::get_id())
            receiver_.detach();
        else
            receiver_.join();
    }
    wire::CloseFd(fd_);
}

std::shared_ptr<ClientSession> ClientSession::CreateDetached(const Timeouts& timeouts) {
    return std::shared_ptr<ClientSession>(
        new ClientSession(-1, wire::FrameParser(wire::Sender::Camera), timeouts));
}

int ClientSession::Open(uint32_t address, uint16_t port, const std::string& user, const std::string& password,
                        const Timeouts& timeouts, std::shared_ptr<ClientSession>& out,
                        wire::LoginAcceptedMsg* accepted) {
    const int64_t deadline = wire::NowMs() + timeouts.connectMs;
    int fd = -1;
    int rc = wire::ConnectTcp(address, port, timeouts.connectMs, fd);
    if (rc < 0) return rc;

    LoginHandshake hs(user, password);
    std::vector<uint8_t> outBytes;
    rc = hs.Begin(outBytes);
    if (rc == 0) rc = wire::SendAll(fd, outBytes.data(), outBytes.size(), deadline);
    wire::FrameParser parser(wire::Sender::Camera);
    uint8_t buf[4096];
    bool done = false;
    while (rc == 0 && !done) {
        int64_t left = deadline - wire::NowMs();
        if (left <= 0) {
            rc = wire::ORVEX_ERR_TIMEOUT;
            break;
        }
        long n = wire::RecvSome(fd, buf, sizeof(buf), static_cast<int>(left));
        if (n < 0) {
            rc = wire::ORVEX_ERR_DISCONNECTED;
            break;
        }
        if (n == 0) continue;
        parser.Feed(buf, static_cast<size_t>(n));
        FrameView f;
        int pr;
        while (!done && (pr = parser.Next(f)) == 1) {
            outBytes.clear();
            int r = hs.OnFrame(f, outBytes);
            if (r < 0) {
                rc = r;
                break;
            }
            if (!outBytes.empty()) {
                rc = wire::SendAll(fd, outBytes.data(), outBytes.size(), deadline);
                if (rc < 0) break;
            }
            if (r == 1) done = true;
        }
        if (rc == 0 && !done && parser.error() < 0) rc = parser.error();
    }
    if (rc < 0) {
        wire::CloseFd(fd);
        return rc;
    }
    std::shared_ptr<ClientSession> s(new ClientSession(fd, std::move(parser), timeouts));
    s->peerAddress_ = address;
    int ms = hs.accepted().maxStreams;
    s->maxStreams_ = ms <= 0 ? kDefaultMaxStreams : std::min(ms, kMaxStreamsCap);
    if (accepted) *accepted = hs.accepted();
    s->StartReceiver();
    out = std::move(s);
    return 0;
}

std::string ClientSession::PeerAddress() const {
    if (detached_) return std::string();
    char text[INET_ADDRSTRLEN] = {};
    in_addr a{};
    a.s_addr = peerAddress_;
    if (!inet_ntop(AF_INET, &a, text, sizeof(text))) return std::string();
    return text;
}

void ClientSession::SetTimeouts(const Timeouts& t) {
    std::lock_guard<std::mutex> lock(mu_);
    timeouts_ = t;
}

bool ClientSession::OnReceiveThread() const { return receiverId_ == std::this_thread::get_id(); }

void ClientSession::StartReceiver() {
    std::lock_guard<std::mutex> lock(mu_);
    // The thread keeps the session alive until it ends, so a Close from inside a callback can
    // let it finish on its own.
    auto self = shared_from_this();
    receiver_ = std::thread([self] { self->ReceiveLoop(); });
    receiverId_ = receiver_.get_id();
}

void ClientSession::ReceiveLoop() {
    Timeouts t;
    {
        std::lock_guard<std::mutex> lock(mu_);  // waits until StartReceiver has finished
        t = timeouts_;
    }
    lastReceiveMs_ = lastPingMs_ = wire::NowMs();
    int rc = HandleIncoming(nullptr, 0);  // frames that came in with the login reply
    if (rc < 0) MarkDead(rc);
    std::vector<uint8_t> buf(kReceiveChunk);
    while (!closing_.load() && !dead_.load()) {
        {
            std::lock_guard<std::mutex> lock(mu_);
            t = timeouts_;
        }
        const int64_t idle = std::max(t.idleMs, 3);
        const int64_t pingEvery = idle / 3;
        int64_t now = wire::NowMs();
        int64_t nextPing = std::max(lastReceiveMs_, lastPingMs_) + pingEvery;
        int64_t giveUp = lastReceiveMs_ + idle;
        int64_t wait = std::clamp<int64_t>(std::min(nextPing, giveUp) - now, 1, 1000);
        long n = wire::RecvSome(fd_, buf.data(), buf.size(), static_cast<int>(wait));
        if (n < 0) {
            MarkDead(closing_.load() ? wire::ORVEX_ERR_INVALID_HANDLE : wire::ORVEX_ERR_DISCONNECTED);
            break;
        }
        now = wire::NowMs();
        if (n > 0) {
            lastReceiveMs_ = now;
            rc = HandleIncoming(buf.data(), static_cast<size_t>(n));
            if (rc < 0) {
                MarkDead(rc);
                break;
            }
            continue;
        }
        if (now - lastReceiveMs_ >= idle) {
            MarkDead(wire::ORVEX_ERR_DISCONNECTED);
            break;
        }
        if (now - std::max(lastReceiveMs_, lastPingMs_) >= pingEvery) {
            lastPingMs_ = now;
            SendFrame(MsgType::Ping, 0, nullptr, 0);
        }
    }
    // Let the camera see the end at once (a broken stream cannot be resynchronised).
    ::shutdown(fd_, SHUT_RDWR);
}

int ClientSession::HandleIncoming(const uint8_t* data, size_t length) {
    int rc = parser_.Feed(data, length);
    if (rc < 0) return rc;
    FrameView f;
    while ((rc = parser_.Next(f)) == 1) {
        int d = Dispatch(f);
        if (d < 0) return d;
        if (dead_.load()) return deadReason_.load();
    }
    return rc;
}

int ClientSession::Dispatch(const FrameView& f) {
    switch (f.type()) {
    case MsgType::TextReply:
    case MsgType::StreamStartReply:
    case MsgType::StreamStopReply:
    case MsgType::LogoutReply:
    case MsgType::Error: {
        if (f.header.requestId == 0) {
            // A connection-level error ends the session; stray replies are ignored.
            return f.type() == MsgType::Error ? FailureCode(f.header.status) : 0;
        }
        std::lock_guard<std::mutex> lock(mu_);
        auto it = pending_.find(f.header.requestId);
        if (it == pending_.end()) return 0;  // late reply to a request that timed out
        Pending& p = *it->second;
        if (p.done) return 0;
        if (f.type() != MsgType::Error && f.type() != p.expect) return wire::ORVEX_ERR_PROTOCOL;
        p.done = true;
        p.status = f.type() == MsgType::Error ? FailureCode(f.header.status) : f.header.status;
        p.payload.assign(f.payload, f.payload + f.length);
        cv_.notify_all();
        return 0;
    }
    case MsgType::Media: {
        wire::MediaHeader mh;
        const uint8_t* data = nullptr;
        size_t dataLength = 0;
        if (wire::ParseMedia(f.payload, f.length, mh, data, dataLength) < 0) return wire::ORVEX_ERR_PROTOCOL;
        std::shared_ptr<Stream> s;
        {
            std::lock_guard<std::mutex> lock(mu_);
            auto it = streams_.find(mh.streamId);
            if (it == streams_.end()) return 0;  // stopped meanwhile: drop
            s = it->second;
        }
        std::lock_guard<std::mutex> cbLock(s->callbackMu);
        if (s->active.load())
            s->callback(s->realHandle, data, static_cast<int>(dataLength), mh.dataType, s->user);
        return 0;
    }
    case MsgType::StreamEnd: {
        uint32_t id = 0;
        if (wire::ParseStreamId(f.payload, f.length, id) < 0) return wire::ORVEX_ERR_PROTOCOL;
        std::lock_guard<std::mutex> lock(mu_);
        auto it = streams_.find(id);
        if (it != streams_.end()) {
            // The reason first: whoever sees the stream inactive may ask for it at once.
            it->second->endReason.store(StreamEndReason(f.header.status));
            it->second->active.store(false);  // we are the only caller
        }
        return 0;
    }
    case MsgType::Ping:
        SendFrame(MsgType::Pong, f.header.requestId, nullptr, 0);
        return 0;
    case MsgType::Pong:
        return 0;
    case MsgType::LoginChallenge:
    case MsgType::LoginResult:
        return wire::ORVEX_ERR_PROTOCOL;
    default:
        return 0;  // unknown types are skipped (their length was bounded by the parser)
    }
}

void ClientSession::MarkDead(int reason) {
    {
        std::lock_guard<std::mutex> lock(mu_);
        if (dead_.load()) return;
        deadReason_.store(reason);
        dead_.store(true);
        for (auto& kv : streams_) kv.second->active.store(false);
    }
    cv_.notify_all();
}

int ClientSession::SendFrame(MsgType type, uint32_t requestId, const uint8_t* payload, size_t length) {
    if (detached_) return 0;
    wire::FrameHeader h;
    h.type = static_cast<uint8_t>(type);
    h.requestId = requestId;
    h.length = static_cast<uint32_t>(length);
    uint8_t header[wire::kHeaderSize];
    wire::EncodeHeader(h, header);
    iovec v[2] = {{header, sizeof(header)}, {const_cast<uint8_t*>(payload), length}};
    int requestMs;
    {
        std::lock_guard<std::mutex> lock(mu_);
        requestMs = timeouts_.requestMs;
    }
    int rc;
    {
        std::lock_guard<std::mutex> lock(sendMu_);
        if (dead_.load()) return deadReason_.load();
        rc = wire::SendAll(fd_, v, length ? 2 : 1, wire::NowMs() + requestMs);
    }
    if (rc < 0) {
        // A frame cut short cannot be resumed: the connection is finished.
        MarkDead(wire::ORVEX_ERR_DISCONNECTED);
        ::shutdown(fd_, SHUT_RDWR);
    }
    return rc;
}

int ClientSession::RoundTrip(MsgType type, const std::vector<uint8_t>& payload, MsgType expect,
                             std::vector<uint8_t>* replyPayload) {
    // From a callback of this session the reply could only be read by this very thread: the wait
    // would last the whole time-out with the session deaf meanwhile.
    if (OnReceiveThread()) return wire::ORVEX_ERR_INVALID_ARG;
    auto p = std::make_shared<Pending>();
    p->expect = expect;
    uint32_t id;
    int requestMs;
    {
        std::lock_guard<std::mutex> lock(mu_);
        if (dead_.load()) return deadReason_.load();
        if (pending_.size() >= kMaxPendingRequests) return wire::ORVEX_ERR_NO_RESOURCES;
        id = TakeId(nextRequestId_);
        pending_[id] = p;
        requestMs = timeouts_.requestMs;
    }
    int rc = SendFrame(type, id, payload.data(), payload.size());
    std::unique_lock<std::mutex> lock(mu_);
    if (rc == 0) {
        cv_.wait_for(lock, std::chrono::milliseconds(requestMs), [&] { return p->done || dead_.load(); });
        if (!p->done) rc = dead_.load() ? deadReason_.load() : wire::ORVEX_ERR_TIMEOUT;
        else if (p->status != 0) rc = FailureCode(p->status);
        else if (replyPayload) replyPayload->swap(p->payload);
    }
    pending_.erase(id);
    return rc;
}

int ClientSession::SendText(const uint8_t* text, size_t length, std::vector<uint8_t>& reply) {
    if (length == 0) return wire::ORVEX_ERR_INVALID_ARG;
    if (length > wire::kMaxTextPayload) return wire::ORVEX_ERR_TOO_LARGE;
    std::vector<uint8_t> payload(text, text + length);
    return RoundTrip(MsgType::TextRequest, payload, MsgType::TextReply, &reply);
}

uint32_t ClientSession::TakeId(uint32_t& next) {
    uint32_t id = next++;
    if (next == 0) next = 1;
    return id;
}

std::shared_ptr<ClientSession::Stream> ClientSession::MakeStream(int realHandle, ORVEX_RealDataCallback callback,
                                                                 void* user) {
    auto s = std::make_shared<Stream>();
    s->realHandle = realHandle;
    s->callback = callback;
    s->user = user;
    return s;
}

int ClientSession::StartStream(int realHandle, int selector, ORVEX_RealDataCallback callback, void* user,
                               uint32_t& streamId) {
    if (!callback || selector < 0 || selector > 255) return wire::ORVEX_ERR_INVALID_ARG;
    auto s = MakeStream(realHandle, callback, user);
    {
        std::lock_guard<std::mutex> lock(mu_);
        if (dead_.load()) return deadReason_.load();
        if (closed_) return wire::ORVEX_ERR_INVALID_HANDLE;  // Close has begun
        if (streams_.size() >= static_cast<size_t>(maxStreams_)) return wire::ORVEX_ERR_NO_RESOURCES;
        s->id = TakeId(nextStreamId_);
        // Registered before asking, so the first access unit (sent right after the reply) is
        // not lost.
        streams_[s->id] = s;
    }
    std::vector<uint8_t> reply;
    int rc = RoundTrip(MsgType::StreamStart, wire::EncodeStreamStart({s->id, static_cast<uint8_t>(selector)}),
                       MsgType::StreamStartReply, &reply);
    uint32_t echoed = 0;
    if (rc == 0 && (wire::ParseStreamId(reply.data(), reply.size(), echoed) < 0 || echoed != s->id))
        rc = wire::ORVEX_ERR_PROTOCOL;
    if (rc < 0) {
        // Deactivated before it is forgotten, so a concurrent StopStream or Close still finds it
        // and waits for a callback in progress.
        DeactivateStream(s);
        {
            std::lock_guard<std::mutex> lock(mu_);
            auto it = streams_.find(s->id);
            if (it != streams_.end() && it->second == s) streams_.erase(it);
        }
        // The camera may still start it after a late answer; tell it we do not want it.
        if (rc == wire::ORVEX_ERR_TIMEOUT) {
            auto p = wire::EncodeStreamId(s->id);
            SendFrame(MsgType::StreamStop, 0, p.data(), p.size());
        }
        return rc;
    }
    streamId = s->id;
    return 0;
}

int ClientSession::AddDetachedStream(int realHandle, uint32_t streamId, ORVEX_RealDataCallback callback,
                                     void* user) {
    if (!detached_ || !callback) return wire::ORVEX_ERR_INVALID_ARG;
    auto s = MakeStream(realHandle, callback, user);
    s->id = streamId;
    std::lock_guard<std::mutex> lock(mu_);
    streams_[streamId] = s;
    return 0;
}

void ClientSession::DeactivateStream(const std::shared_ptr<Stream>& s) {
    s->active.store(false);
    // Wait for a callback in progress; from inside a callback that would wait for itself.
    if (!OnReceiveThread()) std::lock_guard<std::mutex> wait(s->callbackMu);
}

int ClientSession::StreamState(int realHandle) const {
    std::lock_guard<std::mutex> lock(mu_);
    for (const auto& kv : streams_) {
        if (kv.second->realHandle != realHandle) continue;
        int reason = kv.second->endReason.load();
        if (reason < 0) return reason;
        break;
    }
    return dead_.load() ? deadReason_.load() : 0;
}

void ClientSession::StopStream(int realHandle) {
    std::shared_ptr<Stream> s;
    uint32_t id = 0;
    {
        std::lock_guard<std::mutex> lock(mu_);
        for (auto it = streams_.begin(); it != streams_.end(); ++it) {
            if (it->second->realHandle == realHandle) {
                s = it->second;
                streams_.erase(it);
                break;
            }
        }
        if (!s) return;
        id = TakeId(nextRequestId_);
    }
    DeactivateStream(s);
    if (!dead_.load() && !closing_.load()) {
        // The reply, if any, matches no pending request and is ignored.
        auto p = wire::EncodeStreamId(s->id);
        SendFrame(MsgType::StreamStop, id, p.data(), p.size());
    }
}

void ClientSession::Close() {
    std::call_once(closeOnce_, [this] {
        // The streams stay registered until they are deactivated: a StopStream running meanwhile
        // must find its stream and wait for its callback like this does.
        std::map<uint32_t, std::shared_ptr<Stream>> streams;
        {
            std::lock_guard<std::mutex> lock(mu_);
            closed_ = true;
            streams = streams_;
        }
        for (auto& kv : streams) DeactivateStream(kv.second);
        {
            std::lock_guard<std::mutex> lock(mu_);
            streams_.clear();
        }
        if (!dead_.load()) SendFrame(MsgType::Logout, 0, nullptr, 0);
        closing_.store(true);
        MarkDead(wire::ORVEX_ERR_INVALID_HANDLE);
        if (fd_ >= 0) ::shutdown(fd_, SHUT_RDWR);
        if (receiver_.joinable()) {
            if (OnReceiveThread())
                receiver_.detach();  // called from a callback: the thread ends by itself
            else
                receiver_.join();
        }
    });
}

}  // namespace velmora::transport
