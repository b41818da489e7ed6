// Network snapshots against simulated cameras on loopback: a picture is saved, and every way the
// stream can fail ends the wait at once with the real code, or at the time limit at the latest.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <future>
#include <thread>

#include "camera/net_snapshot.h"
#include "platform/decoder/xplay.h"
#include "sim/net/net_test_support.h"
#include "sim/net_cameras.h"
#include "transport/net/orvex_sdk.h"

using namespace velmora::platform;
using namespace velmora::transport;
using namespace velmora::camera;
using namespace velmora::wire;

using namespace std::chrono_literals;
using velmora::camera::AccessUnitQueue;
using velmora::camera::TakeNetSnapshot;

namespace {

struct Outcome {
    int code = 0;
    std::string what;
};

class NetSnapshotTest : public ::testing::Test {
protected:
    void SetUp() override {
        ORVEX_Init(0);
        char dir[] = "/tmp/velmora-snapshot-XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        dir_ = dir;
    }
    void TearDown() override {
        ORVEX_Cleanup();
        if (cams_) cams_->Stop();
        std::filesystem::remove_all(dir_);
    }

    // Logs in to a camera with a real H.264 main stream on `address`.
    int Serve(const std::string& address, bool streamStopped) {
        velmora::sim::NetCameraConfig c;
        c.address = address;
        c.port = 0;
        c.answerSearch = false;
        c.width = 320;
        c.height = 240;
        c.streamStopped = streamStopped;
        cams_ = std::make_unique<velmora::sim::NetCameras>(std::vector<velmora::sim::NetCameraConfig>{c});
        if (cams_->Start(nullptr) != 0) return -1;
        camera_ = &cams_->Server(0);
        return ORVEX_Login(nettest::MakeLogin(address, camera_->Port()), nullptr, 0, 0, 0, 0);
    }
    std::future<Outcome> Snapshot(int session, const std::string& name, int timeoutMs) {
        return std::async(std::launch::async, [=, this] {
            Outcome o;
            o.code = TakeNetSnapshot(session, dir_ + "/" + name, timeoutMs, o.what);
            return o;
        });
    }

    std::string dir_;
    std::unique_ptr<velmora::sim::NetCameras> cams_;
    velmora::sim::CameraServer* camera_ = nullptr;
};

}  // namespace

TEST(AccessUnitQueue, TinyUnitsAreChargedTheirBookkeepingAndDroppedBeyondTheBound) {
    AccessUnitQueue q(64 * 1024);
    const unsigned char unit[9] = {0, 0, 0, 1, 0x41, 1, 2, 3, 4};
    int queued = 0;
    for (int i = 0; i < 5000; ++i) queued += q.Push(unit, sizeof unit) ? 1 : 0;
    // 5000 units of 9 bytes are 45 000 bytes: only their bookkeeping makes them overflow 64 KiB.
    EXPECT_GT(queued, 0);
    EXPECT_LE(static_cast<size_t>(queued) * (sizeof unit + AccessUnitQueue::kUnitOverhead), 64u * 1024);
    EXPECT_EQ(q.Dropped(), static_cast<size_t>(5000 - queued));
    // Taking units makes room again; the charge returns to zero when all are taken.
    std::string out;
    ASSERT_TRUE(q.Pop(out, 0));
    EXPECT_TRUE(q.Push(unit, sizeof unit));
    while (q.Pop(out, 0)) {
    }
    EXPECT_EQ(q.ChargedBytes(), 0u);
}

