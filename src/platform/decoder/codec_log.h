#pragma once

namespace velmora::platform {

// Routes libavcodec's diagnostics (damaged-stream complaints and the like) from stderr to the
// application log at debug level. Installed once per process; later calls do nothing.
// Thread-safe.
void InstallCodecLogHook();

}  // namespace velmora::platform
