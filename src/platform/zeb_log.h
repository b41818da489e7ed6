#pragma once

#include <cstdarg>
#include <memory>
#include <mutex>
#include <version>
#if __has_include(<source_location>)
#include <source_location>
#endif
#include <string>

namespace velmora::platform {

// Process-wide logger with two targets, configured the way the program always configured it:
//   target 1: a size-limited log file "<dir>/<base>.log" (rotating, SetLogSize in MiB),
//   target 2: the diagnostic console (stderr).
// Levels follow spdlog's numbering (0 trace, 1 debug, 2 info, 3 warn, 4 error, 5 critical, 6 off);
// a target writes a message whose level is at or above the target's level.
// Thread-safe: any thread may call Log; configuration calls are serialised with it.
class ZebLogLibrary {
public:
    ZebLogLibrary();
    ~ZebLogLibrary();
    ZebLogLibrary(const ZebLogLibrary&) = delete;
    ZebLogLibrary& operator=(const ZebLogLibrary&) = delete;

    int SetLogDir(const char* dir, const char* baseName);
    int SetLogLevel(unsigned target, unsigned level);
    int SetLogSize(unsigned target, unsigned size);
    // printf-style; `text` is accepted for compatibility and ignored when null.
    int Log(unsigned level, const char* text, const char* format, ...) __attribute__((format(printf, 4, 5)));
    int LogV(unsigned level, const char* text, const char* format, va_list args);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// The one logger of the process.
ZebLogLibrary& AppLog();

// Where a log line comes from. By default the caller's own function and line, taken by the
// compiler, so they cannot drift from the code; a few lines whose site is a documented fact
// (log readers look for them) name it explicitly.
struct LogSite {
#if defined(__cpp_lib_source_location)
    LogSite(std::source_location where = std::source_location::current());
    LogSite(const char* functionName, unsigned lineNumber) : function(functionName), line(lineNumber) {}
#else
    // Compilers whose library lacks std::source_location (clang 14 with libstdc++ 12, the fuzz
    // build) name the function without its class.
    LogSite(const char* functionName = __builtin_FUNCTION(), unsigned lineNumber = __builtin_LINE())
        : function(functionName), line(lineNumber) {}
#endif
    std::string function;  // "CUSBDevice::Transfer": no return type, parameters or namespace
    unsigned line;
};

// Logs " (F=<function> L=<line>) " and the printf-style message through AppLog().
// Use as `LogLine(3, {}, "handle=%d", h)`; `{}` stands for the caller's own position.
int LogLine(unsigned level, const LogSite& site, const char* format, ...) __attribute__((format(printf, 3, 4)));

// A compiler's function signature shortened to its qualified name, without the program's own
// namespaces: "int velmora::transport::CUSBDevice::Transfer(int, ...)" gives "CUSBDevice::Transfer".
std::string ShortFunctionName(const char* signature);

}  // namespace velmora::platform
