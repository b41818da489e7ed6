// The main window: its layout arithmetic, configuration round trip, modes and menus, the device
// tree against simulated USB cameras, a network camera playing in a pane, and the shutdown order.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

// Before Qt: the simulator names a member "forever", which Qt defines as a keyword.
#include "protocol/field_by_name.h"
#include "sim/net_cameras.h"
#include "sim/usb_server.h"
#include "integration/sim_usb_cameras.h"

#include <QAction>
#include <QApplication>
#include <QContextMenuEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QSlider>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>

#include "platform/profile_file.h"
#include "platform/version.h"
#include "transport/net/orvex_sdk.h"
#include "ui/controls/ptz_simple_ctrl.h"
#include "ui/main/main_layout.h"
#include "ui/main/velmora_dlg.h"
#include "ui/listed_lan_cameras.h"
#include "ui/main/video_panes.h"
#include "ui/params/picture_page.h"
#include "ui/params/shutter_table.h"
#include "ui/params/usb_params_host.h"
#include "ui/params/white_balance_page.h"
#include "ui/main_window_fixture.h"
#include "ui/ui_test_support.h"

using namespace velmora::platform;
using namespace velmora::protocol;
using namespace velmora::transport;

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using namespace velmora;
using namespace velmora::ui;

namespace {

// Records the library calls of the window in order; the LAN search reports `addresses`.
class RecordingSystem : public ListedLanCameras {
public:
    explicit RecordingSystem(std::vector<std::string>* log) : log_(log) {}
    int NetInit() override { return Note("NetInit") + ORVEX_Init(0); }
    int NetCleanup() override { return Note("NetCleanup") + ORVEX_Cleanup(); }
    int SearchInit() override { return Note("SearchInit"); }
    int SearchDeInit() override { return Note("SearchDeInit"); }

private:
    int Note(const char* what) {
        log_->push_back(what);
        return 0;
    }
    std::vector<std::string>* log_;
};

// Forwards to the real libraries and records the closing calls.
class RecordingPanes : public PaneBackend {
public:
    explicit RecordingPanes(std::vector<std::string>* log) : log_(log) {}
    int LogIn(const LoginInfo& info, std::shared_ptr<velmora::camera::NetCamera>& camera) override {
        return DefaultPaneBackend().LogIn(info, camera);
    }
    int LastError() override { return DefaultPaneBackend().LastError(); }
    int StartRealPlay(int session, int stream, ORVEX_RealDataCallback cb, void* user) override {
        return DefaultPaneBackend().StartRealPlay(session, stream, cb, user);
    }
    int StopRealPlay(int handle) override {
        log_->push_back("StopRealPlay");
        return DefaultPaneBackend().StopRealPlay(handle);
    }
    void LogOut(const velmora::camera::NetCamera& camera) override {
        log_->push_back("LogOut");
        DefaultPaneBackend().LogOut(camera);
    }
    int OpenStream() override { return DefaultPaneBackend().OpenStream(); }
    int PlayEx(int port, FrameSink* sink) override { return DefaultPaneBackend().PlayEx(port, sink); }
    int VideoClose(int port) override {
        log_->push_back("VideoClose");
        return DefaultPaneBackend().VideoClose(port);
    }

private:
    std::vector<std::string>* log_;
};

class MainWindowTest : public ::testing::Test {
protected:
    void TearDown() override {
        window_.reset();
        ShutterTable::Shared().Reset();
        WbModeTable::Shared().Clear();
        if (usb_) usb_->Stop();
        if (net_) net_->Stop();
    }

    std::string Home() const { return home_.path().toStdString() + "/"; }

    void ServeUsb(int count) {
        std::vector<sim::UsbCameraConfig> cams;
        for (int i = 1; i <= count; ++i) cams.push_back(testsim::NumberedUsbCamera(i));
        fs::create_directories(Home() + "usb");
        usb_ = std::make_unique<sim::UsbServer>(Home() + "usb", std::move(cams));
        std::string error;
        ASSERT_EQ(usb_->Start(&error), 0) << error;
    }

    // A network camera on the camera port of an address of its own.
    void ServeNet(const std::string& address) {
        sim::NetCameraConfig c;
        c.address = address;
        c.answerSearch = false;
        c.width = 320;
        c.height = 240;
        c.model.identity = sim::CameraModel::DefaultIdentity(1);
        std::vector<sim::NetCameraConfig> configs;
        configs.push_back(std::move(c));
        net_ = std::make_unique<sim::NetCameras>(std::move(configs));
        std::string error;
        ASSERT_EQ(net_->Start(&error), 0) << error;
    }

