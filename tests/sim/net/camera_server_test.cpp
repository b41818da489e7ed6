// The simulated camera seen through raw sockets, as a hostile or careless client would see it.

#include "sim/net/camera_server.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include "transport/net/orvex_sdk.h"
#include "wire/socket_io.h"
#include "wire/wire.h"
#include "sim/net/net_test_support.h"
#include "sim/net/server_protocol.h"

using namespace velmora::transport;

using namespace nettest;
using namespace velmora::wire;

namespace {

class RawClient {
public:
    explicit RawClient(uint16_t port, const char* address = "127.0.0.2") {
        uint32_t a = 0;
        velmora::wire::ParseIPv4(address, 16, a);
        rc_ = velmora::wire::ConnectTcp(a, port, 2000, fd_);
    }
    ~RawClient() { velmora::wire::CloseFd(fd_); }
    bool ok() const { return rc_ == 0; }
    void Send(MsgType type, uint32_t id, const std::vector<uint8_t>& payload) {
        std::vector<uint8_t> f;
        AppendFrame(f, type, id, 0, payload.data(), payload.size());
        SendRaw(f);
    }
    void SendRaw(const std::vector<uint8_t>& bytes) {
        velmora::wire::SendAll(fd_, bytes.data(), bytes.size(), velmora::wire::NowMs() + 2000);
    }
    // Next frame, or false when the connection ended or nothing came within 2 s.
    bool Receive(FrameHeader& h, std::vector<uint8_t>& payload) {
        int64_t end = velmora::wire::NowMs() + 2000;
        for (;;) {
            FrameView f;
            int r = parser_.Next(f);
            if (r == 1) {
                h = f.header;
                payload.assign(f.payload, f.payload + f.length);
                return true;
            }
            if (r < 0) return false;
            uint8_t buf[4096];
            long n = velmora::wire::RecvSome(fd_, buf, sizeof(buf),
                                             static_cast<int>(std::max<int64_t>(1, end - velmora::wire::NowMs())));
            if (n <= 0) return false;
            parser_.Feed(buf, static_cast<size_t>(n));
        }
    }
    // True when the camera closed the connection (after any frames still in flight).
    bool Closed() {
        FrameHeader h;
        std::vector<uint8_t> p;
        while (Receive(h, p)) {
        }
        uint8_t b;
        return velmora::wire::RecvSome(fd_, &b, 1, 2000) < 0;
    }

private:
    int fd_ = -1;
    int rc_ = -1;
    FrameParser parser_{Sender::Camera};
};

class CameraServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        camera_ = std::make_unique<velmora::sim::CameraServer>(LoopbackCamera());
        camera_->SetStreamSourceFactory(CountingFactory());
        ASSERT_EQ(camera_->Start(), 0);
    }
    std::unique_ptr<velmora::sim::CameraServer> camera_;
};

}  // namespace

TEST_F(CameraServerTest, RequestsBeforeLoginAreRefusedAndNothingIsStreamed) {
    for (MsgType t : {MsgType::StreamStart, MsgType::TextRequest}) {
        RawClient c(camera_->Port());
        ASSERT_TRUE(c.ok());
        std::vector<uint8_t> payload = t == MsgType::StreamStart ? EncodeStreamStart({1, 0}) : std::vector<uint8_t>{'{', '}'};
        c.Send(t, 5, payload);
        FrameHeader h;
        std::vector<uint8_t> p;
        ASSERT_TRUE(c.Receive(h, p));
        EXPECT_EQ(h.requestId, 5u);
        EXPECT_EQ(h.status, ORVEX_ERR_AUTH);
        EXPECT_TRUE(c.Closed());
    }
    EXPECT_EQ(camera_->MediaFramesSent(), 0);
    EXPECT_EQ(camera_->TextRequests(), 0);
}

TEST_F(CameraServerTest, ProofWithoutChallengeOrGarbageClosesTheConnection) {
    {
        RawClient c(camera_->Port());
        c.Send(MsgType::LoginProof, 1, std::vector<uint8_t>(kProofSize, 0));
        FrameHeader h;
        std::vector<uint8_t> p;
        ASSERT_TRUE(c.Receive(h, p));
        EXPECT_EQ(h.type, uint8_t(MsgType::Error));
        EXPECT_TRUE(c.Closed());
    }
    {
        RawClient c(camera_->Port());
        c.SendRaw(std::vector<uint8_t>(64, 0xEE));  // not a frame at all
        FrameHeader h;
        std::vector<uint8_t> p;
        ASSERT_TRUE(c.Receive(h, p));
        EXPECT_EQ(h.status, ORVEX_ERR_PROTOCOL);
        EXPECT_TRUE(c.Closed());
    }
    {
        // A declared length far beyond the bound: refused at once, not waited for.
        RawClient c(camera_->Port());
        std::vector<uint8_t> h(kHeaderSize, 0);
        PutLe32(h.data(), kMagic);
        h[4] = kVersion;
        h[5] = uint8_t(MsgType::TextRequest);
        PutLe32(h.data() + 16, 0x7FFFFFFF);
        c.SendRaw(h);
        FrameHeader rh;
        std::vector<uint8_t> p;
        ASSERT_TRUE(c.Receive(rh, p));
        EXPECT_EQ(rh.status, ORVEX_ERR_TOO_LARGE);
        EXPECT_TRUE(c.Closed());
    }
    // The camera still serves others.
    ORVEX_Init(0);
    int s = ORVEX_Login(MakeLogin("127.0.0.2", camera_->Port()), nullptr, 0, 0, 0, 0);
    EXPECT_GE(s, 0);
    ORVEX_Cleanup();
}

