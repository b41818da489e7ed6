#include "ui/main/velmora_dlg.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>

#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QBuffer>
#include <QCloseEvent>
#include <QDateTime>
#include <QContextMenuEvent>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QStyle>
#include <QTimer>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "app/logging_setup.h"
#include "app/tools_config.h"
#include "camera/net_session.h"
#include "camera/usb_camera.h"
#include "platform/atomic_file.h"
#include "platform/codepage.h"
#include "platform/display_text.h"
#include "platform/profile_file.h"
#include "platform/text.h"
#include "platform/user_messages.h"
#include "platform/version.h"
#include "platform/zeb_log.h"
#include "transport/net/orvex_sdk.h"
#include "ui/controls/ptz_simple_ctrl.h"
#include "ui/main/app_icon.h"
#include "ui/main/compare_profile_dlg.h"
#include "ui/main/main_layout.h"
#include "ui/main/video_panes.h"
#include "ui/common/dialog_units.h"
#include "ui/common/ui_text.h"
#include "ui/params/image_params_dlg.h"
#include "ui/params/enhance_page.h"
#include "ui/params/exposure_page.h"
#include "ui/params/focus_page.h"
#include "ui/params/others_page.h"
#include "ui/params/param_page.h"
#include "ui/params/picture_page.h"
#include "ui/params/video_page.h"
#include "ui/params/white_balance_page.h"
#include "ui/params/usb_params_host.h"
#include "ui/upgrade/upgrade_dlg.h"

namespace velmora::ui {

namespace {

constexpr const char kNothingSelected[] = "未选中！";
constexpr const char kQuitQuestion[] = "确定退出？";
constexpr const char kInstructionText[] = QT_TRANSLATE_NOOP("velmora", "操作说明：双击设备节点以获取视频参数。");
constexpr int kTemplateWidthDu = 473;
constexpr int kTemplateHeightDu = 308;
constexpr int kInstructionWidthDu = 172;
constexpr int kInstructionHeightDu = 13;
constexpr int kMaxLanCameras = 20;
// Network mode: a camera missing from this many searches in a row is greyed, then removed.
constexpr int kGreyAfterMisses = 3;
constexpr int kRemoveAfterMisses = 10;
// After the tree is filled or the search asked again, how long new answers are taken as they come.
constexpr int kAnswerFollowMs = 3000;
constexpr uint16_t kCameraPort = 36666;

// A USB camera's name as it sent it (UTF-8, whole outside CP936), with controls, bidirectional
// marks and broken UTF-8 escaped: a name cannot fake a second tree entry.
QString CameraName(const transport::UsbDeviceEntry& entry) {
    return QString::fromStdString(
        platform::EscapeForDisplay(platform::FieldText(entry.displayName, sizeof entry.displayName)));
}

// What tells two cameras of one name apart: model, serial, firmware version and build date,
// escaped; the identity `velmora-cli list` prints.
QString CameraDetails(const transport::UsbDeviceEntry& entry) {
    auto text = [](const char* field, size_t size) {
        return QString::fromStdString(platform::EscapeForDisplay(platform::FieldText(field, size)));
    };
    return CVelmoraDlg::tr("型号：%1\n序列号：%2\n固件版本：%3\n编译日期：%4")
        .arg(text(entry.productModel, sizeof entry.productModel), text(entry.serial, sizeof entry.serial),
             text(entry.biosVersion, sizeof entry.biosVersion), text(entry.buildDate, sizeof entry.buildDate));
}

}  // namespace

int MainSystem::NetInit() { return transport::ORVEX_Init(0); }
int MainSystem::NetCleanup() { return transport::ORVEX_Cleanup(); }
int MainSystem::SearchInit() { return transport::BSC_Init(); }
int MainSystem::SearchCount() { return transport::BSC_GetNum(); }
int MainSystem::SearchDevices(transport::BSC_DeviceInfo* records, int* count) { return BSC_GetDevInfo(records, count); }
int MainSystem::SearchDeInit() { return transport::BSC_DeInit(); }
int MainSystem::SetSearchTargets(const char* targets) { return transport::BSC_SetSearchTargets(targets); }
int MainSystem::SearchTargetCount() { return transport::BSC_GetTargetCount(); }

// The client area below the menu bar: it tells the window of its resizes and lets it paint the
// pane borders.
class CVelmoraDlg::ClientArea : public QWidget {
public:
    ClientArea(CVelmoraDlg* owner) : QWidget(owner), owner_(owner) { setObjectName(QStringLiteral("client")); }

protected:
    void resizeEvent(QResizeEvent* event) override {
        QWidget::resizeEvent(event);
        owner_->OnClientResized(size());
    }
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        owner_->PaintClient(painter);
    }

private:
    CVelmoraDlg* owner_;
};

// The About box: the icon, "Velmora，1.0 版" with the build's version under it, and "确定".
class CAboutDlg : public QDialog {
public:
    explicit CAboutDlg(QWidget* parent) : QDialog(parent) {
        setWindowTitle(CVelmoraDlg::tr("关于 Velmora"));
        auto* icon = new QLabel(this);
        icon->setPixmap(VelmoraIcon().pixmap(48, 48));
        auto* text = new QLabel(CVelmoraDlg::tr("Velmora，1.0 版"), this);
        auto* version = new QLabel(CVelmoraDlg::tr("版本 %1").arg(QString::fromStdString(platform::VersionText())), this);
        version->setObjectName(QStringLiteral("version"));
        version->setTextInteractionFlags(Qt::TextSelectableByMouse);
        auto* ok = new QPushButton(CVelmoraDlg::tr("确定"), this);
        ok->setAccessibleName(ok->text());
        ok->setDefault(true);
        connect(ok, &QPushButton::clicked, this, &QDialog::accept);
        auto* row = new QHBoxLayout;
        row->addWidget(icon);
        auto* texts = new QVBoxLayout;
        texts->addWidget(text);
        texts->addWidget(version);
        row->addLayout(texts, 1);
        auto* column = new QVBoxLayout(this);
        column->addLayout(row);
        column->addWidget(ok, 0, Qt::AlignRight);
    }
};

