// The client library against the simulated camera over loopback TCP.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <thread>

#include "transport/net/client_session.h"
#include "transport/net/orvex_sdk.h"
#include "wire/socket_io.h"
#include "wire/wire.h"
#include "sim/net/camera_server.h"
#include "sim/net/net_test_support.h"

using namespace velmora::wire;
using namespace velmora::transport;

using namespace nettest;
using namespace std::chrono_literals;

namespace {

class OrvexTest : public ::testing::Test {
protected:
    void SetUp() override {
        ORVEX_Init(0);
        ORVEX_SetTimeouts(3000, 3000, 15000);
        camera_ = std::make_unique<velmora::sim::CameraServer>(LoopbackCamera());
        camera_->SetStreamSourceFactory(CountingFactory());
        ASSERT_EQ(camera_->Start(), 0);
    }
    void TearDown() override {
        ORVEX_Cleanup();
        camera_.reset();
    }
    int Login(const std::string& user = "admin", const std::string& password = "pelno") {
        return ORVEX_Login(MakeLogin("127.0.0.2", camera_->Port(), user, password), nullptr, 0, 0, 0, 0);
    }
    std::unique_ptr<velmora::sim::CameraServer> camera_;
};

// Counts access units and checks that nothing arrives once the owner said it stopped.
struct Pane {
    std::atomic<int> frames{0};
    std::atomic<bool> closed{false};
    std::atomic<int> lateCalls{0};
    std::atomic<bool> inOrder{true};
    std::atomic<int> wrongHandle{0};
    uint32_t lastSeq = 0xFFFFFFFFu;
    std::atomic<int> expectHandle{-1};
};

void OnRealData(int handle, const unsigned char* data, int length, int type, void* user) {
    auto* p = static_cast<Pane*>(user);
    if (p->closed.load()) p->lateCalls.fetch_add(1);
    if (p->expectHandle.load() >= 0 && handle != p->expectHandle.load()) p->wrongHandle.fetch_add(1);
    if (type != ORVEX_DATA_H264 || length < 5 || data[0] != 0 || data[1] != 0 || data[2] != 0 || data[3] != 1)
        p->inOrder.store(false);
    uint32_t seq = CountingSource::SequenceOf(data, length);
    if (p->lastSeq != 0xFFFFFFFFu && seq != p->lastSeq + 1) p->inOrder.store(false);
    p->lastSeq = seq;
    std::this_thread::sleep_for(200us);  // widen the window in which a stop can race a call
    p->frames.fetch_add(1);
}

// True once `count` has not changed for 50 ms (waiting up to 3 s for data in flight to drain).
bool GoesQuiet(const std::atomic<int>& count) {
    for (int i = 0; i < 60; ++i) {
        int before = count.load();
        std::this_thread::sleep_for(50ms);
        if (count.load() == before) return true;
    }
    return false;
}

}  // namespace

TEST(OrvexBasics, LoginRecordLayoutAndCallsBeforeInit) {
    LoginInfo li = MakeLogin("127.0.0.2", 36666);
    const auto* raw = reinterpret_cast<const unsigned char*>(&li);
    EXPECT_EQ(raw[20] | (raw[21] << 8), 36666);  // little-endian port at offset 20
    ORVEX_Cleanup();
    EXPECT_EQ(ORVEX_Login(li, nullptr, 0, 0, 0, 0), ORVEX_ERR_NOT_INIT);
    EXPECT_EQ(ORVEX_GetLastError(), ORVEX_ERR_NOT_INIT);
}

