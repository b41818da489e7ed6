#pragma once

#include <memory>
#include <string_view>
#include <vector>

#include <QPointer>
#include <QString>

#include "camera/camera.h"
#include "protocol/ability_list.h"
#include "protocol/video_param.h"
#include "ui/params/param_page.h"

// What both hosts of the parameter pages (the image-parameter dialog over a network camera and
// the main window's USB host) do with their pages and their camera: open the camera into the
// pages, hand record slices to the pages (each page's slice offset comes from its table), the
// four actions (restore defaults, export, import, refresh) with their messages, and the page
// requests. A host only holds the controller, places the widgets and says which camera is
// current; what differs between the two hosts is a rule of the controller (Rules).
// Thread-bound: the user-interface thread. Its camera calls run off that thread while the window
// keeps painting (wait_off_thread.h); the camera is held for as long as a call waits.
namespace velmora::ui {

class ExposureTab;

class PageController {
public:
    struct Rules {
        // The main window: "获取图像参数失败: %d." when opening a camera cannot read its record,
        // and no camera is current afterwards. The dialog keeps its camera and says nothing.
        bool reportFailedOpen = false;
        // The dialog: the length message names the file's and the record's sizes
        // ("数据长度不匹配：%lld != %d."); the main window's says "数据长度不匹配！".
        bool lengthMismatchWithSizes = false;
    };

    explicit PageController(Rules rules) : rules_(rules) {}

    // Where Refresh, Export and Import go while no camera is current: the main window's USB
    // host reads "no camera" there (which answers -304, so the user sees why nothing was read);
    // without one they do nothing.
    void SetStandIn(std::shared_ptr<camera::Camera> camera) { standIn_ = std::move(camera); }

    // The pages in the host's order; a page the host's window deletes is skipped from then on.
    void AddPage(ParamPage* page);
    std::vector<ParamPage*> Pages() const;
    // A page by its title ("图像调节", "曝光参数", ...); null when there is none.
    ParamPage* Page(std::string_view title) const;

    // The current camera (null: none). Open reads it into the pages; Clear forgets it.
    camera::Camera* Current() const { return camera_.get(); }
    const std::shared_ptr<camera::Camera>& CurrentShared() const { return camera_; }
    // Forgets the current camera and reads `camera` into the pages: its ability list (applied
    // to every page), its frame rate (the exposure page's shutter list) and its record. When the
    // record is read, `camera` becomes current; otherwise (Rules::reportFailedOpen) the failure
    // is shown and no camera is current, or (the dialog) the camera stays current. Returns 0 or
    // the record read's result.
    int Open(std::shared_ptr<camera::Camera> camera);
    // Makes `camera` current without reading anything.
    void SetCurrent(std::shared_ptr<camera::Camera> camera) { camera_ = std::move(camera); }
    void Clear() { camera_.reset(); }
    const protocol::AbilityList& Abilities() const { return abilities_; }

    // Hands the record's slices to the pages.
    void PushRecordToPages(const protocol::VideoParam& rec);

    // The four actions on the current camera. An import that the camera takes is read back, so
    // the pages show the values the camera kept. Restore defaults does nothing without one; the
    // other three go to the stand-in then.
    void RestoreDefaults();
    void Refresh();
    void Export(const QString& path);
    void Import(const QString& path);

    // The page requests (PageHost) on the current camera; 0 without one (nothing is sent).
    int SetField(const protocol::VideoParamField& field, int32_t value);
    int GetFocusNear();

private:
    Rules rules_;
    std::shared_ptr<camera::Camera> ReadTarget() const { return camera_ ? camera_ : standIn_; }

    std::shared_ptr<camera::Camera> camera_;
    std::shared_ptr<camera::Camera> standIn_;
    protocol::AbilityList abilities_;
    std::vector<QPointer<ParamPage>> pages_;
};

// Reads the camera's record and writes it to `path` as the parameter file. The file gets the
// camera's values, not what the pages show. Shows "获取参数出错： %d" when the read fails,
// "文件打开失败" when the file cannot be written (a previous file stays whole) and
// "导出配置成功！" otherwise. Returns 0 or the negative failure.
int ExportCameraParams(camera::Camera& camera, const QString& path);

}  // namespace velmora::ui
