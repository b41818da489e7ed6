// The PTZ pane: the texts a held button sends and their grouping, preset choice and preset
// messages, the tiles' look, and the road to a simulated USB camera and an unreachable network one.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>

#include "sim/usb_server.h"

#include <QGroupBox>
#include <QLabel>
#include <QTest>

#include "protocol/requests.h"
#include "transport/usb/cusb_device.h"
#include "transport/usb/sim_hid_backend.h"
#include "ui/controls/ptz_simple_ctrl.h"
#include "ui/params/dialog_units.h"
#include "ui/ui_test_support.h"

namespace velmora::ui {
namespace {

using Texts = std::vector<std::string>;

struct RecordingSender {
    std::vector<Texts> calls;
    int result = 0;
    PtzSender Sender() {
        return [this](const PtzTarget&, const Texts& texts) {
            calls.push_back(texts);
            return result;
        };
    }
};

Texts Ptz(std::initializer_list<const char*> commands) {
    Texts texts;
    for (const char* command : commands) texts.push_back(BuildPtzRequest(command));
    return texts;
}

std::string LitTiles(const CPtzSimpleCtrl& pane) {
    std::string lit;
    for (int n = 1; n <= 3; ++n) lit += pane.PresetButton(n)->Lit() ? '1' : '0';
    return lit;
}

void Click(QPushButton* button) { QTest::mouseClick(button, Qt::LeftButton); }

TEST(PtzPaneTest, ControlsCarryTheirIdsNamesAndPlace) {
    CPtzSimpleCtrl pane(nullptr);
    EXPECT_EQ(pane.size(), ToPixels(DuRect{0, 0, 117, 125}, BaseUnitsOf(pane.font())).size());
    const struct { int id; const char* text; const char* name; } controls[] = {
        {ptz_ids::kZoomOut, "－", "变倍－"}, {ptz_ids::kZoomIn, "＋", "变倍＋"},
        {ptz_ids::kFocusNear, "－", "聚焦－"}, {ptz_ids::kFocusFar, "＋", "聚焦＋"},
        {ptz_ids::kPreset1, "1", "预置位1"}, {ptz_ids::kPreset2, "2", "预置位2"},
        {ptz_ids::kPreset3, "3", "预置位3"}, {ptz_ids::kAdd, "添加", "添加"},
        {ptz_ids::kCall, "调用", "调用"}, {ptz_ids::kDelete, "删除", "删除"}};
    for (const auto& c : controls) {
        QPushButton* button = pane.Button(c.id);
        ASSERT_NE(button, nullptr) << c.id;
        EXPECT_EQ(button->objectName(), QString::number(c.id));
        EXPECT_EQ(button->text(), QString::fromUtf8(c.text));
        EXPECT_EQ(button->accessibleName(), QString::fromUtf8(c.name));
        const QRect placed(button->mapTo(&pane, QPoint(0, 0)), button->size());
        EXPECT_TRUE(pane.rect().contains(placed)) << c.id;
    }
    EXPECT_EQ(pane.Button(1246), nullptr);
    EXPECT_EQ(pane.PresetButton(4), nullptr);
    const QList<QLabel*> labels = pane.findChildren<QLabel*>();
    ASSERT_EQ(labels.size(), 2);
    EXPECT_EQ(labels[0]->buddy(), pane.Button(ptz_ids::kZoomOut));
    EXPECT_EQ(labels[1]->buddy(), pane.Button(ptz_ids::kFocusNear));
    EXPECT_EQ(pane.findChild<QGroupBox*>()->title(), "预置位");

    pane.SetTarget(5, std::string(40, '1'), 36666);
    EXPECT_EQ(pane.Target().address, std::string(32, '1'));
}

TEST(PtzPaneTest, HeldButtonMovesAndItsReleaseStopsInOneGesture) {
    RecordingSender sender;
    CPtzSimpleCtrl pane(sender.Sender());
    pane.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&pane));
    QWindow* window = pane.windowHandle();
    const auto centre = [&](int id) {
        QPushButton* button = pane.Button(id);
        return button->mapTo(&pane, button->rect().center());
    };
    QTest::mousePress(window, Qt::LeftButton, {}, centre(ptz_ids::kZoomIn));
    QTest::mouseRelease(window, Qt::LeftButton, {}, centre(ptz_ids::kZoomIn));
    EXPECT_TRUE(sender.calls.empty());  // no camera yet

    pane.SetTarget(2, "", 0);
    QTest::mousePress(window, Qt::LeftButton, {}, centre(ptz_ids::kZoomIn));
    ASSERT_EQ(sender.calls.size(), 1u);
    EXPECT_EQ(sender.calls[0], Texts{"{\"Cmd\":\"ReqPtzCtrl\",\"Content\":{\"PtzCmd\":\"ZoomTele\",\"ParamH\":4,\"ParamV\":4}}"});
    QTest::mouseRelease(window, Qt::LeftButton, {}, centre(ptz_ids::kZoomIn));
    EXPECT_EQ(sender.calls.size(), 2u);
    EXPECT_EQ(sender.calls.back(), Ptz({kPtzStop, kPtzZoomStop}));