    CVelmoraDlg& Open(bool followPlugging = false, int answerPollMs = 0) {
        window_ = test::OpenSimulatedWindow(Home(), system_, &panes_, followPlugging, answerPollMs);
        return *window_;
    }

    QTemporaryDir home_;
    test::RecordingMessages messages_;
    std::vector<std::string> calls_;
    RecordingSystem system_{&calls_};
    RecordingPanes panes_{&calls_};
    std::unique_ptr<sim::UsbServer> usb_;
    std::unique_ptr<sim::NetCameras> net_;
    std::unique_ptr<CVelmoraDlg> window_;
};

}  // namespace

TEST(MainLayout, UsbModePlacesTheButtonsRightToLeftAndThePagesInTwoColumns) {
    MainLayoutSizes s;
    s.usbMode = true;
    s.client = {1000, 700};
    s.ptz = {200, 250};
    s.instruction = {300, 20};
    s.restore = {80, 24};
    s.refresh = {40, 24};
    s.exportButton = {60, 24};
    s.importButton = {60, 24};
    s.picture = {300, 150};
    s.whiteBalance = {300, 200};
    s.enhance = {300, 120};
    s.exposure = {320, 260};
    s.focus = {320, 110};
    s.video = {320, 90};
    const MainLayoutRects r = ComputeMainLayout(s);
    EXPECT_EQ(r.ptz, QRect(0, 450, 200, 250));
    EXPECT_EQ(r.tree, QRect(0, 0, 200, 450));
    EXPECT_EQ(r.instruction, QRect(700, 670, 300, 20));
    EXPECT_EQ(r.restore, QRect(910, 636, 80, 24));
    EXPECT_EQ(r.refresh, QRect(860, 636, 40, 24));
    EXPECT_EQ(r.exportButton, QRect(780, 636, 60, 24));
    EXPECT_EQ(r.importButton, QRect(710, 636, 60, 24));
    EXPECT_EQ(r.picture, QRect(210, 10, 300, 150));
    EXPECT_EQ(r.whiteBalance, QRect(210, 160, 300, 200));
    EXPECT_EQ(r.enhance, QRect(210, 360, 300, 120));
    EXPECT_EQ(r.exposure, QRect(510, 10, 320, 260));
    EXPECT_EQ(r.focus, QRect(510, 270, 320, 110));
    EXPECT_EQ(r.video, QRect(510, 380, 320, 90));

    s.usbMode = false;
    const MainLayoutRects n = ComputeMainLayout(s);
    EXPECT_EQ(n.ptz, r.ptz);
    EXPECT_EQ(n.tree, r.tree);
    EXPECT_TRUE(n.picture.isNull());
}

TEST_F(MainWindowTest, FirstRunDefaultsAndTheConfigurationWrittenOnClose) {
    CVelmoraDlg& w = Open();
    EXPECT_EQ(w.windowTitle(), "Lumivex");
    EXPECT_EQ(w.SearchMode(), 1);
    EXPECT_EQ(w.VideoLayout(), 2);
    EXPECT_EQ(w.UserName(), "admin");
    // USB mode: "配置" and "画面" grey, "升级" enabled; the pages show, the panes do not.
    EXPECT_TRUE(w.MenuBarItem(0)->isEnabled());
    EXPECT_FALSE(w.MenuBarItem(main_ids::kPosConfig)->isEnabled());
    EXPECT_FALSE(w.MenuBarItem(main_ids::kPosLayout)->isEnabled());
    EXPECT_TRUE(w.MenuBarItem(main_ids::kPosUpgrade)->isEnabled());
    EXPECT_FALSE(w.UsbHost().Picture()->isHidden());
    EXPECT_TRUE(w.Panes().Widget(0)->isHidden());
    EXPECT_TRUE(w.FoundItem()->isExpanded());
    w.resize(777, 555);  // within the test screen (800 x 600): a stored size is clamped to it
    const std::string path = w.ConfigPath();
    window_.reset();

    std::ifstream in(path);
    std::string text((std::istreambuf_iterator<char>(in)), {});
    EXPECT_NE(text.find("[WIN_SIZE]"), std::string::npos) << text;
    EXPECT_NE(text.find("[SEARCH_MODE]"), std::string::npos);
    EXPECT_NE(text.find("[WINS_MODE]"), std::string::npos);
    EXPECT_EQ(text.find("LOGIN_INFO"), std::string::npos);
    EXPECT_EQ(ProfileFile(path).GetInt("WIN_SIZE", "Width", 0), 777);
    EXPECT_EQ(ProfileFile(path).GetInt("WIN_SIZE", "Height", 0), 555);

    // The next run comes back in that size, mode and layout; other lines stay.
    ASSERT_TRUE(ProfileFile(path).WriteString("SEARCH_MODE", "Mode", "0"));
    ASSERT_TRUE(ProfileFile(path).WriteString("WINS_MODE", "Mode", "1"));
    ASSERT_TRUE(ProfileFile(path).WriteString("LOGIN_INFO", "Username", "operator"));
    CVelmoraDlg& again = Open();
    EXPECT_EQ(again.size(), QSize(777, 555));
    EXPECT_EQ(again.SearchMode(), 0);
    EXPECT_EQ(again.VideoLayout(), 1);
    EXPECT_EQ(again.UserName(), "operator");
    EXPECT_TRUE(again.MenuBarItem(main_ids::kPosConfig)->isEnabled());
    EXPECT_FALSE(again.MenuBarItem(main_ids::kPosUpgrade)->isEnabled());
    window_.reset();
    EXPECT_EQ(ProfileFile(path).GetString("LOGIN_INFO", "Username", ""), "operator");
}

