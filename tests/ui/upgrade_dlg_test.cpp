// The firmware upgrade window against simulated USB cameras: a whole run, stop, the rows, no
// cameras, reboot.
#include "ui/upgrade_dlg_fixture.h"

using namespace velmora;
using namespace velmora::ui;
using namespace velmora::ui::test;

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
