#include "platform/zeb_log.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <csignal>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/run_in_child.h"

using namespace velmora::platform;

namespace fs = std::filesystem;

namespace {
std::string ReadAll(const fs::path& p) {
    std::ifstream in(p);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}
}  // namespace

TEST(ZebLog, WritesPrefixedLinesAtOrAboveTheFileLevel) {
    fs::path dir = fs::temp_directory_path() / ("zeblog-" + std::to_string(::getpid()));
    fs::remove_all(dir);
    ZebLogLibrary log;
    ASSERT_EQ(log.SetLogDir(dir.c_str(), "log"), 0);
    log.SetLogLevel(1, 1);
    log.SetLogLevel(2, 6);
    log.SetLogSize(1, 100);
    log.Log(3, nullptr, " (F=%s L=%d) framerate: %d\n", "CUSBDevice::GetVideoFrameRate", 572, 25);
    log.Log(0, nullptr, "below the level %d", 1);
    std::string text = ReadAll(dir / "log.log");
    EXPECT_NE(text.find(" (F=CUSBDevice::GetVideoFrameRate L=572) framerate: 25"), std::string::npos);
    EXPECT_EQ(text.find("below the level"), std::string::npos);
    // Long lines are not cut.
    std::string big(2000, 'a');
    log.Log(2, nullptr, "%s", big.c_str());
    EXPECT_NE(ReadAll(dir / "log.log").find(big), std::string::npos);
    fs::remove_all(dir);
}

TEST(ZebLog, UnwritableDirectoryIsReportedNotFatal) {
    ZebLogLibrary log;
    EXPECT_NE(log.SetLogDir("/proc/velmora-no-such-dir", "log"), 0);
    log.SetLogLevel(1, 0);
    EXPECT_EQ(log.Log(2, nullptr, "still fine %d", 1), 0);
}

// A log file that cannot take more (a full disk, here a file-size limit) or that is no regular
// file (a FIFO would block the open, /dev/full fails every write) never ends the program: the
// file target is dropped and the console goes on.
TEST(ZebLog, FailingOrForeignLogFileFallsBackToTheConsole) {
    fs::path dir = fs::temp_directory_path() / ("zeblog-full-" + std::to_string(::getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    std::string out = RunInChild([&] {
        std::signal(SIGXFSZ, SIG_IGN);  // writes past the limit fail with EFBIG instead of killing
        rlimit lim{8192, 8192};
        if (::setrlimit(RLIMIT_FSIZE, &lim) != 0) return std::string("no limit");
        ZebLogLibrary log;
        if (log.SetLogDir(dir.c_str(), "log") != 0) return std::string("no file");
        log.SetLogLevel(1, 0);
        log.SetLogLevel(2, 6);
        std::string line(1000, 'x');
        for (int i = 0; i < 40; ++i) log.Log(2, nullptr, "%s", line.c_str());
        return std::string("survived");
    });
    EXPECT_EQ(out, "survived");

    fs::path fifoDir = dir / "fifo";
    fs::create_directories(fifoDir);
    ASSERT_EQ(::mkfifo((fifoDir / "log.log").c_str(), 0600), 0);
    fs::path devDir = dir / "dev";
    fs::create_directories(devDir);
    fs::create_symlink("/dev/full", devDir / "log.log");
    out = RunInChild([&] {
        std::string r;
        for (const fs::path& d : {fifoDir, devDir}) {
            ZebLogLibrary log;
            r += std::to_string(log.SetLogDir(d.c_str(), "log"));
            log.SetLogLevel(1, 0);
            r += std::to_string(log.Log(2, nullptr, "after %d", 1));
        }
        return r;
    }, 10);  // a blocked open shows as "signal 14"
    EXPECT_EQ(out, "-10-10");
    fs::remove_all(dir);
}

namespace velmora::logtest {
struct Widget {
    static std::pair<LogSite, unsigned> Here() { return {LogSite{}, __LINE__}; }
};
}  // namespace velmora::logtest

TEST(ZebLog, LogSitesComeFromTheCompiler) {
    auto [site, line] = velmora::logtest::Widget::Here();
    EXPECT_EQ(site.function, "logtest::Widget::Here");
    EXPECT_EQ(site.line, line);
    EXPECT_EQ(ShortFunctionName("int velmora::CUSBDevice::Transfer(int32_t, uint32_t)"), "CUSBDevice::Transfer");
    EXPECT_EQ(ShortFunctionName("int velmora::transport::CUSBDevice::Transfer(int32_t, uint32_t)"),
              "CUSBDevice::Transfer");
    EXPECT_EQ(ShortFunctionName("void velmora::ui::VideoPane::Paint()"), "ui::VideoPane::Paint");
    EXPECT_EQ(ShortFunctionName("void {anonymous}::Run(std::map<int, int>)"), "Run");
    EXPECT_EQ(ShortFunctionName("std::vector<int, std::allocator<int> > f::Get()"), "f::Get");
    EXPECT_EQ(ShortFunctionName("main"), "main");
    EXPECT_EQ(ShortFunctionName("void (anonymous namespace)::Run(int)"), "Run");  // clang's spelling
}
