#include "upgrade/upgrade_texts.h"

namespace velmora::upgrade {
namespace {

constexpr platform::TextTranslation kEnglish[] = {
    {"文件读取失败！", "Reading the file failed!"},
    {"无法打开文件:%s", "Cannot open the file: %s"},
    {"升级包过大(须小于4GB):%s", "Upgrade package too large (must be under 4 GB): %s"},
    {"升级包为空:%s", "Upgrade package is empty: %s"},
    {"重启成功的设备将从列表删除，稍后请重新手动刷新.", "Rebooted devices leave the list; refresh it by hand later."},
    {"停止升级", "Stop upgrade"},
    {"请求升级[%s]...", "Requesting upgrade [%s]..."},
    {"请求升级失败:%d", "Upgrade request failed: %d"},
    {"发送升级包[%s]..", "Sending package [%s].."},
    {"升级[%s]失败:%d", "Upgrade [%s] failed: %d"},
    {"升级[%s]失败: %d", "Upgrade [%s] failed: %d"},
    {"升级[%s]返回失败:%d", "Upgrade [%s] reported failure: %d"},
    {"升级返回失败:%d", "Upgrade reported failure: %d"},
    {"升级[%s]: %d%%", "Upgrade [%s]: %d%%"},
    {"升级[%s](烧写中):%d%%", "Upgrade [%s] (writing): %d%%"},
    {"升级[%s]超时:进度%d秒无变化", "Upgrade [%s] timed out: no progress for %d s"},
    {"升级成功.", "Upgrade succeeded."},
    {"重启失败", "Reboot failed"},
    {"设备已经重启", "Device rebooted"},
    {"升级超时:%s秒内未完成", "Upgrade timed out: not finished within %s s"},
    {"重启中...", "Rebooting..."},
    {"重启失败:%d", "Reboot failed: %d"},
    {"等待设备重新上线...", "Waiting for the device to come back..."},
    {"重启后未上线", "Not back after the reboot"},
    {"校验版本...", "Checking the version..."},
    {"读取设备信息失败:%d", "Reading the device information failed: %d"},
    {"版本未变", "Version unchanged"},
    {"版本不符:%s", "Wrong version: %s"},
    {"编译时间不符:%s", "Wrong build date: %s"},
    {"校验通过:版本%s", "Checked: version %s"},
};

}  // namespace

std::span<const platform::TextTranslation> UpgradeTextsInEnglish() { return kEnglish; }

std::string UpgradeTextIn(platform::UiLanguage language, std::string_view text) {
    if (language == platform::UiLanguage::Chinese) return std::string(text);
    return TranslateLines(text, kEnglish);
}

}  // namespace velmora::upgrade
