#include "app/velmora_app.h"

#include <cstdio>
#include <string>

#include <QApplication>

#include "app/app_options.h"
#include "app/app_paths.h"
#include "platform/atomic_file.h"
#include "platform/paths.h"
#include "platform/user_messages.h"
#include "platform/zeb_log.h"
#include "ui/controls/message_boxes.h"
#include "ui/main/velmora_dlg.h"

namespace velmora {

int CVelmoraApp::Run() {
    std::string error;
    const AppOptions options = ParseAppOptions(argc_, argv_, &error);
    // Help and a refused command line only name the home folder; they never create it.
    HomeEnvironment env = ProcessHomeEnvironment();
    HomeEnvironment lookOnly = env;
    lookOnly.makeDirs = nullptr;
    const HomeDir named = ResolveHomeDir(options.home, ExecutableDir(), lookOnly);
    if (!options.ok) {
        std::fprintf(stderr, "velmora: %s\n\n%s", error.c_str(), AppUsage(named.why).c_str());
        return 2;
    }
    if (options.help) {
        std::fputs(AppUsage(named.why).c_str(), stdout);
        return 0;
    }
    const HomeDir home = ResolveHomeDir(options.home, ExecutableDir(), env);
    if (!home.error.empty()) {
        std::fprintf(stderr, "velmora: %s\n", home.error.c_str());
        return 1;
    }

    IgnoreFileSizeSignal();
    QApplication app(argc_, argv_);
    QApplication::setApplicationName(QStringLiteral("Velmora"));
    QApplication::setApplicationVersion(QStringLiteral("1.0"));
    QApplication::setDesktopFileName(QStringLiteral("velmora"));
    // Pictures for the record run unattended: messages then go to the log and stderr instead of
    // waiting for a click nobody makes.
    ui::QtUserMessages boxes;
    if (options.screenshotDir.empty()) SetUserMessages(&boxes);

    {
        ui::MainWindowSetup setup;
        setup.homeDir = home.path;
        ui::CVelmoraDlg window(std::move(setup));
        LogLine(2, {}, "%s", home.why.c_str());
        ui::StartupActions actions;
        actions.openUsb = options.openUsb;
        actions.openIp = options.openIp;
        actions.screenshotDir = options.screenshotDir;
        window.SetStartupActions(std::move(actions));
        window.exec();
    }
    SetUserMessages(nullptr);
    return 0;
}

}  // namespace velmora