TEST(MainLayout, StoredWindowSizesAreClampedToTheScreenAndAUsableMinimum) {
    const QSize screen(1920, 1040);
    EXPECT_EQ(ClampWindowSize({99999999, 99999999}, screen), screen);
    EXPECT_EQ(ClampWindowSize({1, 1}, screen), kMinimumWindowSize);
    EXPECT_EQ(ClampWindowSize({1000, 700}, screen), QSize(1000, 700));
    EXPECT_EQ(ClampWindowSize({5000, 1}, QSize()), QSize(5000, kMinimumWindowSize.height()));
    EXPECT_EQ(ClampWindowSize({5000, 5000}, QSize(300, 200)), kMinimumWindowSize);  // a tiny screen
}

TEST_F(MainWindowTest, AHandEditedWindowSizeIsClampedOnLoadAndOnSave) {
    const std::string path = Home() + "toolscfg.ini";
    ASSERT_TRUE(ProfileFile(path).WriteString("WIN_SIZE", "Width", "99999999"));
    ASSERT_TRUE(ProfileFile(path).WriteString("WIN_SIZE", "Height", "1"));
    CVelmoraDlg& w = Open();
    const QSize available = w.screen()->availableGeometry().size();
    EXPECT_EQ(w.size(), QSize(available.width(), kMinimumWindowSize.height()));
    w.resize(2, 2);
    window_.reset();
    EXPECT_EQ(ProfileFile(path).GetInt("WIN_SIZE", "Width", 0), kMinimumWindowSize.width());
    EXPECT_EQ(ProfileFile(path).GetInt("WIN_SIZE", "Height", 0), kMinimumWindowSize.height());
}

// The right-click menu runs a loop of its own: closing the window while it is open must end
// that loop too, or the program would stay in the menu after its window had gone.
TEST_F(MainWindowTest, ClosingTheWindowClosesAnOpenContextMenu) {
    CVelmoraDlg& w = Open();
    w.show();
    const QPoint inTree = w.Tree()->mapToGlobal(w.Tree()->rect().center());
    ASSERT_EQ(w.ContextMenuAt(inTree), w.DeviceListMenu());
    bool menuOutlivedTheWindow = false;
    QTimer::singleShot(100, &w, [&w] { w.close(); });
    QTimer guard;  // ends the menu when the window did not; gone with the test
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, [&] {
        menuOutlivedTheWindow = w.DeviceListMenu()->isVisible();
        w.DeviceListMenu()->close();
    });
    guard.start(3000);
    QContextMenuEvent event(QContextMenuEvent::Mouse, w.mapFromGlobal(inTree), inTree);
    QApplication::sendEvent(&w, &event);  // returns when the menu's loop ends
    EXPECT_FALSE(menuOutlivedTheWindow);
    EXPECT_FALSE(w.isVisible());
}

