// Writes the input to a temporary toolscfg.ini and loads it as the program does at start.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "app/tools_config.h"

using namespace velmora::app;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string path = [] {
        const char* tmp = std::getenv("TMPDIR");
        return std::string(tmp ? tmp : "/tmp") + "/fuzz_app_config_" + std::to_string(getpid()) + ".ini";
    }();
    FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) return 0;
    if (size > 0) std::fwrite(data, 1, size, f);
    std::fclose(f);

    velmora::app::ToolsConfig config;
    std::memset(&config, 0x5A, sizeof config);
    if (velmora::app::ToolsConfigFile(path).Load(config) != 1) __builtin_trap();
    if (config.vendorIdCount < 0 || config.vendorIdCount > velmora::app::kMaxConfigVendorIds) __builtin_trap();
    // Texts always end inside their fields.
    if (memchr(config.userName, 0, sizeof config.userName) == nullptr) __builtin_trap();
    if (memchr(config.password, 0, sizeof config.password) == nullptr) __builtin_trap();
    (void)velmora::app::ReadLogLevel(velmora::platform::ProfileFile(path));
    return 0;
}
