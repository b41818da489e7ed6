#pragma once

#include <functional>
#include <string>

// The home folder: where the program keeps toolscfg.ini; and the log folder. The program never needs
// administrator rights: it never writes into a system folder. Plain functions, any thread.
namespace velmora::app {

enum class HomeRule {
    Option,      // --home DIR
    Portable,    // the executable's own folder, which the user may write (an unpacked copy)
    UserConfig,  // ${XDG_CONFIG_HOME:-$HOME/.config}/velmora/ (an installed program)
};

struct HomeDir {
    std::string path;   // ends in '/'; empty only when no folder can be named (see error)
    HomeRule rule = HomeRule::UserConfig;
    std::string why;    // one line for --help and the log: the folder and the rule that chose it
    std::string error;  // non-empty when the folder does not exist and could not be made
    // Where the log file goes, ending in '/' (made when the log opens): <path>APP_LOG/ for --home
    // and a portable copy, ${XDG_STATE_HOME:-$HOME/.local/state}/velmora/ for an installed program.
    std::string logDir;
};

// What ResolveHomeDir asks of the system; tests give their own.
struct HomeEnvironment {
    std::string xdgConfigHome;  // $XDG_CONFIG_HOME (ignored unless absolute)
    std::string xdgStateHome;   // $XDG_STATE_HOME (ignored unless absolute)
    std::string home;           // $HOME, or the user's home folder from the password database
    std::string path;           // $PATH: a folder on it under `home` holds installed programs
    // Whether the folder exists and this process may create files in it.
    std::function<bool(const std::string& dir)> isWritableDir;
    // Creates the folder and its parents when missing; false with a reason otherwise (also when
    // the path exists and is not a folder).
    std::function<bool(const std::string& dir, std::string* error)> makeDirs;
    // Whether a file exists; used to recognise an installed program by its menu entry
    // <exe dir>/../share/applications/velmora.desktop (an install under any prefix).
    std::function<bool(const std::string& path)> fileExists;
};

// The environment of this process: its variables, access(2) and std::filesystem.
HomeEnvironment ProcessHomeEnvironment();

// Whether `dir` is a folder programs are installed into (/usr/..., /bin/, /sbin/, /lib*/, /opt/,
// and the bin folder this build installs to). An executable there is an installed program, even
// when run as root, and its folder is never used for the user's files.
bool IsInstalledProgramDir(const std::string& dir);

// Chooses the home folder:
//  1. `optionHome` (the --home option) when given, created if missing;
//  2. otherwise `exeDir` (the executable's folder, absolute, ending in '/') when it is writable
//     and the program is not installed there (IsInstalledProgramDir, a menu entry beside it, or a
//     folder on $PATH under the user's home such as ~/.local/bin or ~/bin): a portable copy keeps
//     its settings beside it;
//  3. otherwise ${XDG_CONFIG_HOME:-$HOME/.config}/velmora/, created if missing.
HomeDir ResolveHomeDir(const std::string& optionHome, const std::string& exeDir, const HomeEnvironment& env);

// The lines of --help that name the folders in use: the configuration folder with the rule that
// chose it, and, when `withLog`, the log folder.
std::string PlacesText(const HomeDir& home, bool withLog);

}  // namespace velmora::app