TEST_F(OrvexTest, LoginFillsDeviceInfoAndHandlesAreNeverReused) {
    alignas(8) unsigned char area[288] = {};
    int a = ORVEX_Login(MakeLogin("127.0.0.2", camera_->Port()), area, 0, 0, 0, 0);
    ASSERT_GE(a, 0);
    LoginDeviceInfo info;
    std::memcpy(&info, area, sizeof(info));
    EXPECT_STREQ(info.deviceName, "Velmora SimCam");
    EXPECT_STREQ(info.serial, "VSC0000001");
    EXPECT_EQ(info.maxStreams, 4);
    char address[16] = "x";
    EXPECT_EQ(ORVEX_GetSessionAddress(a, address, sizeof(address)), 9);
    EXPECT_STREQ(address, "127.0.0.2");
    EXPECT_EQ(ORVEX_GetSessionAddress(a, address, 9), ORVEX_ERR_BUFFER_TOO_SMALL);
    EXPECT_STREQ(address, "");
    EXPECT_EQ(ORVEX_LogOut(a), 0);
    EXPECT_EQ(ORVEX_GetSessionAddress(a, address, sizeof(address)), ORVEX_ERR_INVALID_HANDLE);
    int b = Login();
    ASSERT_GE(b, 0);
    EXPECT_NE(a, b);
    EXPECT_EQ(ORVEX_LogOut(a), ORVEX_ERR_INVALID_HANDLE);
    EXPECT_EQ(ORVEX_GetSessionCount(), 1);
}

TEST_F(OrvexTest, WrongPasswordOrUnknownUserIsRefusedWithTheAuthCode) {
    EXPECT_EQ(Login("admin", "wrong"), ORVEX_ERR_AUTH);
    EXPECT_EQ(ORVEX_GetLastError(), ORVEX_ERR_AUTH);
    EXPECT_EQ(Login("nobody", "pelno"), ORVEX_ERR_AUTH);
    EXPECT_EQ(Login("admin", ""), ORVEX_ERR_AUTH);
    EXPECT_EQ(camera_->LoginsRefused(), 3);
    // A later good login still works: a failed one leaves nothing behind.
    EXPECT_GE(Login(), 0);
    EXPECT_EQ(ORVEX_GetSessionCount(), 1);
}

TEST_F(OrvexTest, LoginFailuresOtherThanCredentials) {
    camera_->SetRefuseLogins(true);
    EXPECT_EQ(Login(), ORVEX_ERR_REFUSED);
    camera_->SetRefuseLogins(false);

    LoginInfo bad = MakeLogin("127.0.0.300", camera_->Port());
    EXPECT_EQ(ORVEX_Login(bad, nullptr, 0, 0, 0, 0), ORVEX_ERR_INVALID_ARG);
    // An address field with no terminator is cut, not overread.
    LoginInfo unterminated = MakeLogin("", camera_->Port());
    std::memset(unterminated.address, '1', sizeof(unterminated.address));
    EXPECT_EQ(ORVEX_Login(unterminated, nullptr, 0, 0, 0, 0), ORVEX_ERR_INVALID_ARG);

    uint16_t port = camera_->Port();
    camera_->Stop();
    EXPECT_EQ(ORVEX_Login(MakeLogin("127.0.0.2", port), nullptr, 0, 0, 0, 0), ORVEX_ERR_CONNECT);
}

TEST_F(OrvexTest, CapturedLoginBytesHoldNoPassword) {
    const std::string secret = "S3cret-Pa55word";
    velmora::sim::CameraServerConfig cfg = LoopbackCamera("127.0.0.3");
    cfg.users = {{"operator", secret}};
    velmora::sim::CameraServer cam(cfg);
    ASSERT_EQ(cam.Start(), 0);
    RecordingRelay relay("127.0.0.3", cam.Port());
    int s = ORVEX_Login(MakeLogin("127.0.0.1", relay.port(), "operator", secret), nullptr, 0, 0, 0, 0);
    ASSERT_GE(s, 0);
    char reply[64] = {};
    int len = sizeof(reply) - 2;
    ASSERT_EQ(ORVEX_SendRobotText(s, "{}", 3, reply, &len), 0);
    ORVEX_LogOut(s);
    auto up = relay.Upstream();
    auto down = relay.Downstream();
    EXPECT_TRUE(Contains(up, "operator"));  // the capture did see the exchange
    EXPECT_FALSE(Contains(up, secret));
    EXPECT_FALSE(Contains(down, secret));
    EXPECT_FALSE(Contains(up, "S3cret"));
}

