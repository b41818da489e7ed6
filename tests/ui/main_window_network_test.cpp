// The main window in network mode against simulated cameras: the login asked again after a
// refused password, a stream that ends, snapshots, cameras added by hand, the search that found
// nothing and the tree following the current pane.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

// Before Qt: the simulator names a member "forever", which Qt defines as a keyword.
#include "sim/net_cameras.h"

#include <QImage>
#include <QMenu>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeWidget>

#include "app/tools_config.h"
#include "platform/profile_file.h"
#include "ui/listed_lan_cameras.h"
#include "ui/main/video_panes.h"
#include "ui/main_window_fixture.h"
#include "ui/ui_test_support.h"

using namespace velmora::platform;
using namespace velmora::app;

namespace fs = std::filesystem;
using namespace velmora;
using namespace velmora::ui;
using namespace velmora::wire;

namespace {

class MainWindowNetworkTest : public ::testing::Test {
protected:
    void TearDown() override {
        window_.reset();
        if (net_) net_->Stop();
    }

    std::string Home() const { return home_.path().toStdString() + "/"; }

    // Network cameras on addresses of their own; `users` empty: admin / pelno.
    void ServeNet(const std::vector<std::string>& addresses, std::vector<velmora::sim::CameraUser> users = {}) {
        std::vector<sim::NetCameraConfig> configs;
        for (const std::string& address : addresses) {
            sim::NetCameraConfig c;
            c.address = address;
            c.answerSearch = false;
            c.width = 320;
            c.height = 240;
            c.users = users;
            c.model.identity = sim::CameraModel::DefaultIdentity(1);
            configs.push_back(std::move(c));
        }
        net_ = std::make_unique<sim::NetCameras>(std::move(configs));
        std::string error;
        ASSERT_EQ(net_->Start(&error), 0) << error;
    }

    CVelmoraDlg& OpenNetworkWindow() {
        window_ = test::OpenSimulatedWindow(Home(), system_);
        window_->resize(800, 560);
        window_->SwitchToNetworkMode();
        window_->Panes().SetCheckInterval(50);
        return *window_;
    }

    static bool Playing(CVelmoraDlg& w, int pane) {
        return QTest::qWaitFor([&] { return w.Panes().Widget(pane)->HasPicture(); }, 20000);
    }

    QTemporaryDir home_;
    test::RecordingMessages messages_;
    ListedLanCameras system_;
    std::unique_ptr<sim::NetCameras> net_;
    std::unique_ptr<CVelmoraDlg> window_;
};

mode_t ModeOf(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? (st.st_mode & 0777) : 0;
}

}  // namespace

// A refused password offers the login prompt; what is typed is tried at once and kept in memory
// only, unless "记住密码" was ticked: then toolscfg.ini holds it and is readable by its owner only.
TEST_F(MainWindowNetworkTest, ARefusedPasswordAsksAndRetriesWithWhatWasTyped) {
    ServeNet({"127.0.0.171", "127.0.0.172"}, {{"operator", "s3cret"}});
    system_.addresses = {"127.0.0.171", "127.0.0.172"};
    CVelmoraDlg& w = OpenNetworkWindow();
    std::vector<std::string> asked;
    LoginAnswer typed{"operator", "wrong", false};
    w.SetLoginPrompt([&](QWidget*, const std::string& address, const std::string& user) -> std::optional<LoginAnswer> {
        asked.push_back(address + " " + user);
        LoginAnswer answer = typed;
        typed.password = "s3cret";  // the second try is typed right
        return answer;
    });
    ASSERT_TRUE(w.OpenDeviceItem(w.DeviceNodes()[0].item));
    EXPECT_EQ(asked, (std::vector<std::string>{"127.0.0.171 admin", "127.0.0.171 operator"}));
    ASSERT_GE(w.Panes().Pane(0).session, 0);
    ASSERT_EQ(messages_.shown.size(), 2u);
    EXPECT_EQ(messages_.shown[0], "登录失败 错误码为-1008（用户名或密码错误）");
    EXPECT_EQ(w.UserName(), "operator");
    // Not remembered: the file has no password; the next camera logs in without asking.
    EXPECT_EQ(ProfileFile(w.ConfigPath()).GetString("LOGIN_INFO", "Password", "none"), "none");
    ASSERT_TRUE(w.OpenDeviceItem(w.DeviceNodes()[1].item));
    EXPECT_EQ(asked.size(), 2u);
    EXPECT_GE(w.Panes().Pane(1).session, 0);

    window_.reset();

    // A fresh run (admin / pelno again): cancelling leaves the pane empty with the failure said.
    CVelmoraDlg& fresh = OpenNetworkWindow();
    fresh.SetLoginPrompt([](QWidget*, const std::string&, const std::string&) { return std::nullopt; });
    EXPECT_EQ(fresh.OpenNetworkCamera("127.0.0.171", 36666, -1), ORVEX_ERR_AUTH);
    EXPECT_EQ(fresh.Panes().Pane(0).session, -1);

    // "记住密码": the file holds the password and is made readable by its owner only.
    ASSERT_EQ(::chmod(fresh.ConfigPath().c_str(), 0644) == 0 || !fs::exists(fresh.ConfigPath()), true);
    fresh.SetLoginPrompt([](QWidget*, const std::string&, const std::string&) {
        return std::optional<LoginAnswer>(LoginAnswer{"operator", "s3cret", true});
    });
    EXPECT_EQ(fresh.OpenNetworkCamera("127.0.0.171", 36666, -1), 0);
    EXPECT_EQ(ProfileFile(fresh.ConfigPath()).GetString("LOGIN_INFO", "Password", ""), "s3cret");
    EXPECT_EQ(ModeOf(fresh.ConfigPath()), 0600u);
    const std::string path = fresh.ConfigPath();
    window_.reset();  // saving the window size keeps the file private
    EXPECT_EQ(ModeOf(path), 0600u);
    EXPECT_TRUE(ToolsConfigFile(path).PermissionWarning().empty());
    ASSERT_EQ(::chmod(path.c_str(), 0640), 0);
    EXPECT_NE(ToolsConfigFile(path).PermissionWarning().find("0640"), std::string::npos);
    // The next run logs in with the remembered login.
    CVelmoraDlg& next = OpenNetworkWindow();
    EXPECT_EQ(next.UserName(), "operator");
    EXPECT_EQ(next.OpenNetworkCamera("127.0.0.172", 36666, -1), 0);
}

