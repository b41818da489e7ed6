// The program's network road (network SDK client, the JSON operations, the protocol parsers, the
// decoder) against simulated network cameras served in-process on loopback.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>

#include "platform/codepage.h"
#include "platform/decoder/snapshot_decoder.h"
#include "transport/net/orvex_sdk.h"
#include "integration/recording_messages.h"
#include "platform/user_messages.h"
#include "protocol/requests.h"
#include "protocol/field_by_name.h"
#include "sim/net_cameras.h"
#include "camera/net_camera.h"
#include "platform/decoder/h264_decoder.h"

using namespace velmora::platform;
using namespace velmora::protocol;
using namespace velmora::transport;
using namespace velmora::camera;

using namespace velmora;
using namespace velmora::wire;

namespace {

// What a real play hands its callback, access unit after access unit.
struct UnitQueue {
    std::mutex mu;
    std::condition_variable cv;
    std::deque<std::string> units;
    static void Add(int, const unsigned char* d, int n, int, void* user) {
        auto* q = static_cast<UnitQueue*>(user);
        std::lock_guard lock(q->mu);
        q->units.emplace_back(reinterpret_cast<const char*>(d), static_cast<size_t>(n));
        q->cv.notify_one();
    }
};

class NetCameraSimTest : public ::testing::Test {
protected:
    void SetUp() override {
        SetUserMessages(&messages_);
        ORVEX_Init(0);
    }
    void TearDown() override {
        for (int s : sessions_) ORVEX_LogOut(s);
        ORVEX_Cleanup();
        if (cams_) cams_->Stop();
        SetUserMessages(nullptr);
    }

    // Cameras on 127.0.0.<first>..., each on a free port, without LAN search answers.
    void Serve(std::vector<std::function<void(sim::NetCameraConfig&)>> tweaks, int first) {
        std::vector<sim::NetCameraConfig> configs;
        for (size_t i = 0; i < tweaks.size(); ++i) {
            sim::NetCameraConfig c;
            c.address = "127.0.0." + std::to_string(first + static_cast<int>(i));
            c.port = 0;
            c.answerSearch = false;
            c.width = 320;
            c.height = 240;
            c.model.identity = sim::CameraModel::DefaultIdentity(static_cast<int>(i) + 1);
            if (tweaks[i]) tweaks[i](c);
            configs.push_back(std::move(c));
        }
        cams_ = std::make_unique<sim::NetCameras>(std::move(configs));
        std::string error;
        ASSERT_EQ(cams_->Start(&error), 0) << error;
    }

    int Login(size_t index, const char* password = "pelno") {
        LoginInfo info{};
        std::snprintf(info.address, sizeof info.address, "%s", cams_->Server(index).config().address.c_str());
        info.port = cams_->Server(index).Port();
        std::snprintf(info.user, sizeof info.user, "admin");
        std::snprintf(info.password, sizeof info.password, "%s", password);
        char area[288] = {};
        int s = ORVEX_Login(info, area, 0, 0, 0, 0);
        if (s >= 0) sessions_.push_back(s);
        return s;
    }

    // Decodes the first complete picture of the session's main stream.
    bool Snapshot(int session, RgbPicture* out) {
        UnitQueue q;
        int play = ORVEX_StartRealPlay(session, 0, 0, &UnitQueue::Add, &q);
        if (play < 0) return false;
        SnapshotDecoder decoder;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        int r = 0;
        while (r == 0) {
            std::unique_lock lock(q.mu);
            if (!q.cv.wait_until(lock, deadline, [&] { return !q.units.empty(); })) break;
            std::string unit = std::move(q.units.front());
            q.units.pop_front();
            lock.unlock();
            r = decoder.Feed(reinterpret_cast<const uint8_t*>(unit.data()), static_cast<int>(unit.size()));
        }
        ORVEX_StopRealPlay(play);
        if (r != 1) return false;
        *out = decoder.Picture();
        return true;
    }

    velmora::testing::RecordingMessages messages_;
    std::unique_ptr<sim::NetCameras> cams_;
    std::vector<int> sessions_;
};

int Luma(const RgbPicture& p, int x, int y) {
    const uint8_t* px = p.pixels.data() + static_cast<size_t>(y) * p.stride + static_cast<size_t>(x) * 3;
    return (299 * px[0] + 587 * px[1] + 114 * px[2]) / 1000;
}

}  // namespace

