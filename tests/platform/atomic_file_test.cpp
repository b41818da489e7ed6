#include "platform/atomic_file.h"

#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <vector>

#include "platform/run_in_child.h"

namespace fs = std::filesystem;
using namespace velmora;

namespace {

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
    static void Put(const fs::path& p, const std::string& text) { std::ofstream(p, std::ios::binary) << text; }
    static std::string Get(const fs::path& p) {
        std::ifstream in(p, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    static mode_t ModeOf(const fs::path& p) {
        struct stat st {};
        return ::lstat(p.c_str(), &st) == 0 ? st.st_mode : 0;
    }
    std::set<std::string> Entries(const fs::path& d) const {
        std::set<std::string> names;
        for (const auto& e : fs::directory_iterator(d)) names.insert(e.path().filename().string());
        return names;
    }

    fs::path dir_;
};

TEST_F(AtomicFileTest, NewFileFollowsTheUmaskAndReplacementKeepsBitsOwnerButNoSetIdBits) {
    const fs::path file = dir_ / "out.dat";
    ChildResult child = RunInChild([&] {
        ::umask(027);
        std::string error;
        int r = WriteFileAtomically(file.string(), std::string_view("new"), &error);
        return std::to_string(r) + " " + error;
    });
    ASSERT_TRUE(child.exited);
    EXPECT_EQ(child.text, "0 ");
    EXPECT_EQ(ModeOf(file) & 07777, 0640u);

    // Set-user-id, set-group-id and sticky bits must not carry over to a data file, neither
    // directly nor through a link (a link to a set-uid program used to give a 4755 data file).
    const fs::path link = dir_ / "link.dat";
    fs::create_symlink(file, link);
    for (const fs::path& target : {file, link}) {
        ASSERT_EQ(::chmod(file.c_str(), 07751), 0);
        ASSERT_EQ(WriteFileAtomically(target.string(), std::string_view("replaced"), nullptr), 0);
        EXPECT_EQ(ModeOf(file) & 07777, 0751u) << target;
        EXPECT_EQ(Get(file), "replaced");
    }
    if (::geteuid() == 0) {  // root replacing someone else's file leaves it theirs
        ASSERT_EQ(::chown(file.c_str(), 65534, 65534), 0);
        ASSERT_EQ(WriteFileAtomically(file.string(), std::string_view("theirs"), nullptr), 0);
        struct stat st {};
        ASSERT_EQ(::stat(file.c_str(), &st), 0);
        EXPECT_EQ(st.st_uid, 65534u);
        EXPECT_EQ(st.st_gid, 65534u);
    }
    EXPECT_EQ(Entries(dir_), (std::set<std::string>{"out.dat", "link.dat"}));
}

TEST_F(AtomicFileTest, SymbolicLinkStaysAndTheFileItLeadsToIsReplaced) {
    fs::create_directory(dir_ / "real");
    const fs::path real = dir_ / "real" / "cam1.dat";
    Put(real, "old");
    const fs::path link = dir_ / "video_params.dat";
    fs::create_symlink("real/cam1.dat", link);  // relative, as users make them
    ASSERT_EQ(WriteFileAtomically(link.string(), std::string_view("new"), nullptr), 0);
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(fs::read_symlink(link), "real/cam1.dat");
    EXPECT_EQ(Get(real), "new");
    EXPECT_EQ(Entries(dir_), (std::set<std::string>{"real", "video_params.dat"}));
    EXPECT_EQ(Entries(dir_ / "real"), (std::set<std::string>{"cam1.dat"}));
}

TEST_F(AtomicFileTest, TargetsThatAreNotRegularFilesAreRefusedAndLeftAlone) {
    fs::create_directory(dir_ / "folder");
    ASSERT_EQ(::mkfifo((dir_ / "fifo").c_str(), 0600), 0);
    int sock = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(sock, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    const std::string sockPath = (dir_ / "sock").string();
    ASSERT_LT(sockPath.size(), sizeof(addr.sun_path));
    std::memcpy(addr.sun_path, sockPath.c_str(), sockPath.size() + 1);
    ASSERT_EQ(::bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
    ::close(sock);
    fs::create_symlink(dir_ / "fifo", dir_ / "to_fifo");
    fs::create_symlink(dir_ / "missing", dir_ / "dangling");
    // A device node of our own (the null device's numbers), so that a broken refusal can never
    // replace the system's /dev/null; without the right to make one, /dev/null itself is safe.
    std::string device = (dir_ / "null").string();
    if (::mknod(device.c_str(), S_IFCHR | 0666, makedev(1, 3)) != 0) {
        if (::geteuid() == 0) GTEST_SKIP() << "cannot make a device node";
        device = "/dev/null";
    }
    struct Case {
        std::string path;
        int code;
        const char* says;
    };
    const Case cases[] = {
        {(dir_ / "folder").string(), kAtomicFileRefused, "it is a directory"},
        {(dir_ / "fifo").string(), kAtomicFileRefused, "it is a FIFO"},
        {sockPath, kAtomicFileRefused, "it is a socket"},
        {device, kAtomicFileRefused, "it is a character device"},
        {(dir_ / "to_fifo").string(), kAtomicFileRefused, "symbolic link to a FIFO"},
        {(dir_ / "dangling").string(), kAtomicFileRefused, "symbolic link to a missing file"},
        {(dir_ / "folder").string() + "/", kAtomicFileBadPath, "names a folder"},
        {"", kAtomicFileBadPath, "no file name"},
        {(dir_ / "no_folder" / "x.dat").string(), kAtomicFileCreateFailed, "No such file or directory"},
    };
    std::vector<Case> all(std::begin(cases), std::end(cases));
    // /dev/stdout leads to a terminal or a pipe under a test runner; when the output goes to a
    // file, that file would rightly be replaced, so the case is left out then.
    struct stat out {};
    if (::fstat(1, &out) == 0 && !S_ISREG(out.st_mode)) all.push_back({"/dev/stdout", kAtomicFileRefused, "symbolic link to"});
    const std::set<std::string> before = Entries(dir_);
    for (const Case& c : all) {
        std::string error, checked;
        EXPECT_EQ(WriteFileAtomically(c.path, std::string_view("data"), &error), c.code) << c.path;
        EXPECT_NE(error.find(c.says), std::string::npos) << c.path << ": " << error;
        if (c.code != kAtomicFileCreateFailed) {
            EXPECT_EQ(CheckReplaceableFile(c.path, &checked), c.code) << c.path;
        }
    }
    EXPECT_EQ(Entries(dir_), before);
    EXPECT_TRUE(S_ISFIFO(ModeOf(dir_ / "fifo")));
    EXPECT_TRUE(S_ISSOCK(ModeOf(dir_ / "sock")));
    EXPECT_TRUE(S_ISCHR(ModeOf(device)));
    EXPECT_TRUE(fs::is_empty(dir_ / "folder"));
}

// The temporary file's name is random and new for every write, so nothing can be planted at it;
// links planted at the names older writers used (FILE.part, FILE.tmp) are not followed.
TEST_F(AtomicFileTest, TemporaryNamesAreRandomAndPlantedLinksAreNotFollowed) {
    const fs::path victim = dir_ / "victim";
    Put(victim, "precious");
    const fs::path file = dir_ / "video_params.dat";
    for (const char* planted : {"video_params.dat.part", "video_params.dat.tmp", ".video_params.dat.tmp",
                                ".video_params.dat.XXXXXX"})
        fs::create_symlink(victim, dir_ / planted);

    int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(watch, 0);
    ASSERT_GE(::inotify_add_watch(watch, dir_.c_str(), IN_CREATE), 0);
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(WriteFileAtomically(file.string(), std::string(8191, static_cast<char>('a' + i)), nullptr), 0);
    std::vector<std::string> created;
    alignas(inotify_event) char buf[8192];
    ssize_t n;
    while ((n = ::read(watch, buf, sizeof(buf))) > 0) {
        for (ssize_t off = 0; off < n;) {
            const auto* ev = reinterpret_cast<const inotify_event*>(buf + off);
            if (ev->len > 0) created.emplace_back(ev->name);
            off += static_cast<ssize_t>(sizeof(inotify_event) + ev->len);
        }
    }
    ::close(watch);

    ASSERT_EQ(created.size(), 3u);
    EXPECT_EQ(std::set<std::string>(created.begin(), created.end()).size(), 3u);
    const std::string prefix = ".video_params.dat.";
    for (const std::string& name : created) {
        ASSERT_EQ(name.size(), prefix.size() + 12) << name;
        EXPECT_EQ(name.rfind(prefix, 0), 0u) << name;
        EXPECT_TRUE(std::all_of(name.end() - 12, name.end(), [](char c) { return std::isalnum(static_cast<unsigned char>(c)); }))
            << name;
    }
    EXPECT_EQ(Get(victim), "precious");
    EXPECT_EQ(Get(file), std::string(8191, 'c'));
    EXPECT_EQ(Entries(dir_).size(), 6u);  // victim, target, the four planted links
}

// A folder the writer may not change: the temporary file cannot be made, the old file stays.
TEST_F(AtomicFileTest, UnwritableFolderFailsCleanly) {
    const fs::path file = dir_ / "out.dat";
    Put(file, "old");
    ASSERT_EQ(::chmod(dir_.c_str(), 0555), 0);
    ChildResult child = RunInChild([&] {
        if (!DropRootInChild()) return std::string("cannot drop root");
        std::string error;
        int r = WriteFileAtomically(file.string(), std::string_view("new"), &error);
        return std::to_string(r) + " " + error;
    });
    ::chmod(dir_.c_str(), 0700);
    ASSERT_TRUE(child.exited);
    EXPECT_EQ(child.text, std::to_string(kAtomicFileCreateFailed) + " cannot create a temporary file in " +
                              dir_.string() + ": Permission denied");
    EXPECT_EQ(Get(file), "old");
    EXPECT_EQ(Entries(dir_), (std::set<std::string>{"out.dat"}));
}

}  // namespace