// A stream the camera ends greys its pane with "连接已断开"; nothing reconnects until "重新连接".
TEST_F(MainWindowNetworkTest, AnEndedStreamIsMarkedAndReconnectedOnlyWhenAsked) {
    ServeNet({"127.0.0.173"});
    system_.addresses = {"127.0.0.173"};
    CVelmoraDlg& w = OpenNetworkWindow();
    w.show();
    ASSERT_TRUE(w.OpenDeviceItem(w.DeviceNodes()[0].item));
    ASSERT_TRUE(Playing(w, 0));
    const int logins = net_->Server(0).LoginsAccepted();

    net_->Server(0).EndAllStreams();
    ASSERT_TRUE(QTest::qWaitFor([&] { return w.Panes().Lost(0); }, 10000));
    EXPECT_TRUE(w.Panes().Widget(0)->Disconnected());
    EXPECT_TRUE(w.Panes().Widget(0)->HasPicture());  // the last picture stays under the mark
    if (const char* dir = std::getenv("VELMORA_TEST_PICTURES"))
        w.SaveWindowPicture(QString::fromLocal8Bit(dir) + QStringLiteral("/main-ip-disconnected.png"));
    QTest::qWait(300);
    EXPECT_EQ(net_->Server(0).LoginsAccepted(), logins);  // no reconnect on its own

    const QPoint centre = w.Panes().Widget(0)->mapToGlobal(w.Panes().Widget(0)->rect().center());
    ASSERT_EQ(w.ContextMenuAt(centre), w.VideoMenu());
    QAction* reconnect = w.VideoMenu()->findChild<QAction*>(QString::number(main_ids::kMenuReconnect));
    ASSERT_NE(reconnect, nullptr);
    EXPECT_TRUE(reconnect->isEnabled());
    reconnect->trigger();
    EXPECT_FALSE(w.Panes().Lost(0));
    EXPECT_EQ(net_->Server(0).LoginsAccepted(), logins + 1);
    EXPECT_TRUE(Playing(w, 0));

    // A broken connection is marked the same way.
    net_->Server(0).DisconnectAll();
    EXPECT_TRUE(QTest::qWaitFor([&] { return w.Panes().Lost(0); }, 20000));
}

