#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "app/app_options.h"
#include "app/app_paths.h"
#include "app/logging_setup.h"
#include "app/tools_config.h"
#include "platform/paths.h"
#include "platform/run_in_child.h"
#include "platform/zeb_log.h"

using namespace velmora::platform;
using namespace velmora::app;

namespace fs = std::filesystem;
using namespace velmora;

namespace {

struct TempDir {
    std::string path;
    TempDir() {
        std::string pattern = (fs::temp_directory_path() / "velmora-app-XXXXXX").string();
        path = ::mkdtemp(pattern.data()) ? pattern + "/" : "";
    }
    ~TempDir() {
        std::error_code ec;
        fs::permissions(path, fs::perms::owner_all, ec);
        fs::remove_all(path, ec);
    }
    std::string Write(const std::string& name, const std::string& text) const {
        std::ofstream(path + name, std::ios::binary) << text;
        return path + name;
    }
    static std::string Read(const std::string& file) {
        std::ifstream in(file, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), {}};
    }
};

ToolsConfig Loaded(const std::string& file, int* result = nullptr) {
    ToolsConfig c;
    std::memset(&c, 0x5A, sizeof c);  // Load must zero-fill whatever it is given
    int r = ToolsConfigFile(file).Load(c);
    if (result != nullptr) *result = r;
    return c;
}

std::vector<uint16_t> VendorIds(const TempDir& dir, const std::string& vidSection) {
    ToolsConfig c = Loaded(dir.Write("vid.ini", "[VID]\r\n" + vidSection));
    return std::vector<uint16_t>(c.vendorIds, c.vendorIds + c.vendorIdCount);
}

}  // namespace

TEST(ToolsConfig, FirstRunReadsNothingAndTheFirstSaveWritesOnlyTheFourValues) {
    TempDir dir;
    const std::string file = ConfigPath(dir.path);
    int result = -1;
    ToolsConfig c = Loaded(file, &result);
    EXPECT_EQ(result, 0);
    ToolsConfig zero{};
    EXPECT_EQ(std::memcmp(&c, &zero, sizeof c), 0);

    ToolsConfig saved{};
    saved.width = 1280, saved.height = 720, saved.searchMode = 1, saved.layout = 2;
    ASSERT_TRUE(ToolsConfigFile(file).Save(saved));
    EXPECT_EQ(TempDir::Read(file),
              "[WIN_SIZE]\r\nWidth=1280\r\nHeight=720\r\n[SEARCH_MODE]\r\nMode=1\r\n[WINS_MODE]\r\nMode=2\r\n");
    EXPECT_STREQ(Loaded(file, &result).password, "pelno");
    EXPECT_EQ(result, 1);
}

TEST(ToolsConfig, SaveReplacesItsValuesAndKeepsEveryUserLine) {
    TempDir dir;
    const std::string before =
        "; my cameras\r\n[LOGIN_INFO]\r\nUsername=op\r\nPassword=secret\r\n[win_size]\r\nwidth=1\r\n"
        "[VID]\r\nSRC1=0x2bc5\r\n[LOG]\r\nLevel=3\r\n[SEARCH]\r\nTargets=127.0.0.1\r\n";
    const std::string file = dir.Write("toolscfg.ini", before);
    ToolsConfig saved{};
    saved.width = 800, saved.height = 600, saved.searchMode = 0, saved.layout = 1;
    ASSERT_TRUE(ToolsConfigFile(file).Save(saved));
    EXPECT_EQ(
        TempDir::Read(file),
        "; my cameras\r\n[LOGIN_INFO]\r\nUsername=op\r\nPassword=secret\r\n[win_size]\r\nWidth=800\r\nHeight=600\r\n"
        "[VID]\r\nSRC1=0x2bc5\r\n[LOG]\r\nLevel=3\r\n[SEARCH]\r\nTargets=127.0.0.1\r\n"
        "[SEARCH_MODE]\r\nMode=0\r\n[WINS_MODE]\r\nMode=1\r\n");
    EXPECT_EQ(ReadSearchTargets(ProfileFile(file)), "127.0.0.1");
}

