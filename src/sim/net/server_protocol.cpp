#include "sim/net/server_protocol.h"

#include <algorithm>

#include "wire/login_auth.h"
#include "wire/wire_codes.h"

namespace velmora::sim {

using wire::FrameView;
using wire::MsgType;

namespace {

// The reply type that belongs to a request type (Error for anything else).
MsgType ReplyTypeFor(MsgType request) {
    switch (request) {
    case MsgType::TextRequest:
        return MsgType::TextReply;
    case MsgType::StreamStart:
        return MsgType::StreamStartReply;
    case MsgType::StreamStop:
        return MsgType::StreamStopReply;
    case MsgType::Logout:
        return MsgType::LogoutReply;
    default:
        return MsgType::Error;
    }
}

}  // namespace

bool ServerConnectionCore::Send(MsgType type, uint32_t requestId, int32_t status, const std::vector<uint8_t>& payload) {
    std::vector<uint8_t> frame;
    wire::AppendFrame(frame, type, requestId, status, payload.data(), payload.size());
    return host_.SendBytes(frame.data(), frame.size());
}

int ServerConnectionCore::Close(int code) {
    state_ = State::Closed;
    std::fill(password_.begin(), password_.end(), '\0');
    return code;
}

int ServerConnectionCore::RefuseFrame(const FrameView& f) {
    Send(MsgType::Error, f.header.requestId, wire::ORVEX_ERR_PROTOCOL, {});
    return Close(wire::ORVEX_ERR_PROTOCOL);
}

int ServerConnectionCore::Feed(const uint8_t* data, size_t length) {
    if (state_ == State::Closed) return wire::ORVEX_ERR_DISCONNECTED;
    parser_.Feed(data, length);
    FrameView f;
    int rc;
    while ((rc = parser_.Next(f)) == 1) {
        int r = OnFrame(f);
        if (r != 0) return r;
    }
    if (rc < 0) {
        // Bad magic, version or an oversized length: the stream cannot be trusted any more.
        Send(MsgType::Error, 0, rc, {});
        return Close(rc);
    }
    return 0;
}

int ServerConnectionCore::OnFrame(const FrameView& f) {
    switch (f.type()) {
    case MsgType::Ping:
        return Send(MsgType::Pong, f.header.requestId, 0, {}) ? 0 : Close(wire::ORVEX_ERR_DISCONNECTED);
    case MsgType::Pong:
        return 0;
    case MsgType::LoginBegin:
        return OnLoginBegin(f);
    case MsgType::LoginProof:
        return OnLoginProof(f);
    case MsgType::TextRequest:
    case MsgType::StreamStart:
    case MsgType::StreamStop:
    case MsgType::Logout:
        if (state_ != State::Ready) {
            // Nothing but the login is served before a session exists.
            Send(ReplyTypeFor(f.type()), f.header.requestId, wire::ORVEX_ERR_AUTH, {});
            return Close(wire::ORVEX_ERR_AUTH);
        }
        return OnRequest(f);
    case MsgType::Error:
        return Close(wire::ORVEX_ERR_DISCONNECTED);
    default:
        // Unknown or camera-to-client types: refused, the connection stays usable.
        return Send(MsgType::Error, f.header.requestId, wire::ORVEX_ERR_UNSUPPORTED, {})
                   ? 0
                   : Close(wire::ORVEX_ERR_DISCONNECTED);
    }
}

int ServerConnectionCore::OnLoginBegin(const FrameView& f) {
    if (state_ != State::AwaitBegin) {
        return RefuseFrame(f);
    }
    wire::LoginBeginMsg m;
    if (wire::ParseLoginBegin(f.payload, f.length, m) < 0) {
        return RefuseFrame(f);
    }
    int policy = host_.LoginPolicy();
    if (policy < 0) {
        host_.OnLoginResult(false);
        Send(MsgType::LoginResult, f.header.requestId, policy, {});
        return Close(policy);
    }
    if (!wire::RandomBytes(serverNonce_.data(), serverNonce_.size())) {
        Send(MsgType::LoginResult, f.header.requestId, wire::ORVEX_ERR_INTERNAL, {});
        return Close(wire::ORVEX_ERR_INTERNAL);
    }
    clientNonce_ = m.clientNonce;
    user_ = m.user;
    if (!host_.FindPassword(user_, password_)) {
        // An unknown user gets a challenge like everybody else, with a key nobody knows, so the
        // answer does not reveal which user names exist.
        uint8_t junk[24];
        if (!wire::RandomBytes(junk, sizeof(junk))) return Close(wire::ORVEX_ERR_INTERNAL);
        password_.assign(reinterpret_cast<const char*>(junk), sizeof(junk));
    }
    wire::LoginChallengeMsg c;
    c.serverNonce = serverNonce_;
    state_ = State::AwaitProof;
    return Send(MsgType::LoginChallenge, f.header.requestId, 0, wire::EncodeLoginChallenge(c))
               ? 0
               : Close(wire::ORVEX_ERR_DISCONNECTED);
}

int ServerConnectionCore::OnLoginProof(const FrameView& f) {
    if (state_ != State::AwaitProof) {
        return RefuseFrame(f);
    }
    wire::LoginProofMsg m;
    if (wire::ParseLoginProof(f.payload, f.length, m) < 0) {
        return RefuseFrame(f);
    }
    auto expected = wire::ComputeClientProof(password_, serverNonce_, clientNonce_, user_);
    if (!wire::ProofsEqual(expected, m.proof)) {
        host_.OnLoginResult(false);
        Send(MsgType::LoginResult, f.header.requestId, wire::ORVEX_ERR_AUTH, {});
        return Close(wire::ORVEX_ERR_AUTH);
    }
    wire::LoginAcceptedMsg a = host_.Identity();
    a.cameraProof = wire::ComputeCameraProof(password_, clientNonce_, serverNonce_, user_);
    a.maxStreams = static_cast<uint8_t>(std::clamp(host_.MaxStreams(), 1, 255));
    std::fill(password_.begin(), password_.end(), '\0');
    password_.clear();
    state_ = State::Ready;
    host_.OnLoginResult(true);
    return Send(MsgType::LoginResult, f.header.requestId, 0, wire::EncodeLoginAccepted(a))
               ? 0
               : Close(wire::ORVEX_ERR_DISCONNECTED);
}

int ServerConnectionCore::OnRequest(const FrameView& f) {
    const uint32_t id = f.header.requestId;
    if (f.type() == MsgType::Logout) {
        Send(MsgType::LogoutReply, id, 0, {});
        Close(0);
        return 1;
    }
    if (!host_.BeforeRequest()) return Close(wire::ORVEX_ERR_DISCONNECTED);
    switch (f.type()) {
    case MsgType::TextRequest: {
        std::string request(reinterpret_cast<const char*>(f.payload), f.length);
        TextOutcome out = host_.HandleText(request);
        if (out.drop) return Close(wire::ORVEX_ERR_DISCONNECTED);
        bool ok;
        if (out.status < 0)
            ok = Send(MsgType::TextReply, id, out.status, {});
        else if (out.text.size() > wire::kMaxTextPayload)
            ok = Send(MsgType::TextReply, id, wire::ORVEX_ERR_TOO_LARGE, {});
        else
            ok = Send(MsgType::TextReply, id, 0, std::vector<uint8_t>(out.text.begin(), out.text.end()));
        return ok ? 0 : Close(wire::ORVEX_ERR_DISCONNECTED);
    }
    case MsgType::StreamStart: {
        wire::StreamStartMsg m;
        if (wire::ParseStreamStart(f.payload, f.length, m) < 0)
            return Send(MsgType::StreamStartReply, id, wire::ORVEX_ERR_PROTOCOL, {})
                       ? 0
                       : Close(wire::ORVEX_ERR_DISCONNECTED);
        int rc = host_.PrepareStream(m.streamId, m.selector);
        if (rc < 0)
            return Send(MsgType::StreamStartReply, id, rc, wire::EncodeStreamId(m.streamId))
                       ? 0
                       : Close(wire::ORVEX_ERR_DISCONNECTED);
        if (!Send(MsgType::StreamStartReply, id, 0, wire::EncodeStreamId(m.streamId)))
            return Close(wire::ORVEX_ERR_DISCONNECTED);
        host_.BeginStream(m.streamId);
        return 0;
    }
    case MsgType::StreamStop: {
        uint32_t streamId = 0;
        if (wire::ParseStreamId(f.payload, f.length, streamId) < 0)
            return Send(MsgType::StreamStopReply, id, wire::ORVEX_ERR_PROTOCOL, {})
                       ? 0
                       : Close(wire::ORVEX_ERR_DISCONNECTED);
        int32_t status = host_.StopStream(streamId) ? 0 : wire::ORVEX_ERR_INVALID_HANDLE;
        return Send(MsgType::StreamStopReply, id, status, wire::EncodeStreamId(streamId))
                   ? 0
                   : Close(wire::ORVEX_ERR_DISCONNECTED);
    }
    default:
        return 0;
    }
}

}  // namespace velmora::sim
