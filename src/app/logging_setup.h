#pragma once

#include <string>

namespace velmora::app {

// The log folder in the home folder (which ends in '/').
inline std::string LogDir(const std::string& homeDir) { return homeDir + "APP_LOG/"; }

// Configures the process's logger AppLog() for the program: log folder <home>APP_LOG/ with the
// base name "log", console level `level` (from [LOG] Level, see ReadLogLevel), file level 1,
// file size 100. Returns SetLogDir's result: -1 when the log folder cannot be written (the
// console still logs).
int SetUpLogging(const std::string& homeDir, int level);

// The same with the log folder named (HomeDir::logDir, ending in '/'); made when missing.
int SetUpLoggingIn(const std::string& logDir, int level);

}  // namespace velmora::app