TEST(ToolsConfig, VendorIdsStopAtAGapAtTenKeysAndReadAnyTextAsHex) {
    TempDir dir;
    using Ids = std::vector<uint16_t>;
    EXPECT_EQ(VendorIds(dir, "SRC1=1234\r\nSRC3=5678\r\n"), Ids{0x1234});
    std::string twelve;
    for (int n = 1; n <= 12; ++n) twelve += "SRC" + std::to_string(n) + "=" + std::to_string(n) + "\r\n";
    EXPECT_EQ(VendorIds(dir, twelve), (Ids{1, 2, 3, 4, 5, 6, 7, 8, 9, 0x10}));
    // Not hexadecimal gives 0 and still counts; the low 16 bits are kept; an empty key ends the list.
    EXPECT_EQ(VendorIds(dir, "src1=0x1703\r\nSRC2=zz\r\nSRC3=0X2bc5g\r\nSRC4=12345\r\nSRC5=\r\nSRC6=1\r\n"),
              (Ids{0x1703, 0, 0x2bc5, 0x2345}));
}

TEST(ToolsConfig, MissingAndOddValuesTakeTheFileDefaults) {
    TempDir dir;
    const std::string name31(31, 'u');
    ToolsConfig c =
        Loaded(dir.Write("odd.ini", "[WIN_SIZE]\r\nWidth=0\r\n[LOGIN_INFO]\r\nUsername=" + name31 +
                                        "\r\nPassword=" + std::string(40, 'p') + "\r\n[LOG]\r\nLevel=12\r\n"));
    EXPECT_EQ(c.width, 0);  // the window keeps its own size: both must be > 0
    EXPECT_EQ((std::array{c.height, c.searchMode, c.layout}), (std::array{-1, 0, 1}));
    EXPECT_EQ(std::string(c.userName), name31);
    EXPECT_EQ(std::string(c.password), std::string(31, 'p'));
    EXPECT_EQ(ReadLogLevel(ProfileFile(dir.path + "odd.ini")), 1);
    EXPECT_EQ(ReadLogLevel(ProfileFile(dir.path + "missing.ini")), 5);
}

// The folder cannot be written (as "nobody" when the tests run as root): the save fails and the
// user's file stays byte for byte, with no temporary file left beside it.
TEST(ToolsConfig, AFailedSaveLeavesTheOldFileAsItWas) {
    TempDir dir;
    const std::string old = "[LOGIN_INFO]\r\nUsername=op\r\n[WIN_SIZE]\r\nWidth=640\r\n";
    const std::string file = dir.Write("toolscfg.ini", old);
    ASSERT_EQ(::chmod(file.c_str(), 0644) | ::chmod(dir.path.c_str(), 0555), 0);
    EXPECT_EQ(RunInChild([&]() -> std::string {
                  if (!DropRootInChild()) return "cannot drop root";
                  ToolsConfig c{};
                  c.width = 1, c.height = 2, c.searchMode = 1, c.layout = 2;
                  std::string why;
                  return ToolsConfigFile(file).Save(c, &why) ? "saved" : why.empty() ? "no reason" : "refused";
              }),
              "refused");
    EXPECT_EQ(TempDir::Read(file), old);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path), {}), 1);
}

