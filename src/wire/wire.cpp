#include "wire/wire.h"

#include <algorithm>
#include <cstring>

#include "platform/codepage.h"
#include "wire/wire_codes.h"

namespace velmora::wire {

namespace {

constexpr size_t kMaxUserSize = kMaxUserName;

void AppendText8(std::vector<uint8_t>& out, std::string_view text, size_t maxLength) {
    const size_t n = platform::Utf8PrefixLength(text, std::min<size_t>(maxLength, 255));
    out.push_back(uint8_t(n));
    out.insert(out.end(), text.begin(), text.begin() + n);
}

// Reads a u8-length-prefixed text; fails if it runs past the end or exceeds maxLength.
bool ReadText8(const uint8_t* p, size_t length, size_t& pos, size_t maxLength, std::string& out) {
    if (pos >= length) return false;
    size_t n = p[pos++];
    if (n > maxLength || n > length - pos) return false;
    out.assign(reinterpret_cast<const char*>(p + pos), n);
    pos += n;
    return true;
}

}  // namespace

bool IsKnownType(Sender sender, uint8_t type) {
    switch (static_cast<MsgType>(type)) {
    case MsgType::Ping:
    case MsgType::Pong:
    case MsgType::Error:
        return true;
    case MsgType::LoginBegin:
    case MsgType::LoginProof:
    case MsgType::TextRequest:
    case MsgType::StreamStart:
    case MsgType::StreamStop:
    case MsgType::Logout:
        return sender == Sender::Client;
    case MsgType::LoginChallenge:
    case MsgType::LoginResult:
    case MsgType::TextReply:
    case MsgType::StreamStartReply:
    case MsgType::StreamStopReply:
    case MsgType::Media:
    case MsgType::StreamEnd:
    case MsgType::LogoutReply:
        return sender == Sender::Camera;
    }
    return false;
}

uint32_t MaxPayload(Sender sender, uint8_t type) {
    if (!IsKnownType(sender, type)) return kMaxUnknownPayload;
    switch (static_cast<MsgType>(type)) {
    case MsgType::LoginBegin:
    case MsgType::LoginChallenge:
    case MsgType::LoginProof:
    case MsgType::LoginResult:
        return kMaxLoginPayload;
    case MsgType::TextRequest:
    case MsgType::TextReply:
        return kMaxTextPayload;
    case MsgType::Media:
        return kMaxMediaPayload;
    case MsgType::Error:
        return 256;  // optional diagnostic text
    case MsgType::Ping:
    case MsgType::Pong:
    case MsgType::Logout:
    case MsgType::LogoutReply:
        return 0;
    default:
        return kMaxControlPayload;
    }
}

void EncodeHeader(const FrameHeader& h, uint8_t out[kHeaderSize]) {
    platform::PutLe32(out, kMagic);
    out[4] = h.version;
    out[5] = h.type;
    platform::PutLe16(out + 6, h.flags);
    PutLe32(out + 8, h.requestId);
    PutLe32(out + 12, static_cast<uint32_t>(h.status));
    PutLe32(out + 16, h.length);
}

int DecodeHeader(const uint8_t in[kHeaderSize], Sender sender, FrameHeader& out) {
    if (platform::GetLe32(in) != kMagic) return ORVEX_ERR_PROTOCOL;
    out.version = in[4];
    out.type = in[5];
    out.flags = platform::GetLe16(in + 6);
    out.requestId = platform::GetLe32(in + 8);
    out.status = static_cast<int32_t>(GetLe32(in + 12));
    out.length = GetLe32(in + 16);
    if (out.version != kVersion) return ORVEX_ERR_VERSION;
    if (out.length > MaxPayload(sender, out.type)) return ORVEX_ERR_TOO_LARGE;
    return 0;
}

void AppendFrame(std::vector<uint8_t>& out, MsgType type, uint32_t requestId, int32_t status,
                 const uint8_t* payload, size_t length) {
    FrameHeader h;
    h.type = static_cast<uint8_t>(type);
    h.requestId = requestId;
    h.status = status;
    h.length = static_cast<uint32_t>(length);
    size_t at = out.size();
    out.resize(at + kHeaderSize);
    EncodeHeader(h, out.data() + at);
    if (length) out.insert(out.end(), payload, payload + length);
}

int FrameParser::Feed(const uint8_t* data, size_t length) {
    if (error_) return error_;
    if (!length) return 0;
    // Drop what has been consumed before growing, so the buffer stays within one frame plus one
    // received chunk.
    if (readPos_ > 0 && (readPos_ == buffer_.size() || readPos_ >= buffer_.size() / 2)) {
        buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(readPos_));
        readPos_ = 0;
    }
    buffer_.insert(buffer_.end(), data, data + length);
    return 0;
}

int FrameParser::Next(FrameView& out) {
    if (error_) return error_;
    size_t avail = buffer_.size() - readPos_;
    if (avail < kHeaderSize) return 0;
    const uint8_t* p = buffer_.data() + readPos_;
    FrameHeader h;
    int rc = DecodeHeader(p, sender_, h);
    if (rc < 0) {
        error_ = rc;
        buffer_.clear();
        buffer_.shrink_to_fit();
        readPos_ = 0;
        return rc;
    }
    if (avail - kHeaderSize < h.length) return 0;
    out.header = h;
    out.payload = p + kHeaderSize;
    out.length = h.length;
    readPos_ += kHeaderSize + h.length;
    return 1;
}

