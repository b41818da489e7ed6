// The firmware upgrade window against simulated USB cameras: a whole run, stop, the rows, no
// cameras, reboot.
#include "ui/upgrade_dlg_fixture.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

#include <QHeaderView>

using namespace velmora;
using namespace velmora::ui;
using namespace velmora::ui::test;
using namespace velmora::upgrade;

TEST_F(UpgradeDlgTest, AWholeRunFromIdleThroughRunningBackToIdle) {
    // Camera 2 is left unchecked by the user; camera 3 reports -5 on its first data reply.
    Serve({{}, {}, {{"neg-progress=-5,phase=data"}}});
    Open(devices_);
    EXPECT_EQ(dlg_->windowTitle(), QStringLiteral("升级"));
    EXPECT_TRUE(dlg_->isModal());
    EXPECT_EQ(dlg_->Note()->text(), QStringLiteral("PS:如果设备被拔出，请重新刷新列表."));
    EXPECT_TRUE(Idle());

    // Choosing replaces the whole list; cancelling keeps it.
    Choose({Package("first.dat", 10)});
    const std::string app = Package("app_UImage.dat", 2 * 1048576 + 5);
    const std::string rootfs = Package("rootfs.dat", 70000);
    Choose({app, rootfs});
    nextChoice_.reset();
    Button(ids::kBrowseButton)->click();
    EXPECT_EQ(chooserCalls_, 3);
    ASSERT_EQ(dlg_->PackageList()->count(), 2);
    EXPECT_EQ(dlg_->PackageList()->item(0)->text().toStdString(), app);
    EXPECT_EQ(dlg_->Session().PackagePaths(), (std::vector<std::string>{app, rootfs}));

    NumberItem(1)->setCheckState(Qt::Unchecked);
    EXPECT_FALSE(dlg_->Session().Row(1).checked);

    EXPECT_EQ(Button(ids::kStartStopButton)->accessibleName(), CUpgradeDlg::kStartText);
    Button(ids::kStartStopButton)->click();
    EXPECT_EQ(Caption(), CUpgradeDlg::kStopText);
    EXPECT_EQ(Button(ids::kStartStopButton)->accessibleName(), CUpgradeDlg::kStopText);  // named as shown
    EXPECT_FALSE(Button(ids::kBrowseButton)->isEnabled());
    EXPECT_FALSE(Button(ids::kRebootButton)->isEnabled());

    ASSERT_TRUE(WaitUntil([&] { return Idle(); }));
    EXPECT_EQ(Button(ids::kStartStopButton)->accessibleName(), CUpgradeDlg::kStartText);
    EXPECT_FALSE(dlg_->Timer()->isActive());
    EXPECT_EQ(dlg_->StateTexts(), (QStringList{kDone, QString(), QStringLiteral("升级[uimage]返回失败:-5")}));
    // Finished and failed rows are checked again; the user's unchecked row stays unchecked.
    EXPECT_EQ(NumberItem(0)->checkState(), Qt::Checked);
    EXPECT_EQ(NumberItem(1)->checkState(), Qt::Unchecked);
    EXPECT_EQ(NumberItem(2)->checkState(), Qt::Checked);
    EXPECT_EQ(server_->Model(0).Upgrade().state, sim::UpgradeState::Done);
    EXPECT_EQ(server_->Model(1).Upgrade().state, sim::UpgradeState::Idle);
    EXPECT_TRUE(messages_.shown.empty());
}

TEST_F(UpgradeDlgTest, StopDuringTheDataPhaseEndsTheRunWithTheStopText) {
    // Every data command answers late, so the stop lands while the camera receives data.
    Serve({{{"stall=300,cmd=3004"}}});
    Open(devices_);
    Choose({Package("big.dat", 6 * 1048576)});
    Button(ids::kStartStopButton)->click();
    ASSERT_TRUE(WaitUntil([&] { return dlg_->Session().Row(0).state == UpgradeRowState::Sending; }));
    Button(ids::kStartStopButton)->click();
    EXPECT_EQ(Caption(), CUpgradeDlg::kStopText);  // back only on a later tick
    ASSERT_TRUE(WaitUntil([&] { return Idle(); }));
    EXPECT_EQ(dlg_->StateTexts(), QStringList{CUpgradeDlg::kStopText});
    EXPECT_EQ(NumberItem(0)->checkState(), Qt::Checked);
}