// The tree numbers the cameras as `velmora-cli list` does: a device node that cannot be opened
// keeps its place with its error. Names are the camera's own text, shown whole outside CP936 and
// with controls and bidirectional marks escaped, so a name cannot fake a second entry.
TEST_F(MainWindowTest, UsbTreeKeepsEveryNodeInPlaceAndShowsCameraNamesSafely) {
    ServeUsb(2);
    sim::CameraIdentity id = usb_->Model(0).Identity();
    id.deviceName = "Cam\r\nFake\u202E\U0001F600\u00F1\u00DF";
    usb_->Model(0).SetIdentity(id);
    // A socket nobody listens on sorts first, like a hidraw node without the udev rule.
    const std::string dead = Home() + "usb/cam00.sock";
    const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, dead.c_str(), dead.size() + 1);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ::close(fd);
    std::ofstream(Home() + "usb/cam00.json") << R"({"vendor_id": 5891, "product_id": 4660, "output_report_length": 65})";

    CVelmoraDlg& w = Open();
    w.RefreshDeviceTree();
    ASSERT_EQ(w.FoundItem()->childCount(), 3);
    ASSERT_EQ(w.DeviceNodes().size(), 3u);
    EXPECT_EQ(w.FoundItem()->child(0)->text(0).toStdString(), "无法打开设备 (错误码 -304)");
    EXPECT_EQ(w.FoundItem()->child(1)->text(0).toStdString(), "Cam\\x0d\\x0aFake\\xe2\\x80\\xae\U0001F600\u00F1\u00DF");
    EXPECT_EQ(w.FoundItem()->child(2)->text(0).toStdString(), "模拟相机2");
    // Opening the node that could not be opened says so instead of doing nothing.
    EXPECT_TRUE(w.OpenDeviceItem(w.FoundItem()->child(0)));
    EXPECT_EQ(messages_.shown, std::vector<std::string>{"获取图像参数失败: -304."});
}

TEST_F(MainWindowTest, UsbTreeRefreshKeepsOneNodePerItemAndADoubleClickFillsThePages) {
    ServeUsb(2);
    usb_->Model(1).Set("Luminance", 91);
    CVelmoraDlg& w = Open();
    w.RefreshDeviceTree();
    w.RefreshDeviceTree();
    ASSERT_EQ(w.DeviceNodes().size(), 2u);
    EXPECT_EQ(w.FoundItem()->childCount(), 2);
    for (size_t i = 0; i < 2; ++i) EXPECT_EQ(w.DeviceNodes()[i].item, w.FoundItem()->child(static_cast<int>(i)));
    // Two cameras of one name are told apart by the tooltip: model, serial, firmware version.
    const QString tip = w.DeviceNodes()[1].item->toolTip(0);
    EXPECT_TRUE(tip.contains(QString::fromStdString(w.DeviceNodes()[1].usbKey))) << tip.toStdString();
    EXPECT_TRUE(tip.contains(QStringLiteral("固件版本"))) << tip.toStdString();
    // The identity `list` prints: model, serial, BIOS version and build date.
    EXPECT_TRUE(tip.contains(QStringLiteral("VMC-U2000")) && tip.contains(QStringLiteral("VMS202400002")) &&
                tip.contains(QStringLiteral("1.02")) && tip.contains(QStringLiteral("2024-05-20")))
        << tip.toStdString();

    // Nothing is current yet: the pages and buttons are disabled.
    EXPECT_FALSE(w.UsbHost().Picture()->isEnabled());
    EXPECT_FALSE(w.UsbHost().Button(param_action_ids::kRestoreButton)->isEnabled());
    // Fixed items do nothing; the second camera's values reach the pages.
    EXPECT_FALSE(w.OpenDeviceItem(w.FoundItem()));
    ASSERT_TRUE(w.OpenDeviceItem(w.DeviceNodes()[1].item));
    EXPECT_TRUE(messages_.shown.empty()) << messages_.shown.front();
    EXPECT_EQ(w.UsbHost().CurrentHandle(), w.DeviceNodes()[1].usbHandle);
    EXPECT_EQ(w.UsbHost().Picture()->Value(picture_ids::kBrightnessSlider), 91);
    EXPECT_EQ(w.Ptz()->Target().handle, w.DeviceNodes()[1].usbHandle);
    EXPECT_EQ(w.Ptz()->Target().port, 0);
    EXPECT_TRUE(w.UsbHost().Button(param_action_ids::kRefreshButton)->isEnabled());
    EXPECT_TRUE(w.UsbHost().Picture()->isEnabled());

    // A page change goes to that camera at once.
    EXPECT_EQ(w.UsbHost().Picture()->SendField(Field("Luminance"), 33), 0);
    EXPECT_EQ(usb_->Model(1).Get("Luminance"), 33);
    EXPECT_NE(usb_->Model(0).Get("Luminance"), 33);

    // "升级" hands the upgrade window a copy of the device list; a camera it rebooted (its handle
    // closed) is no longer current.
    size_t handedIn = 0;
    w.SetUpgradeOpener([&](QWidget*, std::vector<UsbDeviceEntry> devices) {
        handedIn = devices.size();
        w.Usb().CloseDevice(w.DeviceNodes()[1].usbHandle);
    });
    w.OpenUpgrade();
    EXPECT_EQ(handedIn, 2u);
    EXPECT_EQ(w.UsbHost().CurrentHandle(), 0);

    // A refresh forgets the current camera: the pages and the four buttons are disabled again,
    // show no values, and the instruction line asks for a double-click.
    w.RefreshDeviceTree();
    EXPECT_EQ(w.UsbHost().CurrentHandle(), 0);
    EXPECT_FALSE(w.UsbHost().Button(param_action_ids::kRefreshButton)->isEnabled());
    EXPECT_FALSE(w.UsbHost().Button(param_action_ids::kRestoreButton)->isEnabled());
    EXPECT_FALSE(w.UsbHost().Picture()->isEnabled());
    EXPECT_TRUE(w.UsbHost().Picture()->Edit(picture_ids::kBrightnessSlider)->text().isEmpty());
    auto* instruction = w.findChild<QLabel*>(QString::number(main_ids::kInstruction));
    EXPECT_EQ(instruction->text().toStdString(), "操作说明：双击设备节点以获取视频参数。");
    if (const char* dir = std::getenv("VELMORA_TEST_PICTURES"))
        w.SaveWindowPicture(QString::fromLocal8Bit(dir) + QStringLiteral("/main-usb-no-camera.png"));
}

