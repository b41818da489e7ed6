// The video panes against simulated network cameras served in-process on loopback
// (127.0.0.131 and up, free ports): pictures reach every pane, panes close and everything is
// destroyed while the streams play, and a camera that vanishes leaves its last picture.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

// Before Qt: the simulator names a member "forever", which Qt defines as a keyword.
#include "sim/net_cameras.h"

#include <QTest>

#include "transport/net/orvex_sdk.h"
#include "ui/main/video_panes.h"
#include "ui/ui_test_support.h"

using namespace velmora::transport;

namespace velmora::ui {
namespace {

constexpr int kWaitMs = 30000;  // generous: the machine is shared

class VideoPanesLiveTest : public ::testing::Test {
protected:
    void SetUp() override { ORVEX_Init(0); }
    void TearDown() override {
        ORVEX_Cleanup();
        if (cams_) cams_->Stop();
    }

    // `count` cameras with 320 x 180 pictures on 127.0.0.131 and up.
    void Serve(int count) {
        std::vector<sim::NetCameraConfig> configs(count);
        for (int i = 0; i < count; ++i) {
            configs[i].address = "127.0.0." + std::to_string(131 + i);
            configs[i].port = 0;
            configs[i].answerSearch = false;
            configs[i].width = 320;
            configs[i].height = 180;
        }
        cams_ = std::make_unique<sim::NetCameras>(std::move(configs));
        std::string error;
        ASSERT_EQ(cams_->Start(&error), 0) << error;
    }

    LoginInfo Info(int i) const {
        LoginInfo info{};
        std::snprintf(info.address, sizeof info.address, "127.0.0.%d", 131 + i);
        info.port = cams_->Server(i).Port();
        std::snprintf(info.user, sizeof info.user, "admin");
        std::snprintf(info.password, sizeof info.password, "pelno");
        return info;
    }

    test::RecordingMessages messages_;
    std::unique_ptr<sim::NetCameras> cams_;
};

TEST_F(VideoPanesLiveTest, FourCamerasPlayAndCloseWhileStreaming) {
    Serve(4);
    auto client = std::make_unique<QWidget>();
    client->resize(1000, 600);
    auto panes = std::make_unique<VideoPanes>(client.get());
    panes->SetLayout(2);
    panes->Place(1000, 600, 200);
    client->show();
    for (int i = 0; i < 4; ++i) ASSERT_EQ(panes->OpenNetworkDevice(Info(i), 0), 0) << i;
    const auto painted = [&](int i, uint64_t n) { return panes->Widget(i)->PicturesPainted() > n; };
    ASSERT_TRUE(QTest::qWaitFor([&] { return painted(0, 2) && painted(1, 0) && painted(2, 0) && painted(3, 0); },
                                kWaitMs));

    // The 16:9 picture fills the 392 x 294 pane's width, with black bars above and below.
    const QImage shot = panes->Widget(0)->grab().toImage();
    EXPECT_EQ(shot.pixel(196, 5) & 0xffffffu, 0u);
    EXPECT_NE(shot.pixel(196, 147) & 0xffffffu, 0u);
    EXPECT_EQ(shot.pixel(196, 288) & 0xffffffu, 0u);

    // Closing one pane leaves the others playing; the closed one shows black.
    panes->CloseVideoPane(1);
    EXPECT_FALSE(panes->Widget(1)->HasPicture());
    const uint64_t closed = panes->Widget(1)->PicturesReceived();
    const uint64_t other = panes->Widget(2)->PicturesReceived();
    ASSERT_TRUE(QTest::qWaitFor([&] { return panes->Widget(2)->PicturesReceived() > other + 2; }, kWaitMs));
    EXPECT_EQ(panes->Widget(1)->PicturesReceived(), closed);
    panes->SelectVideoPane(1);
    ASSERT_EQ(panes->OpenNetworkDevice(Info(1), 0), 0);

    // Everything goes while the four streams play: the panes first, then the client with the
    // widgets; and the other way round, the widgets detaching themselves.
    panes.reset();
    client.reset();
    EXPECT_EQ(ORVEX_GetSessionCount(), 0);
    client = std::make_unique<QWidget>();
    panes = std::make_unique<VideoPanes>(client.get());
    for (int i = 0; i < 4; ++i) ASSERT_EQ(panes->OpenNetworkDevice(Info(i), 0), 0) << i;
    ASSERT_TRUE(QTest::qWaitFor([&] { return panes->Widget(3)->PicturesReceived() > 0; }, kWaitMs));
    client.reset();
    EXPECT_EQ(panes->Widget(0), nullptr);
    panes.reset();
    EXPECT_EQ(ORVEX_GetSessionCount(), 0);
    EXPECT_TRUE(messages_.shown.empty());
}

TEST_F(VideoPanesLiveTest, AVanishedCameraLeavesItsLastPicture) {
    Serve(1);
    QWidget client;
    VideoPanes panes(&client);
    panes.SetLayout(1);
    panes.Place(800, 500, 100);
    client.resize(800, 500);
    client.show();
    ASSERT_EQ(panes.OpenNetworkDevice(Info(0), 0), 0);
    VideoPaneWidget* w = panes.Widget(0);
    ASSERT_TRUE(QTest::qWaitFor([&] { return w->PicturesPainted() > 0; }, kWaitMs));

    // The camera falls silent, then goes away; closing the dead session does not hang (a hang
    // would run into the test's time limit).
    cams_->Server(0).SetStreamsPaused(true);
    QTest::qWait(200);
    cams_->Server(0).Stop();
    const uint64_t received = w->PicturesReceived();
    QTest::qWait(300);
    EXPECT_TRUE(w->HasPicture());
    EXPECT_EQ(w->PicturesReceived(), received);
    panes.CloseVideoPane(0);
    EXPECT_EQ(panes.Pane(0).session, -1);

    // The camera is gone: the login fails with the library's code.
    EXPECT_LT(panes.OpenNetworkDevice(Info(0), 0), 0);
    ASSERT_EQ(messages_.shown.size(), 1u);
    EXPECT_EQ(messages_.shown[0].rfind("登录失败 错误码为-", 0), 0u) << messages_.shown[0];
}

}  // namespace
}  // namespace velmora::ui
