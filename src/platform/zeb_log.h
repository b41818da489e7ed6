#pragma once

#include <cstdarg>
#include <memory>
#include <mutex>
#include <string>

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