CVelmoraDlg::CVelmoraDlg(MainWindowSetup setup, QWidget* parent) : QDialog(parent) {
    setWindowTitle(QStringLiteral("Lumivex"));
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinMaxButtonsHint |
                   Qt::WindowCloseButtonHint);
    setSizeGripEnabled(true);
    // Below this the tree, the PTZ pane and the scrolled pages are no longer usable.
    setMinimumSize(kMinimumWindowSize);
    if (setup.system) {
        system_ = setup.system;
    } else {
        ownSystem_ = std::make_unique<MainSystem>();
        system_ = ownSystem_.get();
    }
    cameras_ = std::make_unique<camera::CameraDirectory>(setup.hid ? std::move(setup.hid)
                                                                   : transport::MakeDefaultHidBackend());
    makeWatcher_ = std::move(setup.makeWatcher);
    // In network mode the tree asks the LAN search again every rescan period.
    rescanTimer_ = new QTimer(this);
    connect(rescanTimer_, &QTimer::timeout, this, [this] { RescanNetwork(); });
    rescanMs_ = setup.networkRescanMs;
    answerTimer_ = new QTimer(this);
    connect(answerTimer_, &QTimer::timeout, this, [this] {
        AddNewSearchAnswers();
        if (--answerPollsLeft_ <= 0) answerTimer_->stop();
    });
    answerPollMs_ = setup.answerPollMs;

    BuildMenus();
    setWindowIcon(VelmoraIcon());

    // Home folder, logging, configuration.
    homeDir_ = setup.homeDir.empty() ? std::string("./") : setup.homeDir;
    if (homeDir_.back() != '/') homeDir_ += '/';
    configPath_ = homeDir_ + "toolscfg.ini";
    const platform::ProfileFile profile(configPath_);
    if (setup.setUpLogging) app::SetUpLogging(homeDir_, app::ReadLogLevel(profile));
    app::ToolsConfig config{};
    if (app::ToolsConfigFile(configPath_).Load(config) == 1) {
        mode_ = config.searchMode == 0 ? CameraMode::Network : CameraMode::Usb;
        layout_ = config.layout;
        user_ = platform::FieldText(config.userName, sizeof config.userName);
        password_ = platform::FieldText(config.password, sizeof config.password);
        vendorIds_.assign(config.vendorIds, config.vendorIds + std::clamp(config.vendorIdCount, 0, 10));
    }
    // A password in a file others may read is worth a word in the log.
    const std::string permissions = app::ToolsConfigFile(configPath_).PermissionWarning();
    if (!permissions.empty()) platform::LogLine(3, {}, "%s", permissions.c_str());
    for (const std::string& entry : app::ToolsConfigFile(configPath_).Devices()) {
        const size_t colon = entry.rfind(':');
        const std::string address = entry.substr(0, colon);
        const int port = colon == std::string::npos ? kCameraPort : std::atoi(entry.c_str() + colon + 1);
        if (camera::IsDottedIPv4(address) && port > 0 && port <= 65535) manualDevices_.emplace_back(address, port);
        else platform::LogLine(3, {}, "toolscfg.ini: device '%s' is not a.b.c.d:port, skipped", entry.c_str());
    }
    loginPrompt_ = AskLoginWithDialog;
    devicePrompt_ = AskDeviceWithDialog;
    platform::LogLine(2, {}, "home %s, mode %d, layout %d", homeDir_.c_str(), SearchMode(), layout_);

    client_ = new ClientArea(this);
    const DialogBaseUnits base = BaseUnitsOf(font());
    resize(DuToPixelsX(kTemplateWidthDu, base), DuToPixelsY(kTemplateHeightDu, base) + menuBar_->sizeHint().height());
    if (config.width > 0 && config.height > 0) resize(ClampWindowSize({config.width, config.height}, AvailableArea()));

    BuildTree();

    ptz_ = new CPtzSimpleCtrl(MakeCameraPtzSender(Usb()), client_);
    ptz_->show();

    // USB mode's right-hand side scrolls when the window is smaller than the pages' layout.
    usbScroll_ = new QScrollArea(client_);
    usbScroll_->setObjectName(QStringLiteral("usbScroll"));
    usbScroll_->setFrameShape(QFrame::NoFrame);
    usbScroll_->setWidgetResizable(false);
    usbScroll_->setWidget(new QWidget);
    usbScroll_->widget()->setObjectName(QStringLiteral("usbArea"));
    usbScroll_->hide();
    QWidget* usbArea = usbScroll_->widget();

    // The parameter pages and their buttons: hidden children of the client area, shown in USB
    // mode by the layout.
    usbHost_ = std::make_unique<UsbParamsHost>(Usb());
    usbHost_->SetDialogParent(this);
    // While no camera is current the pages are disabled and the instruction line asks for a
    // double-click, unless it says which current camera was unplugged.
    connect(usbHost_.get(), &UsbParamsHost::currentChanged, this, [this] {
        if (leftKey_.empty() && instruction_ && instruction_->text() != UiText(kInstructionText))
            SetInstruction(UiText(kInstructionText));
    });
    // Created in the order picture, exposure, white balance, enhancement, focus, video, others.
    for (const PageSpec* table : {&PicturePageSpec(), &ExposurePageSpec(), &WhiteBalancePageSpec(), &EnhancePageSpec(),
                                 &FocusPageSpec(), &VideoPageSpec(), &OthersPageSpec()}) {
        ParamPage* page = usbHost_->Page(table->title);
        page->setParent(usbArea);
        page->hide();
    }
    for (int id : {param_action_ids::kRestoreButton, param_action_ids::kExportButton, param_action_ids::kImportButton,
                   param_action_ids::kRefreshButton}) {
        QPushButton* button = usbHost_->Button(id);
        button->setParent(usbArea);
        button->hide();
    }

    instruction_ = new QLabel(UiText(kInstructionText), usbArea);
    instruction_->setObjectName(QString::number(main_ids::kInstruction));
    instruction_->setFont(HeiTiFont(10));
    instruction_->setAccessibleName(instruction_->text());
    instruction_->resize(DuToPixelsX(kInstructionWidthDu, base), DuToPixelsY(kInstructionHeightDu, base));
    // The font is larger than the dialog font the size was reckoned in: keep the whole text.
    instruction_->resize(std::max(instruction_->width(), instruction_->sizeHint().width()),
                         std::max(instruction_->height(), instruction_->sizeHint().height()));
    instruction_->hide();

    // The panes log in through the camera directory, like every other front end.
    if (!setup.paneBackend) ownPaneBackend_ = MakePaneBackend(cameras_->Streams());
    panes_ = std::make_unique<VideoPanes>(client_, setup.paneBackend ? *setup.paneBackend : *ownPaneBackend_);
    panes_->SetLayout(layout_);
    connect(panes_.get(), &VideoPanes::selected, this, [this](int session, const QString& address, int port) {
        ptz_->SetTarget(session, address.toStdString(), port);
        SelectTreeItemOfPane(session >= 0 ? address.toStdString() : std::string());
    });
    connect(panes_.get(), &VideoPanes::bordersChanged, client_, [this] { client_->update(); });
    for (int i = 0; i < 4; ++i) {
        connect(panes_->Widget(i), &VideoPaneWidget::clicked, this, [this, i] { panes_->SelectVideoPane(i); });
        connect(panes_->Widget(i), &VideoPaneWidget::doubleClicked, this, [this, i] { TogglePaneEnlarged(i); });
    }

    // Without a stored size the window opens large enough for the USB pages to show whole.
    if (config.width <= 0 || config.height <= 0) {
        const QSize needed = UsbModeClientSize(ChildSizes());
        resize(ClampWindowSize({std::max(width(), needed.width()),
                                std::max(height(), needed.height() + menuBar_->sizeHint().height())},
                               AvailableArea()));
    }
    client_->setGeometry(0, menuBar_->sizeHint().height(), width(), height() - menuBar_->sizeHint().height());
    LayoutMainWindow(layout_);
    EnableMenusForMode();

    // The network library and the LAN search; their results are not needed.
    system_->NetInit();
    const std::string targets = app::ReadSearchTargets(profile);
    if (!targets.empty()) system_->SetSearchTargets(targets.c_str());
    system_->SearchInit();
    cameras_->SetVendorFilter(vendorIds_);

    // The first search runs once, a second after start.
    if (setup.firstSearchDelayMs >= 0) {
        auto* timer = new QTimer(this);
        timer->setObjectName(QString::number(main_ids::kStartTimer));
        timer->setSingleShot(true);
        connect(timer, &QTimer::timeout, this, [this, timer] {
            OnFirstSearchTimer();
            timer->deleteLater();
        });
        timer->start(setup.firstSearchDelayMs);
    }

    lastClientSize_ = client_->size();
    initialised_ = true;
}

