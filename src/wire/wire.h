#pragma once

// Frame codec of the camera protocol, shared by the client library and the camera side.
// docs/network-protocol.md is the reference; the constants here must match it.
//
// Every frame: a 20-byte little-endian header, then `length` payload bytes.
//   0  u32 magic  0x584E4C56 (bytes 'V' 'L' 'N' 'X')
//   4  u8  version (1)
//   5  u8  type (MsgType)
//   6  u16 flags (0, reserved)
//   8  u32 request id (0 for unsolicited frames)
//  12  i32 status (0 or an ORVEX_ERR_* code; 0 in requests)
//  16  u32 payload length
// Every length is checked against a per-type bound before any byte of the payload is stored.
//
// Pure code, no I/O. FrameParser is thread-bound (one per connection); the free functions are
// thread-safe.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/byte_order.h"

namespace velmora::wire {

constexpr uint32_t kMagic = 0x584E4C56u;
constexpr uint8_t kVersion = 1;
constexpr size_t kHeaderSize = 20;

enum class MsgType : uint8_t {
    LoginBegin = 0x01,       // client -> camera
    LoginChallenge = 0x02,   // camera -> client
    LoginProof = 0x03,       // client -> camera
    LoginResult = 0x04,      // camera -> client
    TextRequest = 0x10,      // client -> camera
    TextReply = 0x11,        // camera -> client
    StreamStart = 0x20,      // client -> camera
    StreamStartReply = 0x21, // camera -> client
    StreamStop = 0x22,       // client -> camera
    StreamStopReply = 0x23,  // camera -> client
    Media = 0x24,            // camera -> client, unsolicited
    StreamEnd = 0x25,        // camera -> client, unsolicited
    Ping = 0x30,             // either way
    Pong = 0x31,             // either way, answers Ping
    Logout = 0x40,           // client -> camera
    LogoutReply = 0x41,      // camera -> client
    Error = 0x7F,            // either way
};

// Bounds on payload lengths.
constexpr uint32_t kMaxLoginPayload = 256;
constexpr uint32_t kMaxTextPayload = 64 * 1024;         // request and reply texts
constexpr uint32_t kMaxMediaData = 4 * 1024 * 1024;     // one access unit
constexpr uint32_t kMediaHeaderSize = 16;
constexpr uint32_t kMaxMediaPayload = kMaxMediaData + kMediaHeaderSize;
constexpr uint32_t kMaxControlPayload = 64;
constexpr uint32_t kMaxUnknownPayload = 64 * 1024;      // unknown types are skipped, not stored

constexpr size_t kNonceSize = 16;
constexpr size_t kProofSize = 32;
constexpr size_t kMaxUserName = 32;
constexpr size_t kMaxInfoText = 63;
constexpr uint8_t kAlgHmacSha256 = 1;

// Which side sent the bytes being parsed; each side accepts only its peer's message types.
enum class Sender { Camera, Client };

// Largest payload accepted for `type` from `sender`; 0 for types that carry no payload;
// kMaxUnknownPayload for types this version does not know.
uint32_t MaxPayload(Sender sender, uint8_t type);
// True when `type` is one `sender` may send.
bool IsKnownType(Sender sender, uint8_t type);

struct FrameHeader {
    uint8_t version = kVersion;
    uint8_t type = 0;
    uint16_t flags = 0;
    uint32_t requestId = 0;
    int32_t status = 0;
    uint32_t length = 0;
};

// A parsed frame. `payload` points into the parser's buffer and stays valid until the next call
// to Feed or Next.
struct FrameView {
    FrameHeader header;
    const uint8_t* payload = nullptr;
    uint32_t length = 0;
    MsgType type() const { return static_cast<MsgType>(header.type); }
};

void EncodeHeader(const FrameHeader& h, uint8_t out[kHeaderSize]);
// Decodes and validates the 20 header bytes: magic, version, flags, length bound for the type.
// Returns 0 or ORVEX_ERR_PROTOCOL / ORVEX_ERR_VERSION / ORVEX_ERR_TOO_LARGE.
int DecodeHeader(const uint8_t in[kHeaderSize], Sender sender, FrameHeader& out);

// Appends one whole frame to `out`. The caller keeps `length` within the type's bound.
void AppendFrame(std::vector<uint8_t>& out, MsgType type, uint32_t requestId, int32_t status,
                 const uint8_t* payload, size_t length);

// Incremental parser of a byte stream into frames.
class FrameParser {
public:
    explicit FrameParser(Sender sender) : sender_(sender) {}

