// Network snapshots against simulated cameras on loopback: a picture is saved, and every way the
// stream can fail ends the wait at once with the real code, or at the time limit at the latest.

#include <gtest/gtest.h>

#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>

#include "camera/net_snapshot.h"
#include "platform/decoder/xplay.h"
#include "sim/net/net_test_support.h"
#include "sim/net_cameras.h"
#include "transport/net/orvex_sdk.h"

using namespace std::chrono_literals;
using velmora::AccessUnitQueue;
using velmora::TakeNetSnapshot;

namespace {

// Tiny access unit delimiters as fast as the connection takes them: far more units than a
// decoder gets through, and never a picture.
class FloodSource : public camsim::StreamSource {
    std::vector<uint8_t> unit_;
public:
    bool Next(camsim::AccessUnit& out, std::chrono::milliseconds) override {
        if (unit_.empty()) {
            unit_ = {0, 0, 0, 1, 0x09, 0x10, 0, 0, 0, 1, 0x0C};
            unit_.resize(65536, 0xFF);
            unit_.back() = 0x80;
        }
        out.data = unit_;
        return true;
    }
};

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
        if (server_) server_->Stop();
        std::filesystem::remove_all(dir_);
    }

    // A camera with a real H.264 main stream on `address`.
    void ServeCamera(const std::string& address, bool streamStopped = false) {
        velmora::sim::NetCameraConfig c;
        c.address = address;
        c.port = 0;
        c.answerSearch = false;
        c.width = 320;
        c.height = 240;
        c.streamStopped = streamStopped;
        cams_ = std::make_unique<velmora::sim::NetCameras>(std::vector<velmora::sim::NetCameraConfig>{c});
        std::string error;
        ASSERT_EQ(cams_->Start(&error), 0) << error;
        camera_ = &cams_->Server(0);
    }
    void ServeFlood(const std::string& address) {
        server_ = std::make_unique<camsim::CameraServer>(nettest::LoopbackCamera(address));
        server_->SetStreamSourceFactory([](int) { return std::make_unique<FloodSource>(); });
        ASSERT_EQ(server_->Start(), 0);
        camera_ = server_.get();
    }
    int Login() {
        return ORVEX_Login(nettest::MakeLogin(camera_->config().address, camera_->Port()), nullptr, 0, 0, 0, 0);
    }
    std::future<Outcome> Snapshot(int session, const std::string& path, int timeoutMs) {
        return std::async(std::launch::async, [=] {
            Outcome o;
            o.code = TakeNetSnapshot(session, path, timeoutMs, o.what);
            return o;
        });
    }

    std::string dir_;
    std::unique_ptr<velmora::sim::NetCameras> cams_;
    std::unique_ptr<camsim::CameraServer> server_;
    camsim::CameraServer* camera_ = nullptr;
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
    EXPECT_LE(q.ChargedBytes(), 64u * 1024);
    // A unit larger than the whole bound never fits; nothing and empty units are ignored.
    std::vector<unsigned char> huge(64 * 1024);
    EXPECT_FALSE(q.Push(huge.data(), static_cast<int>(huge.size())));
    EXPECT_FALSE(q.Push(nullptr, 5));
    EXPECT_FALSE(q.Push(unit, 0));
    // Taking a unit makes room again, and the charge returns to zero when all are taken.
    std::string out;
    ASSERT_TRUE(q.Pop(out, 0));
    EXPECT_EQ(out.size(), sizeof unit);
    EXPECT_TRUE(q.Push(unit, sizeof unit));
    while (q.Pop(out, 0)) {
    }
    EXPECT_EQ(q.ChargedBytes(), 0u);
}