TEST_F(OrvexTest, RobotTextRoundTripAndCapacityRules) {
    std::string lastRequest;
    std::mutex mu;
    std::string answer(100, 'x');
    camera_->SetTextHandler([&](const std::string& req) {
        std::lock_guard<std::mutex> lock(mu);
        lastRequest = req;
        return answer;
    });
    int s = Login();
    ASSERT_GE(s, 0);
    const char* req = "{\"Cmd\":\"ReqGetVideoParam\"}";

    // Guard bytes after the declared capacity must never be touched.
    auto call = [&](int capacity, int& len) {
        std::vector<char> buf(static_cast<size_t>(capacity) + 16, '#');
        len = capacity;
        int rc = ORVEX_SendRobotText(s, req, static_cast<int>(strlen(req)) + 1, buf.data(), &len);
        for (size_t i = static_cast<size_t>(capacity); i < buf.size(); ++i) EXPECT_EQ(buf[i], '#') << i;
        if (rc == 0) {
            EXPECT_EQ(std::string(buf.data()), answer);
        } else {
            EXPECT_EQ(buf[0], '\0');
        }
        return rc;
    };
    int len = 0;
    EXPECT_EQ(call(101, len), 0) << "100 bytes and the zero fit exactly";
    EXPECT_EQ(len, 100);
    {
        std::lock_guard<std::mutex> lock(mu);
        EXPECT_EQ(lastRequest, req);  // the terminating zero is not part of the text
    }
    EXPECT_EQ(call(100, len), ORVEX_ERR_BUFFER_TOO_SMALL);
    EXPECT_EQ(len, 0);
    EXPECT_EQ(ORVEX_GetLastError(), ORVEX_ERR_BUFFER_TOO_SMALL);
    EXPECT_EQ(call(1, len), ORVEX_ERR_BUFFER_TOO_SMALL);
    // The session survives a reply that did not fit.
    EXPECT_EQ(call(8190, len), 0);

    char small[4];
    int zero = 0;
    EXPECT_EQ(ORVEX_SendRobotText(s, req, 5, small, &zero), ORVEX_ERR_INVALID_ARG);
    int cap = 2;
    EXPECT_EQ(ORVEX_SendRobotText(s, nullptr, 5, small, &cap), ORVEX_ERR_INVALID_ARG);
    EXPECT_EQ(small[0], '\0');
    cap = 2;
    EXPECT_EQ(ORVEX_SendRobotText(s + 1000, req, 5, small, &cap), ORVEX_ERR_INVALID_HANDLE);
    std::string huge(velmora::wire::kMaxTextPayload + 1, 'a');
    cap = 2;
    EXPECT_EQ(ORVEX_SendRobotText(s, huge.c_str(), static_cast<int>(huge.size()) + 1, small, &cap), ORVEX_ERR_TOO_LARGE);
}

TEST_F(OrvexTest, GarbageRepliesArePassedOnTerminatedForTheCallerToJudge) {
    int s = Login();
    ASSERT_GE(s, 0);
    camera_->SetGarbageReplies(true);
    char reply[512] = {};
    int len = sizeof(reply) - 2;
    ASSERT_EQ(ORVEX_SendRobotText(s, "{}", 3, reply, &len), 0);
    EXPECT_EQ(static_cast<size_t>(len), strlen(reply));
    EXPECT_EQ(reply[0], '<');
}

TEST_F(OrvexTest, SeveralThreadsShareOneSession) {
    camera_->SetTextHandler([](const std::string& req) { return "echo:" + req; });
    int s = Login();
    ASSERT_GE(s, 0);
    std::vector<std::thread> threads;
    std::atomic<int> good{0};
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 25; ++i) {
                std::string req = "{\"t\":" + std::to_string(t) + ",\"i\":" + std::to_string(i) + "}";
                char reply[128];
                int len = sizeof(reply) - 2;
                if (ORVEX_SendRobotText(s, req.c_str(), static_cast<int>(req.size()) + 1, reply, &len) == 0 &&
                    std::string(reply) == "echo:" + req)
                    good.fetch_add(1);
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(good.load(), 100);
}