    // Appends received bytes. Returns 0, or the sticky error if the stream is already broken.
    int Feed(const uint8_t* data, size_t length);
    // 1: a frame is ready in `out`; 0: more bytes are needed; negative: the stream is broken
    // (bad magic or version, oversized length) and stays broken.
    int Next(FrameView& out);
    // Bytes received but not yet returned as frames.
    size_t Buffered() const { return buffer_.size() - readPos_; }
    int error() const { return error_; }

private:
    Sender sender_;
    std::vector<uint8_t> buffer_;
    size_t readPos_ = 0;
    int error_ = 0;
};

// ---------------------------------------------------------------------------------------------
// Payloads. Parse functions return 0 or ORVEX_ERR_PROTOCOL and never read past `length`.
// ---------------------------------------------------------------------------------------------
using Nonce = std::array<uint8_t, kNonceSize>;
using Proof = std::array<uint8_t, kProofSize>;

struct LoginBeginMsg {
    Nonce clientNonce{};
    std::string user;  // at most kMaxUserName bytes
};
std::vector<uint8_t> EncodeLoginBegin(const LoginBeginMsg& m);
int ParseLoginBegin(const uint8_t* p, size_t length, LoginBeginMsg& out);

struct LoginChallengeMsg {
    Nonce serverNonce{};
    uint8_t algorithm = kAlgHmacSha256;
};
std::vector<uint8_t> EncodeLoginChallenge(const LoginChallengeMsg& m);
int ParseLoginChallenge(const uint8_t* p, size_t length, LoginChallengeMsg& out);

struct LoginProofMsg {
    Proof proof{};
};
std::vector<uint8_t> EncodeLoginProof(const LoginProofMsg& m);
int ParseLoginProof(const uint8_t* p, size_t length, LoginProofMsg& out);

// Payload of a successful LoginResult.
struct LoginAcceptedMsg {
    Proof cameraProof{};
    uint8_t maxStreams = 0;
    std::string deviceName, serial, firmware, model;  // each at most kMaxInfoText bytes
};
std::vector<uint8_t> EncodeLoginAccepted(const LoginAcceptedMsg& m);
int ParseLoginAccepted(const uint8_t* p, size_t length, LoginAcceptedMsg& out);

struct StreamStartMsg {
    uint32_t streamId = 0;
    uint8_t selector = 0;
};
std::vector<uint8_t> EncodeStreamStart(const StreamStartMsg& m);
int ParseStreamStart(const uint8_t* p, size_t length, StreamStartMsg& out);

// StreamStartReply, StreamStop, StreamStopReply and StreamEnd carry just the stream id.
std::vector<uint8_t> EncodeStreamId(uint32_t streamId);
int ParseStreamId(const uint8_t* p, size_t length, uint32_t& streamId);

struct MediaHeader {
    uint32_t streamId = 0;
    uint8_t dataType = 1;  // ORVEX_DATA_H264
    uint8_t flags = 0;     // bit 0: the access unit starts a decodable picture (IDR)
    uint64_t timestampUs = 0;
};
constexpr uint8_t kMediaFlagKey = 0x01;
void EncodeMediaHeader(const MediaHeader& m, uint8_t out[kMediaHeaderSize]);
// Splits a Media payload into its header and data; the data must not be empty.
int ParseMedia(const uint8_t* p, size_t length, MediaHeader& out, const uint8_t*& data, size_t& dataLength);

// Little-endian helpers of the program.
using platform::GetLe16;
using platform::GetLe32;
using platform::GetLe64;
using platform::PutLe16;
using platform::PutLe32;
using platform::PutLe64;

}  // namespace velmora::wire
