#include "upgrade/upgrade_texts.h"

namespace velmora {
namespace {

constexpr TextTranslation kEnglish[] = {
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
};

}  // namespace

std::span<const TextTranslation> UpgradeTextsInEnglish() { return kEnglish; }

std::string UpgradeTextIn(UiLanguage language, std::string_view text) {
    if (language == UiLanguage::Chinese) return std::string(text);
    return TranslateLines(text, kEnglish);
}

}  // namespace velmora
