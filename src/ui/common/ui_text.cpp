#include "ui/common/ui_text.h"

#include <memory>
#include <vector>

#include <QLibraryInfo>
#include <QLocale>
#include <QStringList>
#include <QTranslator>

#include "platform/text_language.h"

// The English translation is a resource of this static library: referencing its initialiser keeps
// the linker from dropping it.
static void InitTranslationResource() { Q_INIT_RESOURCE(velmora_translations); }

namespace velmora::ui {
namespace {

// The patterns of the texts the core and the message boxes format: %d a whole number, %s any
// text, %% a percent sign. lupdate reads them from here; CoreText matches them at run time.
constexpr const char* kCorePatterns[] = {
    // Message boxes.
    QT_TRANSLATE_NOOP("velmora", "未选中！"),
    QT_TRANSLATE_NOOP("velmora", "登录失败 错误码为%d"),
    QT_TRANSLATE_NOOP("velmora", "登录失败 错误码为%d（%s）"),
    // The reasons of a failed login (LoginFailureReason), filled into the line above.
    QT_TRANSLATE_NOOP("velmora", "用户名或密码错误"),
    QT_TRANSLATE_NOOP("velmora", "该地址没有相机应答"),
    QT_TRANSLATE_NOOP("velmora", "相机未及时应答"),
    QT_TRANSLATE_NOOP("velmora", "相机断开了连接"),
    QT_TRANSLATE_NOOP("velmora", "相机拒绝登录"),
    QT_TRANSLATE_NOOP("velmora", "相机的会话已满"),
    QT_TRANSLATE_NOOP("velmora", "相机的协议版本不同"),
    QT_TRANSLATE_NOOP("velmora", "无法理解相机的应答"),
    QT_TRANSLATE_NOOP("velmora", "地址、用户名或密码不可用"),
    QT_TRANSLATE_NOOP("velmora", "网络库未初始化"),
    QT_TRANSLATE_NOOP("velmora", "请求主码流失败! 错误码为: %d"),
    QT_TRANSLATE_NOOP("velmora", "返回错误码: %d"),
    QT_TRANSLATE_NOOP("velmora", "无效的设备句柄!"),
    QT_TRANSLATE_NOOP("velmora", "无效的登录句柄！"),
    QT_TRANSLATE_NOOP("velmora", "设置失败！"),
    QT_TRANSLATE_NOOP("velmora", "请输入一个整数。"),
    QT_TRANSLATE_NOOP("velmora", "所有视频参数都将恢复默认，确认执行此操作?"),
    QT_TRANSLATE_NOOP("velmora", "获取图像参数失败: %d."),
    QT_TRANSLATE_NOOP("velmora", "文件打开失败"),
    QT_TRANSLATE_NOOP("velmora", "导入配置成功！"),
    QT_TRANSLATE_NOOP("velmora", "导出配置成功！"),
    QT_TRANSLATE_NOOP("velmora", "数据长度不匹配！"),
    QT_TRANSLATE_NOOP("velmora", "数据长度不匹配：%d != %d."),
    QT_TRANSLATE_NOOP("velmora", "获取参数出错： %d"),
    QT_TRANSLATE_NOOP("velmora", "未选中预置位！"),
    QT_TRANSLATE_NOOP("velmora", "添加预置位%d失败，返回错误码：%d。"),
    QT_TRANSLATE_NOOP("velmora", "添加预置位%d成功。"),
    QT_TRANSLATE_NOOP("velmora", "调用预置位%d失败，返回错误码：%d。"),
    QT_TRANSLATE_NOOP("velmora", "确定要删除预置位%d？"),
    QT_TRANSLATE_NOOP("velmora", "删除预置位%d失败，返回错误码：%d。"),
    QT_TRANSLATE_NOOP("velmora", "删除预置位%d成功。"),
    QT_TRANSLATE_NOOP("velmora", "删除"),
    QT_TRANSLATE_NOOP("velmora", "确定退出？"),
    // Firmware upgrade: messages, the status line and the state column.
    QT_TRANSLATE_NOOP("velmora", "文件读取失败！"),
    QT_TRANSLATE_NOOP("velmora", "无法打开文件:%s"),
    QT_TRANSLATE_NOOP("velmora", "升级包过大(须小于4GB):%s"),
    QT_TRANSLATE_NOOP("velmora", "升级包为空:%s"),
    QT_TRANSLATE_NOOP("velmora", "重启成功的设备将从列表删除，稍后请重新手动刷新."),
    QT_TRANSLATE_NOOP("velmora", "停止升级"),
    QT_TRANSLATE_NOOP("velmora", "请求升级[%s]..."),
    QT_TRANSLATE_NOOP("velmora", "请求升级失败:%d"),
    QT_TRANSLATE_NOOP("velmora", "发送升级包[%s].."),
    QT_TRANSLATE_NOOP("velmora", "升级[%s]失败:%d"),
    QT_TRANSLATE_NOOP("velmora", "升级[%s]失败: %d"),
    QT_TRANSLATE_NOOP("velmora", "升级[%s]返回失败:%d"),
    QT_TRANSLATE_NOOP("velmora", "升级返回失败:%d"),
    QT_TRANSLATE_NOOP("velmora", "升级[%s]: %d%%"),
    QT_TRANSLATE_NOOP("velmora", "升级[%s](烧写中):%d%%"),
    QT_TRANSLATE_NOOP("velmora", "升级[%s]超时:进度%d秒无变化"),
    QT_TRANSLATE_NOOP("velmora", "升级成功."),
    QT_TRANSLATE_NOOP("velmora", "重启失败"),
    QT_TRANSLATE_NOOP("velmora", "设备已经重启"),
    // After the flash: reboot, wait for the camera, check its version.
    QT_TRANSLATE_NOOP("velmora", "升级超时:%s秒内未完成"),
    QT_TRANSLATE_NOOP("velmora", "重启中..."),
    QT_TRANSLATE_NOOP("velmora", "重启失败:%d"),
    QT_TRANSLATE_NOOP("velmora", "等待设备重新上线..."),
    QT_TRANSLATE_NOOP("velmora", "重启后未上线"),
    QT_TRANSLATE_NOOP("velmora", "校验版本..."),
    QT_TRANSLATE_NOOP("velmora", "读取设备信息失败:%d"),
    QT_TRANSLATE_NOOP("velmora", "版本未变"),
    QT_TRANSLATE_NOOP("velmora", "版本不符:%s"),
    QT_TRANSLATE_NOOP("velmora", "编译时间不符:%s"),
    QT_TRANSLATE_NOOP("velmora", "校验通过:版本%s"),
};

QString CoreLine(const QString& line) {
    if (line.isEmpty()) return line;
    const QByteArray utf8 = line.toUtf8();
    const QString whole = QCoreApplication::translate(kTextContext, utf8.constData());
    if (whole != line) return whole;
    std::vector<std::string> values;
    for (const char* pattern : kCorePatterns) {
        if (!platform::MatchTextPattern(pattern, std::string_view(utf8.constData(), utf8.size()), &values)) continue;
        const QByteArray translation = QCoreApplication::translate(kTextContext, pattern).toUtf8();
        if (translation == pattern) return line;
        // A value that is itself a known text (a login failure's reason) is translated too.
        for (std::string& value : values) value = QCoreApplication::translate(kTextContext, value.c_str()).toStdString();
        return QString::fromStdString(platform::FillTextPattern(translation.toStdString(), values));
    }
    return line;
}

struct Installed {
    std::vector<std::unique_ptr<QTranslator>> translators;
    platform::UiLanguage language = platform::UiLanguage::Chinese;
};

Installed& State() {
    static Installed state;
    return state;
}

}  // namespace

bool InstallUiTranslations(platform::UiLanguage language, QString* problem) {
    RemoveUiTranslations();
    State().language = language;
    auto translator = std::make_unique<QTranslator>();
    bool loaded = false;
    if (language == platform::UiLanguage::English) {
        InitTranslationResource();
        loaded = translator->load(QStringLiteral(":/i18n/velmora_en.qm"));
        if (!loaded && problem) *problem = QStringLiteral("the English translation is missing from the program");
    } else {
        const QString folder = QLibraryInfo::path(QLibraryInfo::TranslationsPath);
        loaded = translator->load(QLocale(QLocale::Chinese, QLocale::China), QStringLiteral("qtbase"),
                                  QStringLiteral("_"), folder);
        if (!loaded && problem)
            *problem = QStringLiteral("Qt's Chinese texts (qtbase_zh_CN.qm) are not in %1").arg(folder);
    }
    if (loaded && QCoreApplication::installTranslator(translator.get()))
        State().translators.push_back(std::move(translator));
    return loaded;
}

void RemoveUiTranslations() {
    for (const auto& translator : State().translators) QCoreApplication::removeTranslator(translator.get());
    State().translators.clear();
    State().language = platform::UiLanguage::Chinese;
}

platform::UiLanguage CurrentUiLanguage() { return State().language; }

QString UiText(const char* source) { return QCoreApplication::translate(kTextContext, source); }

QString CoreText(std::string_view text) {
    const QString all = QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
    if (State().language == platform::UiLanguage::Chinese) return all;
    QStringList lines = all.split(u'\n');
    for (QString& line : lines) line = CoreLine(line);
    return lines.join(u'\n');
}

}  // namespace velmora::ui
