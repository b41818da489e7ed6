// The whole main window with four network cameras playing in the 2*2 panes: the window is closed
// and destroyed while every stream plays (runs in the AddressSanitizer build of the windows too).
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

// Before Qt: the simulator names a member "forever", which Qt defines as a keyword.
#include "sim/net_cameras.h"

#include <QTemporaryDir>
#include <QTest>

#include "platform/profile_file.h"
#include "transport/net/orvex_sdk.h"
#include "ui/main/velmora_dlg.h"
#include "ui/listed_lan_cameras.h"
#include "ui/main/video_panes.h"
#include "ui/main_window_fixture.h"
#include "ui/ui_test_support.h"

using namespace velmora::platform;
using namespace velmora::transport;

namespace velmora::ui {
namespace {

TEST(MainWindowLive, ClosingTheWindowWhileFourStreamsPlayIsClean) {
    std::vector<sim::NetCameraConfig> configs(4);
    for (int i = 0; i < 4; ++i) {
        configs[i].address = "127.0.0." + std::to_string(71 + i);
        configs[i].answerSearch = false;
        configs[i].width = 320;
        configs[i].height = 180;
    }
    sim::NetCameras cameras(std::move(configs));
    std::string error;
    ASSERT_EQ(cameras.Start(&error), 0) << error;

    test::RecordingMessages messages;
    QTemporaryDir home;
    // The LAN search finds the four cameras on 127.0.0.71 to .74 (camera port 36666).
    ListedLanCameras search({"127.0.0.71", "127.0.0.72", "127.0.0.73", "127.0.0.74"});
    auto window = test::OpenSimulatedWindow(home.path().toStdString() + "/", search);
    window->SwitchToNetworkMode();
    window->show();
    ASSERT_EQ(window->DeviceNodes().size(), 4u);
    for (const DeviceNode& node : window->DeviceNodes()) window->OpenDeviceItem(node.item);
    ASSERT_TRUE(messages.shown.empty()) << messages.shown.front();
    for (int i = 0; i < 4; ++i) EXPECT_GE(window->Panes().Pane(i).session, 0) << i;
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            for (int i = 0; i < 4; ++i) {
                if (window->Panes().Widget(i)->PicturesPainted() < 2) return false;
            }
            return true;
        },
        30000));
    // The last camera opened is the current one, drawn in red.
    EXPECT_EQ(window->Panes().CurrentPane(), 3);

    // One camera vanishes mid-stream: its pane keeps the last picture and nothing hangs.
    cameras.Server(1).Stop();
    QTest::qWait(200);
    EXPECT_TRUE(window->Panes().Widget(1)->HasPicture());

    const std::string config = window->ConfigPath();
    window->close();
    window.reset();
    EXPECT_EQ(ORVEX_GetSessionCount(), 0);
    EXPECT_EQ(ProfileFile(config).GetInt("SEARCH_MODE", "Mode", -1), 0);
    cameras.Stop();
}

}  // namespace
}  // namespace velmora::ui