TEST_F(OrvexTest, RealPlayNeedsAValidSessionAndAKnownStream) {
    Pane pane;
    EXPECT_EQ(ORVEX_StartRealPlay(-1, 0, 0, OnRealData, &pane), ORVEX_ERR_INVALID_HANDLE);
    EXPECT_EQ(ORVEX_StartRealPlay(12345, 0, 0, OnRealData, &pane), ORVEX_ERR_INVALID_HANDLE);
    int s = Login();
    ASSERT_GE(s, 0);
    EXPECT_EQ(ORVEX_StartRealPlay(s, 0, 0, nullptr, &pane), ORVEX_ERR_INVALID_ARG);
    EXPECT_EQ(ORVEX_StartRealPlay(s, 0, 3, OnRealData, &pane), ORVEX_ERR_STREAM_UNAVAILABLE);
    ORVEX_LogOut(s);
    EXPECT_EQ(ORVEX_StartRealPlay(s, 0, 0, OnRealData, &pane), ORVEX_ERR_INVALID_HANDLE);
    EXPECT_EQ(pane.frames.load(), 0);
    EXPECT_EQ(ORVEX_StopRealPlay(777), ORVEX_ERR_INVALID_HANDLE);
}

TEST_F(OrvexTest, StreamDeliversOrderedAccessUnitsAndNoCallbackFollowsStop) {
    int s = Login();
    ASSERT_GE(s, 0);
    for (int round = 0; round < 5; ++round) {
        Pane pane;
        int h = ORVEX_StartRealPlay(s, 0, 0, OnRealData, &pane);
        ASSERT_GE(h, 0);
        pane.expectHandle = h;  // set after start: early calls are not checked
        ASSERT_TRUE(WaitFor([&] { return pane.frames.load() >= 5; }));
        ASSERT_EQ(ORVEX_StopRealPlay(h), 0);
        pane.closed.store(true);
        std::this_thread::sleep_for(30ms);
        EXPECT_EQ(pane.lateCalls.load(), 0) << "round " << round;
        EXPECT_TRUE(pane.inOrder.load());
        EXPECT_EQ(pane.wrongHandle.load(), 0);
        EXPECT_EQ(ORVEX_StopRealPlay(h), ORVEX_ERR_INVALID_HANDLE);
    }
    EXPECT_TRUE(WaitFor([&] { return camera_->OpenStreams() == 0; }));
}

TEST_F(OrvexTest, TwoPanesOnTwoSessionsStreamIndependently) {
    int s1 = Login(), s2 = Login();
    ASSERT_GE(s1, 0);
    ASSERT_GE(s2, 0);
    Pane a, b;
    int h1 = ORVEX_StartRealPlay(s1, 0, 0, OnRealData, &a);
    int h2 = ORVEX_StartRealPlay(s2, 0, 0, OnRealData, &b);
    ASSERT_GE(h1, 0);
    ASSERT_GE(h2, 0);
    ASSERT_TRUE(WaitFor([&] { return a.frames.load() >= 5 && b.frames.load() >= 5; }));
    ORVEX_StopRealPlay(h1);
    a.closed.store(true);
    int before = b.frames.load();
    EXPECT_TRUE(WaitFor([&] { return b.frames.load() >= before + 5; })) << "the other pane keeps playing";
    ORVEX_LogOut(s2);  // ends its stream too
    b.closed.store(true);
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(a.lateCalls.load() + b.lateCalls.load(), 0);
}

namespace {

std::atomic<int> g_stopResult{1};
void StopFromInside(int handle, const unsigned char*, int, int, void* user) {
    auto* p = static_cast<Pane*>(user);
    if (p->closed.load()) {
        p->lateCalls.fetch_add(1);
        return;
    }
    p->closed.store(true);
    g_stopResult = ORVEX_StopRealPlay(handle);
}

}  // namespace

TEST_F(OrvexTest, StopRealPlayFromItsOwnCallbackDoesNotDeadlock) {
    int s = Login();
    ASSERT_GE(s, 0);
    Pane pane;
    int h = ORVEX_StartRealPlay(s, 0, 0, StopFromInside, &pane);
    ASSERT_GE(h, 0);
    ASSERT_TRUE(WaitFor([&] { return pane.closed.load(); }));
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(g_stopResult.load(), 0);
    EXPECT_EQ(pane.lateCalls.load(), 0);
    // The session is still usable.
    char reply[64];
    int len = sizeof(reply) - 2;
    EXPECT_EQ(ORVEX_SendRobotText(s, "{}", 3, reply, &len), 0);
}

