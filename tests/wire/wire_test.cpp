#include "wire/wire.h"

#include <gtest/gtest.h>

#include <cstring>

#include "transport/net/client_session.h"
#include "wire/login_auth.h"
#include "transport/net/orvex_sdk.h"

using namespace velmora::transport;

using namespace velmora::wire;

namespace {

std::vector<uint8_t> Frame(MsgType type, uint32_t id, int32_t status, const std::vector<uint8_t>& payload) {
    std::vector<uint8_t> out;
    AppendFrame(out, type, id, status, payload.data(), payload.size());
    return out;
}

std::vector<uint8_t> RawHeader(uint8_t type, uint32_t length, uint8_t version = kVersion, uint32_t magic = kMagic) {
    std::vector<uint8_t> h(kHeaderSize, 0);
    PutLe32(h.data(), magic);
    h[4] = version;
    h[5] = type;
    PutLe32(h.data() + 16, length);
    return h;
}

}  // namespace

TEST(FrameCodec, FramesSurviveAnySplitOfTheByteStream) {
    std::vector<uint8_t> stream;
    std::vector<uint8_t> text = {'{', '}', 0x00, 0xff};
    AppendFrame(stream, MsgType::TextReply, 7, 0, text.data(), text.size());
    AppendFrame(stream, MsgType::Ping, 8, 0, nullptr, 0);
    AppendFrame(stream, MsgType::TextReply, 9, ORVEX_ERR_TIMEOUT, nullptr, 0);

    for (size_t chunk : {size_t(1), size_t(3), size_t(19), size_t(21), stream.size()}) {
        FrameParser p(Sender::Camera);
        std::vector<FrameHeader> got;
        std::vector<std::vector<uint8_t>> payloads;
        for (size_t at = 0; at < stream.size(); at += chunk) {
            ASSERT_EQ(p.Feed(stream.data() + at, std::min(chunk, stream.size() - at)), 0);
            FrameView f;
            while (p.Next(f) == 1) {
                got.push_back(f.header);
                payloads.emplace_back(f.payload, f.payload + f.length);
            }
        }
        ASSERT_EQ(got.size(), 3u) << "chunk " << chunk;
        EXPECT_EQ(got[0].requestId, 7u);
        EXPECT_EQ(payloads[0], text);
        EXPECT_EQ(got[1].type, uint8_t(MsgType::Ping));
        EXPECT_EQ(got[2].status, ORVEX_ERR_TIMEOUT);
        EXPECT_EQ(p.Buffered(), 0u);
    }
}

TEST(FrameCodec, OversizedLengthsAreRefusedBeforeThePayloadIsStored) {
    struct Case {
        Sender sender;
        MsgType type;
        uint32_t length;
    } cases[] = {
        {Sender::Camera, MsgType::TextReply, kMaxTextPayload + 1},
        {Sender::Camera, MsgType::Media, kMaxMediaPayload + 1},
        {Sender::Camera, MsgType::LoginChallenge, kMaxLoginPayload + 1},
        {Sender::Camera, MsgType::Pong, 1},
        {Sender::Client, MsgType::TextRequest, 0xFFFFFFFFu},
        {Sender::Client, MsgType::StreamStart, kMaxControlPayload + 1},
        {Sender::Client, static_cast<MsgType>(0x66), kMaxUnknownPayload + 1},
    };
    for (const auto& c : cases) {
        FrameParser p(c.sender);
        auto h = RawHeader(uint8_t(c.type), c.length);
        p.Feed(h.data(), h.size());
        FrameView f;
        EXPECT_EQ(p.Next(f), ORVEX_ERR_TOO_LARGE) << int(c.type);
        EXPECT_EQ(p.Buffered(), 0u);
        // Broken for good: later bytes are refused too.
        uint8_t more[4] = {};
        EXPECT_EQ(p.Feed(more, sizeof(more)), ORVEX_ERR_TOO_LARGE);
    }
    // Media from a client is a wrong-direction type: bounded like an unknown type, not 4 MiB.
    EXPECT_EQ(MaxPayload(Sender::Client, uint8_t(MsgType::Media)), kMaxUnknownPayload);
}

TEST(FrameCodec, BadMagicAndOtherVersionsBreakTheStream) {
    {
        FrameParser p(Sender::Camera);
        auto h = RawHeader(uint8_t(MsgType::Pong), 0, kVersion, 0x12345678);
        p.Feed(h.data(), h.size());
        FrameView f;
        EXPECT_EQ(p.Next(f), ORVEX_ERR_PROTOCOL);
    }
    {
        FrameParser p(Sender::Camera);
        auto h = RawHeader(uint8_t(MsgType::Pong), 0, 2);
        p.Feed(h.data(), h.size());
        FrameView f;
        EXPECT_EQ(p.Next(f), ORVEX_ERR_VERSION);
    }
}