CVelmoraDlg::~CVelmoraDlg() {
    Shutdown();
    // The pages and buttons are children of the client area but point at their host: delete them
    // with the host, before the client area goes.
    usbHost_.reset();
    panes_.reset();
}

void CVelmoraDlg::BuildMenus() {
    menuBar_ = new QMenuBar(this);
    menuBar_->setNativeMenuBar(false);
    auto add = [this](QMenu* menu, int id, const char* text) {
        QAction* action = menu ? menu->addAction(UiText(text)) : menuBar_->addAction(UiText(text));
        action->setObjectName(QString::number(id));
        return action;
    };
    QMenu* comm = menuBar_->addMenu(tr("通讯"));
    connect(add(comm, main_ids::kMenuIp, "IP"), &QAction::triggered, this, [this] { SwitchToNetworkMode(); });
    connect(add(comm, main_ids::kMenuUsb, "USB"), &QAction::triggered, this, [this] { SwitchToUsbMode(); });
    connect(add(nullptr, main_ids::kMenuConfig, QT_TRANSLATE_NOOP("velmora", "配置")), &QAction::triggered, this, [this] { OpenImageParams(); });
    QMenu* view = menuBar_->addMenu(tr("画面"));
    connect(add(view, main_ids::kMenuLayout1, "1*1"), &QAction::triggered, this, [this] { SetVideoLayout(1); });
    connect(add(view, main_ids::kMenuLayout2, "2*2"), &QAction::triggered, this, [this] { SetVideoLayout(2); });
    // The mode and the layout in force are the checked items of their menus.
    for (auto [first, second] : {std::pair{main_ids::kMenuIp, main_ids::kMenuUsb},
                                 std::pair{main_ids::kMenuLayout1, main_ids::kMenuLayout2}}) {
        auto* group = new QActionGroup(this);
        for (int id : {first, second}) {
            QAction* action = menuBar_->findChild<QAction*>(QString::number(id));
            action->setCheckable(true);
            group->addAction(action);
        }
    }
    connect(add(nullptr, main_ids::kMenuUpgrade, QT_TRANSLATE_NOOP("velmora", "升级")), &QAction::triggered, this, [this] { OpenUpgrade(); });
    // New menus follow the four given ones, so their positions keep their meaning.
    QMenu* tools = menuBar_->addMenu(tr("工具"));
    QAction* compare = tools->addAction(tr("对比配置文件..."));
    compare->setObjectName(QString::number(main_ids::kMenuCompareProfile));
    connect(compare, &QAction::triggered, this, [this] { OpenCompareProfile(); });
    QMenu* help = menuBar_->addMenu(tr("帮助"));
    connect(add(help, main_ids::kAbout, QT_TRANSLATE_NOOP("velmora", "关于 Velmora(&A)...")), &QAction::triggered, this, [this] { ShowAbout(); });

    deviceListMenu_ = new QMenu(this);
    connect(add(deviceListMenu_, main_ids::kMenuRefreshList, QT_TRANSLATE_NOOP("velmora", "刷新列表")), &QAction::triggered, this,
            [this] { RefreshDeviceTree(); });
    addDevice_ = deviceListMenu_->addAction(tr("添加设备..."));
    addDevice_->setObjectName(QString::number(main_ids::kMenuAddDevice));
    connect(addDevice_, &QAction::triggered, this, [this] { AddDeviceByHand(); });
    videoMenu_ = new QMenu(this);
    connect(add(videoMenu_, main_ids::kMenuCloseVideo, QT_TRANSLATE_NOOP("velmora", "关闭视频")), &QAction::triggered, this,
            [this] { CloseContextPane(); });
    connect(add(videoMenu_, main_ids::kMenuCloseAllVideo, QT_TRANSLATE_NOOP("velmora", "关闭所有视频")), &QAction::triggered, this,
            [this] { CloseAllPanes(); });
    QAction* reconnect = videoMenu_->addAction(tr("重新连接"));
    reconnect->setObjectName(QString::number(main_ids::kMenuReconnect));
    connect(reconnect, &QAction::triggered, this, [this] { ReconnectContextPane(); });
    QAction* snapshot = videoMenu_->addAction(tr("抓图"));
    snapshot->setObjectName(QString::number(main_ids::kMenuSnapshot));
    connect(snapshot, &QAction::triggered, this, [this] { SnapshotContextPane(); });
}

void CVelmoraDlg::BuildTree() {
    tree_ = new QTreeWidget(client_);
    tree_->setObjectName(QString::number(main_ids::kTree));
    tree_->setAccessibleName(tr("设备列表"));
    tree_->setHeaderHidden(true);
    tree_->setRootIsDecorated(true);
    tree_->setMouseTracking(true);  // hot tracking
    tree_->setExpandsOnDoubleClick(false);
    tree_->move(0, 0);
    root_ = new QTreeWidgetItem(tree_, QStringList{tr("设备列表")});
    found_ = new QTreeWidgetItem(root_, QStringList{tr("搜索到的设备")});
    // Both fixed items stay open, so found cameras show at once.
    root_->setExpanded(true);
    found_->setExpanded(true);
    connect(tree_, &QTreeWidget::itemDoubleClicked, this, [this](QTreeWidgetItem* item, int) { OpenDeviceItem(item); });
}