    // Focus "－" held, dragged onto zoom "＋" and released there: leaving sends nothing, and the
    // release still belongs to the focus button.
    sender.calls.clear();
    QTest::mousePress(window, Qt::LeftButton, {}, centre(ptz_ids::kFocusNear));
    QTest::mouseMove(window, centre(ptz_ids::kZoomIn));
    EXPECT_FALSE(pane.Button(ptz_ids::kFocusNear)->isDown());  // the button saw the pointer leave
    EXPECT_EQ(sender.calls.size(), 1u);
    QTest::mouseRelease(window, Qt::LeftButton, {}, centre(ptz_ids::kZoomIn));
    EXPECT_EQ(sender.calls, (std::vector<Texts>{Ptz({kPtzFocusNear}), Ptz({kPtzStop, kPtzFocusStop})}));
}

TEST(PtzPaneTest, PresetTilesSwitchOverRatherThanSet) {
    CPtzSimpleCtrl pane(nullptr);
    EXPECT_EQ(LitTiles(pane), "000");
    EXPECT_EQ(pane.SelectedPreset(), 0);
    Click(pane.PresetButton(1));
    Click(pane.PresetButton(2));
    EXPECT_EQ(LitTiles(pane), "010");
    Click(pane.PresetButton(2));  // dark, still chosen
    EXPECT_EQ(LitTiles(pane), "000");
    EXPECT_EQ(pane.SelectedPreset(), 2);
    Click(pane.PresetButton(2));
    EXPECT_EQ(LitTiles(pane), "010");

    CPtzSimpleCtrl other(nullptr);
    for (int n : {1, 1, 2}) Click(other.PresetButton(n));
    EXPECT_EQ(LitTiles(other), "110");
    EXPECT_EQ(other.SelectedPreset(), 2);
}

TEST(PtzPaneTest, PresetButtonsCheckSendAndReport) {
    test::RecordingMessages messages;
    RecordingSender sender;
    CPtzSimpleCtrl pane(sender.Sender());
    for (int id : {ptz_ids::kAdd, ptz_ids::kCall, ptz_ids::kDelete}) Click(pane.Button(id));
    pane.SetTarget(0, "", 0);
    Click(pane.Button(ptz_ids::kCall));
    EXPECT_EQ(messages.shown, Texts({"无效的登录句柄！", "无效的登录句柄！", "无效的登录句柄！", "未选中预置位！"}));
    EXPECT_TRUE(sender.calls.empty());

    messages.shown.clear();
    Click(pane.PresetButton(3));
    Click(pane.Button(ptz_ids::kAdd));
    ASSERT_EQ(sender.calls.size(), 1u);
    EXPECT_EQ(sender.calls[0], Texts{"{\"Cmd\": \"ReqPresetCtrl\",\"Content\" : {\"PresetCmd\": \"Set\",\"PresetID\" : 3,\"PresetName\" : \"Preset3\"}}"});
    sender.result = 1;  // positive: a failure to add and delete, not to call
    Click(pane.Button(ptz_ids::kAdd));
    Click(pane.Button(ptz_ids::kCall));
    sender.result = -5;
    Click(pane.Button(ptz_ids::kCall));
    messages.answer = false;
    Click(pane.Button(ptz_ids::kDelete));
    EXPECT_EQ(sender.calls.size(), 4u);  // the unanswered delete sent nothing
    messages.answer = true;
    Click(pane.Button(ptz_ids::kDelete));
    EXPECT_EQ(sender.calls.back(), Texts{BuildPresetRequest(kPresetDel, 3)});
    EXPECT_EQ(messages.shown, Texts({"添加预置位3成功。", "添加预置位3失败，返回错误码：1。", "调用预置位3失败，返回错误码：-5。",
                                     "确定要删除预置位3？", "确定要删除预置位3？", "删除预置位3失败，返回错误码：-5。"}));
}