TEST(FrameCodec, PayloadParsersRefuseTruncatedAndOverlongInput) {
    LoginBeginMsg b;
    b.user = std::string(40, 'u');  // cut to 32 on encoding
    auto bytes = EncodeLoginBegin(b);
    LoginBeginMsg back;
    ASSERT_EQ(ParseLoginBegin(bytes.data(), bytes.size(), back), 0);
    EXPECT_EQ(back.user, std::string(kMaxUserName, 'u'));
    EXPECT_LT(ParseLoginBegin(bytes.data(), bytes.size() - 1, back), 0);
    bytes.push_back(0);
    EXPECT_LT(ParseLoginBegin(bytes.data(), bytes.size(), back), 0);
    // A user length byte above the limit.
    std::vector<uint8_t> bad(kNonceSize, 0);
    bad.push_back(33);
    bad.resize(bad.size() + 33, 'x');
    EXPECT_LT(ParseLoginBegin(bad.data(), bad.size(), back), 0);

    LoginAcceptedMsg a;
    a.maxStreams = 4;
    a.deviceName = "cam";
    a.serial = std::string(100, 's');
    auto acc = EncodeLoginAccepted(a);
    LoginAcceptedMsg aback;
    ASSERT_EQ(ParseLoginAccepted(acc.data(), acc.size(), aback), 0);
    EXPECT_EQ(aback.serial.size(), kMaxInfoText);
    // A long name is cut between characters, never inside one ("相" is three bytes: 21 fit in 63).
    a.deviceName.clear();
    for (int i = 0; i < 30; ++i) a.deviceName += "相";
    acc = EncodeLoginAccepted(a);
    ASSERT_EQ(ParseLoginAccepted(acc.data(), acc.size(), aback), 0);
    EXPECT_EQ(aback.deviceName, a.deviceName.substr(0, 63));
    a.deviceName = "x" + a.deviceName;  // now the cut falls inside a character: one fewer fits
    acc = EncodeLoginAccepted(a);
    ASSERT_EQ(ParseLoginAccepted(acc.data(), acc.size(), aback), 0);
    EXPECT_EQ(aback.deviceName, a.deviceName.substr(0, 61));
    a.deviceName = "cam";
    acc = EncodeLoginAccepted(a);
    for (size_t cut = 0; cut < acc.size(); ++cut) EXPECT_LT(ParseLoginAccepted(acc.data(), cut, aback), 0) << cut;

    MediaHeader mh;
    const uint8_t* data = nullptr;
    size_t dataLength = 0;
    uint8_t only[kMediaHeaderSize] = {};
    EXPECT_LT(ParseMedia(only, sizeof(only), mh, data, dataLength), 0) << "empty access unit";
    uint8_t one[kMediaHeaderSize + 1] = {};
    EXPECT_EQ(ParseMedia(one, sizeof(one), mh, data, dataLength), 0);
    EXPECT_EQ(dataLength, 1u);
}

TEST(LoginProofs, DependOnPasswordNoncesAndUserAndDifferPerDirection) {
    Nonce a{}, b{};
    a.fill(1);
    b.fill(2);
    auto p = ComputeClientProof("pelno", a, b, "admin");
    EXPECT_TRUE(ProofsEqual(p, ComputeClientProof("pelno", a, b, "admin")));
    EXPECT_FALSE(ProofsEqual(p, ComputeClientProof("pelnO", a, b, "admin")));
    EXPECT_FALSE(ProofsEqual(p, ComputeClientProof("pelno", b, a, "admin")));
    EXPECT_FALSE(ProofsEqual(p, ComputeClientProof("pelno", a, b, "admin2")));
    EXPECT_FALSE(ProofsEqual(p, ComputeCameraProof("pelno", b, a, "admin")));
    // An empty password is a valid (if poor) key.
    EXPECT_FALSE(ProofsEqual(ComputeClientProof("", a, b, "admin"), p));
}

namespace {

// Plays the camera's side of the handshake against LoginHandshake without sockets.
struct FakeCamera {
    std::string password = "pelno";
    Nonce serverNonce{};
    LoginBeginMsg begin;

    std::vector<uint8_t> Challenge(const std::vector<uint8_t>& beginFrame) {
        FrameParser p(Sender::Client);
        p.Feed(beginFrame.data(), beginFrame.size());
        FrameView f;
        EXPECT_EQ(p.Next(f), 1);
        EXPECT_EQ(ParseLoginBegin(f.payload, f.length, begin), 0);
        serverNonce.fill(0x5a);
        LoginChallengeMsg c;
        c.serverNonce = serverNonce;
        return Frame(MsgType::LoginChallenge, 1, 0, EncodeLoginChallenge(c));
    }
    std::vector<uint8_t> Accept(bool validProof) {
        LoginAcceptedMsg a;
        if (validProof) a.cameraProof = ComputeCameraProof(password, begin.clientNonce, serverNonce, begin.user);
        a.maxStreams = 2;
        return Frame(MsgType::LoginResult, 2, 0, EncodeLoginAccepted(a));
    }
};

int Drive(velmora::transport::LoginHandshake& hs, const std::vector<uint8_t>& bytes, std::vector<uint8_t>& out) {
    FrameParser p(Sender::Camera);
    p.Feed(bytes.data(), bytes.size());
    FrameView f;
    int last = 0;
    while (p.Next(f) == 1) last = hs.OnFrame(f, out);
    return last;
}

}  // namespace

