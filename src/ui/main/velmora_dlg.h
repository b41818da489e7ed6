#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <QDialog>
#include <QPointer>
#include <QString>

#include "camera/camera_directory.h"
#include "ui/main/network_dialogs.h"
#include "transport/net/bsc_search.h"
#include "transport/usb/cusb_device.h"

class QAction;
class QLabel;
class QMenu;
class QMenuBar;
class QScrollArea;
class QTreeWidget;
class QTimer;
class QTreeWidgetItem;

// The program's main window "Lumivex": the device tree above the PTZ pane on the left, and on the
// right either the four live video panes (network mode) or the USB camera's parameter pages with
// their four buttons (USB mode). Menus: "通讯" (IP / USB), "配置", "画面" (1*1 / 2*2), "升级", and
// the About item after them.
//
// The window owns the camera directory (USB transport included), the pages' host, the panes and
// the PTZ pane; the current USB camera is the pages' host's, the current network camera the
// current pane's. It reads
// toolscfg.ini in the home folder when it is built and writes window size, mode and layout back
// when it goes. Every camera exchange is synchronous on the user-interface thread, as everywhere
// in the program; live video is decoded on the decoder's threads.
// Thread-bound: the user-interface thread.
namespace velmora::ui {

struct MainLayoutSizes;
class CPtzSimpleCtrl;
class UsbParamsHost;
class VideoPanes;
class PaneBackend;
class ParamPage;
struct PageSpec;

namespace main_ids {
inline constexpr int kTree = 1471;
inline constexpr int kInstruction = 1511;
inline constexpr int kAbout = 16;
inline constexpr int kMenuIp = 32818;
inline constexpr int kMenuUsb = 32819;
inline constexpr int kMenuConfig = 32815;
inline constexpr int kMenuLayout1 = 32822;
inline constexpr int kMenuLayout2 = 32823;
inline constexpr int kMenuUpgrade = 32830;
inline constexpr int kMenuRefreshList = 32824;
inline constexpr int kMenuCloseVideo = 32827;
inline constexpr int kMenuCloseAllVideo = 32828;
inline constexpr int kMenuCompareProfile = 32840;  // 工具 > 对比配置文件...
inline constexpr int kMenuReconnect = 32841;       // video menu > 重新连接
inline constexpr int kMenuSnapshot = 32842;        // video menu > 抓图
inline constexpr int kMenuAddDevice = 32843;       // device list menu > 添加设备... (network mode)
inline constexpr int kStartTimer = 1001;
// Menu-bar positions whose enabling depends on the mode.
inline constexpr int kPosConfig = 1;
inline constexpr int kPosLayout = 2;
inline constexpr int kPosUpgrade = 3;
inline constexpr int kPosTools = 4;  // 工具, always enabled
}  // namespace main_ids

// The library calls the window makes at start and at shutdown and for the LAN search; the
// default forwards to ORVEX_Init / ORVEX_Cleanup and the BSC_ functions, tests record them.
class MainSystem {
public:
    virtual ~MainSystem() = default;
    virtual int NetInit();
    virtual int NetCleanup();
    virtual int SearchInit();
    virtual int SearchCount();
    virtual int SearchDevices(transport::BSC_DeviceInfo* records, int* count);
    virtual int SearchDeInit();
    virtual int SetSearchTargets(const char* targets);
    // How many addresses the LAN search probes (BSC_GetTargetCount).
    virtual int SearchTargetCount();
};

// Which cameras the window shows: the two values are toolscfg.ini's SEARCH_MODE.
enum class CameraMode : int {
    Network = 0,  // the LAN search's cameras, live in the video panes
    Usb = 1,      // the USB cameras, one at a time in the parameter pages
};

// One device item of the tree.
struct DeviceNode {
    char address[32] = {};  // network mode: the camera's IPv4 text
    int32_t usbHandle = 0;  // USB mode: the device's handle
    char usbName[32] = {};  // USB mode: its DeviceName (CP936)
    std::string usbKey;     // USB mode: the camera's identity in the camera directory
    int misses = 0;         // network mode: searches in a row the camera did not answer
    uint16_t port = 36666;  // network mode: the camera protocol's port
    bool manual = false;    // network mode: added by hand (kept whatever the search says)
    QTreeWidgetItem* item = nullptr;
};

// What the window does on its own once the first search has run (the program's command-line
// options): open USB cameras by their position in the list, open network cameras in panes, and
// save pictures of the window in both modes and end.
struct StartupActions {
    std::vector<int> openUsb;          // 1-based positions in the USB device list
    std::vector<std::string> openIp;   // dotted IPv4 addresses
    std::string screenshotDir;         // empty: no pictures, the window stays open
    int pictureWaitMs = 15000;         // longest wait for the panes' first pictures
};

struct MainWindowSetup {
    std::string homeDir;                         // where toolscfg.ini and APP_LOG/ live; ends in '/'
    MainSystem* system = nullptr;                // null: the real libraries
    PaneBackend* paneBackend = nullptr;          // null: the real network library and decoder
    std::unique_ptr<transport::HidBackend> hid;  // null: the default HID backend
    int firstSearchDelayMs = 1000;               // the start-up timer; negative: no timer (tests)
    bool setUpLogging = true;                    // tests that run many windows in one process skip it
    // What tells the window of USB cameras plugged and unplugged while it is in USB mode; null:
    // the default watcher (the simulator's folder or udev).
    std::function<std::unique_ptr<transport::DeviceWatcher>()> makeWatcher;
    // Network mode: how often the tree asks the LAN search again (0: never).
    int networkRescanMs = 10000;
    // Network mode: after the tree is filled or asked again, how often it takes the search's
    // new answers as they come, for three seconds (0: never; the tree then changes only on a
    // refresh or a rescan).
    int answerPollMs = 200;
};

class CVelmoraDlg : public QDialog {
    Q_OBJECT

public:
    explicit CVelmoraDlg(MainWindowSetup setup, QWidget* parent = nullptr);
    ~CVelmoraDlg() override;