// The tree follows cameras plugged and unplugged without a refresh; the current camera leaving
// disables the pages and says which left, and coming back makes it current again.
TEST_F(MainWindowTest, UsbTreeFollowsPluggingAndTheCurrentCameraComesBack) {
    fs::create_directories(Home() + "usb");
    CVelmoraDlg& w = Open(true);
    w.SwitchToUsbMode();
    EXPECT_TRUE(w.DeviceNodes().empty());
    ServeUsb(2);
    auto waitFor = [&](auto done) {
        for (int i = 0; i < 500 && !done(); ++i) QTest::qWait(10);
        return done();
    };
    ASSERT_TRUE(waitFor([&] { return w.DeviceNodes().size() == 2; }));
    EXPECT_EQ(w.FoundItem()->childCount(), 2);
    const DeviceNode first = w.DeviceNodes()[0];
    EXPECT_FALSE(first.usbKey.empty());
    ASSERT_TRUE(w.OpenDeviceItem(first.item));
    ASSERT_NE(w.UsbHost().CurrentHandle(), 0);

    usb_->Stop();  // both unplugged, the current one among them
    ASSERT_TRUE(waitFor([&] { return w.DeviceNodes().empty(); }));
    EXPECT_EQ(w.UsbHost().CurrentHandle(), 0);
    EXPECT_FALSE(w.UsbHost().Picture()->isEnabled());
    EXPECT_FALSE(w.UsbHost().Button(param_action_ids::kRefreshButton)->isEnabled());
    EXPECT_EQ(w.UsbHost().Picture()->SendField(Field("Luminance"), 40), 0);  // nothing is sent
    auto* instruction = w.findChild<QLabel*>(QString::number(main_ids::kInstruction));
    ASSERT_NE(instruction, nullptr);
    EXPECT_TRUE(instruction->text().contains(QString::fromStdString(first.usbKey))) << instruction->text().toStdString();
    if (const char* dir = std::getenv("VELMORA_TEST_PICTURES"))
        w.SaveWindowPicture(QString::fromLocal8Bit(dir) + QStringLiteral("/main-usb-camera-left.png"));

    std::string error;
    usb_->Model(0).Set("Luminance", 64);
    ASSERT_EQ(usb_->Start(&error), 0) << error;
    ASSERT_TRUE(waitFor([&] { return w.UsbHost().CurrentHandle() != 0; }));
    EXPECT_TRUE(w.UsbHost().Picture()->isEnabled());
    EXPECT_EQ(instruction->text().toStdString(), "操作说明：双击设备节点以获取视频参数。");
    EXPECT_EQ(w.UsbHost().Picture()->Value(picture_ids::kBrightnessSlider), 64);  // read afresh
    EXPECT_EQ(w.UsbHost().CurrentCamera(), w.Cameras().UsbCameraByKey(first.usbKey));
    EXPECT_TRUE(messages_.shown.empty()) << messages_.shown.front();
}

