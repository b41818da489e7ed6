// velmora-cli upgrade and reboot as a production line runs them, against velmora-camsim: the
// lines per camera, the exit status with one error line per failed camera, and Ctrl-C.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "cli/cli_options.h"
#include "program_runner.h"

namespace fs = std::filesystem;

namespace {

using Result = velmora::test::ProgramResult;
using velmora::test::Child;
using velmora::test::ReadAll;
using velmora::test::Spawn;
using velmora::test::Wait;

class CliUpgradeTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/velmora-cliupg-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override {
        sim_.Stop();
        fs::remove_all(dir_);
    }

    // Three cameras whose writing ends with the second progress query, plus `extra` options.
    void StartSim(std::vector<std::string> extra) {
        std::vector<std::string> args = {"--usb-dir", dir_ + "/usb", "--usb-count", "3", "--flash-steps", "2"};
        args.insert(args.end(), extra.begin(), extra.end());
        ASSERT_TRUE(sim_.Start(std::move(args))) << "simulator did not start";
    }

    std::string Package(const std::string& name, size_t size) {
        const std::string path = dir_ + "/" + name;
        std::ofstream(path, std::ios::binary) << std::string(size, 'x');
        return path;
    }

    // The session's lines stay Chinese under the C locale whatever the test runs under; `locale`
    // replaces LANG.
    Child StartCli(std::vector<std::string> args, const std::string& locale = "C.UTF-8") {
        args.insert(args.begin(), VELMORA_CLI_PATH);
        return Spawn(args, {"VELMORA_USB_SIM=" + dir_ + "/usb", "LC_ALL=", "LC_MESSAGES=", "LANG=" + locale});
    }

    Result Cli(std::vector<std::string> args, const std::string& locale = "C.UTF-8") {
        Child c = StartCli(std::move(args), locale);
        Result r;
        std::thread errReader([&] { r.err = ReadAll(c.err); });
        r.out = ReadAll(c.out);
        errReader.join();
        r.status = Wait(c.pid);
        return r;
    }

    std::string dir_;
    velmora::test::SimulatorProcess sim_;
};

bool Has(const std::string& text, const std::string& line) { return text.find(line + "\n") != std::string::npos; }

}  // namespace

TEST(CliUpgradeOptions, AllIsOneMoreWayToChooseCameras) {
    velmora::cli::CliOptions o;
    std::string error;
    const char* all[] = {"velmora-cli", "--all", "upgrade", "a.dat", "b.dat"};
    ASSERT_TRUE(velmora::cli::ParseCliOptions(5, all, o, error)) << error;
    EXPECT_TRUE(o.all);
    EXPECT_EQ(o.command, "upgrade");
    EXPECT_EQ(o.args, (std::vector<std::string>{"a.dat", "b.dat"}));
    const char* both[] = {"velmora-cli", "--all", "--device", "2", "reboot"};
    EXPECT_FALSE(velmora::cli::ParseCliOptions(5, both, o, error));
    EXPECT_NE(error.find("--all"), std::string::npos);
}

