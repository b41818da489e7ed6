// The upgrade window closed and destroyed while its workers and its reboot thread run; small
// enough for the AddressSanitizer build of the windows.
#include "ui/upgrade_dlg_fixture.h"

using namespace velmora;
using namespace velmora::ui;
using namespace velmora::ui::test;
using namespace velmora::upgrade;

TEST_F(UpgradeDlgTest, ClosingWhileWorkersRunStopsAndJoinsThem) {
    // Cameras that never finish writing keep their workers polling until stopped.
    Serve({{{}, 600000}, {{}, 600000}, {{"stall=3000,cmd=3004"}, 600000}});
    // The threads the toolkit starts on a window's first show are there before counting.
    Open(devices_);
    WaitUntil([] { return false; }, 1s);
    dlg_.reset();
    const int baseline = ThreadCount();
    Open(devices_);
    Choose({Package("pkg.dat", 3 * 1048576)});
    Button(ids::kStartStopButton)->click();
    // Writing cameras are unchecked by their workers; the window shows it.
    ASSERT_TRUE(WaitUntil([&] {
        return NumberItem(0)->checkState() == Qt::Unchecked && NumberItem(1)->checkState() == Qt::Unchecked;
    }));
    EXPECT_EQ(dlg_->Session().Row(0).state, UpgradeRowState::Flashing);
    // The close stops the workers and waits for them with the window still responsive: the
    // stalled camera's data command (3 s) is still in flight, so the window is still open.
    dlg_->close();
    EXPECT_TRUE(dlg_->isVisible());
    EXPECT_FALSE(dlg_->Button(ids::kStartStopButton)->isEnabled());
    ASSERT_TRUE(WaitUntil([&] { return !dlg_->isVisible(); }, 10s));
    EXPECT_EQ(dlg_->Session().RunningWorkers(), 0);
    EXPECT_FALSE(dlg_->Session().Busy());
    EXPECT_EQ(dlg_->Session().Row(0).text, "停止升级");
    dlg_.reset();
    EXPECT_TRUE(WaitUntil([&] { return ThreadCount() <= baseline; }, 10s)) << ThreadCount() << " > " << baseline;

    // Destroyed right after a start, without the event loop running: the workers waiting for the
    // window are released and joined.
    Open(devices_);
    Choose({Package("pkg2.dat", 3 * 1048576)});
    Button(ids::kStartStopButton)->click();
    std::this_thread::sleep_for(50ms);
    dlg_.reset();
    EXPECT_TRUE(WaitUntil([&] { return ThreadCount() <= baseline; }, 10s)) << ThreadCount() << " > " << baseline;

    // Rejected (Escape) during a reboot: the reboot thread is joined as well.
    Open(devices_);
    Button(ids::kRebootButton)->click();
    dlg_->reject();
    ASSERT_TRUE(WaitUntil([&] { return !dlg_->isVisible(); }, 10s));
    EXPECT_FALSE(dlg_->Session().Rebooting());
    dlg_.reset();
}