// Network mode asks the LAN search again: a camera that stops answering is greyed after three
// searches and removed after ten, one that answers again is shown as before, new ones are added.
TEST_F(MainWindowTest, NetworkTreeGreysThenDropsACameraThatStopsAnswering) {
    system_.addresses = {"127.0.0.61", "127.0.0.62", "127.0.0.64"};
    CVelmoraDlg& w = Open();
    w.SwitchToNetworkMode();
    ASSERT_EQ(w.DeviceNodes().size(), 3u);
    auto node = [&](const char* address) -> const DeviceNode* {
        for (const DeviceNode& n : w.DeviceNodes())
            if (std::string(n.address) == address) return &n;
        return nullptr;
    };
    auto grey = [&](const char* address) { return !node(address)->item->toolTip(0).isEmpty(); };

    system_.addresses = {"127.0.0.61", "127.0.0.63"};
    w.RescanNetwork();
    w.RescanNetwork();
    ASSERT_NE(node("127.0.0.63"), nullptr);  // a new camera is added at once
    EXPECT_FALSE(grey("127.0.0.62"));
    w.RescanNetwork();
    EXPECT_TRUE(grey("127.0.0.62"));
    EXPECT_TRUE(grey("127.0.0.64"));
    EXPECT_FALSE(grey("127.0.0.61"));

    system_.addresses = {"127.0.0.61", "127.0.0.63", "127.0.0.64"};  // .64 answers again
    w.RescanNetwork();
    EXPECT_FALSE(grey("127.0.0.64"));
    for (int i = 0; i < 5; ++i) w.RescanNetwork();
    ASSERT_NE(node("127.0.0.62"), nullptr);  // nine searches without an answer
    w.RescanNetwork();
    EXPECT_EQ(node("127.0.0.62"), nullptr);
    EXPECT_EQ(w.DeviceNodes().size(), 3u);
    EXPECT_EQ(w.FoundItem()->childCount(), 3);
}

// Answers that reach the LAN search after the tree was filled show up as they arrive, without a
// refresh or a rescan, and without counting a miss against cameras that answered before.
TEST_F(MainWindowTest, LateSearchAnswersAreAddedAsTheyArrive) {
    system_.addresses = {"127.0.0.61"};
    CVelmoraDlg& w = Open(false, 20);
    w.SwitchToNetworkMode();
    ASSERT_EQ(w.DeviceNodes().size(), 1u);
    system_.addresses = {"127.0.0.61", "127.0.0.63"};
    EXPECT_TRUE(QTest::qWaitFor([&] { return w.DeviceNodes().size() == 2u; }, 2000));
    system_.addresses = {"127.0.0.63"};  // .61 falls silent: only a rescan counts that
    QTest::qWait(100);
    ASSERT_EQ(w.DeviceNodes().size(), 2u);
    for (const DeviceNode& n : w.DeviceNodes()) EXPECT_EQ(n.misses, 0) << n.address;
}

// The menus show what is in force: the mode and the layout are checked items, one per menu.
TEST_F(MainWindowTest, TheModeAndTheLayoutInForceAreChecked) {
    CVelmoraDlg& w = Open();
    auto checked = [&](int id) { return w.MenuBar()->findChild<QAction*>(QString::number(id))->isChecked(); };
    EXPECT_TRUE(checked(main_ids::kMenuUsb));  // the defaults: USB, 2*2
    EXPECT_FALSE(checked(main_ids::kMenuIp));
    EXPECT_TRUE(checked(main_ids::kMenuLayout2));
    w.SwitchToNetworkMode();
    w.SetVideoLayout(1);
    EXPECT_TRUE(checked(main_ids::kMenuIp));
    EXPECT_FALSE(checked(main_ids::kMenuUsb));
    EXPECT_TRUE(checked(main_ids::kMenuLayout1));
    EXPECT_FALSE(checked(main_ids::kMenuLayout2));
    // Choosing the item already in force keeps it checked.
    w.MenuBar()->findChild<QAction*>(QString::number(main_ids::kMenuIp))->trigger();
    EXPECT_TRUE(checked(main_ids::kMenuIp));
}