TEST(PtzPaneTest, TileDrawsOnlyItsLight) {
    CRadiobuttonEx tile(QStringLiteral("2"));
    tile.resize(40, 30);
    // The darkest and the brightest pixel inside the frame: the text's colour shows in one of them.
    const auto extremes = [](const QImage& image) {
        int darkest = 255, brightest = 0;
        for (int y = 1; y < image.height() - 1; ++y) {
            for (int x = 1; x < image.width() - 1; ++x) {
                darkest = std::min(darkest, qGray(image.pixel(x, y)));
                brightest = std::max(brightest, qGray(image.pixel(x, y)));
            }
        }
        return std::pair{darkest, brightest};
    };
    const QImage unlit = tile.grab().toImage();
    EXPECT_EQ(unlit.pixelColor(0, 0), CRadiobuttonEx::kBorder);
    EXPECT_EQ(unlit.pixelColor(39, 29), CRadiobuttonEx::kBorder);
    EXPECT_EQ(unlit.pixelColor(2, 2), QColor(241, 241, 241));
    EXPECT_LT(extremes(unlit).first, 64);  // black text
    tile.setDown(true);
    EXPECT_EQ(tile.grab().toImage(), unlit);  // no pressed look
    tile.setDown(false);

    Click(&tile);
    ASSERT_TRUE(tile.Lit());
    const QImage lit = tile.grab().toImage();
    EXPECT_EQ(lit.pixelColor(39, 0), CRadiobuttonEx::kBorder);
    EXPECT_EQ(lit.pixelColor(2, 27), QColor(33, 177, 75));
    EXPECT_GT(extremes(lit).second, 200);  // white text
    Click(&tile);
    EXPECT_EQ(tile.grab().toImage(), unlit);

    // A text wider than the tile stays on its one line: the upper and lower thirds are bare.
    tile.setText(QStringLiteral("预置位预置位预置位"));
    tile.resize(30, 3 * tile.fontMetrics().height());
    const QImage clipped = tile.grab().toImage();
    for (int y = 1; y < clipped.height() / 3; ++y) {
        EXPECT_EQ(clipped.pixelColor(15, y), CRadiobuttonEx::kUnlitFill);
        EXPECT_EQ(clipped.pixelColor(15, clipped.height() - 1 - y), CRadiobuttonEx::kUnlitFill);
    }
    EXPECT_LT(extremes(clipped).first, 64);
}

// A port on 127.0.0.1 that nothing listens on.
int ClosedPort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        ADD_FAILURE() << "no loopback port";
    }
    close(fd);
    return ntohs(addr.sin_port);
}

TEST(PtzPaneTest, CameraSenderReachesUsbCameraAndProbesNetworkCamera) {
    test::RecordingMessages messages;
    char tmpl[] = "/tmp/velmora-ptz-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const std::string dir = tmpl;
    std::atomic<int64_t> nowMs{0};  // the simulated camera's clock: movements last exactly as long
    sim::UsbCameraConfig config;
    config.name = "cam01";
    config.model.identity = sim::CameraModel::DefaultIdentity(1);
    config.model.clock = [&nowMs] { return sim::CameraModel::Clock::time_point(std::chrono::milliseconds(nowMs.load())); };
    sim::UsbServer server(dir, {config});
    std::string error;
    ASSERT_EQ(server.Start(&error), 0) << error;
    CUSBDevice usb(std::make_unique<SimHidBackend>(dir));
    usb.SetVendorFilter(0, nullptr);
    ASSERT_EQ(usb.RefreshDevices(), 1);
    UsbDeviceEntry entry{};
    ASSERT_TRUE(usb.GetDevice(0, entry));

    CPtzSimpleCtrl pane(MakeCameraPtzSender(usb));
    pane.SetTarget(entry.handle, "", 0);
    const auto hold = [&](int id, int ms) {
        QTest::mousePress(pane.Button(id), Qt::LeftButton);
        nowMs += ms;
        QTest::mouseRelease(pane.Button(id), Qt::LeftButton);
    };
    hold(ptz_ids::kZoomIn, 2000);  // 4 x 50 units per second
    EXPECT_EQ(server.Model(0).ZoomPosition(), 400);
    Click(pane.PresetButton(3));
    Click(pane.Button(ptz_ids::kAdd));
    hold(ptz_ids::kZoomOut, 1000);
    EXPECT_EQ(server.Model(0).ZoomPosition(), 200);
    Click(pane.Button(ptz_ids::kCall));
    EXPECT_EQ(server.Model(0).ZoomPosition(), 400);
    Click(pane.Button(ptz_ids::kDelete));
    EXPECT_FALSE(server.Model(0).Preset(3).has_value());
    Click(pane.Button(ptz_ids::kCall));
    EXPECT_EQ(messages.shown, Texts({"添加预置位3成功。", "确定要删除预置位3？", "删除预置位3成功。",
                                     "调用预置位3失败，返回错误码：-25。"}));

    // A network camera whose port does not answer: nothing is sent, the probe's -27 is shown.
    messages.shown.clear();
    pane.SetTarget(3, "127.0.0.1", ClosedPort());
    hold(ptz_ids::kFocusFar, 0);
    Click(pane.Button(ptz_ids::kAdd));
    EXPECT_EQ(messages.shown, Texts{"添加预置位3失败，返回错误码：-27。"});

    server.Stop();
    std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace velmora::ui