TEST_F(NetSnapshotTest, SavesAPictureAndLeavesTheSessionLoggedIn) {
    ServeCamera("127.0.0.61");
    const int s = Login();
    ASSERT_GE(s, 0);
    std::string what = "untouched";
    // A file that cannot be written gives the writer's code once the picture is there.
    EXPECT_EQ(TakeNetSnapshot(s, dir_ + "/missing/cam.png", 10000, what), XPLAY_E_IO);
    EXPECT_NE(what.find("could not write"), std::string::npos) << what;

    what = "untouched";
    const std::string path = dir_ + "/cam.png";
    ASSERT_EQ(TakeNetSnapshot(s, path, 10000, what), 0) << what;
    EXPECT_EQ(what, "untouched");
    std::ifstream png(path, std::ios::binary);
    char signature[8] = {};
    png.read(signature, sizeof signature);
    EXPECT_EQ(std::string(signature, 8), std::string("\x89PNG\r\n\x1a\n", 8));
    // The stream is stopped, the session still works.
    EXPECT_TRUE(nettest::WaitFor([&] { return camera_->OpenStreams() == 0; }));
    EXPECT_EQ(ORVEX_GetSessionCount(), 1);
    char reply[256];
    int len = sizeof reply - 2;
    EXPECT_EQ(ORVEX_SendRobotText(s, "{}", 3, reply, &len), 0);
}

TEST_F(NetSnapshotTest, BadArgumentsAndUnknownSessionsFailWithACode) {
    ServeCamera("127.0.0.62");
    const int s = Login();
    ASSERT_GE(s, 0);
    std::string what;
    EXPECT_EQ(TakeNetSnapshot(s, "", 1000, what), ORVEX_ERR_INVALID_ARG);
    EXPECT_EQ(TakeNetSnapshot(s, dir_ + "/a.png", 0, what), ORVEX_ERR_INVALID_ARG);
    EXPECT_EQ(TakeNetSnapshot(s + 1000, dir_ + "/a.png", 1000, what), ORVEX_ERR_INVALID_HANDLE);
    EXPECT_EQ(what, "the main stream of the camera could not be started (code -1003)");
    EXPECT_FALSE(std::filesystem::exists(dir_ + "/a.png"));
}

TEST_F(NetSnapshotTest, AStreamTheCameraEndsOrAConnectionThatBreaksFailsAtOnce) {
    ServeCamera("127.0.0.63", /*streamStopped=*/true);  // streams open but bring no picture
    const int s = Login();
    ASSERT_GE(s, 0);
    // Time limits far beyond the waits below: only the end of the stream can finish them.
    auto ended = Snapshot(s, dir_ + "/ended.png", 60000);
    ASSERT_TRUE(nettest::WaitFor([&] { return camera_->OpenStreams() == 1; }, 10000));
    camera_->EndAllStreams();
    ASSERT_EQ(ended.wait_for(20s), std::future_status::ready);
    Outcome o = ended.get();
    EXPECT_EQ(o.code, ORVEX_ERR_STREAM_UNAVAILABLE);
    EXPECT_EQ(o.what, "the main stream of 127.0.0.63 ended (code -1014)");

    auto broken = Snapshot(s, dir_ + "/broken.png", 60000);
    ASSERT_TRUE(nettest::WaitFor([&] { return camera_->OpenStreams() == 1; }, 10000));
    camera_->DisconnectAll();
    ASSERT_EQ(broken.wait_for(20s), std::future_status::ready);
    o = broken.get();
    EXPECT_EQ(o.code, ORVEX_ERR_DISCONNECTED);
    EXPECT_EQ(o.what, "the connection to 127.0.0.63 was lost (code -1006)");
    EXPECT_FALSE(std::filesystem::exists(dir_ + "/ended.png"));
    EXPECT_FALSE(std::filesystem::exists(dir_ + "/broken.png"));
}

TEST_F(NetSnapshotTest, TheTimeLimitHoldsWhileACameraFloodsSmallUnits) {
    ServeFlood("127.0.0.64");
    const int s = Login();
    ASSERT_GE(s, 0);
    auto flooded = Snapshot(s, dir_ + "/flood.png", 1000);
    // Generous: the limit is 1 s; a wait that only ends when the data stops never ends here.
    const bool finished = flooded.wait_for(30s) == std::future_status::ready;
    if (!finished) camera_->Stop();  // let the snapshot return so the test can end
    ASSERT_TRUE(finished);
    Outcome o = flooded.get();
    EXPECT_EQ(o.code, ORVEX_ERR_TIMEOUT);
    EXPECT_EQ(o.what.rfind("no complete picture arrived from 127.0.0.64 within 1 s", 0), 0u) << o.what;
    EXPECT_FALSE(std::filesystem::exists(dir_ + "/flood.png"));
}
