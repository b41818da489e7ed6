#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <QDialog>
#include <QString>

#include "camera/net_camera.h"
#include "protocol/ability_list.h"
#include "protocol/video_param.h"
#include "ui/params/page_controller.h"
#include "ui/params/page_host.h"
#include "ui/params/param_actions.h"

class QPushButton;
class QTabWidget;

// The modal dialog "图像参数" in which the user edits the image parameters of one network camera.
// It hosts the picture, exposure, white-balance, focus and video pages, fills them
// from the camera when it opens, and offers restore defaults, export, import and refresh. It is
// the pages' host: every request leaves through the dialog's one NetCamera (the pages'
// controller's camera), on the caller's thread (the user-interface thread); there is no worker
// thread.
namespace velmora::ui {

class ParamPage;
class PictureTab;
class ExposureTab;
class FocusTab;
class VideoTab;
class WhiteBalanceTab;

namespace image_params_ids {
inline constexpr int kTemplate = 259;
inline constexpr int kTabControl = 1472;
using namespace param_action_ids;
}  // namespace image_params_ids

class ImageParamsDlg : public QDialog, public PageHost {
    Q_OBJECT

public:
    // The default prompt shows the path picker.
    using PathPrompt = ui::PathPrompt;

    explicit ImageParamsDlg(QWidget* parent = nullptr);
    ~ImageParamsDlg() override;

    // The login handle of the camera's session (-1 until set). Set it before the dialog is
    // shown; `address` and `port` serve the camera's pan/tilt probe only.
    void SetLoginHandle(int session, std::string address = {}, int port = 0);
    // The same with a camera the caller already holds (the camera directory's).
    void SetCamera(std::shared_ptr<camera::NetCamera> camera);
    int LoginHandle() const { return camera_->session(); }

    void SetPathPrompt(PathPrompt prompt) { prompt_ = std::move(prompt); }

    // Reads the ability list, the frame rate and the record into the pages, once; runs on the
    // first show unless called before.
    void Initialise();
    bool Initialised() const { return initialised_; }

    // The four buttons' actions.
    void RestoreDefaults();
    void ExportParams();
    void ImportParams();
    void Refresh();

    // Hands the record's slices to the pages, picture first and video last.
    void PushRecordToPages(const protocol::VideoParam& rec) { controller_.PushRecordToPages(rec); }

    QTabWidget* Tabs() const { return tabs_; }
    // The pages in tab order.
    const std::vector<ParamPage*>& Pages() const { return pages_; }
    ParamPage* Page(std::string_view title) const { return controller_.Page(title); }
    PictureTab* Picture() const { return picture_; }
    ExposureTab* Exposure() const { return exposure_; }
    WhiteBalanceTab* WhiteBalance() const { return whiteBalance_; }
    FocusTab* Focus() const { return focus_; }
    VideoTab* Video() const { return video_; }
    QPushButton* Button(int controlId) const;

    // PageHost over the dialog's camera.
    int SetVideoParamField(const protocol::VideoParamField& field, int32_t value) override;
    int GetFocusNear() override;
    const protocol::AbilityList& Abilities() const override { return controller_.Abilities(); }
    // Runs Refresh after the caller's handler has returned (a queued call).
    void RequestRefresh() override;

protected:
    void showEvent(QShowEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    QPushButton* AddButton(int controlId, const char* text, int x, int width);

    std::shared_ptr<camera::NetCamera> camera_;
    PageController controller_;
    PathPrompt prompt_;
    bool initialised_ = false;
    QTabWidget* tabs_ = nullptr;
    PictureTab* picture_ = nullptr;
    ExposureTab* exposure_ = nullptr;
    WhiteBalanceTab* whiteBalance_ = nullptr;
    FocusTab* focus_ = nullptr;
    VideoTab* video_ = nullptr;
    std::vector<ParamPage*> pages_;
    std::vector<QPushButton*> buttons_;
};

}  // namespace velmora::ui
