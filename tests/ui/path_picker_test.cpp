// The path picker with scripted choosers, and the message boxes' exact texts and buttons.
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <gtest/gtest.h>

#include "ui/controls/message_boxes.h"
#include "ui/controls/path_picker.h"

namespace velmora::ui {
namespace {

struct ChooserScript {
    QString folder;  // null: cancelled
    QString file;
    QString filtersSeen;
    int calls = 0;

    PathChoosers Choosers() {
        PathChoosers choosers;
        choosers.chooseFolder = [this](QWidget*) {
            ++calls;
            return folder;
        };
        choosers.chooseFile = [this](QWidget*, const QString& filters) {
            ++calls;
            filtersSeen = filters;
            return file;
        };
        return choosers;
    }
};

// Runs the dialog modally and clicks `button` once it is up.
int RunAndClick(PathPicker& picker, QPushButton* button) {
    QTimer::singleShot(0, button, &QPushButton::click);
    return picker.exec();
}

TEST(PathPickerTest, FolderModeAppendsTheFileName) {
    ChooserScript script;
    PathPicker picker(nullptr, script.Choosers());
    EXPECT_TRUE(picker.FolderMode());
    EXPECT_EQ(picker.windowTitle(), "请选择路径");
    EXPECT_EQ(picker.PathEdit()->accessibleName(), "路径");
    EXPECT_EQ(picker.BrowseButton()->text(), "浏览");
    EXPECT_EQ(picker.OkButton()->text(), "确定");
    EXPECT_EQ(picker.CancelButton()->text(), "取消");
    EXPECT_TRUE(picker.OkButton()->isDefault());

    script.folder = "/home/user/cfg";
    picker.PathEdit()->setText("typed before browsing");
    picker.BrowseButton()->click();
    EXPECT_EQ(picker.PathEdit()->text(), "/home/user/cfg/video_params.dat");

    script.folder = "/";
    picker.BrowseButton()->click();
    EXPECT_EQ(picker.PathEdit()->text(), "//video_params.dat");

    script.folder = QString();  // cancelled: relative to the current directory
    picker.BrowseButton()->click();
    EXPECT_EQ(picker.PathEdit()->text(), "./video_params.dat");
    EXPECT_EQ(script.calls, 3);
    EXPECT_EQ(RunAndClick(picker, picker.OkButton()), QDialog::Accepted);
    EXPECT_EQ(picker.Path(), "./video_params.dat");
}

TEST(PathPickerTest, FileModeAndTheTwoWaysOut) {
    ChooserScript script;
    PathPicker picker(nullptr, script.Choosers());
    picker.SetFolderMode(false);
    script.file = "/data/old/video_params.dat";
    picker.BrowseButton()->click();
    EXPECT_EQ(picker.PathEdit()->text(), "/data/old/video_params.dat");
    EXPECT_EQ(script.filtersSeen, "DAT(*.dat);;ALLSUPORTFILE(*.*)");

    script.file = QString();  // cancelled: the box empties
    picker.BrowseButton()->click();
    EXPECT_EQ(picker.PathEdit()->text(), "");
    EXPECT_EQ(RunAndClick(picker, picker.OkButton()), QDialog::Accepted);
    EXPECT_EQ(picker.Path(), "");

    // A typed path is taken as it is; Cancel hands nothing, whatever the box shows.
    PathPicker typed(nullptr, script.Choosers());
    typed.PathEdit()->setText("/tmp/typed.dat");
    EXPECT_EQ(RunAndClick(typed, typed.OkButton()), QDialog::Accepted);
    EXPECT_EQ(typed.Path(), "/tmp/typed.dat");
    PathPicker cancelled(nullptr, script.Choosers());
    cancelled.PathEdit()->setText("/tmp/typed.dat");
    EXPECT_EQ(RunAndClick(cancelled, cancelled.CancelButton()), QDialog::Rejected);
    EXPECT_EQ(cancelled.Path(), "");
}

TEST(MessageBoxTest, ExactTextsAndChineseButtons) {
    auto texts = [](QMessageBox& box) {
        QStringList list;
        for (QAbstractButton* b : box.buttons()) list << b->text();
        list.sort();
        return list;
    };
    auto info = BuildMessageBox(MessageKind::Information, "设置失败！");
    EXPECT_EQ(info->text(), "设置失败！");
    EXPECT_EQ(texts(*info), QStringList{"确定"});
    auto okCancel = BuildMessageBox(MessageKind::OkCancel, "所有视频参数都将恢复默认，确认执行此操作?");
    EXPECT_EQ(texts(*okCancel), (QStringList{"取消", "确定"}));
    EXPECT_EQ(okCancel->defaultButton()->text(), "确定");
    auto yesNo = BuildMessageBox(MessageKind::YesNo, "?");
    EXPECT_EQ(texts(*yesNo), (QStringList{"否", "是"}));
    EXPECT_EQ(yesNo->escapeButton()->text(), "否");
}

}  // namespace
}  // namespace velmora::ui