namespace {

std::atomic<int> g_logoutSession{-1};
std::atomic<int> g_logoutResult{1};
void LogOutFromInside(int, const unsigned char*, int, int, void* user) {
    auto* p = static_cast<Pane*>(user);
    if (p->closed.exchange(true)) {
        p->lateCalls.fetch_add(1);
        return;
    }
    g_logoutResult.store(ORVEX_LogOut(g_logoutSession.load()));
}

}  // namespace

TEST_F(OrvexTest, LogOutFromACallbackEndsTheSessionWithoutDeadlock) {
    int s = Login();
    ASSERT_GE(s, 0);
    g_logoutSession.store(s);
    Pane pane;
    ASSERT_GE(ORVEX_StartRealPlay(s, 0, 0, LogOutFromInside, &pane), 0);
    ASSERT_TRUE(WaitFor([&] { return g_logoutResult.load() != 1; }));
    EXPECT_EQ(g_logoutResult.load(), 0);
    EXPECT_TRUE(WaitFor([&] { return camera_->ConnectionCount() == 0; }));
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(pane.lateCalls.load(), 0);
    EXPECT_EQ(ORVEX_GetSessionCount(), 0);
}

TEST_F(OrvexTest, CameraVanishingMidStreamStopsCallbacksAndFailsCalls) {
    int s = Login();
    ASSERT_GE(s, 0);
    Pane pane;
    int h = ORVEX_StartRealPlay(s, 0, 0, OnRealData, &pane);
    ASSERT_GE(h, 0);
    ASSERT_TRUE(WaitFor([&] { return pane.frames.load() >= 5; }));
    EXPECT_EQ(ORVEX_GetRealPlayState(h), 0);
    camera_->Stop();
    // The session notices the closed connection; the stream goes quiet and says why.
    EXPECT_TRUE(WaitFor([&] { return ORVEX_GetRealPlayState(h) == ORVEX_ERR_DISCONNECTED; }));
    char reply[64];
    int len = sizeof(reply) - 2;
    EXPECT_TRUE(WaitFor([&] {
        len = sizeof(reply) - 2;
        return ORVEX_SendRobotText(s, "{}", 3, reply, &len) == ORVEX_ERR_DISCONNECTED;
    }));
    EXPECT_TRUE(GoesQuiet(pane.frames));
    EXPECT_EQ(ORVEX_StartRealPlay(s, 0, 0, OnRealData, &pane), ORVEX_ERR_DISCONNECTED);
    EXPECT_EQ(ORVEX_StopRealPlay(h), 0);
    EXPECT_EQ(ORVEX_GetRealPlayState(h), ORVEX_ERR_INVALID_HANDLE);
    EXPECT_EQ(ORVEX_LogOut(s), 0);
}

TEST_F(OrvexTest, CameraVanishingMidRequestEndsTheWaitWithACode) {
    ORVEX_SetTimeouts(0, 60000, 0);  // a long request time-out: only the disconnect can end the wait
    int s = Login();
    ASSERT_GE(s, 0);
    camera_->SetReplyStallMs(-1);
    auto pending = std::async(std::launch::async, [s] {
        char reply[64];
        int len = sizeof(reply) - 2;
        return ORVEX_SendRobotText(s, "{}", 3, reply, &len);
    });
    ASSERT_TRUE(WaitFor([&] { return camera_->TextRequests() == 1; }));
    camera_->Stop();
    ASSERT_EQ(pending.wait_for(20s), std::future_status::ready);
    EXPECT_EQ(pending.get(), ORVEX_ERR_DISCONNECTED);
}

TEST_F(OrvexTest, StalledRepliesTimeOutAndTheSessionCarriesOn) {
    ORVEX_SetTimeouts(0, 300, 0);
    int s = Login();
    ASSERT_GE(s, 0);
    camera_->SetReplyStallMs(1000);
    char reply[64];
    int len = sizeof(reply) - 2;
    EXPECT_EQ(ORVEX_SendRobotText(s, "{\"a\":1}", 8, reply, &len), ORVEX_ERR_TIMEOUT);
    EXPECT_EQ(reply[0], '\0');
    camera_->SetReplyStallMs(0);
    // The late reply to the first request must not be taken for the reply to this one.
    camera_->SetTextHandler([](const std::string& req) { return req; });
    len = sizeof(reply) - 2;
    ASSERT_EQ(ORVEX_SendRobotText(s, "{\"b\":2}", 8, reply, &len), 0);
    EXPECT_STREQ(reply, "{\"b\":2}");
}

