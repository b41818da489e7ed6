// The windows' language: the English translation shown with its accessible names, the core's
// formatted texts translated at the window boundary, the Chinese texts untouched without it, and
// Qt's own Chinese texts under Chinese.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include <QAction>
#include <QDialogButtonBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPushButton>
#include <QSlider>
#include <QTemporaryDir>
#include <QTreeWidget>

#include "ui/common/ui_text.h"
#include "upgrade/upgrade_texts.h"
#include "ui/controls/message_boxes.h"
#include "ui/controls/path_picker.h"
#include "ui/listed_lan_cameras.h"
#include "ui/main/velmora_dlg.h"
#include "ui/main_window_fixture.h"
#include "ui/params/picture_page.h"
#include "ui/params/usb_params_host.h"
#include "ui/ui_test_support.h"

using namespace velmora::upgrade;

using namespace velmora;
using namespace velmora::ui;
using namespace velmora::platform;

namespace {

class UiLanguageTest : public ::testing::Test {
protected:
    void TearDown() override { RemoveUiTranslations(); }

    // A few texts of the main window, in the order menu bar, tree, instruction line, picture
    // page's brightness label, its slider's accessible name, restore button.
    QStringList MainWindowTexts() {
        QTemporaryDir home;
        ListedLanCameras lan;
        auto w = test::OpenSimulatedWindow(home.path().toStdString() + "/", lan);
        QStringList texts;
        for (QAction* item : w->MenuBar()->actions()) texts << item->text();
        texts << w->Tree()->topLevelItem(0)->text(0) << w->Tree()->accessibleName();
        texts << w->findChild<QLabel*>(QString::number(main_ids::kInstruction))->text();
        const ParamPage* picture = w->UsbHost().Picture();
        QSlider* brightness = picture->Slider(picture_ids::kBrightnessSlider);
        for (QLabel* label : picture->findChildren<QLabel*>())
            if (label->buddy() == brightness) texts << label->text();
        texts << brightness->accessibleName();
        texts << w->UsbHost().Button(param_action_ids::kRestoreButton)->accessibleName();
        return texts;
    }
};

TEST_F(UiLanguageTest, EnglishShowsTranslatedTextsWithMatchingAccessibleNamesAndChineseComesBack) {
    const QStringList chinese = MainWindowTexts();
    EXPECT_EQ(chinese.mid(0, 6), (QStringList{"通讯", "配置", "画面", "升级", "工具", "帮助"}));
    EXPECT_EQ(chinese.mid(6), (QStringList{"设备列表", "设备列表", "操作说明：双击设备节点以获取视频参数。", "亮度:",
                                           "亮度", "恢复默认"}));

    QString problem;
    ASSERT_TRUE(InstallUiTranslations(UiLanguage::English, &problem)) << problem.toStdString();
    EXPECT_EQ(CurrentUiLanguage(), UiLanguage::English);
    const QStringList english = MainWindowTexts();
    EXPECT_EQ(english.mid(0, 6), (QStringList{"Connection", "Settings", "View", "Upgrade", "Tools", "Help"}));
    EXPECT_EQ(english.mid(6), (QStringList{"Devices", "Devices", "How to: double-click a device to read its video parameters.",
                                           "Brightness:", "Brightness", "Defaults"}));
    PathPicker picker;
    EXPECT_EQ(picker.windowTitle(), "Please choose a path");
    EXPECT_EQ(picker.PathEdit()->accessibleName(), "Path");

    RemoveUiTranslations();
    EXPECT_EQ(MainWindowTexts(), chinese);
}

// The core formats its texts before the window sees them: the pattern is found, translated and
// filled with the same numbers and names; anything unknown passes unchanged.
TEST_F(UiLanguageTest, FormattedCoreTextsAreTranslatedWithTheirValues) {
    EXPECT_EQ(CoreText("登录失败 错误码为-1008"), "登录失败 错误码为-1008");  // Chinese: as it came
    ASSERT_TRUE(InstallUiTranslations(UiLanguage::English));
    const std::pair<std::string, QString> cases[] = {
        {"登录失败 错误码为-1008", "Login failed, error code -1008"},
        // The reason after the code is translated too.
        {"登录失败 错误码为-1008（用户名或密码错误）", "Login failed, error code -1008 (wrong user name or password)"},
        {"版本不符:1.02", "Wrong version: 1.02"},
        {"未选中！", "Nothing selected!"},
        {"升级[uimage](烧写中):33%", "Upgrade [uimage] (writing): 33%"},
        {"升级[rootfs]超时:进度120秒无变化", "Upgrade [rootfs] timed out: no progress for 120 s"},
        // Digits inside a path belong to the path, not to the pattern.
        {"无法打开文件:/tmp/fw2.bin", "Cannot open the file: /tmp/fw2.bin"},
        {"升级包过大(须小于4GB):/tmp/big-4.dat", "Upgrade package too large (must be under 4 GB): /tmp/big-4.dat"},
        {"添加预置位3失败，返回错误码：-5。", "Adding preset 3 failed, error code: -5."},
        // Each line on its own: the given text, then the file and a reason in English.
        {"文件打开失败\n/tmp/x.dat: it is a FIFO", "The file could not be opened\n/tmp/x.dat: it is a FIFO"},
        {"请求主码流失败! 错误码为: -3\n", "Main stream request failed! Error code: -3\n"},
        {"未知的文字 42", "未知的文字 42"},
        {"", ""},
    };
    for (const auto& [core, shown] : cases) EXPECT_EQ(CoreText(core), shown) << core;

    // The message boxes go through it, their buttons too.
    auto box = BuildMessageBox(MessageKind::YesNo, "确定退出？");
    EXPECT_EQ(box->text(), "Quit Velmora?");
    QStringList buttons;
    for (QAbstractButton* b : box->buttons()) buttons << b->text();
    buttons.sort();
    EXPECT_EQ(buttons, (QStringList{"No", "Yes"}));
}

// The command-line tool's English upgrade lines are the windows' English upgrade states.
TEST_F(UiLanguageTest, TheCommandLinesUpgradeTextsAgreeWithTheWindowsTranslation) {
    ASSERT_TRUE(InstallUiTranslations(UiLanguage::English));
    for (const TextTranslation& t : UpgradeTextsInEnglish())
        EXPECT_EQ(UiText(t.source), QString::fromUtf8(t.translation)) << t.source;
}

// Under Chinese, Qt's own dialogs speak Chinese too; the path picker's chooser says what it is for.
TEST_F(UiLanguageTest, ChineseLoadsQtsOwnChineseTextsAndThePickerCaptionNamesItsUse) {
    QString problem;
    ASSERT_TRUE(InstallUiTranslations(UiLanguage::Chinese, &problem)) << problem.toStdString();
    QDialogButtonBox standard(QDialogButtonBox::Cancel | QDialogButtonBox::Open);
    EXPECT_EQ(standard.button(QDialogButtonBox::Cancel)->text(), "取消");
    EXPECT_EQ(standard.button(QDialogButtonBox::Open)->text(), "打开");

    PathPicker picker;
    EXPECT_EQ(picker.BrowseCaption(), "选择导出配置的文件夹");
    picker.SetFolderMode(false);
    EXPECT_EQ(picker.BrowseCaption(), "选择要导入的配置文件");
    picker.SetBrowseCaption(QStringLiteral("选择配置文件"));
    EXPECT_EQ(picker.BrowseCaption(), "选择配置文件");
}

}  // namespace