// A remembered password makes the file private: a missing file is created mode 0600 before the
// password is in it, a link keeps leading to the file it names, a later save keeps the mode, and a
// wider file is named in a warning. Cameras added by hand are kept once each, in order.
TEST(ToolsConfig, ARememberedPasswordKeepsTheFilePrivateAndDevicesAreKeptOnce) {
    TempDir dir;
    const auto mode = [](const std::string& path) {
        struct stat st {};
        return ::stat(path.c_str(), &st) == 0 ? static_cast<unsigned>(st.st_mode & 0777) : 0u;
    };
    const std::string file = dir.path + "toolscfg.ini";
    const ToolsConfigFile config(file);
    EXPECT_FALSE(config.HoldsPassword());
    ASSERT_TRUE(config.SaveLogin("operator", "s3cret"));
    EXPECT_EQ(mode(file), 0600u);
    ToolsConfig c = Loaded(file);
    EXPECT_STREQ(c.userName, "operator");
    EXPECT_STREQ(c.password, "s3cret");
    EXPECT_TRUE(config.PermissionWarning().empty());

    ASSERT_EQ(::chmod(file.c_str(), 0664), 0);
    EXPECT_NE(config.PermissionWarning().find("mode 0664"), std::string::npos) << config.PermissionWarning();
    c.width = 800, c.height = 600, c.searchMode = 0, c.layout = 1;
    ASSERT_TRUE(config.Save(c));
    EXPECT_EQ(mode(file), 0600u);
    EXPECT_STREQ(Loaded(file).password, "s3cret");

    // Through a symbolic link the file it leads to is the one made private; the link stays.
    const std::string link = dir.path + "link.ini";
    ASSERT_EQ(::symlink(file.c_str(), link.c_str()), 0);
    ASSERT_EQ(::chmod(file.c_str(), 0644), 0);
    ASSERT_TRUE(ToolsConfigFile(link).SaveLogin("admin", "other"));
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(mode(file), 0600u);
    EXPECT_STREQ(Loaded(file).password, "other");

    // A file without a password is left as the user made it.
    const std::string plain = dir.Write("plain.ini", "[WIN_SIZE]\r\nWidth=640\r\n");
    ASSERT_EQ(::chmod(plain.c_str(), 0644), 0);
    ASSERT_TRUE(ToolsConfigFile(plain).AddDevice("10.20.0.64:36666"));
    ASSERT_TRUE(ToolsConfigFile(plain).AddDevice("10.20.0.65:4000"));
    ASSERT_TRUE(ToolsConfigFile(plain).AddDevice("10.20.0.64:36666"));
    EXPECT_EQ(mode(plain), 0644u);
    EXPECT_TRUE(ToolsConfigFile(plain).PermissionWarning().empty());
    EXPECT_EQ(ToolsConfigFile(plain).Devices(), (std::vector<std::string>{"10.20.0.64:36666", "10.20.0.65:4000"}));
    EXPECT_NE(TempDir::Read(plain).find("Width=640"), std::string::npos);
}

TEST(HomeDir, OptionThenPortableFolderThenUserConfigFolder) {
    HomeEnvironment env;
    env.home = "/home/ann";
    env.isWritableDir = [](const std::string& d) { return d != "/media/ro/"; };
    env.makeDirs = [](const std::string&, std::string*) { return true; };
    env.fileExists = [](const std::string& f) {
        return f == "/home/ann/.local/bin/../share/applications/velmora.desktop";
    };
    auto resolve = [&env](const std::string& option, const std::string& exe) {
        HomeDir h = ResolveHomeDir(option, exe, env);
        return h.path + (h.rule == HomeRule::Option ? " option" : h.rule == HomeRule::Portable ? " portable" : " user");
    };
    EXPECT_EQ(resolve("/tmp/h", "/home/ann/velmora"), "/tmp/h/ option");
    EXPECT_EQ(resolve("", "/home/ann/velmora"), "/home/ann/velmora/ portable");
    EXPECT_EQ(resolve("", "/media/ro/"), "/home/ann/.config/velmora/ user");
    // An installed program never writes beside itself, even when it could (run as root).
    EXPECT_EQ(resolve("", "/home/ann/.local/bin/"), "/home/ann/.config/velmora/ user");
    env.xdgConfigHome = "/xdg";
    EXPECT_EQ(resolve("", "/usr/bin/"), "/xdg/velmora/ user");
    env.xdgConfigHome = "relative/dir";  // not absolute: ignored
    EXPECT_EQ(resolve("", "/opt/velmora/bin/"), "/home/ann/.config/velmora/ user");
    env.xdgConfigHome = env.home = "";
    EXPECT_FALSE(ResolveHomeDir("", "/usr/bin/", env).error.empty());
    // The process's own environment makes the folder, and refuses a file in its place.
    TempDir dir;
    EXPECT_TRUE(ResolveHomeDir(dir.path + "a/b", "/usr/bin/", ProcessHomeEnvironment()).error.empty());
    const std::string file = dir.Write("file", "");
    EXPECT_NE(ResolveHomeDir(file, "/usr/bin/", ProcessHomeEnvironment()).error.find("Not a directory"), std::string::npos);
    EXPECT_NE(ResolveHomeDir(file + "/sub", "/usr/bin/", ProcessHomeEnvironment()).error.find("Not a directory"),
              std::string::npos);
}