TEST_F(OrvexTest, ASilentCameraIsDetectedByTheIdleTimeOut) {
    ORVEX_SetTimeouts(0, 60000, 600);
    int s = Login();
    ASSERT_GE(s, 0);
    camera_->SetReplyStallMs(-1);  // the connection thread hangs: no replies, no pongs
    char reply[64];
    int len = sizeof(reply) - 2;
    EXPECT_EQ(ORVEX_SendRobotText(s, "{}", 3, reply, &len), ORVEX_ERR_DISCONNECTED);
    camera_->SetReplyStallMs(0);
}

TEST_F(OrvexTest, ConnectionDroppedAfterNRequests) {
    camera_->SetDropAfterRequests(2);
    int s = Login();
    ASSERT_GE(s, 0);
    char reply[64];
    for (int i = 0; i < 2; ++i) {
        int len = sizeof(reply) - 2;
        EXPECT_EQ(ORVEX_SendRobotText(s, "{}", 3, reply, &len), 0);
    }
    int len = sizeof(reply) - 2;
    EXPECT_EQ(ORVEX_SendRobotText(s, "{}", 3, reply, &len), ORVEX_ERR_DISCONNECTED);
    EXPECT_EQ(ORVEX_GetLastError(), ORVEX_ERR_DISCONNECTED);
    EXPECT_EQ(ORVEX_LogOut(s), 0);
}

TEST_F(OrvexTest, StreamEndedOrPausedByTheCameraGoesQuietButStaysStoppable) {
    int s = Login();
    ASSERT_GE(s, 0);
    Pane pane;
    int h = ORVEX_StartRealPlay(s, 0, 0, OnRealData, &pane);
    ASSERT_GE(h, 0);
    ASSERT_TRUE(WaitFor([&] { return pane.frames.load() >= 3; }));
    camera_->SetStreamsPaused(true);
    EXPECT_TRUE(GoesQuiet(pane.frames));
    EXPECT_EQ(ORVEX_GetRealPlayState(h), 0);  // quiet is not ended
    int paused = pane.frames.load();
    camera_->SetStreamsPaused(false);
    ASSERT_TRUE(WaitFor([&] { return pane.frames.load() > paused; }));
    camera_->EndAllStreams();
    EXPECT_TRUE(GoesQuiet(pane.frames));
    EXPECT_EQ(camera_->OpenStreams(), 0);
    // The camera gives no reason (status 0): the stream counts as no longer available.
    EXPECT_EQ(ORVEX_GetRealPlayState(h), ORVEX_ERR_STREAM_UNAVAILABLE);
    EXPECT_EQ(ORVEX_StopRealPlay(h), 0);
    // A new stream on the same session works.
    Pane again;
    int h2 = ORVEX_StartRealPlay(s, 0, 0, OnRealData, &again);
    ASSERT_GE(h2, 0);
    EXPECT_TRUE(WaitFor([&] { return again.frames.load() >= 3; }));
    EXPECT_EQ(ORVEX_GetRealPlayState(h2), 0);
    ORVEX_Cleanup();  // `again` lives on this stack
    EXPECT_EQ(ORVEX_GetRealPlayState(h2), ORVEX_ERR_NOT_INIT);
}

