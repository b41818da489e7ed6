#include "platform/profile_file.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include <sys/stat.h>

#include "platform/run_in_child.h"

using namespace velmora::platform;

namespace fs = std::filesystem;
using velmora::platform::ProfileFile;

namespace {
struct TempIni {
    fs::path path = fs::temp_directory_path() / ("velmora-ini-" + std::to_string(::getpid()) + ".ini");
    explicit TempIni(const std::string& text) {
        std::ofstream(path, std::ios::binary) << text;
    }
    ~TempIni() { fs::remove(path); }
    std::string Text() const { return Read(path); }
    static std::string Read(const fs::path& p) {
        std::ifstream in(p, std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
};
}  // namespace

TEST(ProfileFile, ReadsCaseInsensitivelyWithDefaultsAndLeadingNumbers) {
    TempIni ini("; comment\r\n[win_size]\r\nWIDTH = 800\r\nHeight=12abc\r\n[VID]\r\nSRC1=0x1234\r\nSRC3=5678\r\n[LOG]\r\nLevel=x\r\n"
                "[LOGIN_INFO]\r\nPassword=\"pel no\"\r\nUsername='op\r\n");
    ProfileFile f(ini.path.string());
    EXPECT_EQ(f.GetInt("WIN_SIZE", "Width", -1), 800);
    EXPECT_EQ(f.GetInt("WIN_SIZE", "height", -1), 12);
    EXPECT_EQ(f.GetInt("LOG", "Level", 5), 0);           // present but not a number
    EXPECT_EQ(f.GetInt("SEARCH_MODE", "Mode", 0), 0);    // missing section
    EXPECT_EQ(f.GetString("vid", "src1", ""), "0x1234");
    EXPECT_EQ(f.GetString("VID", "SRC2", ""), "");
    ASSERT_EQ(f.GetSection("VID").size(), 2u);
    EXPECT_EQ(ProfileFile("/nonexistent/x.ini").GetString("A", "B", "def"), "def");
    // One pair of enclosing quotes goes; a lone quote stays.
    EXPECT_EQ(f.GetString("LOGIN_INFO", "Password", ""), "pel no");
    EXPECT_EQ(f.GetString("LOGIN_INFO", "Username", ""), "'op");
}

TEST(ProfileFile, WriteKeepsEveryOtherLine) {
    TempIni ini("[LOGIN_INFO]\r\nUsername=op\r\n; keep me\r\n[WIN_SIZE]\r\nWidth=1\r\n");
    ProfileFile f(ini.path.string());
    ASSERT_TRUE(f.WriteString("win_size", "WIDTH", "1024"));
    ASSERT_TRUE(f.WriteString("WIN_SIZE", "Height", "768"));
    ASSERT_TRUE(f.WriteString("SEARCH_MODE", "Mode", "1"));
    EXPECT_EQ(ini.Text(),
              "[LOGIN_INFO]\r\nUsername=op\r\n; keep me\r\n[WIN_SIZE]\r\nWIDTH=1024\r\nHeight=768\r\n"
              "[SEARCH_MODE]\r\nMode=1\r\n");
}

TEST(ProfileFile, WriteCreatesTheFileAndFailsCleanlyWhereItCannot) {
    fs::path p = fs::temp_directory_path() / ("velmora-new-" + std::to_string(::getpid()) + ".ini");
    fs::remove(p);
    ProfileFile f(p.string());
    ASSERT_TRUE(f.WriteString("WINS_MODE", "Mode", "2"));
    EXPECT_EQ(f.GetInt("WINS_MODE", "Mode", 1), 2);
    fs::remove(p);
    EXPECT_FALSE(ProfileFile("/nonexistent-dir/x.ini").WriteString("A", "B", "C"));
}

// Writing the configuration must not block on a FIFO, nor replace a file it could not read (that
// would keep only the one key written).
TEST(ProfileFile, WriteRefusesWhatItWouldDamage) {
    std::string dir = (fs::temp_directory_path() / "velmora-ini-XXXXXX").string();
    ASSERT_NE(mkdtemp(dir.data()), nullptr);
    const fs::path fifo = fs::path(dir) / "fifo.ini", locked = fs::path(dir) / "locked.ini";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(RunInChild([&] {
                  std::string why;
                  return ProfileFile(fifo.string()).WriteString("A", "B", "C", &why) ? "written" : why;
              }, 30),
              "it is a FIFO (named pipe), only a regular file is replaced");
    // Reading a FIFO named as the configuration file gives the defaults instead of blocking.
    EXPECT_EQ(RunInChild([&] { return ProfileFile(fifo.string()).GetString("A", "B", "default"); }, 30), "default");

    std::ofstream(locked) << "[LOGIN_INFO]\r\nUsername=op\r\n";
    ASSERT_EQ(chmod(locked.c_str(), 0200), 0);  // writable, not readable (as "nobody" when root)
    ASSERT_EQ(chmod(dir.c_str(), 0777) | (geteuid() == 0 ? chown(locked.c_str(), 65534, 65534) : 0), 0);
    EXPECT_EQ(RunInChild([&]() -> std::string {
                  if (!DropRootInChild()) return "cannot drop root";
                  return ProfileFile(locked.string()).WriteString("WIN_SIZE", "Width", "1") ? "written" : "refused";
              }),
              "refused");
    EXPECT_EQ(TempIni::Read(locked), "[LOGIN_INFO]\r\nUsername=op\r\n");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), {}), 2);  // nothing left behind
    fs::remove_all(dir);
}

// Several values in one replacement: existing keys are replaced in place, new keys join their
// section (added once, even when two new keys share it), every other line stays.
TEST(ProfileFile, WriteStringsSetsEveryValueInOneFile) {
    TempIni ini("; mine\r\n[win_size]\r\nwidth=1\r\n[VID]\r\nSRC1=1703\r\n");
    ProfileFile f(ini.path.string());
    ASSERT_TRUE(f.WriteStrings({{"WIN_SIZE", "Width", "800"},
                                {"WIN_SIZE", "Height", "600"},
                                {"SEARCH_MODE", "Mode", "0"},
                                {"WINS_MODE", "Mode", "2"},
                                {"WINS_MODE", "mode", "1"}}));
    EXPECT_EQ(ini.Text(),
              "; mine\r\n[win_size]\r\nWidth=800\r\nHeight=600\r\n[VID]\r\nSRC1=1703\r\n"
              "[SEARCH_MODE]\r\nMode=0\r\n[WINS_MODE]\r\nmode=1\r\n");
}