QAction* CVelmoraDlg::MenuBarItem(int position) const {
    const QList<QAction*> items = menuBar_->actions();
    return position >= 0 && position < items.size() ? items[position] : nullptr;
}

void CVelmoraDlg::EnableMenusForMode() {
    const bool network = mode_ == CameraMode::Network;
    MenuBarItem(main_ids::kPosConfig)->setEnabled(network);
    MenuBarItem(main_ids::kPosLayout)->setEnabled(network);
    MenuBarItem(main_ids::kPosUpgrade)->setEnabled(!network);
    ShowCurrentChoices();
}

void CVelmoraDlg::ShowCurrentChoices() {
    const std::pair<int, bool> checks[] = {
        {main_ids::kMenuIp, mode_ == CameraMode::Network},
        {main_ids::kMenuUsb, mode_ == CameraMode::Usb},
        {main_ids::kMenuLayout1, layout_ == 1},
        {main_ids::kMenuLayout2, layout_ != 1},  // any other layout value shows four panes
    };
    for (const auto& [id, checked] : checks) {
        if (QAction* action = menuBar_->findChild<QAction*>(QString::number(id))) action->setChecked(checked);
    }
}

std::vector<std::string> CVelmoraDlg::SearchedAddresses() {
    std::vector<std::string> addresses;
    int n = std::min(system_->SearchCount(), kMaxLanCameras);
    if (n <= 0) return addresses;
    std::array<transport::BSC_DeviceInfo, kMaxLanCameras> records{};
    int filled = n;
    system_->SearchDevices(records.data(), &filled);
    // A camera may drop out between the two calls: list only the records filled.
    n = std::clamp(filled, 0, n);
    for (int i = 0; i < n; ++i) addresses.push_back(platform::FieldText(records[i].ip, sizeof records[i].ip));
    return addresses;
}

void CVelmoraDlg::AddNetworkNode(const std::string& address) {
    DeviceNode node;
    platform::CopyUtf8Field(node.address, sizeof node.address, address);
    node.item = new QTreeWidgetItem(found_, QStringList{QString::fromStdString(address)});
    nodes_.push_back(node);
}

void CVelmoraDlg::RescanNetwork() {
    if (mode_ != CameraMode::Network || shutDown_) return;
    const std::vector<std::string> found = SearchedAddresses();
    for (auto node = nodes_.begin(); node != nodes_.end();) {
        if (node->manual) {  // added by hand: listed whatever the search says
            ++node;
            continue;
        }
        const bool answered = std::find(found.begin(), found.end(), node->address) != found.end();
        node->misses = answered ? 0 : node->misses + 1;
        // Greyed after three searches without an answer, gone after ten; a pane playing the
        // camera keeps playing (the tree item is all that goes).
        if (node->misses >= kRemoveAfterMisses) {
            platform::LogLine(2, {}, "network camera %s removed from the tree: no answer to %d searches", node->address,
                    node->misses);
            delete node->item;
            node = nodes_.erase(node);
            continue;
        }
        const bool grey = node->misses >= kGreyAfterMisses;
        if (grey) {
            node->item->setForeground(0, palette().brush(QPalette::Disabled, QPalette::Text));
        } else {
            node->item->setData(0, Qt::ForegroundRole, QVariant());
        }
        node->item->setToolTip(0, grey ? tr("已有 %1 次搜索未应答").arg(node->misses) : QString());
        ++node;
    }
    for (const std::string& address : found) {
        const bool known = std::any_of(nodes_.begin(), nodes_.end(), [&](const DeviceNode& n) { return address == n.address; });
        if (!known) AddNetworkNode(address);
    }
    ShowSearchOutcome(!found.empty());
    found_->setExpanded(true);
    FollowSearchAnswers();
}

void CVelmoraDlg::AddNewSearchAnswers() {
    if (mode_ != CameraMode::Network || shutDown_) return;
    bool added = false;
    for (const std::string& address : SearchedAddresses()) {
        const bool known = std::any_of(nodes_.begin(), nodes_.end(), [&](const DeviceNode& n) { return address == n.address; });
        if (known) continue;
        AddNetworkNode(address);
        added = true;
    }
    if (!added) return;
    ShowSearchOutcome(true);
    found_->setExpanded(true);
}

void CVelmoraDlg::FollowSearchAnswers() {
    if (mode_ != CameraMode::Network || answerPollMs_ <= 0 || shutDown_) return;
    answerPollsLeft_ = std::max(1, kAnswerFollowMs / answerPollMs_);
    answerTimer_->start(answerPollMs_);
}

void CVelmoraDlg::AddManualNodes() {
    for (const auto& [address, port] : manualDevices_) {
        const bool known = std::any_of(nodes_.begin(), nodes_.end(), [&](const DeviceNode& n) { return address == n.address; });
        if (known) continue;
        AddNetworkNode(address);
        nodes_.back().port = static_cast<uint16_t>(port);
        nodes_.back().manual = true;
        nodes_.back().item->setToolTip(0, tr("手动添加：%1:%2").arg(QString::fromStdString(address)).arg(port));
    }
}

void CVelmoraDlg::ShowSearchOutcome(bool foundAny) {
    if (foundAny || mode_ != CameraMode::Network) {
        delete noneFound_;
        noneFound_ = nullptr;
        return;
    }
    // An empty LAN must not look like a search that never ran: say how far it looked.
    if (!noneFound_) {
        noneFound_ = new QTreeWidgetItem(root_);
        noneFound_->setFlags(Qt::ItemIsEnabled);
        noneFound_->setForeground(0, palette().brush(QPalette::Disabled, QPalette::Text));
    }
    noneFound_->setText(0, tr("未找到设备：已搜索 %1 个地址").arg(std::max(0, system_->SearchTargetCount())));
    noneFound_->setToolTip(0, noneFound_->text(0));  // the narrow tree may cut it
}

void CVelmoraDlg::RefreshDeviceTree() {
    nodes_.clear();
    qDeleteAll(found_->takeChildren());
    if (mode_ == CameraMode::Network) {
        const std::vector<std::string> searched = SearchedAddresses();
        for (const std::string& address : searched) AddNetworkNode(address);
        AddManualNodes();
        ShowSearchOutcome(!searched.empty());
        FollowSearchAnswers();
    } else {
        ShowSearchOutcome(true);
        leftKey_.clear();  // a new list: an unplugged camera is no longer waited for
        usbHost_->ClearCurrentDevice();
        QApplication::setOverrideCursor(Qt::WaitCursor);
        cameras_->RefreshUsb();
        QApplication::restoreOverrideCursor();
        AddUsbItems();
    }
    found_->setExpanded(true);
    platform::LogLine(2, {}, "device tree: %zu device(s) in mode %d", nodes_.size(), SearchMode());
}