TEST_F(CameraServerTest, ClientThatNeverLogsInIsDropped) {
    velmora::sim::CameraServerConfig cfg = LoopbackCamera("127.0.0.4");
    cfg.loginTimeoutMs = 200;
    velmora::sim::CameraServer cam(cfg);
    ASSERT_EQ(cam.Start(), 0);
    RawClient c(cam.Port(), "127.0.0.4");
    ASSERT_TRUE(c.ok());
    EXPECT_TRUE(c.Closed());
}

TEST_F(CameraServerTest, ConnectionLimitAndRestartOnTheSamePort) {
    velmora::sim::CameraServerConfig cfg = LoopbackCamera("127.0.0.5");
    cfg.maxConnections = 2;
    velmora::sim::CameraServer cam(cfg);
    ASSERT_EQ(cam.Start(), 0);
    uint16_t port = cam.Port();
    RawClient a(port, "127.0.0.5"), b(port, "127.0.0.5");
    ASSERT_TRUE(WaitFor([&] { return cam.ConnectionCount() == 2; }));
    RawClient third(port, "127.0.0.5");
    FrameHeader h;
    std::vector<uint8_t> p;
    ASSERT_TRUE(third.Receive(h, p));
    EXPECT_EQ(h.status, ORVEX_ERR_NO_RESOURCES);

    cam.Stop();
    EXPECT_TRUE(a.Closed());
    ASSERT_EQ(cam.Start(), 0);
    EXPECT_EQ(cam.Port(), port);
    ORVEX_Init(0);
    EXPECT_GE(ORVEX_Login(MakeLogin("127.0.0.5", port), nullptr, 0, 0, 0, 0), 0);
    ORVEX_Cleanup();
}

namespace {

// Host for the protocol core alone: records what it sends.
struct RecordingHost : velmora::sim::ServerConnectionHost {
    std::vector<uint8_t> sent;
    int prepared = 0, begun = 0, stopped = 0;
    bool SendBytes(const uint8_t* d, size_t n) override {
        sent.insert(sent.end(), d, d + n);
        return true;
    }
    int LoginPolicy() override { return 0; }
    bool FindPassword(const std::string& u, std::string& p) override {
        if (u != "admin") return false;
        p = "pelno";
        return true;
    }
    void OnLoginResult(bool) override {}
    velmora::wire::LoginAcceptedMsg Identity() override { return {}; }
    bool BeforeRequest() override { return true; }
    velmora::sim::TextOutcome HandleText(const std::string& r) override { return {false, 0, r}; }
    int PrepareStream(uint32_t, int) override { return ++prepared, 0; }
    void BeginStream(uint32_t) override { ++begun; }
    bool StopStream(uint32_t) override { return ++stopped, true; }
    int MaxStreams() override { return 4; }

    std::vector<FrameHeader> Frames() {
        FrameParser p(Sender::Camera);
        p.Feed(sent.data(), sent.size());
        std::vector<FrameHeader> out;
        FrameView f;
        while (p.Next(f) == 1) out.push_back(f.header);
        return out;
    }
};

}  // namespace

TEST(ServerProtocolCore, UnknownTypesAreRefusedButTheConnectionLives) {
    RecordingHost host;
    velmora::sim::ServerConnectionCore core(host);
    std::vector<uint8_t> f;
    AppendFrame(f, static_cast<MsgType>(0x55), 9, 0, reinterpret_cast<const uint8_t*>("abc"), 3);
    AppendFrame(f, MsgType::Ping, 10, 0, nullptr, 0);
    EXPECT_EQ(core.Feed(f.data(), f.size()), 0);
    auto frames = host.Frames();
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].type, uint8_t(MsgType::Error));
    EXPECT_EQ(frames[0].status, ORVEX_ERR_UNSUPPORTED);
    EXPECT_EQ(frames[1].type, uint8_t(MsgType::Pong));
    EXPECT_EQ(frames[1].requestId, 10u);
    EXPECT_EQ(host.prepared, 0);
}
