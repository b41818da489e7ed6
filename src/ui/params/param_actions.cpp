#include "ui/params/param_actions.h"

#include <QDialog>

#include "ui/controls/path_picker.h"

namespace velmora::ui {

std::optional<QString> AskWithPathPicker(QWidget* parent, bool folderMode) {
    PathPicker picker(parent);
    picker.SetFolderMode(folderMode);
    if (picker.exec() != QDialog::Accepted) return std::nullopt;
    return picker.Path();
}

}  // namespace velmora::ui