TEST_F(MainWindowTest, NetworkCameraPlaysInAPaneAndShutdownRunsInOrder) {
    ServeNet("127.0.0.161");
    system_.addresses = {"127.0.0.161"};
    CVelmoraDlg& w = Open();
    w.SwitchToNetworkMode();
    EXPECT_TRUE(w.UsbHost().Picture()->isHidden());
    EXPECT_FALSE(w.Panes().Widget(3)->isHidden());
    ASSERT_EQ(w.DeviceNodes().size(), 1u);
    EXPECT_EQ(w.FoundItem()->child(0)->text(0), "127.0.0.161");

    // "配置" with no session in the current pane.
    w.OpenImageParams();
    ASSERT_EQ(messages_.shown.size(), 1u);
    EXPECT_EQ(messages_.shown[0], "未选中！");

    ASSERT_TRUE(w.OpenDeviceItem(w.DeviceNodes()[0].item));
    ASSERT_GE(w.Panes().Pane(0).session, 0) << (messages_.shown.empty() ? "" : messages_.shown.back());
    EXPECT_EQ(w.Ptz()->Target().handle, w.Panes().Pane(0).session);
    EXPECT_EQ(w.Ptz()->Target().address, "127.0.0.161");
    EXPECT_TRUE(QTest::qWaitFor([&] { return w.Panes().Widget(0)->HasPicture(); }, 20000));

    // Layout changes leave the stream running; a current pane that 1*1 hides gives way to pane 0.
    w.Panes().SelectVideoPane(2);
    w.SetVideoLayout(1);
    EXPECT_EQ(w.Panes().CurrentPane(), 0);
    EXPECT_EQ(w.Ptz()->Target().handle, w.Panes().Pane(0).session);
    // The context menu finds the pane and the tree.
    EXPECT_GE(w.Panes().Pane(0).session, 0);
    EXPECT_TRUE(w.Panes().Widget(1)->isHidden());
    const QPoint paneCentre = w.Panes().Widget(0)->mapToGlobal(w.Panes().Widget(0)->rect().center());
    EXPECT_EQ(w.ContextMenuAt(paneCentre), w.VideoMenu());
    EXPECT_EQ(w.ContextPane(), 0);
    EXPECT_EQ(w.ContextMenuAt(w.Tree()->mapToGlobal(QPoint(5, 5))), w.DeviceListMenu());
    EXPECT_EQ(w.ContextPane(), -1);
    EXPECT_EQ(w.ContextMenuAt(w.Ptz()->mapToGlobal(QPoint(5, 5))), nullptr);

    calls_.clear();
    w.Shutdown();
    const std::vector<std::string> expected{"SearchDeInit", "VideoClose", "StopRealPlay", "LogOut", "NetCleanup"};
    EXPECT_EQ(calls_, expected);
    EXPECT_EQ(ProfileFile(w.ConfigPath()).GetInt("SEARCH_MODE", "Mode", -1), 0);
    EXPECT_EQ(ProfileFile(w.ConfigPath()).GetInt("WINS_MODE", "Mode", -1), 1);
}

TEST_F(MainWindowTest, SwitchingToUsbClosesThePanesOfTheLayoutAndEnterDoesNotClose) {
    ServeNet("127.0.0.162");
    system_.addresses = {"127.0.0.162"};
    CVelmoraDlg& w = Open();
    w.SwitchToNetworkMode();
    ASSERT_TRUE(w.OpenDeviceItem(w.DeviceNodes()[0].item));
    ASSERT_GE(w.Panes().Pane(0).session, 0);
    w.show();
    QTest::keyClick(&w, Qt::Key_Return);
    EXPECT_TRUE(w.isVisible());
    calls_.clear();
    w.SwitchToUsbMode();
    EXPECT_EQ(w.Panes().Pane(0).session, -1);
    EXPECT_EQ(calls_, (std::vector<std::string>{"VideoClose", "StopRealPlay", "LogOut"}));
    EXPECT_FALSE(w.MenuBarItem(main_ids::kPosConfig)->isEnabled());
    // In USB mode the hidden panes offer no video menu.
    const QPoint pagePoint = w.UsbHost().Picture()->mapToGlobal(QPoint(10, 10));
    EXPECT_EQ(w.ContextMenuAt(pagePoint), nullptr);
}

// The About box keeps its text and button, and shows the build's version under the text.
TEST_F(MainWindowTest, AboutBoxShowsTheVersionUnderItsText) {
    CVelmoraDlg& w = Open();
    QAction* about = nullptr;
    for (QAction* a : w.findChildren<QAction*>())
        if (a->text() == QStringLiteral("关于 Velmora(&A)...")) about = a;
    ASSERT_NE(about, nullptr);
    QStringList texts;
    QTimer::singleShot(0, [&texts] {
        QWidget* box = QApplication::activeModalWidget();
        if (box == nullptr) return;
        for (QLabel* label : box->findChildren<QLabel*>())
            if (!label->text().isEmpty()) texts << label->text();
        for (QPushButton* button : box->findChildren<QPushButton*>()) texts << button->text();
        if (const char* dir = std::getenv("VELMORA_PICTURES")) box->grab().save(QString(dir) + "/about-box.png");
        box->close();
    });
    about->trigger();
    EXPECT_EQ(texts, (QStringList{QStringLiteral("Velmora，1.0 版"), QStringLiteral("版本 ") + QString::fromStdString(VersionText()),
                                  QStringLiteral("确定")}));
}

