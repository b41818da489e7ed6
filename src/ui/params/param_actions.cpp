#include "ui/params/param_actions.h"

#include <QDialog>

#include "ui/controls/path_picker.h"

namespace velmora::ui {

namespace {

std::optional<QString> Ask(QWidget* parent, bool folderMode, const QString& caption) {
    PathPicker picker(parent);
    picker.SetFolderMode(folderMode);
    if (!caption.isEmpty()) picker.SetBrowseCaption(caption);
    if (picker.exec() != QDialog::Accepted) return std::nullopt;
    return picker.Path();
}

}  // namespace

std::optional<QString> AskWithPathPicker(QWidget* parent, bool folderMode) { return Ask(parent, folderMode, {}); }

PathPrompt PathPickerTitled(const QString& caption) {
    return [caption](QWidget* parent, bool folderMode) { return Ask(parent, folderMode, caption); };
}

}  // namespace velmora::ui