// ----- payloads -----------------------------------------------------------------------------

std::vector<uint8_t> EncodeLoginBegin(const LoginBeginMsg& m) {
    std::vector<uint8_t> out(m.clientNonce.begin(), m.clientNonce.end());
    AppendText8(out, m.user, kMaxUserSize);
    return out;
}

int ParseLoginBegin(const uint8_t* p, size_t length, LoginBeginMsg& out) {
    if (length < kNonceSize + 1) return ORVEX_ERR_PROTOCOL;
    std::memcpy(out.clientNonce.data(), p, kNonceSize);
    size_t pos = kNonceSize;
    if (!ReadText8(p, length, pos, kMaxUserSize, out.user)) return ORVEX_ERR_PROTOCOL;
    if (pos != length) return ORVEX_ERR_PROTOCOL;
    return 0;
}

std::vector<uint8_t> EncodeLoginChallenge(const LoginChallengeMsg& m) {
    std::vector<uint8_t> out(m.serverNonce.begin(), m.serverNonce.end());
    out.push_back(m.algorithm);
    return out;
}

int ParseLoginChallenge(const uint8_t* p, size_t length, LoginChallengeMsg& out) {
    if (length != kNonceSize + 1) return ORVEX_ERR_PROTOCOL;
    std::memcpy(out.serverNonce.data(), p, kNonceSize);
    out.algorithm = p[kNonceSize];
    return 0;
}

std::vector<uint8_t> EncodeLoginProof(const LoginProofMsg& m) {
    return std::vector<uint8_t>(m.proof.begin(), m.proof.end());
}

int ParseLoginProof(const uint8_t* p, size_t length, LoginProofMsg& out) {
    if (length != kProofSize) return ORVEX_ERR_PROTOCOL;
    std::memcpy(out.proof.data(), p, kProofSize);
    return 0;
}

std::vector<uint8_t> EncodeLoginAccepted(const LoginAcceptedMsg& m) {
    std::vector<uint8_t> out(m.cameraProof.begin(), m.cameraProof.end());
    out.push_back(m.maxStreams);
    AppendText8(out, m.deviceName, kMaxInfoText);
    AppendText8(out, m.serial, kMaxInfoText);
    AppendText8(out, m.firmware, kMaxInfoText);
    AppendText8(out, m.model, kMaxInfoText);
    return out;
}

int ParseLoginAccepted(const uint8_t* p, size_t length, LoginAcceptedMsg& out) {
    if (length < kProofSize + 1) return ORVEX_ERR_PROTOCOL;
    std::memcpy(out.cameraProof.data(), p, kProofSize);
    out.maxStreams = p[kProofSize];
    size_t pos = kProofSize + 1;
    if (!ReadText8(p, length, pos, kMaxInfoText, out.deviceName) ||
        !ReadText8(p, length, pos, kMaxInfoText, out.serial) ||
        !ReadText8(p, length, pos, kMaxInfoText, out.firmware) ||
        !ReadText8(p, length, pos, kMaxInfoText, out.model))
        return ORVEX_ERR_PROTOCOL;
    // Later versions may append fields; they are ignored.
    return 0;
}

std::vector<uint8_t> EncodeStreamStart(const StreamStartMsg& m) {
    std::vector<uint8_t> out(8, 0);
    platform::PutLe32(out.data(), m.streamId);
    out[4] = m.selector;
    return out;
}

int ParseStreamStart(const uint8_t* p, size_t length, StreamStartMsg& out) {
    if (length != 8) return ORVEX_ERR_PROTOCOL;
    out.streamId = platform::GetLe32(p);
    out.selector = p[4];
    return 0;
}

std::vector<uint8_t> EncodeStreamId(uint32_t streamId) {
    std::vector<uint8_t> out(4);
    platform::PutLe32(out.data(), streamId);
    return out;
}

int ParseStreamId(const uint8_t* p, size_t length, uint32_t& streamId) {
    if (length != 4) return ORVEX_ERR_PROTOCOL;
    streamId = platform::GetLe32(p);
    return 0;
}

void EncodeMediaHeader(const MediaHeader& m, uint8_t out[kMediaHeaderSize]) {
    platform::PutLe32(out, m.streamId);
    out[4] = m.dataType;
    out[5] = m.flags;
    platform::PutLe16(out + 6, 0);
    platform::PutLe64(out + 8, m.timestampUs);
}

int ParseMedia(const uint8_t* p, size_t length, MediaHeader& out, const uint8_t*& data, size_t& dataLength) {
    if (length <= kMediaHeaderSize || length > kMaxMediaPayload) return ORVEX_ERR_PROTOCOL;
    out.streamId = platform::GetLe32(p);
    out.dataType = p[4];
    out.flags = p[5];
    out.timestampUs = platform::GetLe64(p + 8);
    data = p + kMediaHeaderSize;
    dataLength = length - kMediaHeaderSize;
    return 0;
}

}  // namespace velmora::wire