TEST(WaitForPicture, TheDeadlineHoldsWhileUnitsKeepComingAndAStoppedStreamEndsTheWait) {
    // More queued units than slow decoding gets through by the deadline: the queue never empties.
    AccessUnitQueue q;
    const unsigned char unit[5] = {0, 0, 0, 1, 0x41};
    for (int i = 0; i < 10000; ++i) q.Push(unit, sizeof unit);
    int fed = 0, finished = 0, state = 0;
    velmora::camera::PictureSteps steps;
    steps.feed = [&](const std::string&) {
        ++fed;
        std::this_thread::sleep_for(1ms);
        return 0;
    };
    steps.finish = [&] { return ++finished; };
    steps.state = [&] { return state; };
    int stopped = 1;
    EXPECT_EQ(velmora::camera::WaitForPicture(q, std::chrono::steady_clock::now() + 200ms, steps, stopped), 0);
    EXPECT_LT(fed, 10000);
    EXPECT_EQ(stopped, 0);
    EXPECT_EQ(finished, 0);
    // Once the stream stopped, what is still queued is fed, then the decoder is finished.
    state = ORVEX_ERR_DISCONNECTED;
    steps.feed = [&](const std::string&) {
        ++fed;
        return 0;
    };
    EXPECT_EQ(velmora::camera::WaitForPicture(q, std::chrono::steady_clock::now() + 60s, steps, stopped), 1);
    EXPECT_EQ(fed, 10000);
    EXPECT_EQ(stopped, ORVEX_ERR_DISCONNECTED);
    EXPECT_EQ(finished, 1);

    // A unit that arrives just before the stream stops, after the queue was found empty, is fed.
    fed = 0;
    steps.state = [&] {
        if (fed == 0) q.Push(unit, sizeof unit);
        return ORVEX_ERR_DISCONNECTED;
    };
    EXPECT_EQ(velmora::camera::WaitForPicture(q, std::chrono::steady_clock::now() + 60s, steps, stopped), 2);
    EXPECT_EQ(fed, 1);
}

TEST_F(NetSnapshotTest, SavesAPictureAndRefusesWhatCannotWork) {
    const int s = Serve("127.0.0.81", false);
    ASSERT_GE(s, 0);
    std::string what = "untouched";
    ASSERT_EQ(TakeNetSnapshot(s, dir_ + "/cam.png", 10000, what), 0) << what;
    EXPECT_EQ(what, "untouched");
    EXPECT_GT(std::filesystem::file_size(dir_ + "/cam.png"), 100u);
    // The stream is stopped and the session stays logged in for the next one.
    EXPECT_TRUE(nettest::WaitFor([&] { return camera_->OpenStreams() == 0; }));
    EXPECT_EQ(TakeNetSnapshot(s, dir_ + "/missing/cam.png", 10000, what), XPLAY_E_IO);
    EXPECT_EQ(what.rfind("could not write " + dir_ + "/missing/cam.png: ", 0), 0u) << what;  // with the reason
    EXPECT_NE(what.find("No such file or directory"), std::string::npos) << what;
    EXPECT_EQ(TakeNetSnapshot(s, "", 1000, what), ORVEX_ERR_INVALID_ARG);
    EXPECT_EQ(TakeNetSnapshot(s, dir_ + "/a.png", 0, what), ORVEX_ERR_INVALID_ARG);
    EXPECT_EQ(TakeNetSnapshot(s + 1000, dir_ + "/a.png", 1000, what), ORVEX_ERR_INVALID_HANDLE);
    EXPECT_EQ(what, "the main stream of the camera could not be started (code -1003)");
}

TEST_F(NetSnapshotTest, AStreamTheCameraEndsOrAConnectionThatBreaksFailsAtOnce) {
    const int s = Serve("127.0.0.83", /*streamStopped=*/true);  // streams open but bring no picture
    ASSERT_GE(s, 0);
    // Time limits far beyond the waits below: only the end of the stream can finish them.
    auto endWith = [&](const std::function<void()>& end) {
        auto pending = Snapshot(s, "never.png", 60000);
        EXPECT_TRUE(nettest::WaitFor([&] { return camera_->OpenStreams() == 1; }, 10000));
        end();
        EXPECT_EQ(pending.wait_for(20s), std::future_status::ready);
        return pending.get();
    };
    Outcome o = endWith([&] { camera_->EndAllStreams(); });
    EXPECT_EQ(o.code, ORVEX_ERR_STREAM_UNAVAILABLE);
    EXPECT_EQ(o.what, "the main stream of 127.0.0.83 ended (code -1014)");
    o = endWith([&] { camera_->DisconnectAll(); });
    EXPECT_EQ(o.code, ORVEX_ERR_DISCONNECTED);
    EXPECT_EQ(o.what, "the connection to 127.0.0.83 was lost (code -1006)");
    EXPECT_FALSE(std::filesystem::exists(dir_ + "/never.png"));
}
