#include "platform/atomic_file.h"

#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <set>

#include "platform/run_in_child.h"

using namespace velmora::platform;

namespace fs = std::filesystem;
using namespace velmora;

namespace {

std::string Read(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}
struct stat Lstat(const fs::path& p) {
    struct stat st {};
    ::lstat(p.c_str(), &st);
    return st;
}

class AtomicFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string tmpl = (fs::temp_directory_path() / "velmora_atomic_XXXXXX").string();
        ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
    long Entries() const { return std::distance(fs::directory_iterator(dir_), {}); }

    fs::path dir_;
};

TEST_F(AtomicFileTest, PermissionsOwnerAndLinksOfTheReplacedFile) {
    const fs::path file = dir_ / "out.dat", link = dir_ / "link.dat";
    EXPECT_EQ(RunInChild([&] {
                  ::umask(027);
                  return std::to_string(WriteFileAtomically(file.string(), std::string_view("new"), nullptr));
              }),
              "0");
    EXPECT_EQ(Lstat(file).st_mode & 07777, 0640u);  // 0666 & ~umask, as creating it directly

    // Set-id and sticky bits never carry over, directly or through a link (a link to a set-uid
    // program gave a 4755 data file); the link itself stays.
    fs::create_symlink("out.dat", link);
    for (const fs::path& target : {file, link}) {
        ASSERT_EQ(::chmod(file.c_str(), 07751), 0);
        ASSERT_EQ(WriteFileAtomically(target.string(), std::string_view("replaced"), nullptr), 0);
        EXPECT_EQ(Lstat(file).st_mode & 07777, 0751u) << target;
        EXPECT_EQ(Read(file), "replaced");
    }
    EXPECT_EQ(fs::read_symlink(link), "out.dat");
    if (::geteuid() == 0) {  // root replacing a user's file leaves it theirs
        ASSERT_EQ(::chown(file.c_str(), 65534, 65534), 0);
        ASSERT_EQ(WriteFileAtomically(file.string(), std::string_view("theirs"), nullptr), 0);
        EXPECT_EQ(Lstat(file).st_uid + Lstat(file).st_gid, 2 * 65534u);
    }
    EXPECT_EQ(Entries(), 2);
}

// A file the user made read-only (directly or behind a link) is kept, also for root, and the
// reason says so; a rename would otherwise replace it, needing only the folder's permission.
TEST_F(AtomicFileTest, ReadOnlyTargetsAreNotReplaced) {
    const fs::path file = dir_ / "keep.ini", link = dir_ / "link.ini";
    std::ofstream(file) << "mine";
    ASSERT_EQ(::chmod(file.c_str(), 0444), 0);
    fs::create_symlink("keep.ini", link);
    for (const fs::path& target : {file, link}) {
        std::string why;
        EXPECT_EQ(WriteFileAtomically(target.string(), std::string_view("new"), &why), kAtomicFileRefused) << target;
        EXPECT_EQ(why, "it is read-only, so it is not replaced");
    }
    EXPECT_EQ(Read(file), "mine");
    EXPECT_EQ(Entries(), 2);
}

TEST_F(AtomicFileTest, TargetsThatAreNotRegularFilesAreRefusedAndLeftAlone) {
    fs::create_directory(dir_ / "folder");
    ASSERT_EQ(::mkfifo((dir_ / "fifo").c_str(), 0600), 0);
    fs::create_symlink(dir_ / "fifo", dir_ / "to_fifo");
    fs::create_symlink(dir_ / "missing", dir_ / "dangling");
    // A node of our own with the null device's numbers: a broken refusal must never replace the
    // system's /dev/null. Without the right to make one, /dev/null itself is out of reach anyway.
    std::string device = (dir_ / "null").string();
    if (::mknod(device.c_str(), S_IFCHR | 0666, makedev(1, 3)) != 0) device = "/dev/null";
    if (device == "/dev/null" && ::geteuid() == 0) GTEST_SKIP() << "cannot make a device node";
    const std::pair<std::string, const char*> refused[] = {
        {(dir_ / "folder").string(), "it is a directory"},
        {(dir_ / "fifo").string(), "it is a FIFO"},
        {device, "it is a character device"},
        {(dir_ / "to_fifo").string(), "it is a symbolic link to a FIFO"},
        {(dir_ / "dangling").string(), "it is a symbolic link to a missing file"},
    };
    for (const auto& [path, says] : refused) {
        std::string error, checked;
        EXPECT_EQ(WriteFileAtomically(path, std::string_view("data"), &error), kAtomicFileRefused) << path;
        EXPECT_EQ(error.rfind(says, 0), 0u) << error;
        EXPECT_EQ(CheckReplaceableFile(path, &checked), kAtomicFileRefused);
    }
    std::string error;
    EXPECT_EQ(WriteFileAtomically((dir_ / "none" / "x").string(), std::string_view("x"), &error), kAtomicFileCreateFailed);
    EXPECT_NE(error.find("No such file or directory"), std::string::npos) << error;
    EXPECT_EQ(Entries(), device == "/dev/null" ? 4 : 5);
    EXPECT_TRUE(S_ISFIFO(Lstat(dir_ / "fifo").st_mode) && S_ISCHR(Lstat(device).st_mode) && fs::is_empty(dir_ / "folder"));
}

// The temporary name is random and new for every write, so nothing can be planted at it; links
// planted at the fixed names older writers used (FILE.part, FILE.tmp) are not followed.
TEST_F(AtomicFileTest, TemporaryNamesAreRandomAndPlantedLinksAreNotFollowed) {
    const fs::path victim = dir_ / "victim", file = dir_ / "video_params.dat";
    std::ofstream(victim) << "precious";
    for (const char* planted : {"video_params.dat.part", "video_params.dat.tmp", ".video_params.dat.tmp"})
        fs::create_symlink(victim, dir_ / planted);
    int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(::inotify_add_watch(watch, dir_.c_str(), IN_CREATE), 0);
    for (char c : {'a', 'b', 'c'}) ASSERT_EQ(WriteFileAtomically(file.string(), std::string(8191, c), nullptr), 0);
    std::set<std::string> created;
    alignas(inotify_event) char buf[8192];
    for (ssize_t n, off; (n = ::read(watch, buf, sizeof(buf))) > 0;)
        for (off = 0; off < n; off += static_cast<ssize_t>(sizeof(inotify_event)) + reinterpret_cast<inotify_event*>(buf + off)->len)
            created.insert(reinterpret_cast<inotify_event*>(buf + off)->name);
    ::close(watch);

    EXPECT_EQ(created.size(), 3u);  // three different names
    for (const std::string& name : created) {
        ASSERT_EQ(name.size(), 30u) << name;
        EXPECT_EQ(name.rfind(".video_params.dat.", 0), 0u) << name;
        EXPECT_TRUE(std::all_of(name.end() - 12, name.end(), [](char ch) { return std::isalnum(static_cast<unsigned char>(ch)); }));
    }
    EXPECT_EQ(Read(victim), "precious");
    EXPECT_EQ(Read(file), std::string(8191, 'c'));
    EXPECT_EQ(Entries(), 5);
}

}  // namespace
