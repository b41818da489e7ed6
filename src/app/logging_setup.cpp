#include "app/logging_setup.h"

#include "platform/zeb_log.h"

namespace velmora::app {

int SetUpLogging(const std::string& homeDir, int level) { return SetUpLoggingIn(LogDir(homeDir), level); }

int SetUpLoggingIn(const std::string& dir, int level) {
    platform::ZebLogLibrary& log = platform::AppLog();
    const int dirResult = log.SetLogDir(dir.c_str(), "log");
    log.SetLogLevel(2, static_cast<unsigned>(level < 0 ? 0 : level));
    log.SetLogLevel(1, 1);
    log.SetLogSize(1, 100);
    return dirResult;
}

}  // namespace velmora::app