TEST_F(UpgradeDlgTest, RowsFollowTheHandedInListUpToTenCameras) {
    std::vector<CamSetup> eleven(11);
    Serve(eleven);
    Open(devices_);
    QTableWidget* list = dlg_->DeviceList();
    ASSERT_EQ(list->rowCount(), kMaxUpgradeRows);
    ASSERT_EQ(dlg_->Session().RowCount(), kMaxUpgradeRows);
    for (int i = 0; i < kMaxUpgradeRows; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(Cell(i, upgrade_columns::kNumber), QString::number(i + 1));
        EXPECT_EQ(NumberItem(i)->checkState(), Qt::Checked);
        EXPECT_EQ(dlg_->Session().Row(i).handle, devices_[i].handle);
        EXPECT_EQ(Cell(i, upgrade_columns::kName), QStringLiteral("模拟相机%1").arg(i + 1));
    }

    // Without packages a start claims the rows, sends nothing and the next tick ends the run.
    Button(ids::kStartStopButton)->click();
    EXPECT_EQ(Caption(), CUpgradeDlg::kStopText);
    ASSERT_TRUE(WaitUntil([&] { return Idle(); }));
    for (int i = 0; i < 10; ++i) EXPECT_EQ(server_->Model(i).Upgrade().state, sim::UpgradeState::Idle);
}

TEST_F(UpgradeDlgTest, WithoutCamerasAStartStillReadsThePackages) {
    Open({});
    EXPECT_EQ(dlg_->DeviceList()->rowCount(), 0);
    const std::string missing = dir_ + "/missing.dat";
    Choose({missing});
    Button(ids::kStartStopButton)->click();
    EXPECT_EQ(messages_.shown, std::vector<std::string>{"无法打开文件:" + missing});
    EXPECT_TRUE(Idle());
    EXPECT_FALSE(dlg_->Timer()->isActive());

    Choose({Package("ok.dat", 100)});
    Button(ids::kStartStopButton)->click();
    EXPECT_EQ(Caption(), CUpgradeDlg::kStopText);
    ASSERT_TRUE(WaitUntil([&] { return Idle(); }));
    EXPECT_EQ(messages_.shown.size(), 1u);
}

TEST_F(UpgradeDlgTest, RebootingRowsOneAndThreeLeavesTheFormerRowTwo) {
    // Camera 2 refuses the reboot command.
    Serve({{}, {{"refuse=-7,cmd=40001086"}}, {}});
    Open(devices_);
    NumberItem(1)->setCheckState(Qt::Unchecked);
    Button(ids::kRebootButton)->click();
    for (int id : {ids::kBrowseButton, ids::kStartStopButton, ids::kRebootButton}) EXPECT_FALSE(Button(id)->isEnabled());
    EXPECT_FALSE(dlg_->DeviceList()->isEnabled());  // no check mark changes under the reboot
    ASSERT_TRUE(WaitUntil([&] { return Button(ids::kRebootButton)->isEnabled(); }));
    EXPECT_TRUE(dlg_->DeviceList()->isEnabled());
    EXPECT_TRUE(Idle());
    const QString statusText = QStringLiteral("重启成功的设备将从列表删除，稍后请重新手动刷新.");
    EXPECT_EQ(dlg_->StatusLine()->text(), statusText);
    ASSERT_EQ(dlg_->DeviceList()->rowCount(), 1);
    EXPECT_EQ(Cell(0, upgrade_columns::kNumber), QStringLiteral("2"));  // numbers are kept
    EXPECT_EQ(Cell(0, upgrade_columns::kName), QStringLiteral("模拟相机2"));
    ASSERT_EQ(dlg_->Session().RowCount(), 1);
    EXPECT_EQ(dlg_->Session().Row(0).handle, devices_[1].handle);
    // The rebooted cameras' handles are closed.
    int received = 0;
    EXPECT_EQ(dev_->Transfer(devices_[0].handle, 40001207, nullptr, 0, nullptr, 0, &received, 1), -304);
    EXPECT_EQ(dev_->Transfer(devices_[2].handle, 40001207, nullptr, 0, nullptr, 0, &received, 1), -304);

    // The refusing camera keeps its row with the failure text.
    dlg_->StatusLine()->clear();
    NumberItem(0)->setCheckState(Qt::Checked);
    Button(ids::kRebootButton)->click();
    ASSERT_TRUE(WaitUntil([&] { return Button(ids::kRebootButton)->isEnabled(); }));
    ASSERT_EQ(dlg_->DeviceList()->rowCount(), 1);
    EXPECT_EQ(Cell(0, upgrade_columns::kState), QStringLiteral("重启失败"));
    EXPECT_EQ(dlg_->StatusLine()->text(), statusText);
}

