// The PTZ pane: preset choice and messages, the tiles' look, and what held buttons and presets
// send to a simulated USB camera and to a network camera that does not answer.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>

#include "sim/usb_server.h"

#include <QKeyEvent>
#include <QTest>

#include "protocol/requests.h"
#include "transport/usb/cusb_device.h"
#include "transport/usb/sim_hid_backend.h"
#include "ui/controls/ptz_simple_ctrl.h"
#include "ui/ui_test_support.h"

using namespace velmora::protocol;
using namespace velmora::transport;

namespace velmora::ui {
namespace {

using Texts = std::vector<std::string>;

void Click(QPushButton* button) { QTest::mouseClick(button, Qt::LeftButton); }

TEST(PtzPaneTest, PresetTilesSwitchOverAndPresetButtonsReport) {
    test::RecordingMessages messages;
    std::vector<Texts> calls;
    int result = 0;
    CPtzSimpleCtrl pane([&](const PtzTarget&, const Texts& texts) { return calls.push_back(texts), result; });
    for (int id : {ptz_ids::kAdd, ptz_ids::kCall, ptz_ids::kDelete}) Click(pane.Button(id));
    pane.SetTarget(0, "", 0);
    Click(pane.Button(ptz_ids::kCall));
    EXPECT_EQ(messages.shown, Texts({"无效的登录句柄！", "无效的登录句柄！", "无效的登录句柄！", "未选中预置位！"}));
    EXPECT_TRUE(calls.empty());

    // Lit tiles and the chosen preset after each click: clicking the chosen tile darkens it and
    // keeps the choice; clicking another switches the old one over, lighting it if it was dark.
    messages.shown.clear();
    std::string seen;
    for (int n : {0, 1, 2, 2, 2, 1, 1, 2, 3}) {
        if (n != 0) Click(pane.PresetButton(n));
        for (int tile = 1; tile <= 3; ++tile) seen += pane.PresetButton(tile)->Lit() ? '1' : '0';
        seen += ":" + std::to_string(pane.SelectedPreset()) + " ";
    }
    EXPECT_EQ(seen, "000:0 100:1 010:2 000:2 010:2 100:1 000:1 110:2 101:3 ");
    Click(pane.Button(ptz_ids::kAdd));
    EXPECT_EQ(calls[0], Texts{"{\"Cmd\": \"ReqPresetCtrl\",\"Content\" : {\"PresetCmd\": \"Set\",\"PresetID\" : 3,\"PresetName\" : \"Preset3\"}}"});
    result = 1;  // positive: a failure to add and delete, not to call
    Click(pane.Button(ptz_ids::kAdd));
    Click(pane.Button(ptz_ids::kCall));
    result = -5;
    Click(pane.Button(ptz_ids::kCall));
    messages.answer = false;
    Click(pane.Button(ptz_ids::kDelete));
    EXPECT_EQ(calls.size(), 4u);  // the refused delete sent nothing
    messages.answer = true;
    Click(pane.Button(ptz_ids::kDelete));
    EXPECT_EQ(calls.back(), Texts{BuildPresetRequest(kPresetDel, 3)});
    EXPECT_EQ(messages.shown, Texts({"添加预置位3成功。", "添加预置位3失败，返回错误码：1。", "调用预置位3失败，返回错误码：-5。",
                                     "确定要删除预置位3？", "确定要删除预置位3？", "删除预置位3失败，返回错误码：-5。"}));
    EXPECT_EQ(messages.titles, Texts({"删除", "删除"}));
}

// A held button whose camera refuses or cannot be reached says so once per gesture, after the
// release; Space on a focused button presses and releases it like the mouse.
TEST(PtzPaneTest, FailedGesturesAreReportedOnceAndSpaceActsAsAPress) {
    test::RecordingMessages messages;
    std::vector<Texts> calls;
    int result = -27;
    CPtzSimpleCtrl pane([&](const PtzTarget&, const Texts& texts) { return calls.push_back(texts), result; });
    pane.SetTarget(3, "127.0.0.1", 36666);
    QPushButton* zoomIn = pane.Button(ptz_ids::kZoomIn);
    QTest::mousePress(zoomIn, Qt::LeftButton);
    QTest::mouseRelease(zoomIn, Qt::LeftButton);
    QCoreApplication::processEvents();
    EXPECT_EQ(messages.shown, Texts{"返回错误码: -27"});
    EXPECT_EQ(calls.size(), 2u);

    messages.shown.clear();
    calls.clear();
    result = 0;
    zoomIn->setFocus();
    QTest::keyPress(zoomIn, Qt::Key_Space);
    QKeyEvent repeat(QEvent::KeyPress, Qt::Key_Space, Qt::NoModifier, " ", true);
    QCoreApplication::sendEvent(zoomIn, &repeat);  // holding the key sends nothing more
    QTest::keyRelease(zoomIn, Qt::Key_Space);
    QCoreApplication::processEvents();
    EXPECT_EQ(calls, (std::vector<Texts>{{BuildPtzRequest(kPtzZoomTele)},
                                         {BuildPtzRequest(kPtzStop), BuildPtzRequest(kPtzZoomStop)}}));
    EXPECT_TRUE(messages.shown.empty());
}

// Whether some pixel is within 40 of `colour`'s lightness: the antialiased text shows there.
bool Shows(const QImage& image, const QColor& colour) {
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (std::abs(image.pixelColor(x, y).lightness() - colour.lightness()) < 40) return true;
    return false;
}

TEST(PtzPaneTest, TileDrawsOnlyItsLight) {
    CRadiobuttonEx tile(QStringLiteral("2"));
    tile.resize(40, 30);
    const QImage unlit = tile.grab().toImage();
    EXPECT_EQ(unlit.pixelColor(0, 0), QColor(112, 112, 112));
    EXPECT_EQ(unlit.pixelColor(2, 2), QColor(241, 241, 241));
    EXPECT_TRUE(Shows(unlit, Qt::black));
    tile.setDown(true);
    EXPECT_EQ(tile.grab().toImage(), unlit);  // no pressed look
    tile.setDown(false);

    Click(&tile);
    const QImage lit = tile.grab().toImage();
    EXPECT_EQ(lit.pixelColor(39, 0), QColor(112, 112, 112));
    EXPECT_EQ(lit.pixelColor(2, 27), QColor(33, 177, 75));
    EXPECT_TRUE(Shows(lit, Qt::white));
}

TEST(PtzPaneTest, HeldButtonsAndPresetsReachTheCameraAsOneGestureEach) {
    test::RecordingMessages messages;
    char dir[] = "/tmp/velmora-ptz-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::atomic<int64_t> nowMs{0};  // the simulated camera's clock: a hold lasts exactly as long
    sim::UsbCameraConfig config;
    config.name = "cam01";
    config.model.clock = [&nowMs] { return sim::CameraModel::Clock::time_point(std::chrono::milliseconds(nowMs.load())); };
    sim::UsbServer server(dir, {config});
    ASSERT_EQ(server.Start(nullptr), 0);
    CUSBDevice usb(std::make_unique<SimHidBackend>(dir));
    usb.SetVendorFilter(0, nullptr);
    ASSERT_EQ(usb.RefreshDevices(), 1);
    UsbDeviceEntry camera{};
    ASSERT_TRUE(usb.GetDevice(0, camera));
    std::vector<Texts> calls;
    CPtzSimpleCtrl pane([&calls, send = MakeCameraPtzSender(usb)](const PtzTarget& target, const Texts& texts) {
        return calls.push_back(texts), send(target, texts);
    });
    pane.SetTarget(camera.handle, "", 0);
    pane.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&pane));
    QWindow* window = pane.windowHandle();
    const auto at = [&](int id) { return pane.Button(id)->mapTo(&pane, pane.Button(id)->rect().center()); };

