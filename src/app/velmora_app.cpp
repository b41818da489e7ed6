#include "app/velmora_app.h"

#include <cstdio>
#include <cstdlib>
#include <string>

#include <QApplication>

#include "app/app_options.h"
#include "app/app_paths.h"
#include "app/logging_setup.h"
#include "app/tools_config.h"
#include "platform/atomic_file.h"
#include "platform/paths.h"
#include "platform/profile_file.h"
#include "platform/user_messages.h"
#include "platform/version.h"
#include "platform/zeb_log.h"
#include "transport/net/lan_searcher.h"
#include "ui/common/ui_text.h"
#include "ui/controls/message_boxes.h"
#include "ui/main/velmora_dlg.h"

namespace velmora::app {

int CVelmoraApp::Run() {
    std::string error;
    const AppOptions options = ParseAppOptions(argc_, argv_, &error);
    // Help and a refused command line only name the home folder; they never create it.
    HomeEnvironment env = ProcessHomeEnvironment();
    HomeEnvironment lookOnly = env;
    lookOnly.makeDirs = nullptr;
    const HomeDir named = ResolveHomeDir(options.home, platform::ExecutableDir(), lookOnly);
    if (!options.ok) {
        std::fprintf(stderr, "velmora: %s\n\n%s", error.c_str(), AppUsage(PlacesText(named, true)).c_str());
        return 2;
    }
    if (options.help) {
        std::fputs(AppUsage(PlacesText(named, true)).c_str(), stdout);
        return 0;
    }
    if (options.version) {
        std::fputs(platform::VersionLine("velmora").c_str(), stdout);
        return 0;
    }
    const HomeDir home = ResolveHomeDir(options.home, platform::ExecutableDir(), env);
    if (!home.error.empty()) {
        std::fprintf(stderr, "velmora: %s\n", home.error.c_str());
        return 1;
    }

    platform::IgnoreFileSizeSignal();
    QApplication app(argc_, argv_);
    QApplication::setApplicationName(QStringLiteral("Velmora"));
    QApplication::setApplicationVersion(QString::fromUtf8(platform::VersionNumber()));
    QApplication::setDesktopFileName(QStringLiteral("velmora"));
    // Pictures for the record run unattended: messages then go to the log and stderr instead of
    // waiting for a click nobody makes.
    ui::QtUserMessages boxes;
    if (options.screenshotDir.empty()) platform::SetUserMessages(&boxes);

    // The log opens before the window, in the folder of the home rule (the state folder of an
    // installed program), so the window's own start-up is in it.
    SetUpLoggingIn(home.logDir, ReadLogLevel(platform::ProfileFile(platform::ConfigPath(home.path))));
    // The windows' language: --lang, else the locale. A missing translation leaves the texts as
    // written (Chinese), which the log says.
    const platform::UiLanguage language = platform::ChooseUiLanguage(options.lang, std::getenv("LC_ALL"),
                                                                     std::getenv("LC_MESSAGES"), std::getenv("LANG"));
    QString translationProblem;
    if (!ui::InstallUiTranslations(language, &translationProblem))
        platform::LogLine(3, {}, "translations not loaded: %s", translationProblem.toUtf8().constData());
    // A VELMORA_SEARCH_TARGETS that searches nothing (or less than it names) is said at once:
    // an empty device list must not pass for an empty LAN.
    std::string targetProblem;
    transport::ResolveSearchTargets(std::getenv("VELMORA_SEARCH_TARGETS"), "", &targetProblem);
    if (!targetProblem.empty()) std::fprintf(stderr, "velmora: %s\n", targetProblem.c_str());
    {
        ui::MainWindowSetup setup;
        setup.homeDir = home.path;
        setup.setUpLogging = false;
        ui::CVelmoraDlg window(std::move(setup));
        platform::LogLine(2, {}, "%s; log folder %s", home.why.c_str(), home.logDir.c_str());
        ui::StartupActions actions;
        actions.openUsb = options.openUsb;
        actions.openIp = options.openIp;
        actions.screenshotDir = options.screenshotDir;
        window.SetStartupActions(std::move(actions));
        window.exec();
    }
    platform::SetUserMessages(nullptr);
    return 0;
}

}  // namespace velmora::app