    // Rebuilds the device items for the current mode.
    void RefreshDeviceTree();
    // A USB camera plugged or unplugged (the camera directory's report, on the user-interface
    // thread): its tree item comes or goes; the current camera leaving disables the pages and
    // says so in the instruction line, and the same camera coming back is current again, its
    // pages read afresh.
    void OnUsbArrival(const camera::UsbArrival& event);
    // Network mode: asks the LAN search again and merges its answer into the tree: new cameras
    // are added, a camera that did not answer three searches in a row is greyed and one that did
    // not answer ten is removed (its pane, if one plays it, keeps playing). The rescan timer runs
    // it every MainWindowSetup::networkRescanMs while the window is in network mode.
    void RescanNetwork();
    // Network mode: adds the cameras the LAN search has heard since the tree was last filled,
    // without counting anyone's missed answers. Run every MainWindowSetup::answerPollMs for a
    // while after each fill and rescan, so answers show up as they arrive.
    void AddNewSearchAnswers();
    // Places every child for the current mode and `layout`.
    void LayoutMainWindow(int layout);
    // The menu commands.
    void SwitchToNetworkMode();
    void SwitchToUsbMode();
    void SetVideoLayout(int layout);
    void OpenImageParams();
    void OpenUpgrade();
    // 工具 > 对比配置文件...: the current USB camera in USB mode, the current pane's camera in
    // network mode.
    void OpenCompareProfile();
    // The double-click on a device item; the fixed items do nothing. False when `item` is not a
    // device item.
    bool OpenDeviceItem(QTreeWidgetItem* item);
    // Which context menu a right click at `globalPos` shows (none: nullptr); `contextPane`
    // receives the pane under it (-1 if none), as the commands of the video menu use it.
    QMenu* ContextMenuAt(const QPoint& globalPos);
    // The video menu's commands for the pane of the last right click.
    void CloseContextPane();
    void CloseAllPanes();
    // The shutdown steps (LAN search, panes, network library, USB devices, configuration); runs
    // once, from the destructor unless called before.
    void Shutdown();
    void SetStartupActions(StartupActions actions) { startup_ = std::move(actions); }
    // The "升级" command's window; by default the upgrade window over a copy of the device list.
    using UpgradeOpener = std::function<void(QWidget* parent, std::vector<transport::UsbDeviceEntry> devices)>;
    void SetUpgradeOpener(UpgradeOpener opener) { upgradeOpener_ = std::move(opener); }
    // What asks for a user name and password when a camera refuses them (-1008); by default the
    // login dialog. Nullopt: the user gave up.
    using LoginPrompt =
        std::function<std::optional<LoginAnswer>(QWidget* parent, const std::string& address, const std::string& user)>;
    void SetLoginPrompt(LoginPrompt prompt) { loginPrompt_ = std::move(prompt); }
    // What asks for a camera to add by hand; by default the add-device dialog.
    using DevicePrompt = std::function<std::optional<AddedDevice>(QWidget* parent)>;
    void SetDevicePrompt(DevicePrompt prompt) { devicePrompt_ = std::move(prompt); }

