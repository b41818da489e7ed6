#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include <QObject>
#include <QPointer>
#include <QString>
#include <QWidget>

#include "camera/usb_camera.h"
#include "protocol/ability_list.h"
#include "protocol/video_param.h"
#include "transport/usb/cusb_device.h"
#include "ui/params/page_controller.h"
#include "ui/params/page_host.h"
#include "ui/params/param_actions.h"

class QPushButton;

// The main window's parameter pages in USB mode and their four buttons "恢复默认", "导出配置",
// "导入配置" and "刷新". The host creates the seven pages (picture, exposure, white balance,
// focus, enhancement, video, others) and the buttons without a parent: the main window parents
// and places each of them itself. Whatever of them still exists when the host goes is deleted
// with it, since the pages point at their host.
// The host is the pages' host: their requests go to the current USB camera (a shared UsbCamera,
// handed out by the camera directory) through the pages' controller. The borrowed CUSBDevice,
// which must outlive the host, serves OpenDevice by handle and stands in while no camera is
// current (its reads then report the invalid handle); page changes then send nothing and report
// success.
// Thread-bound: everything runs on the user-interface thread.
namespace velmora::ui {

class ParamPage;
class PictureTab;
class ExposureTab;
class WhiteBalanceTab;
class FocusTab;
class EnhanceTab;
class VideoTab;
class OthersTab;

namespace usb_params_ids {
using namespace param_action_ids;
}  // namespace usb_params_ids

class UsbParamsHost : public QObject, public PageHost {
    Q_OBJECT

public:
    using PathPrompt = ui::PathPrompt;

    explicit UsbParamsHost(transport::CUSBDevice& device, QObject* parent = nullptr);
    ~UsbParamsHost() override;

    // The window over which the path picker and the messages appear (may be null).
    void SetDialogParent(QWidget* parent) { dialogParent_ = parent; }
    void SetPathPrompt(PathPrompt prompt) { prompt_ = std::move(prompt); }

    // The double-click on a USB camera: forgets the current camera, reads the camera's ability
    // list (applied to the exposure, white-balance, focus and enhancement pages when read), its
    // frame rate (the exposure page's shutter list) and its record. When the record is read the
    // pages get it, `camera` becomes current and the pages and the four buttons are enabled;
    // otherwise "获取图像参数失败: %d." is shown and no camera is current.
    // Returns 0 or the read's result.
    int OpenCamera(std::shared_ptr<camera::UsbCamera> camera);
    // The same for an open handle of the host's CUSBDevice.
    int OpenDevice(int32_t handle);
    // No camera is current any more (the device list is being rebuilt, the camera left).
    //
    // While no camera is current the pages and the four buttons are disabled and the pages show
    // the record of no camera (empty boxes, no selection), so nothing looks live that would send
    // nothing; "恢复默认" also keeps its own guard. currentChanged() tells the window.
    void ClearCurrentDevice();
    // The current camera's handle, 0 when none is current.
    int32_t CurrentHandle() const;
    const std::shared_ptr<camera::UsbCamera>& CurrentCamera() const { return current_; }
    PageController& Controller() { return controller_; }

    // The four buttons' actions.
    void RestoreDefaults();
    void ExportParams();
    void ImportParams();
    void Refresh();

    // Hands the record's slices to the seven pages.
    void PushRecordToPages(const protocol::VideoParam& rec) { controller_.PushRecordToPages(rec); }

    // The pages in the table's order, and each by its title or its kind. Null once the main
    // window has deleted a page.
    std::vector<ParamPage*> Pages() const { return controller_.Pages(); }
    ParamPage* Page(std::string_view title) const { return controller_.Page(title); }
    PictureTab* Picture() const;
    ExposureTab* Exposure() const;
    WhiteBalanceTab* WhiteBalance() const;
    FocusTab* Focus() const;
    EnhanceTab* Enhance() const;
    VideoTab* Video() const;
    OthersTab* Others() const;
    // The buttons by control id; null for an unknown id.
    QPushButton* Button(int controlId) const;

    // PageHost over the current USB device.
    int SetVideoParamField(const protocol::VideoParamField& field, int32_t value) override;
    int GetFocusNear() override;
    const protocol::AbilityList& Abilities() const override { return controller_.Abilities(); }
    // Runs Refresh after the caller's handler has returned (a queued call); dropped with the host.
    void RequestRefresh() override;

signals:
    // A camera became current, or none is current any more.
    void currentChanged(bool hasCamera);

private:
    // Enables or disables the pages and the four buttons; without a camera the pages show the
    // record of no camera.
    void ShowCameraState(bool hasCamera);

    QPushButton* AddButton(int controlId, const char* text, bool enabled);

    transport::CUSBDevice& device_;
    PageController controller_;
    std::shared_ptr<camera::UsbCamera> current_;
    PathPrompt prompt_;
    QPointer<QWidget> dialogParent_;
    QPointer<PictureTab> picture_;
    QPointer<ExposureTab> exposure_;
    QPointer<WhiteBalanceTab> whiteBalance_;
    QPointer<FocusTab> focus_;
    QPointer<EnhanceTab> enhance_;
    QPointer<VideoTab> video_;
    QPointer<OthersTab> others_;
    std::vector<std::pair<int, QPointer<QPushButton>>> buttons_;
};

}  // namespace velmora::ui