void CVelmoraDlg::AddUsbItems() {
    // Every device node found, in the order `velmora-cli list` numbers them: one that cannot be
    // opened or that does not tell its identity keeps its place and shows its error; opening it
    // then reports the failure. Names are the camera's own UTF-8 text with controls escaped.
    const std::vector<camera::UsbListing> listing = cameras_->UsbCameras();
    for (const transport::UsbNodeState& state : cameras_->Usb().GetNodes()) {
        DeviceNode node;
        node.usbHandle = state.handle != 0 ? state.handle : transport::kInvalidUsbHandle;
        QString text;
        QString tooltip;
        if (state.openResult != 0) {
            text = tr("无法打开设备 (错误码 %1)").arg(state.openResult);
        } else if (state.infoResult != 0) {
            text = tr("无法读取设备信息 (错误码 %1)").arg(state.infoResult);
        }
        for (const camera::UsbListing& listed : listing) {
            if (state.handle == 0 || listed.entry.handle != state.handle) continue;
            node.usbKey = listed.key;
            std::memcpy(node.usbName, listed.entry.name, sizeof node.usbName);
            node.usbName[sizeof node.usbName - 1] = '\0';
            if (text.isEmpty()) {
                text = CameraName(listed.entry);
                tooltip = CameraDetails(listed.entry);
            }
        }
        node.item = new QTreeWidgetItem(found_, QStringList{text});
        node.item->setToolTip(0, tooltip);
        nodes_.push_back(node);
    }
}

bool CVelmoraDlg::OpenDeviceItem(QTreeWidgetItem* item) {
    auto node = std::find_if(nodes_.begin(), nodes_.end(), [item](const DeviceNode& n) { return n.item == item; });
    if (!item || node == nodes_.end()) return false;
    if (mode_ == CameraMode::Network) {
        OpenNetworkCamera(node->address, node->port, -1);
        return true;
    }
    const int32_t handle = node->usbHandle;
    // The directory's object for the camera; one that has gone since the tree was filled is
    // opened by its old handle, which reports why nothing can be read.
    std::shared_ptr<camera::UsbCamera> camera = cameras_->UsbCameraByHandle(handle);
    QApplication::setOverrideCursor(Qt::WaitCursor);
    const int result = camera ? usbHost_->OpenCamera(std::move(camera)) : usbHost_->OpenDevice(handle);
    QApplication::restoreOverrideCursor();
    if (result == 0) ptz_->SetTarget(handle, std::string(), 0);
    return true;
}

int CVelmoraDlg::OpenNetworkCamera(const std::string& address, int port, int pane) {
    // A new camera is seen: an enlarged pane returns to its place first.
    if (panes_->EnlargedPane() >= 0) TogglePaneEnlarged(panes_->EnlargedPane());
    for (;;) {
        // A user name or password that the login record cannot hold is refused rather than cut:
        // a cut password would try to log in with only its first characters.
        if (user_.size() > camera::kMaxLoginUserBytes || password_.size() > camera::kMaxLoginPasswordBytes) {
            platform::LogLine(4, {}, "login refused: user name or password too long for the login record");
            platform::Messages().Information(camera::LoginFailedMessage(wire::ORVEX_ERR_INVALID_ARG));
            return wire::ORVEX_ERR_INVALID_ARG;
        }
        transport::LoginInfo info{};
        platform::CopyUtf8Field(info.address, sizeof info.address, address);
        info.port = static_cast<uint16_t>(port);
        std::memcpy(info.user, user_.data(), user_.size());
        std::memcpy(info.password, password_.data(), password_.size());
        const int rc = pane < 0 ? panes_->OpenNetworkDevice(info, wire::ORVEX_STREAM_MAIN)
                                : panes_->OpenInPane(pane, info, wire::ORVEX_STREAM_MAIN);
        std::memset(info.password, 0, sizeof info.password);
        if (rc != wire::ORVEX_ERR_AUTH || !loginPrompt_) return rc;
        // Wrong user name or password: ask, and try again in the same pane.
        pane = panes_->CurrentPane();
        const std::optional<LoginAnswer> answer = loginPrompt_(this, address, user_);
        if (!answer) return rc;
        user_ = answer->user;
        password_ = answer->password;
        if (!answer->remember) continue;
        std::string why;
        if (!app::ToolsConfigFile(configPath_).SaveLogin(user_, password_, &why)) {
            platform::LogLine(4, {}, "could not remember the login in %s: %s", configPath_.c_str(), why.c_str());
            platform::Messages().Information(tr("无法记住密码：%1\n%2")
                                       .arg(QString::fromStdString(configPath_), QString::fromStdString(why))
                                       .toStdString());
        }
    }
}

void CVelmoraDlg::ReconnectContextPane() {
    if (contextPane_ < 0) return;
    const VideoPane& pane = panes_->Pane(contextPane_);
    const std::string address = platform::FieldText(pane.address, sizeof pane.address);
    if (address.empty()) return;  // the pane never played a camera
    platform::LogLine(2, {}, "pane %d: reconnecting to %s:%d", contextPane_, address.c_str(), pane.port);
    OpenNetworkCamera(address, pane.port, contextPane_);
    client_->update();
}

std::string CVelmoraDlg::SnapshotContextPane() {
    if (contextPane_ < 0) return {};
    VideoPaneWidget* widget = panes_->Widget(contextPane_);
    const QImage picture = widget ? widget->Picture() : QImage();
    if (picture.isNull()) {
        platform::Messages().Information(tr("抓图失败：该窗格没有画面。").toStdString());
        return {};
    }
    const VideoPane& pane = panes_->Pane(contextPane_);
    const std::string dir = homeDir_ + "snapshots/";
    const std::string path = dir + platform::FieldText(pane.address, sizeof pane.address) + "_" +
                             QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss-zzz")).toStdString() +
                             ".png";
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    std::string why;
    int rc = -1;
    if (!QDir().mkpath(QString::fromStdString(dir))) {
        why = "cannot create " + dir;
    } else if (!picture.save(&buffer, "PNG")) {
        why = "the picture could not be encoded";
    } else {
        rc = platform::WriteFileAtomically(path, std::string_view(png.constData(), static_cast<size_t>(png.size())),
                                           &why);
    }
    if (rc != 0) {
        platform::LogLine(4, {}, "snapshot of pane %d not saved: %s", contextPane_, why.c_str());
        platform::Messages().Information(
            tr("抓图失败：%1\n%2").arg(QString::fromStdString(path), QString::fromStdString(why)).toStdString());
        return {};
    }
    platform::LogLine(2, {}, "snapshot of pane %d saved to %s", contextPane_, path.c_str());
    platform::Messages().Information(tr("抓图已保存到：\n%1").arg(QString::fromStdString(path)).toStdString());
    return path;
}

