#include "ui/params/param_actions.h"

#include <QDialog>

#include "platform/user_messages.h"
#include "protocol/param_file.h"
#include "ui/controls/path_picker.h"

namespace velmora::ui {

namespace {
constexpr const char kExportReadFailed[] = "获取参数出错： %d";
constexpr const char kFileOpenFailed[] = "文件打开失败";
constexpr const char kExported[] = "导出配置成功！";
}  // namespace

std::optional<QString> AskWithPathPicker(QWidget* parent, bool folderMode) {
    PathPicker picker(parent);
    picker.SetFolderMode(folderMode);
    if (picker.exec() != QDialog::Accepted) return std::nullopt;
    return picker.Path();
}

int ExportCameraParams(Camera& camera, const QString& path) {
    VideoParam rec{};
    const int result = camera.ReadVideoParams(rec);
    if (result != 0) {
        Messages().Information(Format(kExportReadFailed, result));
        return result < 0 ? result : -1;
    }
    // Written beside the target and renamed over it, so a failed export leaves an older file
    // whole. Every failure is the one message the hosts have for it.
    const int saved = SaveParamFile(path.toStdString(), rec);
    if (saved != 0) {
        Messages().Information(kFileOpenFailed);
        return saved;
    }
    Messages().Information(kExported);
    return 0;
}

}  // namespace velmora::ui
