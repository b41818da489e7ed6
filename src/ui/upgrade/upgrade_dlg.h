#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <QDialog>
#include <QStringList>

#include "transport/usb/cusb_device.h"
#include "upgrade/upgrade_session.h"

class QCheckBox;
class QLabel;
class QListWidget;
class QPushButton;
class QTableWidget;
class QTimer;

// The modal window "升级": lists the USB cameras handed in by the main window (at most ten), lets
// the user choose firmware packages, upgrades every checked camera in parallel, shows each
// camera's progress in its row, stops a running upgrade and reboots the checked cameras.
// The work itself is the UpgradeSession's; the window owns one, turns the buttons into its calls
// and shows the rows it reports. The handles stay the main window's: the window borrows them
// through `usb`, which must outlive it (rebooted cameras' handles are closed by the session).
// Thread-bound: the user-interface thread. The observer calls arrive on the session's threads;
// each is carried to the window's thread and waits there until shown. Closing the window
// (close, reject, destruction) releases every waiting thread, stops every worker and the reboot
// thread and joins them.
namespace velmora::ui {

struct UpgradeDlgWaits;

namespace upgrade_ids {
inline constexpr int kTemplate = 285;
inline constexpr int kStartStopButton = 1002;
inline constexpr int kBrowseButton = 1004;
inline constexpr int kStatusLine = 1005;
inline constexpr int kRebootButton = 1006;
inline constexpr int kDeviceList = 1007;
inline constexpr int kNote = 1008;
inline constexpr int kPackageList = 1011;
inline constexpr int kHint = 1014;
inline constexpr int kTimer = 1026;
}  // namespace upgrade_ids

// Columns of the device list.
namespace upgrade_columns {
inline constexpr int kNumber = 0;
inline constexpr int kState = 1;
inline constexpr int kPid = 2;
inline constexpr int kName = 3;
inline constexpr int kModel = 4;
inline constexpr int kSerial = 5;
inline constexpr int kBiosVersion = 6;
inline constexpr int kBuildDate = 7;
inline constexpr int kCount = 8;
}  // namespace upgrade_columns

class CUpgradeDlg : public QDialog, private upgrade::UpgradeObserver {
    Q_OBJECT

public:
    static const QString kStartText;  // "开始升级"
    static const QString kStopText;   // "停止升级"

    // The "浏览" chooser: the chosen paths in the order to upgrade, or nullopt when cancelled.
    using PackageChooser = std::function<std::optional<QStringList>(QWidget* parent)>;
    // QFileDialog::getOpenFileNames with the filter "DAT(*.dat)".
    static PackageChooser SystemPackageChooser();

    // `cameras` (may be null) follows the cameras as they come and go; it is what finds a camera
    // again after the reboot of "完成后重启并校验版本". Its transport must be `usb`.
    CUpgradeDlg(transport::CUSBDevice& usb, std::vector<transport::UsbDeviceEntry> devices, QWidget* parent = nullptr,
                camera::CameraDirectory* cameras = nullptr);
    ~CUpgradeDlg() override;

    void SetPackageChooser(PackageChooser chooser) { chooser_ = std::move(chooser); }

    // The four actions behind the buttons.
    void Browse();
    void StartOrStop();
    // Sets the start/stop button's caption and its accessible name together.
    void ShowStartStopText(const QString& text);
    void Reboot();
    // One tick of timer 1026: the caption returns to "开始升级" once no worker runs and no camera
    // receives data; then "浏览" and "重启设备" come back and the timer stops.
    void TimerTick();

    // Shows a row as the session reports it (on the window's thread; used by the observer calls).
    void ShowRow(int index, const upgrade::UpgradeRow& row);

    // Stops every worker and the reboot thread and waits for them; the observer calls return at
    // once from now on. Idempotent; run by close, reject and the destructor.
    void Shutdown();

    upgrade::UpgradeSession& Session() { return *session_; }
    QTableWidget* DeviceList() const { return list_; }
    QListWidget* PackageList() const { return packages_; }
    QPushButton* Button(int controlId) const;
    QLabel* StatusLine() const { return status_; }
    // "完成后重启并校验版本": after the last package each camera is rebooted, waited for and its
    // version checked (off by default).
    QCheckBox* VerifyBox() const { return verify_; }
    // The status line of a run with the version check: "已校验 %1 台，失败 %2 台".
    void ShowVerifyCounts();
    QLabel* Note() const { return note_; }
    QTimer* Timer() const { return timer_; }
    // Texts of the rows' column "状态", in list order.
    QStringList StateTexts() const;

    // Closing while workers or the reboot run stops them and closes once they have ended; the
    // window stays responsive meanwhile. Destroying it stops and joins them at once.
    void reject() override;

protected:
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;
    // The window is resizable: the list grows with it, the controls below it move down and the
    // buttons stay at the right; the state column takes the width the list gains.
    void resizeEvent(QResizeEvent* event) override;

private:
    // UpgradeObserver, called on the session's threads.
    void RowChanged(int index, const upgrade::UpgradeRow& row) override;
    void RowRemoved(int index) override;
    void StatusText(const std::string& text) override;
    void RebootFinished() override;

    // Runs `apply` on the window's thread and waits until it ran, or until the window closes.
    void RunOnWindowThread(std::function<void()> apply);
    // True when nothing runs; otherwise asks everything to stop and closes once it has.
    bool ReadyToClose();
    // Runs the queued changes (on the window's thread). Queued by name, so that the change itself
    // passes only through the waits' mutex, where the sanitizers see the hand-over.
    Q_INVOKABLE void ApplyPending();

    void BuildControls();
    void SetColumnWidths();
    // The state column takes the list's width that the other columns leave (never less than its
    // starting width).
    void FitStateColumn();
    // Column "序号" numbers the cameras as the device tree and `velmora-cli list` do.
    void NumberRowsLikeTheTree(const transport::CUSBDevice& usb);
    void AppendRow(int index, const upgrade::UpgradeRow& row);
    void OnItemChanged(int row, int column);
    void SetIdleButtons(bool enabled);

    std::vector<transport::UsbDeviceEntry> devices_;
    std::unique_ptr<upgrade::UpgradeSession> session_;
    PackageChooser chooser_;

    QTableWidget* list_ = nullptr;
    QListWidget* packages_ = nullptr;
    QPushButton* browse_ = nullptr;
    QPushButton* startStop_ = nullptr;
    QPushButton* reboot_ = nullptr;
    QLabel* status_ = nullptr;
    QLabel* note_ = nullptr;
    QLabel* hint_ = nullptr;
    QCheckBox* verify_ = nullptr;
    bool verifyRun_ = false;  // the last start had the version check on
    QTimer* timer_ = nullptr;       // 1026, 1000 ms period while running
    QTimer* startDelay_ = nullptr;  // the second between a start and the first period
    QTimer* closeWait_ = nullptr;   // a close waiting for the workers to end
    bool applying_ = false;         // a row is being shown: its check change is not the user's
    // Where each control sits at the starting size and how it follows a resize.
    struct Anchored {
        QWidget* widget;
        QRect start;
        bool grows;   // wider (and, for the list, taller) by what the window gains
        bool moves;   // right by what the window gains in width (the buttons)
    };
    std::vector<Anchored> anchored_;
    QSize startSize_;
    int spareWidth_ = 0;  // list width the starting column widths leave unused
    int stateStartWidth_ = 0;
    bool fitting_ = false;

    // Observer calls waiting for the window's thread; closing releases them. Shared with the
    // queued calls, which may outlive a released caller.
    std::shared_ptr<UpgradeDlgWaits> waits_;
};

}  // namespace velmora::ui