void CVelmoraDlg::TogglePaneEnlarged(int i) {
    if (mode_ != CameraMode::Network) return;
    panes_->ToggleEnlarged(i);
    LayoutMainWindow(layout_);
    client_->update();
}

void CVelmoraDlg::AddDeviceByHand() {
    if (mode_ != CameraMode::Network || !devicePrompt_) return;
    const std::optional<AddedDevice> device = devicePrompt_(this);
    if (!device) return;
    const std::string entry = device->address + ":" + std::to_string(device->port);
    std::string why;
    if (!app::ToolsConfigFile(configPath_).AddDevice(entry, &why)) {
        // Listed for this run all the same; the next run will not know it.
        platform::LogLine(4, {}, "could not remember %s in %s: %s", entry.c_str(), configPath_.c_str(), why.c_str());
        platform::Messages().Information(tr("无法保存到 %1：\n%2")
                                             .arg(QString::fromStdString(configPath_), QString::fromStdString(why))
                                             .toStdString());
    }
    const bool listed = std::any_of(manualDevices_.begin(), manualDevices_.end(),
                                    [&](const auto& d) { return d.first == device->address; });
    if (!listed) manualDevices_.emplace_back(device->address, device->port);
    platform::LogLine(2, {}, "camera %s added by hand", entry.c_str());
    AddManualNodes();
    for (const DeviceNode& node : nodes_)
        if (device->address == node.address) tree_->setCurrentItem(node.item);
    found_->setExpanded(true);
}

void CVelmoraDlg::SwitchToNetworkMode() {
    mode_ = CameraMode::Network;
    EnableMenusForMode();
    StartNetworkRescans();
    cameras_->StopWatching();
    leftKey_.clear();
    cameras_->CloseUsb();
    usbHost_->ClearCurrentDevice();
    client_->update();
    LayoutMainWindow(layout_);
    RefreshDeviceTree();
}

void CVelmoraDlg::SwitchToUsbMode() {
    mode_ = CameraMode::Usb;
    EnableMenusForMode();
    rescanTimer_->stop();
    answerTimer_->stop();
    panes_->ClosePanesOfLayout();
    client_->update();
    LayoutMainWindow(layout_);
    RefreshDeviceTree();
    StartWatchingUsb();
}

void CVelmoraDlg::SetVideoLayout(int layout) {
    layout_ = layout;
    ShowCurrentChoices();
    panes_->SetLayout(layout);
    // A current pane that the new layout hides would take the next camera out of sight: pane 0
    // becomes current instead.
    if (panes_->CurrentPane() >= PaneCount(layout)) panes_->SelectVideoPane(0);
    client_->update();
    LayoutMainWindow(layout_);
}

void CVelmoraDlg::OpenImageParams() {
    const VideoPane& pane = panes_->Pane(panes_->CurrentPane());
    if (pane.session < 0) {
        platform::Messages().Information(kNothingSelected);
        return;
    }
    ImageParamsDlg dialog(this);
    dialog.SetLoginHandle(pane.session, platform::FieldText(pane.address, sizeof pane.address), pane.port);
    dialog.exec();
}

void CVelmoraDlg::OpenUpgrade() {
    upgradeOpen_ = true;
    if (upgradeOpener_) {
        upgradeOpener_(this, Usb().GetDevices());
    } else {
        // The directory finds a camera again after the window's reboot and version check.
        CUpgradeDlg upgrade(Usb(), Usb().GetDevices(), this, cameras_.get());
        upgrade.exec();
    }
    upgradeOpen_ = false;
    // The upgrade window closes the handles of the cameras it rebooted: such a camera is no
    // longer current (its items answer -304 until the list is refreshed).
    const int32_t current = usbHost_->CurrentHandle();
    if (current != 0 && Usb().ReportLength(current) < 0) usbHost_->ClearCurrentDevice();
}

void CVelmoraDlg::OpenCompareProfile() {
    std::shared_ptr<camera::Camera> camera;
    if (mode_ == CameraMode::Network) {
        camera = panes_->Stream(panes_->CurrentPane()).Camera();  // the current pane's login
    } else if (usbHost_->CurrentHandle() != 0) {
        camera = usbHost_->CurrentCamera();
    }
    if (!camera) {
        platform::Messages().Information(kNothingSelected);
        return;
    }
    CompareProfileDlg dialog(*camera, this);
    // The picker's file chooser says what the file is for.
    if (dialog.ChooseAndCompare(PathPickerTitled(tr("选择要对比的配置文件")))) dialog.exec();
}

MainLayoutSizes CVelmoraDlg::ChildSizes() const {
    MainLayoutSizes sizes;
    sizes.usbMode = mode_ == CameraMode::Usb;
    sizes.client = client_->size();
    sizes.ptz = ptz_->size();
    sizes.instruction = instruction_->size();
    sizes.restore = usbHost_->Button(param_action_ids::kRestoreButton)->size();
    sizes.exportButton = usbHost_->Button(param_action_ids::kExportButton)->size();
    sizes.importButton = usbHost_->Button(param_action_ids::kImportButton)->size();
    sizes.refresh = usbHost_->Button(param_action_ids::kRefreshButton)->size();
    sizes.picture = Page(PicturePageSpec())->size();
    sizes.exposure = Page(ExposurePageSpec())->size();
    sizes.whiteBalance = Page(WhiteBalancePageSpec())->size();
    sizes.focus = Page(FocusPageSpec())->size();
    sizes.enhance = Page(EnhancePageSpec())->size();
    sizes.video = Page(VideoPageSpec())->size();
    return sizes;
}

ParamPage* CVelmoraDlg::Page(const PageSpec& table) const { return usbHost_->Page(table.title); }

