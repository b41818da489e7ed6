#include "ui/params/page_controller.h"

#include <span>
#include <utility>

#include "platform/text.h"
#include "platform/user_messages.h"
#include "protocol/param_file.h"
#include "ui/common/wait_off_thread.h"
#include "ui/params/exposure_page.h"

namespace velmora::ui {

namespace {

constexpr const char kRestoreQuestion[] = "所有视频参数都将恢复默认，确认执行此操作?";
constexpr const char kReadFailed[] = "获取图像参数失败: %d.";
constexpr const char kFileOpenFailed[] = "文件打开失败";
constexpr const char kImported[] = "导入配置成功！";
constexpr const char kLengthMismatch[] = "数据长度不匹配！";
constexpr const char kLengthMismatchSizes[] = "数据长度不匹配：%lld != %d.";
constexpr const char kExportReadFailed[] = "获取参数出错： %d";
constexpr const char kExported[] = "导出配置成功！";

}  // namespace

void PageController::AddPage(ParamPage* page) { pages_.emplace_back(page); }

std::vector<ParamPage*> PageController::Pages() const {
    std::vector<ParamPage*> pages;
    for (const QPointer<ParamPage>& page : pages_) pages.push_back(page.data());
    return pages;
}

ParamPage* PageController::Page(std::string_view title) const {
    for (const QPointer<ParamPage>& page : pages_) {
        if (page && title == page->Table().title) return page.data();
    }
    return nullptr;
}

int PageController::Open(std::shared_ptr<camera::Camera> camera) {
    if (rules_.reportFailedOpen) camera_.reset();
    if (!camera) return 0;
    // The ability list first: it decides the pages' choices, then the frame rate filters the
    // shutter speeds, and the record selects among them.
    // A list that cannot be read (too long, not an array, refused) leaves an empty one: the pages
    // fall back to their built-in choices instead of keeping the previous camera's value codes.
    protocol::AbilityList list;
    if (WaitOffUiThread([&] { return camera->ReadAbilityList(list); }) != 0) list.Clear();
    abilities_ = std::move(list);
    for (const QPointer<ParamPage>& page : pages_) {
        if (page) page->ApplyAbility();
    }
    const int frameRate = WaitOffUiThread([&] { return camera->GetFrameRate(); });
    if (frameRate > 0) {
        if (auto* exposure = dynamic_cast<ExposureTab*>(Page(ExposurePageSpec().title))) exposure->FillShutterList(frameRate);
    }
    protocol::VideoParam rec{};
    const int result = WaitOffUiThread([&] { return camera->ReadVideoParams(rec); });
    if (result != 0 && rules_.reportFailedOpen) {
        platform::Messages().Information(platform::Format(kReadFailed, result));
        return result;
    }
    camera_ = std::move(camera);
    if (result != 0) return result;
    PushRecordToPages(rec);
    return 0;
}

void PageController::PushRecordToPages(const protocol::VideoParam& rec) {
    for (const QPointer<ParamPage>& page : pages_) {
        if (!page || page->Table().sliceOffset < 0) continue;
        page->FillFromRecord(std::span<const uint8_t>(rec.bytes).subspan(static_cast<size_t>(page->Table().sliceOffset)));
    }
}

void PageController::RestoreDefaults() {
    if (!camera_) return;
    if (!platform::Messages().AskOkCancel(kRestoreQuestion)) return;
    const std::shared_ptr<camera::Camera> camera = camera_;                      // kept alive while the calls wait
    if (WaitOffUiThread([&] { return camera->RestoreDefaults(); }) < 0) return;  // the camera has shown its code
    protocol::VideoParam rec{};
    const int result = WaitOffUiThread([&] { return camera->ReadVideoParams(rec); });
    if (result != 0) {
        platform::Messages().Information(platform::Format(kReadFailed, result));
        return;
    }
    PushRecordToPages(rec);
}

void PageController::Refresh() {
    const std::shared_ptr<camera::Camera> camera = ReadTarget();
    if (camera == nullptr) return;
    protocol::VideoParam rec{};
    const int result = WaitOffUiThread([&] { return camera->ReadVideoParams(rec); });
    if (result < 0) {
        platform::Messages().Information(platform::Format(kReadFailed, result));
        return;
    }
    PushRecordToPages(rec);
}

void PageController::Export(const QString& path) {
    if (const std::shared_ptr<camera::Camera> camera = ReadTarget()) ExportCameraParams(*camera, path);
}

void PageController::Import(const QString& path) {
    const std::shared_ptr<camera::Camera> camera = ReadTarget();
    if (camera == nullptr) return;
    protocol::VideoParam rec{};
    long long size = -1;
    std::string why;
    const int loaded = protocol::LoadParamFile(path.toStdString(), rec, &size, &why);
    if (loaded == protocol::kParamFileSizeMismatch) {
        platform::Messages().Information(
            rules_.lengthMismatchWithSizes
                ? platform::Format(kLengthMismatchSizes, size, static_cast<int>(protocol::kVideoParamSize))
                : std::string(kLengthMismatch));
        return;
    }
    if (loaded != 0) {
        // The given text, then the file and the reason on the next line of the same box.
        platform::Messages().Information(platform::WithFileReason(kFileOpenFailed, path.toStdString(), why));
        return;
    }
    // The pages show the file's values at once, also when the camera then refuses them.
    PushRecordToPages(rec);
    if (WaitOffUiThread([&] { return camera->WriteVideoParams(rec); }) != 0) return;
    // The pages then show what the camera kept (a camera may clamp or ignore a value); when the
    // read-back fails they keep the file's values.
    protocol::VideoParam kept{};
    if (WaitOffUiThread([&] { return camera->ReadVideoParams(kept); }) == 0) PushRecordToPages(kept);
    platform::Messages().Information(kImported);
}

int PageController::SetField(const protocol::VideoParamField& field, int32_t value) {
    if (!camera_) return 0;
    const std::shared_ptr<camera::Camera> camera = camera_;
    return WaitOffUiThread([&] { return camera->SetField(field, value); });
}

int PageController::GetFocusNear() {
    if (!camera_) return 0;
    const std::shared_ptr<camera::Camera> camera = camera_;
    return WaitOffUiThread([&] { return camera->GetFocusNear(); });
}

int ExportCameraParams(camera::Camera& camera, const QString& path) {
    protocol::VideoParam rec{};
    const int result = WaitOffUiThread([&] { return camera.ReadVideoParams(rec); });
    if (result != 0) {
        platform::Messages().Information(platform::Format(kExportReadFailed, result));
        return result < 0 ? result : -1;
    }
    // Written beside the target and renamed over it, so a failed export leaves an older file
    // whole. Every failure is the one message the hosts have for it.
    std::string why;
    const int saved = protocol::SaveParamFile(path.toStdString(), rec, &why);
    if (saved != 0) {
        platform::Messages().Information(platform::WithFileReason(kFileOpenFailed, path.toStdString(), why));
        return saved;
    }
    platform::Messages().Information(kExported);
    return 0;
}

}  // namespace velmora::ui
