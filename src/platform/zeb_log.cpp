#include "zeb_log.h"

#include <spdlog/sinks/rotating_file_sink.h>
#include <spdlog/sinks/stdout_sinks.h>
#include <spdlog/spdlog.h>

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string_view>
#include <vector>

namespace velmora::platform {

namespace {
constexpr unsigned kFileTarget = 1;
constexpr unsigned kConsoleTarget = 2;
constexpr unsigned kLevelOff = 6;

spdlog::level::level_enum ToSpd(unsigned level) {
    return level >= kLevelOff ? spdlog::level::off : static_cast<spdlog::level::level_enum>(level);
}

// The log file may only be a regular file (or not exist yet). A FIFO would block the open until a
// reader comes, a device such as /dev/full fails every write: both are refused before the logging
// library opens the path. stat() follows a link to see what it points to and never blocks.
bool IsUsableLogPath(const std::string& path, std::string* why) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        if (errno == ENOENT) return true;  // not there yet (or a dangling link): opening creates a regular file
        *why = std::strerror(errno);
        return false;
    }
    if (S_ISREG(st.st_mode)) return true;
    *why = "not a regular file";
    return false;
}
}  // namespace

struct ZebLogLibrary::Impl {
    std::mutex mu;
    std::string dir;
    std::string base = "log";
    unsigned fileLevel = kLevelOff;
    unsigned consoleLevel = kLevelOff;
    unsigned fileSizeMiB = 100;
    std::shared_ptr<spdlog::sinks::sink> fileSink;
    std::shared_ptr<spdlog::sinks::sink> consoleSink = std::make_shared<spdlog::sinks::stderr_sink_mt>();

    void ReopenFile() {
        fileSink.reset();
        if (dir.empty()) return;
        std::error_code ec;
        std::filesystem::create_directories(dir, ec);
        auto path = (std::filesystem::path(dir) / (base + ".log")).string();
        std::string why;
        if (!IsUsableLogPath(path, &why)) {
            ReportFileLost(path, why);
            return;
        }
        try {
            size_t bytes = static_cast<size_t>(fileSizeMiB ? fileSizeMiB : 1) * 1024 * 1024;
            fileSink = std::make_shared<spdlog::sinks::rotating_file_sink_mt>(path, bytes, 3);
            fileSink->set_pattern("%Y-%m-%d %H:%M:%S.%e [%t] %v");
        } catch (const std::exception&) {
            fileSink.reset();  // an unwritable log folder leaves only the console target
        }
    }

    // A write or flush that fails (disk full, file removed under us, quota) never reaches the
    // caller: the file target is dropped and the console target goes on, as for an unwritable
    // folder. One line on stderr says why the file stopped.
    void WriteFile(const spdlog::details::log_msg& msg) {
        try {
            fileSink->log(msg);
            fileSink->flush();
        } catch (const std::exception& e) {
            fileSink.reset();
            ReportFileLost((std::filesystem::path(dir) / (base + ".log")).string(), e.what());
        }
    }

    void ReportFileLost(const std::string& path, const std::string& why) {
        // Once per cause: SetLogDir and SetLogSize both reopen the file.
        std::string line = "velmora: log file " + path + " not written (" + why + "); logging to the console only";
        if (line == lastReport) return;
        lastReport = line;
        std::fprintf(stderr, "%s\n", line.c_str());
    }
    std::string lastReport;
};

ZebLogLibrary::ZebLogLibrary() : impl_(std::make_unique<Impl>()) {
    impl_->consoleSink->set_pattern("%v");
}
ZebLogLibrary::~ZebLogLibrary() = default;

int ZebLogLibrary::SetLogDir(const char* dir, const char* baseName) {
    std::lock_guard lock(impl_->mu);
    impl_->dir = dir ? dir : "";
    impl_->base = (baseName && *baseName) ? baseName : "log";
    impl_->ReopenFile();
    return impl_->fileSink ? 0 : -1;
}