// A program in a folder on $PATH under the user's home was installed by the user: its files go to
// the XDG folders. The log follows the home rule: beside a portable copy or --home, in the state
// folder for an installed program.
TEST(HomeDir, PathUnderHomeCountsAsInstalledAndTheLogFollowsTheRule) {
    HomeEnvironment env;
    env.home = "/home/ann";
    env.path = "/usr/bin:relative/bin:/home/ann/bin/:/home/ann/.local/bin:/opt/x/bin";
    env.isWritableDir = [](const std::string&) { return true; };
    auto resolve = [&env](const std::string& option, const std::string& exe) {
        const HomeDir h = ResolveHomeDir(option, exe, env);
        return h.path + " " + h.logDir;
    };
    EXPECT_EQ(resolve("", "/home/ann/bin/"), "/home/ann/.config/velmora/ /home/ann/.local/state/velmora/");
    EXPECT_EQ(resolve("", "/home/ann/.local/bin/"), "/home/ann/.config/velmora/ /home/ann/.local/state/velmora/");
    // Not on PATH, a relative PATH entry, or on PATH but outside the home: a portable copy.
    EXPECT_EQ(resolve("", "/home/ann/velmora/"), "/home/ann/velmora/ /home/ann/velmora/APP_LOG/");
    EXPECT_EQ(resolve("", "/home/ann/relative/bin/"), "/home/ann/relative/bin/ /home/ann/relative/bin/APP_LOG/");
    EXPECT_EQ(resolve("", "/media/stick/"), "/media/stick/ /media/stick/APP_LOG/");
    env.path += ":/media/stick";
    EXPECT_EQ(resolve("", "/media/stick/"), "/media/stick/ /media/stick/APP_LOG/");
    // A home of "/" would make every folder on PATH count; it is ignored.
    env.home = "/";
    env.path = "/srv/tools";
    EXPECT_EQ(resolve("", "/srv/tools/"), "/srv/tools/ /srv/tools/APP_LOG/");
    env.home = "/home/ann";
    EXPECT_EQ(resolve("/tmp/h", "/usr/bin/"), "/tmp/h/ /tmp/h/APP_LOG/");
    // XDG_STATE_HOME counts only when absolute, as XDG_CONFIG_HOME does.
    env.xdgStateHome = "/xdg/state";
    EXPECT_EQ(resolve("", "/usr/bin/"), "/home/ann/.config/velmora/ /xdg/state/velmora/");
    env.xdgStateHome = "state";
    EXPECT_EQ(resolve("", "/usr/bin/"), "/home/ann/.config/velmora/ /home/ann/.local/state/velmora/");
    // --help names both folders.
    const std::string places = PlacesText(ResolveHomeDir("", "/usr/bin/", env), true);
    EXPECT_NE(places.find("/home/ann/.config/velmora/ (the user's configuration folder"), std::string::npos) << places;
    EXPECT_NE(places.find("Log folder now: /home/ann/.local/state/velmora/"), std::string::npos) << places;
    EXPECT_EQ(PlacesText(ResolveHomeDir("", "/usr/bin/", env), false).find("Log folder"), std::string::npos);
}

TEST(AppOptions, ParsesEveryOptionAndRefusesBadCommandLines) {
    auto parse = [](std::vector<std::string> args, std::string* error) {
        args.insert(args.begin(), "velmora");
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        error->clear();
        return ParseAppOptions(static_cast<int>(argv.size()), argv.data(), error);
    };
    std::string error;
    AppOptions o = parse(
        {"--home", "/tmp/v", "--open-usb=2,1", "--open-ip", "127.0.0.1,127.0.0.2", "--screenshot=/tmp/s"}, &error);
    ASSERT_TRUE(o.ok) << error;
    EXPECT_EQ(o.home, "/tmp/v");
    EXPECT_EQ(o.openUsb, (std::vector<int>{2, 1}));
    EXPECT_EQ(o.openIp, (std::vector<std::string>{"127.0.0.1", "127.0.0.2"}));
    EXPECT_EQ(o.screenshotDir, "/tmp/s");
    EXPECT_TRUE(parse({"-h"}, &error).help);
    EXPECT_TRUE(parse({"--version"}, &error).version);

    const std::vector<std::pair<std::vector<std::string>, std::string>> bad = {
        {{"--verbose"}, "unknown option '--verbose'"},
        {{"--home", "--help"}, "--home needs a value"},
        {{"--home", "a", "--home=b"}, "--home is given twice"},
        {{"--open-usb", "0"}, "--open-usb: '0' is not a position in the USB device list (1 to 999)"},
        {{"--open-usb", "3,3"}, "--open-usb: position 3 is given twice"},
        {{"--open-ip", "127.0.0.256"}, "--open-ip: '127.0.0.256' is not a dotted IPv4 address"},
        {{"--open-ip", "127.0.0.1,127.0.0.2,127.0.0.3,127.0.0.4,127.0.0.5"},
         "--open-ip: at most 4 addresses, one per video pane"},
    };
    for (const auto& [args, message] : bad) {
        EXPECT_FALSE(parse(args, &error).ok) << args[0];
        EXPECT_EQ(error, message);
    }
}