TEST(OrvexStreamEnd, TheCamerasReasonIsKeptPerStream) {
    auto session = velmora::transport::ClientSession::CreateDetached(velmora::transport::Timeouts{});
    Pane a, b;
    ASSERT_EQ(session->AddDetachedStream(7, 1, OnRealData, &a), 0);
    ASSERT_EQ(session->AddDetachedStream(8, 2, OnRealData, &b), 0);
    auto end = [&](uint32_t streamId, int32_t status) {
        auto id = velmora::wire::EncodeStreamId(streamId);
        std::vector<uint8_t> frame;
        velmora::wire::AppendFrame(frame, velmora::wire::MsgType::StreamEnd, 0, status, id.data(), id.size());
        return session->HandleIncoming(frame.data(), frame.size());
    };
    EXPECT_EQ(end(1, ORVEX_ERR_INTERNAL), 0);
    EXPECT_EQ(session->StreamState(7), ORVEX_ERR_INTERNAL);
    EXPECT_EQ(session->StreamState(8), 0);  // the other stream runs on
    EXPECT_EQ(end(2, 5), 0);                // a reason that is not negative still ends it
    EXPECT_EQ(session->StreamState(8), ORVEX_ERR_STREAM_UNAVAILABLE);
    EXPECT_EQ(end(99, -1), 0);              // an unknown stream id is ignored
    session->Close();
    EXPECT_EQ(session->StreamState(7), ORVEX_ERR_INVALID_HANDLE);  // the session's end
}

TEST_F(OrvexTest, CleanupEndsOpenSessionsAndStreams) {
    Pane panes[3];
    for (auto& p : panes) {
        int s = Login();
        ASSERT_GE(s, 0);
        ASSERT_GE(ORVEX_StartRealPlay(s, 0, 0, OnRealData, &p), 0);
    }
    ASSERT_TRUE(WaitFor([&] { return panes[2].frames.load() >= 3; }));
    EXPECT_EQ(ORVEX_Cleanup(), 0);
    for (auto& p : panes) p.closed.store(true);
    std::this_thread::sleep_for(30ms);
    for (auto& p : panes) EXPECT_EQ(p.lateCalls.load(), 0);
    EXPECT_EQ(ORVEX_GetSessionCount(), 0);
    EXPECT_TRUE(WaitFor([&] { return camera_->ConnectionCount() == 0; }));
    // The library can start again.
    ORVEX_Init(0);
    EXPECT_GE(Login(), 0);
}

TEST_F(OrvexTest, StreamLimitPerSession) {
    int s = Login();
    ASSERT_GE(s, 0);
    Pane panes[5];
    int handles[5];
    for (int i = 0; i < 4; ++i) {
        handles[i] = ORVEX_StartRealPlay(s, 0, 0, OnRealData, &panes[i]);
        ASSERT_GE(handles[i], 0);
    }
    EXPECT_EQ(ORVEX_StartRealPlay(s, 0, 0, OnRealData, &panes[4]), ORVEX_ERR_NO_RESOURCES);
    ORVEX_StopRealPlay(handles[0]);
    EXPECT_GE(ORVEX_StartRealPlay(s, 0, 0, OnRealData, &panes[4]), 0);
    ORVEX_Cleanup();  // the panes live on this stack: end their streams before they go
}

namespace {

// A callback that holds the first access unit until released, so a stop can be made to race it.
struct Gate {
    std::atomic<int> entered{0};
    std::atomic<bool> inside{false};
    std::atomic<bool> release{false};
};

void GatedCallback(int, const unsigned char*, int, int, void* user) {
    auto* g = static_cast<Gate*>(user);
    g->inside.store(true);
    g->entered.fetch_add(1);
    while (!g->release.load()) std::this_thread::sleep_for(1ms);
    g->inside.store(false);
}

// Opens the gate from another thread a little later, so a call that (rightly) waits for the
// callback can return.
std::thread ReleaseSoon(Gate& g) {
    return std::thread([&g] {
        std::this_thread::sleep_for(100ms);
        g.release.store(true);
    });
}

}  // namespace