    // Network mode: logs in to the camera at `address`:`port` and plays it in `pane` (-1: the
    // pane the next camera goes to). A refused user name or password (-1008) offers the login
    // prompt and tries again with what was typed, until it plays or the prompt is cancelled.
    // Returns what the last try returned.
    int OpenNetworkCamera(const std::string& address, int port, int pane);
    // The video menu's "重新连接": the camera last opened in the context pane, in that pane.
    void ReconnectContextPane();
    // The video menu's "抓图": the context pane's picture as PNG in <home>snapshots/, named by
    // address and time; says where (or why not). Returns the file written, empty on failure.
    std::string SnapshotContextPane();
    // A double-click on pane i: enlarged to the whole video area, or back to its place.
    void TogglePaneEnlarged(int i);
    // The device list menu's "添加设备...": a camera the search cannot reach, remembered in
    // toolscfg.ini and listed in network mode from then on.
    void AddDeviceByHand();
    // The item under the tree's root saying that the LAN search found nothing (null otherwise).
    QTreeWidgetItem* NoneFoundItem() const { return noneFound_; }

    CameraMode Mode() const { return mode_; }
    int SearchMode() const { return static_cast<int>(mode_); }
    int VideoLayout() const { return layout_; }
    const std::string& ConfigPath() const { return configPath_; }
    const std::string& UserName() const { return user_; }
    const std::vector<DeviceNode>& DeviceNodes() const { return nodes_; }
    QTreeWidget* Tree() const { return tree_; }
    QTreeWidgetItem* FoundItem() const { return found_; }
    QMenuBar* MenuBar() const { return menuBar_; }
    QAction* MenuBarItem(int position) const;
    QMenu* DeviceListMenu() const { return deviceListMenu_; }
    QMenu* VideoMenu() const { return videoMenu_; }
    int ContextPane() const { return contextPane_; }
    VideoPanes& Panes() const { return *panes_; }
    CPtzSimpleCtrl* Ptz() const { return ptz_; }
    // USB mode's right-hand side: the pages, the four buttons and the instruction line scroll in it.
    QScrollArea* UsbScrollArea() const { return usbScroll_; }
    UsbParamsHost& UsbHost() const { return *usbHost_; }
    transport::CUSBDevice& Usb() const { return cameras_->Usb(); }
    // Where the window finds, opens and keeps its cameras.
    camera::CameraDirectory& Cameras() const { return *cameras_; }
    // Saves a picture of the whole window (menu bar included) as PNG. False on failure.
    bool SaveWindowPicture(const QString& path);

protected:
    void keyPressEvent(QKeyEvent* event) override;
    // The close box and the window manager's close: while streams play or an upgrade runs, the
    // window asks "确定退出？" first and stays open on "否".
    void closeEvent(QCloseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    // Closing the window also closes a context menu that is open: the menu runs a loop of its own,
    // which would otherwise keep the program running after the window has gone.
    void done(int result) override;

private:
    class ClientArea;
    friend class ClientArea;

    MainLayoutSizes ChildSizes() const;
    // The USB host's page of a kind, by its table.
    ParamPage* Page(const PageSpec& table) const;
    void BuildMenus();
    void BuildTree();
    void EnableMenusForMode();
    void ShowCurrentChoices();
    void OnClientResized(const QSize& size);
    void PaintClient(QPainter& painter);
    void OnFirstSearchTimer();
    // The USB items of the device tree from the last device search.
    void AddUsbItems();
    // The available area of the window's screen (empty when there is none), for ClampWindowSize.
    QSize AvailableArea() const;
    void RunStartupActions();
    void FinishStartupPictures();
    void ShowAbout();
    // Streams play in a pane or the upgrade window is open.
    bool Busy() const;

    std::string homeDir_;
    std::string configPath_;
    std::unique_ptr<MainSystem> ownSystem_;
    MainSystem* system_ = nullptr;
    std::unique_ptr<camera::CameraDirectory> cameras_;
    std::unique_ptr<PaneBackend> ownPaneBackend_;  // the panes' backend unless the setup gives one
    CameraMode mode_ = CameraMode::Usb;
    int layout_ = 2;
    std::string user_ = "admin";
    std::string password_ = "pelno";  // typed into the login prompt: kept in memory unless remembered
    std::vector<uint16_t> vendorIds_;

    QMenuBar* menuBar_ = nullptr;
    ClientArea* client_ = nullptr;
    QTreeWidget* tree_ = nullptr;
    QTreeWidgetItem* root_ = nullptr;
    QTreeWidgetItem* found_ = nullptr;
    std::vector<DeviceNode> nodes_;
    QMenu* deviceListMenu_ = nullptr;
    QMenu* videoMenu_ = nullptr;
    int contextPane_ = -1;
    std::unique_ptr<UsbParamsHost> usbHost_;
    std::unique_ptr<VideoPanes> panes_;
    CPtzSimpleCtrl* ptz_ = nullptr;
    QScrollArea* usbScroll_ = nullptr;
    QLabel* instruction_ = nullptr;
    UpgradeOpener upgradeOpener_;
    StartupActions startup_;
    QSize lastClientSize_;
    void StartWatchingUsb();
    void StartNetworkRescans();
    // Follows the search's answers for a while (AddNewSearchAnswers).
    void FollowSearchAnswers();
    std::vector<std::string> SearchedAddresses();
    void AddNetworkNode(const std::string& address);
    void SetInstruction(const QString& text);
    // Network mode: the tree's selection follows the current pane to its camera's item (none
    // selected when the pane plays no camera of the tree).
    void SelectTreeItemOfPane(const std::string& address);

    // Network mode: the cameras added by hand after the searched ones; the search's outcome.
    void AddManualNodes();
    void ShowSearchOutcome(bool foundAny);
    std::vector<std::pair<std::string, int>> manualDevices_;
    QTreeWidgetItem* noneFound_ = nullptr;
    QAction* addDevice_ = nullptr;
    LoginPrompt loginPrompt_;
    DevicePrompt devicePrompt_;

    std::function<std::unique_ptr<transport::DeviceWatcher>()> makeWatcher_;
    std::string leftKey_;  // the current camera that was unplugged, until it comes back
    QTimer* rescanTimer_ = nullptr;
    QTimer* answerTimer_ = nullptr;  // AddNewSearchAnswers while answers may still come
    int answerPollMs_ = 0;
    int answerPollsLeft_ = 0;
    int rescanMs_ = 10000;
    bool initialised_ = false;
    bool shutDown_ = false;
    bool upgradeOpen_ = false;
    bool quitWithoutAsking_ = false;
};

}  // namespace velmora::ui
