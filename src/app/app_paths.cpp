#include "app/app_paths.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string_view>

namespace velmora {
namespace {

std::string WithSlash(std::string dir) {
    if (dir.empty() || dir.back() != '/') dir += '/';
    return dir;
}

bool StartsWith(std::string_view s, std::string_view prefix) { return s.substr(0, prefix.size()) == prefix; }

HomeDir Made(std::string path, HomeRule rule, std::string why, const HomeEnvironment& env) {
    HomeDir out{WithSlash(std::move(path)), rule, std::move(why), {}};
    std::string reason;
    if (env.makeDirs && !env.makeDirs(out.path, &reason))
        out.error = "cannot use the home folder " + out.path + ": " + reason;
    return out;
}

}  // namespace

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

HomeDir ResolveHomeDir(const std::string& optionHome, const std::string& exeDir, const HomeEnvironment& env) {
    if (!optionHome.empty())
        return Made(optionHome, HomeRule::Option, WithSlash(optionHome) + " (given with --home)", env);

    const std::string exe = WithSlash(exeDir);
    const bool absolute = !exeDir.empty() && exeDir[0] == '/';
    const bool installed =
        absolute && (IsInstalledProgramDir(exe) ||
                     (env.fileExists && env.fileExists(exe + "../share/applications/velmora.desktop")));
    if (absolute && !installed && env.isWritableDir && env.isWritableDir(exe))
        return HomeDir{exe, HomeRule::Portable, exe + " (the program's own folder, writable: a portable copy)", {}};

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
        return HomeDir{"", HomeRule::UserConfig, "none (" + unset + ")", "no home folder: " + unset + "; give one with --home DIR"};
    }
    return Made(base + "velmora/", HomeRule::UserConfig,
                base + "velmora/ (the user's configuration folder: " + because + ")", env);
}

HomeEnvironment ProcessHomeEnvironment() {
    HomeEnvironment env;
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME")) env.xdgConfigHome = xdg;
    if (const char* home = std::getenv("HOME")) env.home = home;
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
        if (error != nullptr) *error = made ? made.message() : "it exists and is not a folder";
        return false;
    };
    env.fileExists = [](const std::string& path) {
        std::error_code ec;
        return std::filesystem::exists(path, ec);
    };
    return env;
}

}  // namespace velmora
