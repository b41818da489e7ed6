#pragma once

#include <functional>
#include <optional>

#include <QString>


class QWidget;

// The buttons and the path prompt that both hosts of the parameter pages (the image-parameter
// dialog and the main window's USB host) share; their actions are PageController's.
namespace velmora::ui {

// The four action buttons both hosts carry, with the ids of their templates.
namespace param_action_ids {
inline constexpr int kRestoreButton = 1512;
inline constexpr int kExportButton = 1514;
inline constexpr int kImportButton = 1516;
inline constexpr int kRefreshButton = 1517;
}  // namespace param_action_ids

// Asks where a parameter file goes (folderMode) or comes from; nullopt when the user cancels (an
// accepted empty path is a path that cannot be opened). Tests put their own in place of the
// path picker.
using PathPrompt = std::function<std::optional<QString>(QWidget* parent, bool folderMode)>;

// Shows the path picker in folder mode (export) or file mode (import). nullopt when the user
// cancels; an accepted empty path is a path that cannot be opened.
std::optional<QString> AskWithPathPicker(QWidget* parent, bool folderMode);
// The same prompt, its chooser titled `caption` instead of the export or import caption.
PathPrompt PathPickerTitled(const QString& caption);

}  // namespace velmora::ui