void CVelmoraDlg::LayoutMainWindow(int layout) {
    const MainLayoutSizes sizes = ChildSizes();
    const std::vector<ParamPage*> pages = usbHost_->Pages();
    const MainLayoutRects outer = ComputeMainLayout(sizes);

    ptz_->move(outer.ptz.topLeft());
    tree_->setGeometry(outer.tree);
    std::vector<QWidget*> usbOnly{instruction_};
    for (int id : {param_action_ids::kRestoreButton, param_action_ids::kExportButton, param_action_ids::kImportButton,
                   param_action_ids::kRefreshButton}) {
        usbOnly.push_back(usbHost_->Button(id));
    }
    if (!sizes.usbMode) {
        usbScroll_->hide();
        for (ParamPage* page : pages) page->hide();
        for (QWidget* widget : usbOnly) widget->hide();
        panes_->SetLayout(layout);
        panes_->Place(sizes.client.width(), sizes.client.height(), sizes.ptz.width());
        return;
    }
    panes_->HideAll();
    // The pages are laid out in a client area at least as large as they need; the part right of
    // the PTZ pane is the scroll area's content.
    const UsbScrollGeometry scroll = UsbScrollLayout(sizes, style()->pixelMetric(QStyle::PM_ScrollBarExtent));
    usbScroll_->setGeometry(scroll.area);
    usbScroll_->widget()->resize(scroll.content);
    usbScroll_->show();
    MainLayoutSizes scrolled = sizes;
    scrolled.client = QSize(scroll.content.width() + scroll.area.left(), scroll.content.height());
    const MainLayoutRects rects = ComputeMainLayout(scrolled);
    const std::pair<QWidget*, QRect> placed[] = {
        {instruction_, rects.instruction},
        {usbHost_->Button(param_action_ids::kRestoreButton), rects.restore},
        {usbHost_->Button(param_action_ids::kRefreshButton), rects.refresh},
        {usbHost_->Button(param_action_ids::kExportButton), rects.exportButton},
        {usbHost_->Button(param_action_ids::kImportButton), rects.importButton},
        {Page(PicturePageSpec()), rects.picture},
        {Page(WhiteBalancePageSpec()), rects.whiteBalance},
        {Page(EnhancePageSpec()), rects.enhance},
        {Page(ExposurePageSpec()), rects.exposure},
        {Page(FocusPageSpec()), rects.focus},
        {Page(VideoPageSpec()), rects.video},
    };
    for (const auto& [widget, rect] : placed) {
        widget->setGeometry(rect.translated(-scroll.area.left(), 0));
        widget->show();
    }
    Page(OthersPageSpec())->hide();  // the others page is never shown in the main window
}

void CVelmoraDlg::resizeEvent(QResizeEvent* event) {
    QDialog::resizeEvent(event);
    const int menuHeight = menuBar_->sizeHint().height();
    menuBar_->setGeometry(0, 0, width(), menuHeight);
    if (client_) client_->setGeometry(0, menuHeight, width(), std::max(0, height() - menuHeight));
}

void CVelmoraDlg::OnClientResized(const QSize& size) {
    if (!initialised_ || size.isEmpty() || size == lastClientSize_) return;
    LayoutMainWindow(layout_);
    client_->update();
    lastClientSize_ = size;
}

void CVelmoraDlg::PaintClient(QPainter& painter) {
    if (mode_ == CameraMode::Network) panes_->DrawBorders(painter);
}

QMenu* CVelmoraDlg::ContextMenuAt(const QPoint& globalPos) {
    const QPoint pos = client_->mapFromGlobal(globalPos);
    contextPane_ = -1;
    QMenu* chosen = nullptr;
    if (tree_->geometry().contains(pos)) chosen = deviceListMenu_;
    addDevice_->setVisible(mode_ == CameraMode::Network);
    // Only panes on show: in USB mode the hidden panes lie under the parameter pages.
    for (int i = 0; i < PaneCount(layout_); ++i) {
        QWidget* pane = panes_->Widget(i);
        if (!pane->isHidden() && pane->geometry().contains(pos)) {
            chosen = videoMenu_;
            contextPane_ = i;
        }
    }
    if (contextPane_ >= 0) {
        // "重新连接" for a pane that has played a camera, "抓图" for one that shows a picture.
        const VideoPane& pane = panes_->Pane(contextPane_);
        videoMenu_->findChild<QAction*>(QString::number(main_ids::kMenuReconnect))->setEnabled(pane.address[0] != '\0');
        videoMenu_->findChild<QAction*>(QString::number(main_ids::kMenuSnapshot))
            ->setEnabled(panes_->Widget(contextPane_)->HasPicture());
    }
    return chosen;
}

void CVelmoraDlg::contextMenuEvent(QContextMenuEvent* event) {
    if (QMenu* menu = ContextMenuAt(event->globalPos())) menu->exec(event->globalPos());
}

void CVelmoraDlg::done(int result) {
    for (QMenu* menu : {deviceListMenu_, videoMenu_})
        if (menu && menu->isVisible()) menu->close();
    QDialog::done(result);
}

void CVelmoraDlg::CloseContextPane() {
    if (contextPane_ < 0) return;
    panes_->CloseVideoPane(contextPane_);
    client_->update();
}

void CVelmoraDlg::CloseAllPanes() {
    panes_->ClosePanesOfLayout();
    client_->update();
}