// "抓图" writes the pane's picture as PNG into <home>snapshots/, named by address and time, and
// says where; a double-click enlarges the pane and back; the tree follows the current pane.
TEST_F(MainWindowNetworkTest, SnapshotEnlargeAndTheTreeFollowingTheCurrentPane) {
    ServeNet({"127.0.0.174"});
    system_.addresses = {"127.0.0.174"};
    CVelmoraDlg& w = OpenNetworkWindow();
    w.show();
    ASSERT_TRUE(w.OpenDeviceItem(w.DeviceNodes()[0].item));
    ASSERT_TRUE(Playing(w, 0));
    EXPECT_EQ(w.Tree()->currentItem(), w.DeviceNodes()[0].item);
    w.Panes().SelectVideoPane(1);  // an empty pane: nothing of the tree is selected
    EXPECT_TRUE(w.Tree()->selectedItems().isEmpty());
    w.Panes().SelectVideoPane(0);
    EXPECT_EQ(w.Tree()->currentItem(), w.DeviceNodes()[0].item);
    EXPECT_TRUE(w.DeviceNodes()[0].item->isSelected());

    ASSERT_EQ(w.ContextMenuAt(w.Panes().Widget(0)->mapToGlobal(QPoint(20, 20))), w.VideoMenu());
    const std::string path = w.SnapshotContextPane();
    ASSERT_FALSE(path.empty()) << (messages_.shown.empty() ? "" : messages_.shown.back());
    EXPECT_EQ(path.rfind(Home() + "snapshots/127.0.0.174_", 0), 0u) << path;
    EXPECT_EQ(fs::path(path).extension(), ".png");
    QImage saved(QString::fromStdString(path));
    EXPECT_FALSE(saved.isNull());
    ASSERT_FALSE(messages_.shown.empty());
    EXPECT_NE(messages_.shown.back().find(path), std::string::npos);
    // An empty pane has no picture to save.
    ASSERT_EQ(w.ContextMenuAt(w.Panes().Widget(3)->mapToGlobal(QPoint(20, 20))), w.VideoMenu());
    EXPECT_FALSE(w.VideoMenu()->findChild<QAction*>(QString::number(main_ids::kMenuSnapshot))->isEnabled());
    EXPECT_TRUE(w.SnapshotContextPane().empty());

    const QRect before = w.Panes().Widget(0)->geometry();
    QTest::mouseDClick(w.Panes().Widget(0), Qt::LeftButton);
    EXPECT_GT(w.Panes().Widget(0)->width(), before.width());
    EXPECT_TRUE(w.Panes().Widget(1)->isHidden());
    EXPECT_EQ(w.VideoLayout(), 2);
    if (const char* dir = std::getenv("VELMORA_TEST_PICTURES"))
        w.SaveWindowPicture(QString::fromLocal8Bit(dir) + QStringLiteral("/main-ip-enlarged.png"));
    QTest::mouseDClick(w.Panes().Widget(0), Qt::LeftButton);
    EXPECT_EQ(w.Panes().Widget(0)->geometry(), before);
    EXPECT_FALSE(w.Panes().Widget(1)->isHidden());
}

// A search that finds nothing says so under the tree's root; a camera added by hand is listed,
// remembered in toolscfg.ini for the next run, and opened at its own port.
TEST_F(MainWindowNetworkTest, EmptySearchIsToldAndACameraAddedByHandIsRemembered) {
    system_.targets = 3;
    CVelmoraDlg& w = OpenNetworkWindow();
    ASSERT_NE(w.NoneFoundItem(), nullptr);
    EXPECT_EQ(w.NoneFoundItem()->text(0).toStdString(), "未找到设备：已搜索 3 个地址");
    EXPECT_EQ(w.NoneFoundItem()->parent(), w.Tree()->topLevelItem(0));
    EXPECT_EQ(w.FoundItem()->childCount(), 0);
    if (const char* dir = std::getenv("VELMORA_TEST_PICTURES"))
        w.SaveWindowPicture(QString::fromLocal8Bit(dir) + QStringLiteral("/main-ip-none-found.png"));
    QAction* add = w.DeviceListMenu()->findChild<QAction*>(QString::number(main_ids::kMenuAddDevice));
    ASSERT_NE(add, nullptr);
    ASSERT_EQ(w.ContextMenuAt(w.Tree()->mapToGlobal(QPoint(5, 5))), w.DeviceListMenu());
    EXPECT_TRUE(add->isVisible());

    w.SetDevicePrompt([](QWidget*) { return AddedDevice{"127.0.0.175", 36667}; });
    add->trigger();
    w.AddDeviceByHand();  // the same camera again is not listed twice
    ASSERT_EQ(w.DeviceNodes().size(), 1u);
    EXPECT_TRUE(w.DeviceNodes()[0].manual);
    EXPECT_EQ(w.DeviceNodes()[0].port, 36667);
    EXPECT_EQ(ToolsConfigFile(w.ConfigPath()).Devices(), std::vector<std::string>{"127.0.0.175:36667"});
    w.RescanNetwork();  // still nothing searched: the camera added by hand stays
    for (int i = 0; i < 10; ++i) w.RescanNetwork();
    EXPECT_EQ(w.DeviceNodes().size(), 1u);

    // The next run lists it from the file; a search finding a camera removes the "nothing" item.
    window_.reset();
    system_.addresses = {"127.0.0.176"};
    CVelmoraDlg& again = OpenNetworkWindow();
    EXPECT_EQ(again.NoneFoundItem(), nullptr);
    ASSERT_EQ(again.DeviceNodes().size(), 2u);
    EXPECT_EQ(std::string(again.DeviceNodes()[1].address), "127.0.0.175");
    // Opening it logs in at its port (nobody answers there: the reason is said).
    EXPECT_EQ(again.OpenNetworkCamera("127.0.0.175", 36667, -1), ORVEX_ERR_CONNECT);
    ASSERT_FALSE(messages_.shown.empty());
    EXPECT_EQ(messages_.shown.back(), "登录失败 错误码为-1004（该地址没有相机应答）");
    // In USB mode the tree offers no "添加设备...".
    again.SwitchToUsbMode();
    again.ContextMenuAt(again.Tree()->mapToGlobal(QPoint(5, 5)));
    EXPECT_FALSE(again.DeviceListMenu()->findChild<QAction*>(QString::number(main_ids::kMenuAddDevice))->isVisible());
    EXPECT_EQ(again.NoneFoundItem(), nullptr);
}
