#pragma once

#include <string>

namespace velmora::platform {

// The folder of the running executable (from /proc/self/exe), with a trailing '/'; "./" when it
// cannot be read. Configuration (toolscfg.ini) and the log folder live there.
std::string ExecutableDir();

// The configuration file's path in `dir` (which ends in '/').
inline std::string ConfigPath(const std::string& dir) { return dir + "toolscfg.ini"; }

}  // namespace velmora::platform