void CVelmoraDlg::keyPressEvent(QKeyEvent* event) {
    // Neither Enter nor Esc closes the window (a key meant for a control must not end the program
    // and its streams); the close box and the window manager's close do.
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter || event->key() == Qt::Key_Escape) {
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

bool CVelmoraDlg::Busy() const {
    if (upgradeOpen_) return true;
    for (int i = 0; i < 4; ++i)
        if (panes_->Pane(i).session >= 0) return true;
    return false;
}

void CVelmoraDlg::closeEvent(QCloseEvent* event) {
    // Closing while streams play or an upgrade runs ends them: ask first.
    if (!quitWithoutAsking_ && Busy() && !platform::Messages().AskYesNo(kQuitQuestion)) {
        event->ignore();
        return;
    }
    QDialog::closeEvent(event);
}

void CVelmoraDlg::ShowAbout() {
    CAboutDlg about(this);
    about.exec();
}

void CVelmoraDlg::Shutdown() {
    if (shutDown_) return;
    shutDown_ = true;
    cameras_->StopWatching();
    rescanTimer_->stop();
    answerTimer_->stop();
    system_->SearchDeInit();
    for (int i = 0; i < 4; ++i) panes_->CloseVideoPane(i);
    system_->NetCleanup();
    cameras_->CloseUsb();
    usbHost_->ClearCurrentDevice();
    app::ToolsConfig config{};
    const QSize stored = ClampWindowSize(size(), AvailableArea());
    config.width = stored.width();
    config.height = stored.height();
    config.searchMode = SearchMode();
    config.layout = layout_;
    std::string why;
    if (!app::ToolsConfigFile(configPath_).Save(config, &why)) {
        // The window has gone: the console is where this can still be said.
        platform::LogLine(4, {}, "could not save %s: %s", configPath_.c_str(), why.c_str());
        std::fprintf(stderr, "velmora: %s not saved: %s\n", configPath_.c_str(), why.c_str());
    }
}

QSize CVelmoraDlg::AvailableArea() const {
    const QScreen* where = screen();
    return where ? where->availableGeometry().size() : QSize();
}

void CVelmoraDlg::StartNetworkRescans() {
    if (mode_ == CameraMode::Network && rescanMs_ > 0 && !shutDown_) rescanTimer_->start(rescanMs_);
}

void CVelmoraDlg::StartWatchingUsb() {
    if (mode_ != CameraMode::Usb || shutDown_) return;
    // The directory reports on the watcher's thread; the window takes it on its own thread.
    const int r = cameras_->StartWatching(
        [this](const camera::UsbArrival& event) {
            QMetaObject::invokeMethod(this, [this, event] { OnUsbArrival(event); }, Qt::QueuedConnection);
        },
        makeWatcher_ ? makeWatcher_() : nullptr);
    if (r != 0) platform::LogLine(3, {}, "USB cameras are not followed as they come and go (watcher: %d)", r);
}

void CVelmoraDlg::SelectTreeItemOfPane(const std::string& address) {
    if (mode_ != CameraMode::Network) return;
    auto node = std::find_if(nodes_.begin(), nodes_.end(),
                             [&](const DeviceNode& n) { return !address.empty() && address == n.address; });
    if (node != nodes_.end()) {
        tree_->setCurrentItem(node->item);
    } else {
        tree_->clearSelection();  // the current pane plays no camera of the tree
    }
}

void CVelmoraDlg::SetInstruction(const QString& text) {
    instruction_->setText(text);
    instruction_->setAccessibleName(text);
    // The line is right-aligned under the pages: it grows to the left to show the whole text.
    instruction_->resize(std::max(instruction_->width(), instruction_->sizeHint().width()), instruction_->height());
    LayoutMainWindow(layout_);
}

void CVelmoraDlg::OnUsbArrival(const camera::UsbArrival& event) {
    if (mode_ != CameraMode::Usb || shutDown_) return;
    const camera::UsbListing& listed = event.listing;
    auto node = std::find_if(nodes_.begin(), nodes_.end(), [&](const DeviceNode& n) { return n.usbKey == listed.key; });
    const QString name = CameraName(listed.entry);
    if (!event.arrived) {
        const bool wasCurrent = usbHost_->CurrentCamera() &&
                                usbHost_->CurrentCamera() == cameras_->UsbCameraByKey(listed.key);
        if (node != nodes_.end()) {
            delete node->item;
            nodes_.erase(node);
        }
        platform::LogLine(2, {}, "USB camera %s left", listed.key.c_str());
        if (wasCurrent) {
            leftKey_ = listed.key;
            usbHost_->ClearCurrentDevice();
            SetInstruction(tr("相机“%1”（%2）已拔出：插回后自动恢复。").arg(name, QString::fromStdString(listed.key)));
        }
        return;
    }
    if (node == nodes_.end()) {
        DeviceNode added;
        added.usbKey = listed.key;
        node = nodes_.insert(nodes_.end(), added);
        node->item = new QTreeWidgetItem(found_, QStringList{name});
    }
    node->usbHandle = listed.entry.handle;
    std::memcpy(node->usbName, listed.entry.name, sizeof node->usbName);
    node->usbName[sizeof node->usbName - 1] = '\0';
    node->item->setText(0, name);
    if (event.result == 0) node->item->setToolTip(0, CameraDetails(listed.entry));
    found_->setExpanded(true);
    platform::LogLine(2, {}, "USB camera %s arrived", listed.key.c_str());
    if (!leftKey_.empty() && leftKey_ == listed.key) {
        leftKey_.clear();
        SetInstruction(UiText(kInstructionText));
        tree_->setCurrentItem(node->item);
        OpenDeviceItem(node->item);
    }
}

void CVelmoraDlg::OnFirstSearchTimer() {
    RefreshDeviceTree();
    if (mode_ == CameraMode::Usb) StartWatchingUsb();
    StartNetworkRescans();
    RunStartupActions();
}

bool CVelmoraDlg::SaveWindowPicture(const QString& path) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    return grab().save(path, "PNG");
}

void CVelmoraDlg::RunStartupActions() {
    const bool pictures = !startup_.screenshotDir.empty();
    if (startup_.openUsb.empty() && startup_.openIp.empty() && !pictures) return;
    const QString dir = QString::fromStdString(startup_.screenshotDir);
    if (!startup_.openUsb.empty() || pictures) {
        if (mode_ == CameraMode::Network) SwitchToUsbMode();
        for (int position : startup_.openUsb) {
            if (position >= 1 && position <= static_cast<int>(nodes_.size())) {
                tree_->setCurrentItem(nodes_[position - 1].item);
                OpenDeviceItem(nodes_[position - 1].item);
            } else {
                platform::LogLine(4, {}, "no USB camera at position %d (%zu found)", position, nodes_.size());
            }
        }
        if (pictures) SaveWindowPicture(dir + QStringLiteral("/velmora-usb.png"));
    }
    if (startup_.openIp.empty() && !pictures) return;
    if (mode_ == CameraMode::Usb) SwitchToNetworkMode();
    for (const std::string& address : startup_.openIp) {
        auto item = std::find_if(nodes_.begin(), nodes_.end(),
                                 [&](const DeviceNode& n) { return address == n.address; });
        if (item != nodes_.end()) {
            tree_->setCurrentItem(item->item);
            OpenDeviceItem(item->item);
            continue;
        }
        // Not (yet) found by the search: open it directly, as the tree would.
        DeviceNode node;
        platform::CopyUtf8Field(node.address, sizeof node.address, address);
        node.item = new QTreeWidgetItem(found_, QStringList{QString::fromStdString(address)});
        nodes_.push_back(node);
        OpenDeviceItem(node.item);
    }
    if (!pictures) return;
    // Wait until every pane that plays shows a picture, then take the picture and end.
    auto* poll = new QTimer(this);
    auto waited = std::make_shared<int>(0);
    connect(poll, &QTimer::timeout, this, [this, poll, waited] {
        *waited += 100;
        bool ready = true;
        for (int i = 0; i < 4; ++i) {
            if (panes_->Pane(i).decoderPort.load() >= 0 && !panes_->Widget(i)->HasPicture()) ready = false;
        }
        if (!ready && *waited < startup_.pictureWaitMs) return;
        poll->stop();
        poll->deleteLater();
        FinishStartupPictures();
    });
    poll->start(100);
}

void CVelmoraDlg::FinishStartupPictures() {
    // A little longer, so the panes show the latest picture rather than the first.
    QTimer::singleShot(500, this, [this] {
        SaveWindowPicture(QString::fromStdString(startup_.screenshotDir) + QStringLiteral("/velmora-ip.png"));
        quitWithoutAsking_ = true;  // nobody is there to answer
        close();
    });
}

}  // namespace velmora::ui