    QTest::mousePress(window, Qt::LeftButton, {}, at(ptz_ids::kZoomIn));
    EXPECT_EQ(calls, std::vector<Texts>{{"{\"Cmd\":\"ReqPtzCtrl\",\"Content\":{\"PtzCmd\":\"ZoomTele\",\"ParamH\":4,\"ParamV\":4}}"}});
    nowMs += 2000;
    QTest::mouseRelease(window, Qt::LeftButton, {}, at(ptz_ids::kZoomIn));
    EXPECT_EQ(calls.back(), Texts({BuildPtzRequest(kPtzStop), BuildPtzRequest(kPtzZoomStop)}));
    EXPECT_EQ(server.Model(0).ZoomPosition(), 400);  // 4 x 50 units per second

    // Focus "－" held, dragged onto zoom "＋" and released there: leaving sends nothing, and the
    // release still belongs to the focus button.
    calls.clear();
    QTest::mousePress(window, Qt::LeftButton, {}, at(ptz_ids::kFocusNear));
    QTest::mouseMove(window, at(ptz_ids::kZoomIn));
    EXPECT_FALSE(pane.Button(ptz_ids::kFocusNear)->isDown());  // the button saw the pointer leave
    nowMs += 1000;
    QTest::mouseRelease(window, Qt::LeftButton, {}, at(ptz_ids::kZoomIn));
    EXPECT_EQ(calls, (std::vector<Texts>{{BuildPtzRequest(kPtzFocusNear)},
                                         {BuildPtzRequest(kPtzStop), BuildPtzRequest(kPtzFocusStop)}}));
    EXPECT_EQ(server.Model(0).FocusPosition(), 300);

    Click(pane.PresetButton(3));
    Click(pane.Button(ptz_ids::kAdd));
    EXPECT_EQ(server.Model(0).Preset(3)->zoom, 400);
    Click(pane.Button(ptz_ids::kDelete));
    Click(pane.Button(ptz_ids::kCall));  // deleted: the camera refuses

    // A network camera on a loopback port nobody listens on: the probe fails, nothing is sent.
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t len = sizeof addr;
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), len), 0);
    ASSERT_EQ(getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len), 0);
    close(fd);
    pane.SetTarget(3, "127.0.0.1", ntohs(addr.sin_port));
    Click(pane.Button(ptz_ids::kAdd));
    EXPECT_EQ(messages.shown, Texts({"添加预置位3成功。", "确定要删除预置位3？", "删除预置位3成功。",
                                     "调用预置位3失败，返回错误码：-25。", "添加预置位3失败，返回错误码：-27。"}));
    server.Stop();
    std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace velmora::ui