// --lang wins over the locale; the first set of LC_ALL, LC_MESSAGES and LANG decides otherwise,
// and Chinese, C, POSIX and no locale at all keep the Chinese texts.
TEST(AppOptions, TheWindowsLanguageComesFromLangOrTheLocale) {
    std::string error;
    std::vector<std::string> args{"velmora", "--lang=en"};
    std::vector<char*> argv{args[0].data(), args[1].data()};
    EXPECT_EQ(ParseAppOptions(2, argv.data(), &error).lang, "en");
    args = {"velmora", "--lang", "fr"};
    argv = {args[0].data(), args[1].data(), args[2].data()};
    EXPECT_FALSE(ParseAppOptions(3, argv.data(), &error).ok);
    EXPECT_EQ(error, "--lang: 'fr' is not a language of the windows (en or zh)");

    constexpr auto zh = UiLanguage::Chinese;
    constexpr auto en = UiLanguage::English;
    struct Case {
        const char* lang;
        const char *lcAll, *lcMessages, *langEnv;
        UiLanguage expected;
    };
    const Case cases[] = {
        {"", nullptr, nullptr, nullptr, zh},
        {"", nullptr, nullptr, "C.UTF-8", zh},
        {"", nullptr, nullptr, "POSIX", zh},
        {"", nullptr, nullptr, "zh_CN.UTF-8", zh},
        {"", nullptr, nullptr, "zh_TW", zh},
        {"", nullptr, nullptr, "en_US.UTF-8", en},
        {"", nullptr, nullptr, "de_DE@euro", en},
        {"", "", "", "en_GB.UTF-8", en},                // empty variables do not count
        {"", "zh_CN.UTF-8", nullptr, "en_US.UTF-8", zh},  // LC_ALL before LANG
        {"", nullptr, "en_US.UTF-8", "zh_CN.UTF-8", en},  // LC_MESSAGES before LANG
        {"", nullptr, nullptr, "zhx_YY", en},           // only the language part counts
        {"zh", nullptr, nullptr, "en_US.UTF-8", zh},
        {"en", nullptr, nullptr, "C", en},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ChooseUiLanguage(c.lang, c.lcAll, c.lcMessages, c.langEnv), c.expected)
            << c.lang << " " << (c.lcAll ? c.lcAll : "-") << " " << (c.lcMessages ? c.lcMessages : "-") << " "
            << (c.langEnv ? c.langEnv : "-");
    }
}

TEST(Logging, SetUpWritesTheLogFileIntoTheHomeFolder) {
    TempDir dir;
    ASSERT_EQ(SetUpLogging(dir.path, 6), 0);
    AppLog().Log(3, nullptr, "start-up check");
    AppLog().SetLogDir("", "log");  // closes (and flushes) the file before it is read
    EXPECT_NE(TempDir::Read(dir.path + "APP_LOG/log.log").find("start-up check"), std::string::npos);
    // A state folder that does not exist yet (first start of an installed program) is made.
    ASSERT_EQ(SetUpLoggingIn(dir.path + "state/velmora/", 6), 0);
    AppLog().Log(3, nullptr, "state check");
    AppLog().SetLogDir("", "log");
    EXPECT_NE(TempDir::Read(dir.path + "state/velmora/log.log").find("state check"), std::string::npos);
}
