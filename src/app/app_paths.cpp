#include "app/app_paths.h"

#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string_view>

namespace velmora::app {
namespace {

std::string WithSlash(std::string dir) {
    if (dir.empty() || dir.back() != '/') dir += '/';
    return dir;
}

bool StartsWith(std::string_view s, std::string_view prefix) { return s.substr(0, prefix.size()) == prefix; }

HomeDir Made(std::string path, HomeRule rule, std::string why, const HomeEnvironment& env) {
    HomeDir out{WithSlash(std::move(path)), rule, std::move(why), {}, {}};
    std::string reason;
    if (env.makeDirs && !env.makeDirs(out.path, &reason))
        out.error = "cannot use the home folder " + out.path + ": " + reason;
    return out;
}

bool IsAbsolute(const std::string& dir) { return !dir.empty() && dir[0] == '/'; }

// A folder listed on $PATH that lies in the user's home (~/.local/bin, ~/bin): programs the user
// installed for themselves. The home itself ("/" for some system users) never counts.
bool IsOnPathUnderHome(const std::string& exe, const HomeEnvironment& env) {
    const std::string home = WithSlash(env.home);
    if (!IsAbsolute(env.home) || home == "/" || !StartsWith(exe, home) || exe == home) return false;
    size_t at = 0;
    for (;;) {
        const size_t colon = env.path.find(':', at);
        const std::string entry = env.path.substr(at, colon == std::string::npos ? std::string::npos : colon - at);
        if (IsAbsolute(entry) && WithSlash(entry) == exe) return true;
        if (colon == std::string::npos) return false;
        at = colon + 1;
    }
}

// The log folder of a home folder chosen by `rule`.
std::string LogDirFor(const HomeDir& home, const HomeEnvironment& env) {
    if (home.path.empty()) return {};
    if (home.rule == HomeRule::UserConfig) {
        if (IsAbsolute(env.xdgStateHome)) return WithSlash(env.xdgStateHome) + "velmora/";
        if (IsAbsolute(env.home)) return WithSlash(env.home) + ".local/state/velmora/";
    }
    return home.path + "APP_LOG/";
}

HomeDir ChooseHomeDir(const std::string& optionHome, const std::string& exeDir, const HomeEnvironment& env) {
    if (!optionHome.empty())
        return Made(optionHome, HomeRule::Option, WithSlash(optionHome) + " (given with --home)", env);

    const std::string exe = WithSlash(exeDir);
    const bool absolute = IsAbsolute(exeDir);
    const bool installed =
        absolute && (IsInstalledProgramDir(exe) || IsOnPathUnderHome(exe, env) ||
                     (env.fileExists && env.fileExists(exe + "../share/applications/velmora.desktop")));
    if (absolute && !installed && env.isWritableDir && env.isWritableDir(exe))
        return HomeDir{exe, HomeRule::Portable, exe + " (the program's own folder, writable: a portable copy)", {}, {}};

    std::string because;
    if (!absolute)
        because = "the program's folder is unknown";
    else if (installed)
        because = "the program is installed in " + exe;
    else
        because = "the program's folder " + exe + " is not writable";

    std::string base;
    if (!env.xdgConfigHome.empty() && env.xdgConfigHome[0] == '/')
        base = WithSlash(env.xdgConfigHome);
    else if (!env.home.empty())
        base = WithSlash(env.home) + ".config/";
    if (base.empty()) {
        const std::string unset = because + ", and neither XDG_CONFIG_HOME nor HOME is set";
        return HomeDir{"", HomeRule::UserConfig, "none (" + unset + ")", "no home folder: " + unset + "; give one with --home DIR", {}};
    }
    return Made(base + "velmora/", HomeRule::UserConfig,
                base + "velmora/ (the user's configuration folder: " + because + ")", env);
}

}  // namespace

HomeDir ResolveHomeDir(const std::string& optionHome, const std::string& exeDir, const HomeEnvironment& env) {
    HomeDir out = ChooseHomeDir(optionHome, exeDir, env);
    out.logDir = LogDirFor(out, env);
    return out;
}

std::string PlacesText(const HomeDir& home, bool withLog) {
    std::string text = "Configuration folder (toolscfg.ini) now: " + home.why + "\n";
    if (withLog) text += "Log folder now: " + (home.logDir.empty() ? std::string("none") : home.logDir) + "\n";
    return text;
}

bool IsInstalledProgramDir(const std::string& dir) {
    const std::string d = WithSlash(dir);
#ifdef VELMORA_INSTALL_BINDIR
    if (d == WithSlash(VELMORA_INSTALL_BINDIR)) return true;
#endif
    for (std::string_view prefix :
         {"/usr/", "/bin/", "/sbin/", "/lib/", "/lib32/", "/lib64/", "/libexec/", "/opt/", "/snap/", "/nix/"})
        if (StartsWith(d, prefix)) return true;
    return false;
}

HomeEnvironment ProcessHomeEnvironment() {
    HomeEnvironment env;
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME")) env.xdgConfigHome = xdg;
    if (const char* state = std::getenv("XDG_STATE_HOME")) env.xdgStateHome = state;
    if (const char* home = std::getenv("HOME")) env.home = home;
    if (const char* path = std::getenv("PATH")) env.path = path;
    if (env.home.empty()) {
        if (const passwd* pw = ::getpwuid(::geteuid()); pw != nullptr && pw->pw_dir != nullptr) env.home = pw->pw_dir;
    }
    env.isWritableDir = [](const std::string& dir) {
        std::error_code ec;
        return std::filesystem::is_directory(dir, ec) && ::access(dir.c_str(), W_OK | X_OK) == 0;
    };
    env.makeDirs = [](const std::string& dir, std::string* error) {
        std::error_code made, checked;
        std::filesystem::create_directories(dir, made);
        if (std::filesystem::is_directory(dir, checked)) return true;
        // A file where the folder should be (or on its way) is "Not a directory", not the
        // "File exists" that creating the folder reports.
        std::error_code probe;
        const bool taken = std::filesystem::exists(dir, probe);
        const bool notFolder = taken || made == std::errc::not_a_directory || made == std::errc::file_exists;
        if (error != nullptr) *error = notFolder ? std::strerror(ENOTDIR) : made.message();
        return false;
    };
    env.fileExists = [](const std::string& path) {
        std::error_code ec;
        return std::filesystem::exists(path, ec);
    };
    return env;
}

}  // namespace velmora::app