// The window is resizable: the list grows with it, the state column takes the width gained and
// shows its longest text whole, the hidden PID column stays hidden and cannot be dragged, and the
// given widths are the starting ones. "序号" numbers the cameras as the tree and `list` do: a
// device node that cannot be opened keeps its number.
TEST_F(UpgradeDlgTest, TheWindowResizesAroundAWideStateColumnAndNumbersLikeTheTree) {
    Serve(std::vector<CamSetup>(2));
    // A socket nobody listens on sorts first, like a hidraw node without the udev rule.
    const std::string dead = dir_ + "/sock/cam00.sock";
    const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, dead.c_str(), dead.size() + 1);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ::close(fd);
    std::ofstream(dir_ + "/sock/cam00.json") << R"({"vendor_id": 5891, "product_id": 4660, "output_report_length": 65})";
    dev_->RefreshDevices();
    Open(dev_->GetDevices());
    QTableWidget* list = dlg_->DeviceList();
    ASSERT_EQ(list->rowCount(), 2);
    EXPECT_EQ(Cell(0, upgrade_columns::kNumber), "2");
    EXPECT_EQ(Cell(1, upgrade_columns::kNumber), "3");

    const int client = list->width() - 2 * list->frameWidth();
    const int given[upgrade_columns::kCount] = {client / 12, client / 6, 0, client / 6, client / 8, client / 4, client / 10, client / 10};
    for (int c = 0; c < upgrade_columns::kCount; ++c) EXPECT_EQ(list->columnWidth(c), given[c]) << c;
    EXPECT_TRUE(list->isColumnHidden(upgrade_columns::kPid));
    EXPECT_EQ(list->horizontalHeader()->sectionResizeMode(upgrade_columns::kPid), QHeaderView::Fixed);

    const QSize start = dlg_->size();
    EXPECT_EQ(dlg_->minimumSize(), start);
    const QRect listBefore = list->geometry();
    const QRect rebootBefore = Button(ids::kRebootButton)->geometry();
    dlg_->resize(start + QSize(300, 120));
    QCoreApplication::processEvents();
    EXPECT_EQ(list->geometry(), listBefore.adjusted(0, 0, 300, 120));
    EXPECT_EQ(Button(ids::kRebootButton)->geometry(), rebootBefore.translated(300, 120));
    EXPECT_EQ(list->columnWidth(upgrade_columns::kState), given[upgrade_columns::kState] + 300);
    for (int c : {upgrade_columns::kNumber, upgrade_columns::kName, upgrade_columns::kBuildDate})
        EXPECT_EQ(list->columnWidth(c), given[c]) << c;
    const QString longest = QStringLiteral("升级[uimage](烧写中):33%");
    EXPECT_GE(list->columnWidth(upgrade_columns::kState), list->fontMetrics().horizontalAdvance(longest) + 10);

    // Widening another column by hand takes the width from the state column, not from the window.
    list->horizontalHeader()->resizeSection(upgrade_columns::kSerial, given[upgrade_columns::kSerial] + 40);
    EXPECT_EQ(list->columnWidth(upgrade_columns::kState), given[upgrade_columns::kState] + 260);
    EXPECT_EQ(list->columnWidth(upgrade_columns::kPid), 0);

    // Back at the starting size the given widths (as changed by hand) come back.
    dlg_->resize(start);
    QCoreApplication::processEvents();
    EXPECT_EQ(list->geometry(), listBefore);
    EXPECT_EQ(list->columnWidth(upgrade_columns::kState), given[upgrade_columns::kState]);
}