TEST_F(NetCameraSimTest, ReadChangeCopyAndRestoreOverTheNetwork) {
    Serve({nullptr, nullptr}, 41);
    const int a = Login(0), b = Login(1);
    ASSERT_GE(a, 0);
    ASSERT_GE(b, 0);

    VideoParam rec;
    ASSERT_EQ(NetCamera(a, "", 0).ReadVideoParams(rec), 0);
    EXPECT_EQ(rec.bytes[0], 50);
    ASSERT_EQ(NetCamera(a, "", 0).SetField(Field("BExpCPS"), -10), 0);
    ASSERT_EQ(NetCamera(a, "", 0).ReadVideoParams(rec), 0);
    EXPECT_EQ(rec.bytes[kExpCompensationOffset], 246);

    ASSERT_EQ(NetCamera(b, "", 0).WriteVideoParams(rec), 0);
    VideoParam copy;
    ASSERT_EQ(NetCamera(b, "", 0).ReadVideoParams(copy), 0);
    copy.bytes[kAEWeightLevelOffset] = rec.bytes[kAEWeightLevelOffset];
    EXPECT_EQ(0, std::memcmp(copy.bytes, rec.bytes, kVideoParamSize));

    ASSERT_EQ(NetCamera(a, "", 0).RestoreDefaults(), 0);
    ASSERT_EQ(NetCamera(a, "", 0).ReadVideoParams(rec), 0);
    EXPECT_EQ(rec.bytes[kExpCompensationOffset], 0);

    EXPECT_EQ(NetCamera(a, "", 0).GetFrameRate(), 25);
    EXPECT_GT(NetCamera(a, "", 0).GetFocusNear(), 0);
    AbilityList list;
    ASSERT_EQ(NetCamera(a, "", 0).ReadAbilityList(list), 0);
    const AbilityItem* iris = list.Find("ucManualIris");
    ASSERT_NE(iris, nullptr);
    ASSERT_GT(iris->OptionCount(), 0);
    EXPECT_EQ(iris->options[0].value, 254);
    EXPECT_EQ(Cp936ToUtf8(iris->options[0].label), "关闭");  // network labels arrive as CP936
    EXPECT_TRUE(messages_.shown.empty());
}

TEST_F(NetCameraSimTest, BadRepliesAndHandlesAreFailuresNotSuccess) {
    Serve({[](sim::NetCameraConfig& c) { c.garbageReplies = true; }}, 44);
    const int s = Login(0);
    ASSERT_GE(s, 0);
    VideoParam rec;
    rec.bytes[0] = 7;
    // A reply that is not JSON must not pass for an all-zero record.
    EXPECT_EQ(NetCamera(s, "", 0).ReadVideoParams(rec), -310);
    EXPECT_EQ(rec.bytes[0], 7);
    EXPECT_EQ(NetCamera(s, "", 0).GetFocusNear(), -10);
    EXPECT_EQ(NetCamera(s, "", 0).GetFrameRate(), 0);

    messages_.shown.clear();
    AbilityList list;
    EXPECT_EQ(NetCamera(-1, "", 0).ReadVideoParams(rec), -1);
    EXPECT_EQ(NetCamera(-1, "", 0).GetFrameRate(), -1);
    EXPECT_EQ(NetCamera(-1, "", 0).ReadAbilityList(list), -1);
    EXPECT_EQ(messages_.shown, std::vector<std::string>(3, "无效的设备句柄!"));

    // A set on a session that does not exist is refused by the network layer and shown.
    messages_.shown.clear();
    const int r = NetCamera(987654, "", 0).SetField(Field("Luminance"), 1);
    EXPECT_LT(r, 0);
    ASSERT_EQ(messages_.shown.size(), 1u);
    EXPECT_EQ(messages_.shown[0], Format("返回错误码: %d", r));
}

// A network camera can refuse a set only through nResult: that is the result, and it is shown.
TEST_F(NetCameraSimTest, RefusalInNResultIsTheResultOfEverySet) {
    Serve({[](sim::NetCameraConfig& c) { c.refuseSets = -9; }}, 47);
    const int s = Login(0);
    ASSERT_GE(s, 0);
    NetCamera camera(s, "", 0);
    VideoParam rec;
    ASSERT_EQ(camera.ReadVideoParams(rec), 0);
    EXPECT_EQ(camera.SetField(Field("Luminance"), 1), -9);
    EXPECT_EQ(camera.WriteVideoParams(rec), -9);
    EXPECT_EQ(camera.RestoreDefaults(), -9);
    EXPECT_EQ(messages_.shown, std::vector<std::string>(3, "返回错误码: -9"));
}