int ZebLogLibrary::SetLogLevel(unsigned target, unsigned level) {
    std::lock_guard lock(impl_->mu);
    if (target == kFileTarget) impl_->fileLevel = level;
    else if (target == kConsoleTarget) impl_->consoleLevel = level;
    else return -1;
    return 0;
}

int ZebLogLibrary::SetLogSize(unsigned target, unsigned size) {
    std::lock_guard lock(impl_->mu);
    if (target != kFileTarget) return -1;
    impl_->fileSizeMiB = size;
    impl_->ReopenFile();
    return 0;
}

int ZebLogLibrary::Log(unsigned level, const char* text, const char* format, ...) {
    va_list args;
    va_start(args, format);
    int r = LogV(level, text, format, args);
    va_end(args);
    return r;
}

int ZebLogLibrary::LogV(unsigned level, const char* text, const char* format, va_list args) {
    if (!format) return -1;
    std::lock_guard lock(impl_->mu);
    bool toFile = impl_->fileSink && level < kLevelOff && level >= impl_->fileLevel;
    bool toConsole = level < kLevelOff && level >= impl_->consoleLevel;
    if (!toFile && !toConsole) return 0;

    char small[512];
    va_list copy;
    va_copy(copy, args);
    int n = std::vsnprintf(small, sizeof small, format, copy);
    va_end(copy);
    if (n < 0) return -1;
    std::string line;
    if (static_cast<size_t>(n) < sizeof small) {
        line.assign(small, static_cast<size_t>(n));
    } else {
        line.resize(static_cast<size_t>(n) + 1);
        std::vsnprintf(line.data(), line.size(), format, args);
        line.resize(static_cast<size_t>(n));
    }
    if (text) line.insert(0, std::string(text) + " ");
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();

    spdlog::details::log_msg msg(spdlog::source_loc{}, "velmora", ToSpd(level), line);
    if (toFile) impl_->WriteFile(msg);
    if (toConsole) impl_->consoleSink->log(msg);
    return 0;
}

std::string ShortFunctionName(const char* signature) {
    std::string s = signature != nullptr ? signature : "";
    // The program's own namespaces and anonymous scopes go first: clang spells them with
    // parentheses, which would otherwise be taken for the parameter list. The core layers go
    // with their namespace (log lines name "CUSBDevice::Transfer", not its layer); the front
    // ends and the simulator keep theirs ("ui::", "cli::", "sim::").
    for (std::string_view scope : {"velmora::platform::", "velmora::protocol::", "velmora::wire::",
                                   "velmora::transport::", "velmora::camera::", "velmora::upgrade::",
                                   "velmora::app::", "velmora::", "{anonymous}::", "(anonymous namespace)::",
                                   "(anonymous class)::"}) {
        for (size_t at; (at = s.find(scope)) != std::string::npos;) s.erase(at, scope.size());
    }
    // Cut the parameter list at the '(' that closes the name (operator() keeps its own pair).
    size_t open = s.find("operator()");
    open = open != std::string::npos ? s.find('(', open + 10) : s.find('(');
    if (open != std::string::npos) s.resize(open);
    // The return type ends at the last blank outside template brackets.
    int depth = 0;
    size_t start = 0;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '<') ++depth;
        if (s[i] == '>') --depth;
        if (s[i] == ' ' && depth == 0) start = i + 1;
    }
    return s.substr(start);
}

#if defined(__cpp_lib_source_location)
LogSite::LogSite(std::source_location where) : function(ShortFunctionName(where.function_name())), line(where.line()) {}
#endif

int LogLine(unsigned level, const LogSite& site, const char* format, ...) {
    std::string line = " (F=" + site.function + " L=" + std::to_string(site.line) + ") ";
    line += format != nullptr ? format : "";
    va_list args;
    va_start(args, format);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    int r = AppLog().LogV(level, nullptr, line.c_str(), args);
#pragma GCC diagnostic pop
    va_end(args);
    return r;
}

ZebLogLibrary& AppLog() {
    static ZebLogLibrary log;
    return log;
}

}  // namespace velmora::platform