TEST_F(CliUpgradeTest, EveryCameraIsUpgradedInParallelAndEachFailureIsNamed) {
    StartSim({"--fault", "cam02:refuse=-7,cmd=30001008"});
    const std::string pkg = Package("rootfs.dat", 1048577);
    Result r = Cli({"--all", "upgrade", pkg, Package("b.dat", 3)});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(Has(r.out, "[1] 升级[rootfs]: 100%")) << r.out;
    EXPECT_TRUE(Has(r.out, "[3] 升级[2](烧写中):50%")) << r.out;
    EXPECT_TRUE(Has(r.out, "[2] 请求升级失败:-7")) << r.out;
    EXPECT_EQ(r.err, "error -7: camera 2 (serial VMS202400002): 请求升级失败:-7\n");

    r = Cli({"--device", "3", "upgrade", pkg});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(Has(r.out, "[3] 升级成功.")) << r.out;
    // --json: the same changes, one object per line.
    r = Cli({"--device", "3", "--json", "upgrade", pkg});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(Has(r.out, R"({"camera": 3, "state": "sending", "percent": 100, "text": "升级[rootfs]: 100%"})"))
        << r.out;
    EXPECT_EQ(r.out.find("[3]"), std::string::npos);
    EXPECT_EQ(r.out.find("[1]"), std::string::npos);

    r = Cli({"--device", "1", "upgrade", dir_ + "/missing.dat"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "error -1: 无法打开文件:" + dir_ + "/missing.dat\n");

    // Usage errors send nothing.
    EXPECT_EQ(Cli({"--all", "snapshot", "a.png"}).status, 2);
    EXPECT_EQ(Cli({"upgrade"}).status, 2);
    EXPECT_EQ(Cli({"--ip", "127.0.0.1", "reboot"}).status, 2);
}

TEST_F(CliUpgradeTest, RebootNamesTheCamerasThatRefused) {
    StartSim({"--fault", "cam01:refuse=-9,cmd=40001086"});
    Result r = Cli({"--all", "reboot"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(Has(r.out, "[3] 设备已经重启")) << r.out;
    EXPECT_TRUE(Has(r.out, "[2] 设备已经重启")) << r.out;
    EXPECT_TRUE(Has(r.out, "[1] 重启失败")) << r.out;
    EXPECT_EQ(r.err, "error -9: camera 1 (serial VMS202400001): 重启失败\n");
}

// Under an English locale, or with --lang en, the session's lines and the error lines are English;
// --lang zh and --json keep them as the session wrote them.
TEST_F(CliUpgradeTest, UpgradeAndRebootLinesFollowTheLanguage) {
    StartSim({"--fault", "cam01:refuse=-9,cmd=40001086"});
    Result r = Cli({"--device", "1", "reboot"}, "en_US.UTF-8");
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(Has(r.out, "[1] Reboot failed")) << r.out;
    EXPECT_EQ(r.err, "error -9: camera 1: Reboot failed\n");
    r = Cli({"--lang", "zh", "--device", "1", "reboot"}, "en_US.UTF-8");
    EXPECT_EQ(r.err, "error -9: camera 1: 重启失败\n");

    const std::string pkg = Package("rootfs.dat", 3);
    r = Cli({"--lang", "en", "--device", "2", "upgrade", pkg});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(Has(r.out, "[2] Upgrade [rootfs]: 100%")) << r.out;
    EXPECT_TRUE(Has(r.out, "[2] Upgrade succeeded.")) << r.out;
    r = Cli({"--lang", "en", "--device", "2", "--json", "upgrade", pkg});
    EXPECT_TRUE(Has(r.out, R"({"camera": 2, "state": "sending", "percent": 100, "text": "升级[rootfs]: 100%"})")) << r.out;
    r = Cli({"--lang", "en", "--device", "2", "upgrade", dir_ + "/missing2.dat"});
    EXPECT_EQ(r.err, "error -1: Cannot open the file: " + dir_ + "/missing2.dat\n");
    EXPECT_EQ(Cli({"--lang", "fr", "reboot"}).status, 2);
}

TEST_F(CliUpgradeTest, InterruptStopsEveryCameraAndFailsTheRun) {
    StartSim({"--fault", "*:never-flash"});
    Child c = StartCli({"--all", "upgrade", Package("a.dat", 100), Package("b.dat", 100)});
    std::string out, line;
    int writing = 0;
    char ch;
    while (writing < 3 && read(c.out, &ch, 1) == 1) {
        if (ch != '\n') {
            line += ch;
            continue;
        }
        out += line + "\n";
        if (line.find("(烧写中)") != std::string::npos && line.find(":0%") == std::string::npos) ++writing;
        line.clear();
    }
    kill(c.pid, SIGINT);
    std::thread errReader([&] { out += ReadAll(c.out); });
    const std::string err = ReadAll(c.err);
    errReader.join();
    EXPECT_EQ(Wait(c.pid), 1);
    for (int n = 1; n <= 3; ++n) {
        EXPECT_TRUE(Has(out, "[" + std::to_string(n) + "] 停止升级")) << out;
        EXPECT_TRUE(Has(err, "error -3: camera " + std::to_string(n) + " (serial VMS20240000" + std::to_string(n) +
                             "): 停止升级"))
            << err;
    }
    EXPECT_EQ(out.find("[2]..."), std::string::npos);  // the second package was never requested
}