// The pane stops its stream and then closes its decoder; that is only safe if StopRealPlay waits
// for a running callback even when another thread is just ending the whole session or library.
TEST_F(OrvexTest, StopRealPlayWaitsForTheCallbackWhileTheSessionIsBeingEnded) {
    for (int variant = 0; variant < 2; ++variant) {
        SCOPED_TRACE(variant == 0 ? "LogOut" : "Cleanup");
        ORVEX_Init(0);
        int s = Login();
        ASSERT_GE(s, 0);
        Gate gate;
        int h = ORVEX_StartRealPlay(s, 0, 0, GatedCallback, &gate);
        ASSERT_GE(h, 0);
        ASSERT_TRUE(WaitFor([&] { return gate.entered.load() > 0; }));
        // The ending thread is stuck behind the gated callback.
        std::thread ender([&] { variant == 0 ? ORVEX_LogOut(s) : ORVEX_Cleanup(); });
        ASSERT_TRUE(WaitFor([] { return ORVEX_GetSessionCount() == 0; }));
        std::thread opener = ReleaseSoon(gate);
        ORVEX_StopRealPlay(h);
        const bool insideAfterStop = gate.inside.load();
        opener.join();
        ender.join();
        EXPECT_FALSE(insideAfterStop) << "StopRealPlay returned while the callback was still running";
    }
}

// The other way round: once a stop has claimed the stream, LogOut and Cleanup must still wait for
// the callback that stop is waiting for.
TEST_F(OrvexTest, LogOutAndCleanupWaitForACallbackThatAStopIsWaitingFor) {
    for (int variant = 0; variant < 2; ++variant) {
        SCOPED_TRACE(variant == 0 ? "LogOut" : "Cleanup");
        ORVEX_Init(0);
        int s = Login();
        ASSERT_GE(s, 0);
        Gate gate;
        int h = ORVEX_StartRealPlay(s, 0, 0, GatedCallback, &gate);
        ASSERT_GE(h, 0);
        ASSERT_TRUE(WaitFor([&] { return gate.entered.load() > 0; }));
        std::atomic<bool> stopping{false};
        std::thread stopper([h, &stopping] {
            stopping.store(true);
            ORVEX_StopRealPlay(h);
        });
        ASSERT_TRUE(WaitFor([&] { return stopping.load(); }));
        std::this_thread::sleep_for(50ms);  // let it reach the wait for the callback
        std::thread opener = ReleaseSoon(gate);
        variant == 0 ? ORVEX_LogOut(s) : ORVEX_Cleanup();
        const bool insideAfterEnd = gate.inside.load();
        opener.join();
        stopper.join();
        EXPECT_FALSE(insideAfterEnd) << "the session ended while its callback was still running";
    }
}

namespace {

std::atomic<int> g_innerSession{-1};
std::atomic<int> g_innerTextResult{1};
std::atomic<int> g_innerStartResult{1};
void RequestFromInside(int, const unsigned char*, int, int, void* user) {
    auto* p = static_cast<Pane*>(user);
    p->frames.fetch_add(1);
    if (p->closed.exchange(true)) return;
    // The reply would have to come in on the very thread that is waiting for it.
    char reply[64];
    int len = sizeof(reply) - 2;
    g_innerTextResult.store(ORVEX_SendRobotText(g_innerSession.load(), "{}", 3, reply, &len));
    g_innerStartResult.store(ORVEX_StartRealPlay(g_innerSession.load(), 0, 0, OnRealData, nullptr));
}

}  // namespace

TEST_F(OrvexTest, RequestsFromACallbackOfTheSameSessionFailAtOnceAndTheSessionCarriesOn) {
    ORVEX_SetTimeouts(0, 60000, 0);  // a wait for the impossible reply would outlast the test
    int s = Login();
    ASSERT_GE(s, 0);
    g_innerSession.store(s);
    Pane pane;
    int h = ORVEX_StartRealPlay(s, 0, 0, RequestFromInside, &pane);
    ASSERT_GE(h, 0);
    ASSERT_TRUE(WaitFor([] { return g_innerStartResult.load() != 1; }));
    EXPECT_EQ(g_innerTextResult.load(), ORVEX_ERR_INVALID_ARG);
    EXPECT_EQ(g_innerStartResult.load(), ORVEX_ERR_INVALID_ARG);
    // The stream goes on and the session still answers requests from other threads.
    int seen = pane.frames.load();
    EXPECT_TRUE(WaitFor([&] { return pane.frames.load() > seen + 2; }));
    char reply[64];
    int len = sizeof(reply) - 2;
    EXPECT_EQ(ORVEX_SendRobotText(s, "{}", 3, reply, &len), 0);
    ORVEX_StopRealPlay(h);
}
