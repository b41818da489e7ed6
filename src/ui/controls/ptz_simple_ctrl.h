#pragma once

#include <array>
#include <functional>
#include <string>
#include <vector>

#include <QWidget>

#include "ui/controls/radiobutton_ex.h"

namespace velmora::transport {
class CUSBDevice;
}

class QGroupBox;
class QLabel;
class QPushButton;

// The main window's small PTZ pane (template 286, 117 x 125 dialog units, no caption): zoom and
// focus of the current camera while a button is held, and presets 1 to 3 added, called and
// deleted. The main window names the current camera with SetTarget; the pane never clears it.
// Every command is one ReqPtzCtrl or ReqPresetCtrl text (protocol/requests.h) handed to the
// pane's sender; replies are not examined. Preset results are shown through
// platform::Messages(); zoom and focus results are not shown.
// Synchronous and thread-bound: the user-interface thread waits for each send (for a network
// camera up to one second of reachability probing plus the send).
namespace velmora::ui {

namespace ptz_ids {
inline constexpr int kTemplate = 286;
inline constexpr int kZoomOut = 1247;    // "－" left of "变倍"
inline constexpr int kZoomIn = 1248;     // "＋" right of "变倍"
inline constexpr int kFocusNear = 1249;  // "－" left of "聚焦"
inline constexpr int kFocusFar = 1250;   // "＋" right of "聚焦"
inline constexpr int kPreset1 = 1528;
inline constexpr int kPreset2 = 1529;
inline constexpr int kPreset3 = 1530;
inline constexpr int kAdd = 1531;        // "添加"
inline constexpr int kCall = 1532;       // "调用"
inline constexpr int kDelete = 1533;     // "删除"
}  // namespace ptz_ids

// The camera the pane drives: a network login handle with the camera's address and TCP port, or
// an open USB handle with port 0. A negative handle means no camera.
struct PtzTarget {
    int handle = -1;
    std::string address;
    int port = 0;
};

// Sends request texts to a target as one gesture; result as Camera::SendPtzTexts.
using PtzSender = std::function<int(const PtzTarget&, const std::vector<std::string>&)>;

// The sender over real cameras: port 0 -> UsbCamera(device, handle), otherwise
// NetCamera(handle, address, port). `device` must outlive the sender.
PtzSender MakeCameraPtzSender(transport::CUSBDevice& device);

class CPtzSimpleCtrl : public QWidget {
    Q_OBJECT

public:
    // The longest address kept by SetTarget, in bytes.
    static constexpr size_t kAddressBytes = 32;

    explicit CPtzSimpleCtrl(PtzSender sender, QWidget* parent = nullptr);

    // Stores the camera to drive; `address` is cut to its first 32 bytes.
    void SetTarget(int handle, const std::string& address, int port);
    const PtzTarget& Target() const { return target_; }

    // The chosen preset: 0 for none, else 1..3.
    int SelectedPreset() const { return selected_; }

    // The button of any id of ptz_ids (the preset tiles included); null for other ids.
    QPushButton* Button(int controlId) const;
    // The preset tile n (1..3); null otherwise.
    CRadiobuttonEx* PresetButton(int n) const;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    struct HoldButton {
        int id = 0;
        QPushButton* button = nullptr;
        const char* moveCmd = "";  // sent on press
        const char* stopCmd = "";  // sent after "Stop" on release
    };

    void BuildControls();
    // Sends the texts as one gesture: nothing and 0 without a camera.
    int Send(const std::vector<std::string>& texts);
    void OnPresetClicked(int n);
    // A zoom/focus gesture that failed (the press or the release) says so once, after the
    // release: "返回错误码: %d" with the first failure.
    void ReportGesture(int result);
    // The checks every preset button makes first; false after showing why nothing is sent.
    bool CheckPresetAction();
    void OnAdd();
    void OnCall();
    void OnDelete();

    PtzSender sender_;
    PtzTarget target_;
    int selected_ = 0;
    int gestureResult_ = 0;  // the press's result, until its release
    std::array<HoldButton, 4> hold_{};
    std::array<CRadiobuttonEx*, 3> tiles_{};
    QPushButton* add_ = nullptr;
    QPushButton* call_ = nullptr;
    QPushButton* delete_ = nullptr;
    QGroupBox* presets_ = nullptr;
};

}  // namespace velmora::ui