namespace {

// Esc leaves the window open; the close box closes it at once when nothing plays, and asks
// "确定退出？" while a stream plays, staying open on "否".
TEST_F(MainWindowTest, EscDoesNotCloseAndClosingWhileAStreamPlaysAsksFirst) {
    ServeNet("127.0.0.66");
    system_.addresses = {"127.0.0.66"};
    CVelmoraDlg& w = Open();
    w.SwitchToNetworkMode();
    w.show();
    QTest::keyClick(&w, Qt::Key_Escape);
    EXPECT_TRUE(w.isVisible());
    EXPECT_TRUE(w.close());
    EXPECT_TRUE(messages_.shown.empty());

    w.show();
    ASSERT_TRUE(w.OpenDeviceItem(w.DeviceNodes()[0].item));
    ASSERT_GE(w.Panes().Pane(0).session, 0);
    QTest::keyClick(&w, Qt::Key_Escape);
    EXPECT_TRUE(w.isVisible());
    EXPECT_TRUE(messages_.shown.empty());
    messages_.answer = false;
    EXPECT_FALSE(w.close());
    EXPECT_TRUE(w.isVisible());
    EXPECT_EQ(messages_.shown, (std::vector<std::string>{"确定退出？"}));
    EXPECT_GE(w.Panes().Pane(0).session, 0);  // still playing
    messages_.answer = true;
    EXPECT_TRUE(w.close());
    EXPECT_FALSE(w.isVisible());
    EXPECT_EQ(messages_.shown.size(), 2u);

    // While the upgrade window is open the question comes too.
    w.CloseAllPanes();
    w.show();
    messages_.answer = false;
    bool closedDuringUpgrade = true;
    w.SetUpgradeOpener([&](QWidget*, std::vector<UsbDeviceEntry>) { closedDuringUpgrade = w.close(); });
    w.OpenUpgrade();
    EXPECT_FALSE(closedDuringUpgrade);
    EXPECT_EQ(messages_.shown.size(), 3u);
    EXPECT_TRUE(w.close());  // the upgrade window has gone, no pane plays: no question
    EXPECT_EQ(messages_.shown.size(), 3u);
}

// Widgets of one parent whose rectangles overlap, named for the failure message.
std::vector<std::string> Overlaps(const QWidget* parent) {
    std::vector<QWidget*> shown;
    for (QWidget* child : parent->findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
        if (!child->isHidden()) shown.push_back(child);
    std::vector<std::string> found;
    for (size_t i = 0; i < shown.size(); ++i)
        for (size_t j = i + 1; j < shown.size(); ++j)
            if (shown[i]->geometry().intersects(shown[j]->geometry()))
                found.push_back(shown[i]->objectName().toStdString() + " / " + shown[j]->objectName().toStdString());
    return found;
}

// At 1000x600 the USB pages, their buttons and the instruction line keep their places inside a
// scroll area (nothing drawn over anything) and can be scrolled into view; a large window shows
// them without scrolling, and network mode hides the scroll area.
TEST_F(MainWindowTest, UsbPagesScrollInASmallWindowWithoutOverlapping) {
    CVelmoraDlg& w = Open();
    w.show();
    EXPECT_GE(w.minimumWidth(), kMinimumWindowSize.width());
    EXPECT_GE(w.minimumHeight(), kMinimumWindowSize.height());
    w.resize(1000, 600);
    QApplication::processEvents();
    QScrollArea* scroll = w.UsbScrollArea();
    ASSERT_TRUE(scroll->isVisible());
    QWidget* client = scroll->parentWidget();
    EXPECT_EQ(Overlaps(client), std::vector<std::string>{});
    EXPECT_EQ(Overlaps(scroll->widget()), std::vector<std::string>{});
    EXPECT_TRUE(client->rect().contains(scroll->geometry()));
    EXPECT_GT(scroll->verticalScrollBar()->maximum(), 0);
    // Everything lies inside the scrolled content, so every part can be reached.
    for (QWidget* child : scroll->widget()->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
        if (child->isHidden()) continue;
        EXPECT_TRUE(scroll->widget()->rect().contains(child->geometry())) << child->objectName().toStdString();
    }

    w.resize(1600, 1000);
    QApplication::processEvents();
    EXPECT_EQ(scroll->verticalScrollBar()->maximum(), 0);
    EXPECT_EQ(scroll->horizontalScrollBar()->maximum(), 0);
    EXPECT_EQ(Overlaps(scroll->widget()), std::vector<std::string>{});

    w.SwitchToNetworkMode();
    EXPECT_FALSE(scroll->isVisible());
    EXPECT_EQ(Overlaps(client), std::vector<std::string>{});
}

}  // namespace