TEST(LoginHandshake, CompletesOnlyWithACameraThatKnowsThePassword) {
    for (bool honest : {true, false}) {
        velmora::transport::LoginHandshake hs("admin", "pelno");
        std::vector<uint8_t> out;
        ASSERT_EQ(hs.Begin(out), 0);
        FakeCamera cam;
        auto challenge = cam.Challenge(out);
        out.clear();
        ASSERT_EQ(Drive(hs, challenge, out), 0);
        ASSERT_FALSE(out.empty()) << "a proof frame must follow the challenge";
        EXPECT_EQ(Drive(hs, cam.Accept(honest), out), honest ? 1 : ORVEX_ERR_AUTH);
    }
}

TEST(LoginHandshake, RefusalsAndOutOfOrderFramesFail) {
    {
        velmora::transport::LoginHandshake hs("admin", "x");
        std::vector<uint8_t> out;
        hs.Begin(out);
        EXPECT_EQ(Drive(hs, Frame(MsgType::LoginResult, 1, ORVEX_ERR_REFUSED, {}), out), ORVEX_ERR_REFUSED);
    }
    {
        // Success before any challenge.
        velmora::transport::LoginHandshake hs("admin", "x");
        std::vector<uint8_t> out;
        hs.Begin(out);
        FakeCamera cam;
        EXPECT_EQ(Drive(hs, cam.Accept(true), out), ORVEX_ERR_PROTOCOL);
    }
    {
        // A "failure" with a non-negative status is a broken camera, not a success.
        velmora::transport::LoginHandshake hs("admin", "x");
        std::vector<uint8_t> out;
        hs.Begin(out);
        EXPECT_EQ(Drive(hs, Frame(MsgType::Error, 0, 5, {}), out), ORVEX_ERR_PROTOCOL);
    }
}

namespace {

struct Received {
    int calls = 0;
    int lastHandle = 0;
    int lastType = 0;
    std::vector<uint8_t> last;
};

void Record(int handle, const unsigned char* data, int length, int type, void* user) {
    auto* r = static_cast<Received*>(user);
    ++r->calls;
    r->lastHandle = handle;
    r->lastType = type;
    r->last.assign(data, data + length);
}

}  // namespace

TEST(SessionDispatch, MediaReachesTheRightStreamAndEndedStreamsGoQuiet) {
    auto s = velmora::transport::ClientSession::CreateDetached(velmora::transport::Timeouts{});
    Received r;
    ASSERT_EQ(s->AddDetachedStream(42, 7, Record, &r), 0);

    auto media = [](uint32_t stream, std::vector<uint8_t> data) {
        std::vector<uint8_t> payload(kMediaHeaderSize);
        MediaHeader mh;
        mh.streamId = stream;
        EncodeMediaHeader(mh, payload.data());
        payload.insert(payload.end(), data.begin(), data.end());
        return Frame(MsgType::Media, 0, 0, payload);
    };
    auto bytes = media(7, {0, 0, 0, 1, 0x65});
    auto other = media(8, {0, 0, 1, 0x41});  // unknown stream: dropped
    bytes.insert(bytes.end(), other.begin(), other.end());
    ASSERT_EQ(s->HandleIncoming(bytes.data(), bytes.size()), 0);
    EXPECT_EQ(r.calls, 1);
    EXPECT_EQ(r.lastHandle, 42);
    EXPECT_EQ(r.lastType, ORVEX_DATA_H264);
    EXPECT_EQ(r.last, (std::vector<uint8_t>{0, 0, 0, 1, 0x65}));

    auto end = Frame(MsgType::StreamEnd, 0, 0, EncodeStreamId(7));
    ASSERT_EQ(s->HandleIncoming(end.data(), end.size()), 0);
    auto again = media(7, {0, 0, 0, 1, 0x41});
    ASSERT_EQ(s->HandleIncoming(again.data(), again.size()), 0);
    EXPECT_EQ(r.calls, 1);
    EXPECT_TRUE(s->alive());

    // A login frame after login is a protocol violation that ends the session.
    auto stray = Frame(MsgType::LoginChallenge, 0, 0, std::vector<uint8_t>(kNonceSize + 1, 1));
    EXPECT_EQ(s->HandleIncoming(stray.data(), stray.size()), ORVEX_ERR_PROTOCOL);
    s->Close();
}