TEST_F(NetCameraSimTest, LiveStreamFollowsMirrorAndBrightness) {
    Serve({nullptr}, 46);
    const int s = Login(0);
    ASSERT_GE(s, 0);
    RgbPicture plain, mirrored;
    ASSERT_TRUE(Snapshot(s, &plain));
    EXPECT_EQ(plain.width, 320);
    EXPECT_EQ(plain.height, 240);
    ASSERT_EQ(NetCamera(s, "", 0).SetField(Field("bHorzInvert"), 1), 0);
    ASSERT_TRUE(Snapshot(s, &mirrored));
    // The bars run from light at the left to dark at the right; mirrored, the other way round.
    const int y = plain.height / 2;
    EXPECT_GT(Luma(plain, 8, y), Luma(plain, plain.width - 8, y) + 60);
    EXPECT_GT(Luma(mirrored, mirrored.width - 8, y), Luma(mirrored, 8, y) + 60);

    ASSERT_EQ(NetCamera(s, "", 0).SetField(Field("Luminance"), 90), 0);
    RgbPicture bright;
    ASSERT_TRUE(Snapshot(s, &bright));
    const int x = bright.width / 2;  // a mid-grey bar
    EXPECT_GT(Luma(bright, x, y), Luma(mirrored, x, y) + 10);
}

// A replaying camera (for benchmarks) serves the loop it encoded at start: whole seconds, each
// loop starting on its key frame, and a stream opened later starts on that key frame too.
TEST_F(NetCameraSimTest, ReplayingCameraLoopsWholeSecondsFromAKeyFrame) {
    Serve({[](sim::NetCameraConfig& c) {
              c.fps = 20;
              c.replayFrames = 15;  // rounded up to one second, 20 pictures
          }},
          48);
    const int s = Login(0);
    ASSERT_GE(s, 0);
    // The first `count` access units of a new real play.
    auto collect = [&](size_t count) {
        UnitQueue q;
        const int play = ORVEX_StartRealPlay(s, 0, 0, &UnitQueue::Add, &q);
        EXPECT_GE(play, 0);
        std::unique_lock lock(q.mu);
        q.cv.wait_for(lock, std::chrono::seconds(10), [&] { return q.units.size() >= count; });
        lock.unlock();
        ORVEX_StopRealPlay(play);
        std::lock_guard hold(q.mu);
        return std::vector<std::string>(q.units.begin(), q.units.end());
    };
    const auto key = [](const std::string& unit) {
        return H264Decoder::ContainsIdr(reinterpret_cast<const uint8_t*>(unit.data()), unit.size());
    };
    const std::vector<std::string> first = collect(22);
    ASSERT_GE(first.size(), 22u);
    EXPECT_TRUE(key(first[0]));
    EXPECT_TRUE(key(first[20]));
    for (size_t i = 1; i < 20; ++i) EXPECT_FALSE(key(first[i])) << i;
    EXPECT_EQ(first[0], first[20]);
    EXPECT_EQ(first[1], first[21]);
    EXPECT_NE(first[1], first[2]);  // the clock moves within the loop
    const std::vector<std::string> later = collect(2);
    ASSERT_GE(later.size(), 2u);
    EXPECT_EQ(first[0], later[0]);
    EXPECT_EQ(first[1], later[1]);
}

// The end-streams fault ends every open stream with a StreamEnd frame: the client learns it from
// the stream's state, and a stream started afterwards runs again until the next end.
TEST_F(NetCameraSimTest, EndStreamsFaultEndsOpenStreamsAgainAndAgain) {
    Serve({[](sim::NetCameraConfig& c) { c.endStreamsMs = 300; }}, 185);
    const int s = Login(0);
    ASSERT_GE(s, 0);
    auto ignore = [](int, const unsigned char*, int, int, void*) {};
    for (int round = 0; round < 2; ++round) {
        const int play = ORVEX_StartRealPlay(s, 0, 0, ignore, nullptr);
        ASSERT_GE(play, 0) << round;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        int state = 0;
        while ((state = ORVEX_GetRealPlayState(play)) == 0 && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        EXPECT_LT(state, 0) << round;
        EXPECT_NE(state, ORVEX_ERR_INVALID_HANDLE) << round;
        ORVEX_StopRealPlay(play);
    }
}
