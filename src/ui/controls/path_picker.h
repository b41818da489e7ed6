#pragma once

#include <functional>

#include <QDialog>
#include <QString>

class QLineEdit;
class QPushButton;

// The small modal dialog "请选择路径" that asks where a parameter file goes (export, folder mode)
// or comes from (import, file mode). "浏览" runs the chooser of the mode and puts its result in
// the edit box "路径"; the path can also be typed. "确定" hands the edit box's text to the caller,
// "取消" hands nothing. The caller opens the file and reports its own errors.
// Thread-bound: the user-interface thread.
namespace velmora::ui {

// The file name that folder mode appends to the chosen folder.
inline constexpr const char* kParamFileName = "video_params.dat";

// The system choosers behind "浏览", replaceable so tests need no real dialog. Each returns a
// null QString when the user cancels.
struct PathChoosers {
    std::function<QString(QWidget* parent)> chooseFolder;
    std::function<QString(QWidget* parent, const QString& filters)> chooseFile;
};

// QFileDialog::getExistingDirectory and QFileDialog::getOpenFileName.
PathChoosers SystemPathChoosers();

class PathPicker : public QDialog {
    Q_OBJECT

public:
    static constexpr int kTemplate = 284;
    static constexpr int kPathEditId = 1517;
    static constexpr int kBrowseId = 1518;
    // The open-file filters of file mode.
    static const QString& FileFilters();

    explicit PathPicker(QWidget* parent = nullptr, PathChoosers choosers = SystemPathChoosers());

    // Folder mode (the default) picks a folder and appends the file name; file mode picks a file.
    void SetFolderMode(bool folderMode) { folderMode_ = folderMode; }
    bool FolderMode() const { return folderMode_; }
    // The caption of the system chooser behind "浏览": by default the folder to export into
    // (folder mode) or the file to import (file mode); a caller with another use names its own.
    void SetBrowseCaption(const QString& caption) { browseCaption_ = caption; }
    QString BrowseCaption() const;

    // The edit box's text when the dialog was closed with "确定"; empty otherwise.
    QString Path() const { return path_; }

    QLineEdit* PathEdit() const { return edit_; }
    QPushButton* BrowseButton() const { return browse_; }
    QPushButton* OkButton() const { return ok_; }
    QPushButton* CancelButton() const { return cancel_; }

    void accept() override;

private:
    void Browse();

    PathChoosers choosers_;
    bool folderMode_ = true;
    QString browseCaption_;
    QString path_;
    QLineEdit* edit_ = nullptr;
    QPushButton* browse_ = nullptr;
    QPushButton* ok_ = nullptr;
    QPushButton* cancel_ = nullptr;
};

}  // namespace velmora::ui
