// Runs velmora-cli as scripts do, against velmora-camsim: output lines and exit statuses.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

#include "program_runner.h"

namespace fs = std::filesystem;

namespace {

using Result = velmora::test::ProgramResult;
using velmora::test::Shell;

// Network cameras of this test, on loopback addresses no other test uses.
constexpr const char kNetCameras[] = "127.0.0.61,127.0.0.62";

class CliProgramTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/velmora-cliprog-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        std::vector<std::string> args = {"--usb-dir", dir_, "--usb-count", "2"};
        for (const std::string& f : Faults()) args.insert(args.end(), {"--fault", f});
        for (const std::string& a : ExtraArgs()) args.push_back(a);
        if (WithNetworkCameras()) args.insert(args.end(), {"--net", kNetCameras, "--net-size", "320x240"});
        ASSERT_TRUE(sim_.Start(std::move(args))) << "simulator did not start";
    }
    void TearDown() override {
        sim_.Stop();
        fs::remove_all(dir_);
    }
    Result Cli(const std::string& args, bool mergeErr = false) {
        return Shell("VELMORA_USB_SIM=" + dir_ + " VELMORA_SEARCH_TARGETS=" + kNetCameras + " " + VELMORA_CLI_PATH +
                         " " + args,
                     mergeErr);
    }

    // ctest runs every test in a process of its own, two at a time: only one test serves the
    // network cameras, whose addresses and ports are fixed.
    virtual bool WithNetworkCameras() const { return false; }
    virtual std::vector<std::string> Faults() const { return {"cam02:refuse=-5,cmd=40001090"}; }
    // More simulator arguments.
    virtual std::vector<std::string> ExtraArgs() const { return {}; }

    std::string dir_;
    velmora::test::SimulatorProcess sim_;
};

class CliNetworkProgramTest : public CliProgramTest {
protected:
    bool WithNetworkCameras() const override { return true; }
};

// Camera 1 refuses its identity in nResult; camera 2 answers the ability list, sets and restore
// defaults with text that is not JSON.
class CliHostileCameraTest : public CliProgramTest {
protected:
    std::vector<std::string> Faults() const override {
        return {"cam01:refuse-result=-5,cmd=40001117", "cam02:not-json,cmd=40001119", "cam02:not-json,cmd=40001090",
                "cam02:not-json,cmd=40001093"};
    }
};

}  // namespace

TEST_F(CliProgramTest, ListsCamerasAndTunesOne) {
    Result r = Cli("list");
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(r.out.rfind("1\t模拟相机1\t", 0), 0u) << r.out;
    EXPECT_NE(r.out.find("\n2\t模拟相机2\t"), std::string::npos);
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\t'), 10);  // six columns, two lines

    ASSERT_EQ(Cli("--device 1 set Saturation=33").status, 0);
    r = Cli("--device 1 get");
    EXPECT_NE(r.out.find("\nSaturation=33\n"), std::string::npos);
    const std::string file = dir_ + "/cam1.dat";
    ASSERT_EQ(Cli("--device 1 export " + file).status, 0);
    EXPECT_EQ(fs::file_size(file), 8191u);
}

TEST_F(CliProgramTest, FailuresGiveANonZeroStatusAndTheCode) {
    Result r = Cli("--device 2 set Luminance=1", true);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "error -5: setting Luminance failed\n");  // one line, the camera's code

    // A camera chosen by its serial number is that camera, whatever its place in the list.
    const Result info = Cli("--device 2 info");
    const size_t at = info.out.find("Serial=");
    ASSERT_NE(at, std::string::npos) << info.out;
    const std::string serial = info.out.substr(at + 7, info.out.find('\n', at) - at - 7);
    r = Cli("--serial " + serial + " info");
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("DeviceName=模拟相机2\n"), std::string::npos) << r.out;
    EXPECT_EQ(Cli("--serial NO-SUCH-SERIAL info").status, 1);

    r = Cli("--device 3 get", true);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("error -304: there is no USB camera 3"), std::string::npos) << r.out;

    EXPECT_EQ(Cli("frobnicate").status, 2);
    r = Cli("get --device 1", true);  // options stand before the command
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.out.find("takes no arguments"), std::string::npos);
}

// A camera whose connections are all taken turns the tool away as busy before anything is sent;
// the tool waits its turn instead of failing.
TEST_F(CliProgramTest, ABusyCameraIsWaitedFor) {
    std::vector<int> held;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    const std::string path = dir_ + "/cam01.sock";
    ASSERT_LT(path.size(), sizeof addr.sun_path);
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    for (int i = 0; i < 16; ++i) {
        int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        held.push_back(fd);
    }
    std::thread release([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(700));
        for (int fd : held) close(fd);
    });
    // Chosen by serial number, the busy camera cannot be asked for it: it may be the one.
    Result r = Cli("--serial VMS202400001 get", true);
    release.join();
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("Luminance="), std::string::npos) << r.out;
}

// An export never turns something that is not a regular file into one, and a file-size limit
// gives an error line instead of killing the tool, leaving nothing behind.
TEST_F(CliProgramTest, ExportsDamageNothing) {
    const std::string fifo = dir_ + "/pipe.dat";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    Result r = Cli("--device 1 export " + fifo, true);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("FIFO"), std::string::npos) << r.out;
    EXPECT_TRUE(fs::is_fifo(fifo));

    const std::string file = dir_ + "/limited.dat";
    r = Shell("ulimit -f 4; VELMORA_USB_SIM=" + dir_ + " " + VELMORA_CLI_PATH + " --device 1 export " + file, true);
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.out.find("could not write"), std::string::npos) << r.out;
    EXPECT_FALSE(fs::exists(file));
    for (const auto& entry : fs::directory_iterator(dir_))
        EXPECT_EQ(entry.path().filename().string().find(".limited.dat"), std::string::npos) << entry.path();
}

TEST_F(CliNetworkProgramTest, NetworkCamerasAreFoundTunedAndPictured) {
    Result r = Cli("search");
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "127.0.0.61\n127.0.0.62\n");

    // Without the environment variable the targets come from toolscfg.ini of the home folder (the
    // program's rule, here --home); a search that finds nothing says where it looked, on stderr.
    const std::string home = dir_ + "/home";
    fs::create_directory(home);
    auto searchWith = [&](const std::string& targets, bool mergeErr) {
        std::ofstream(home + "/toolscfg.ini", std::ios::binary | std::ios::trunc) << "[SEARCH]\r\nTargets=" << targets << "\r\n";
        return Shell("env -u VELMORA_SEARCH_TARGETS " + std::string(VELMORA_CLI_PATH) + " --home " + home + " search",
                     mergeErr);
    };
    r = searchWith("127.0.0.62", false);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "127.0.0.62\n");
    r = searchWith("127.0.0.63, 127.0.0.64:40000", true);  // nobody listens there
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "velmora-cli: no network camera answered; probes went to 127.0.0.63:36667, 127.0.0.64:40000 "
                     "([SEARCH] Targets of " + home + "/toolscfg.ini)\n");
    r = Shell("VELMORA_SEARCH_TARGETS=nowhere " + std::string(VELMORA_CLI_PATH) + " search", true);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "velmora-cli: no network camera answered; no probe was sent: VELMORA_SEARCH_TARGETS holds no valid address\n");

    ASSERT_EQ(Cli("--ip 127.0.0.61 set Contrast=61").status, 0);
    const std::string file = dir_ + "/net.dat";
    ASSERT_EQ(Cli("--ip 127.0.0.61 export " + file).status, 0);
    ASSERT_EQ(Cli("--ip 127.0.0.62 import " + file).status, 0);
    r = Cli("--ip 127.0.0.62 get");
    EXPECT_NE(r.out.find("\nContrast=61\n"), std::string::npos);

    const std::string png = dir_ + "/snap.png";
    r = Cli("--ip 127.0.0.61 snapshot " + png, true);
    ASSERT_EQ(r.status, 0) << r.out;
    std::ifstream in(png, std::ios::binary);
    std::string head(8, '\0');
    in.read(head.data(), 8);
    EXPECT_EQ(head, "\x89PNG\r\n\x1a\n");

    r = Cli("--ip 127.0.0.61 --password nope get", true);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("error -1008: login to 127.0.0.61 as admin failed (wrong user name or password)"),
              std::string::npos)
        << r.out;
    // The user's own text is echoed escaped: a right-to-left override cannot reverse the line.
    r = Cli("--ip 127.0.0.61 --user \"$(printf 'ad\\342\\200\\256min')\" --password nope get", true);
    EXPECT_NE(r.out.find(" as ad\\xe2\\x80\\xaemin failed"), std::string::npos) << r.out;
}

// Both cameras carry one serial number.
class CliTwinSerialTest : public CliProgramTest {
protected:
    std::vector<std::string> ExtraArgs() const override {
        const std::string scenario = dir_ + "/twins.json";
        std::ofstream(scenario) << R"({"cameras": {"cam01": {"serial": "TWIN", "device_name": "Cam\u00f1\ud83d\ude00"},
                                     "cam02": {"serial": "TWIN"}}})";
        return {"--scenario", scenario};
    }
};

// --serial names one camera: when two answer to it, the tool names both instead of taking the first.
TEST_F(CliTwinSerialTest, ASerialSharedByTwoCamerasIsRefused) {
    Result r = Cli("--serial TWIN set Luminance=1", true);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "velmora-cli: serial TWIN belongs to USB cameras 1 and 2; choose one with --device N\n");
    EXPECT_EQ(Cli("--serial TWIN reboot").status, 2);
    EXPECT_EQ(Cli("--device 2 get").out.find("Luminance=1\n"), std::string::npos);  // nothing was set
    // A name outside CP936 is listed whole, not blank.
    EXPECT_EQ(Cli("list").out.rfind("1\tCam\u00F1\U0001F600\t", 0), 0u) << Cli("list").out;
}

// Failures never exit 0, and a device node that cannot be opened keeps its number: `list` shows it
// with its error and --device counts it, so --device 3 is the camera `list` shows as 3.
TEST_F(CliHostileCameraTest, FailuresAreNeverReportedAsSuccessAndListNumbersEveryNode) {
    // A socket nobody listens on stands first, like a hidraw node without access rights.
    const std::string dead = dir_ + "/cam00.sock";
    const int fd = socket(AF_UNIX, SOCK_SEQPACKET, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, dead.c_str(), dead.size() + 1);
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    close(fd);
    std::ofstream(dir_ + "/cam00.json") << R"({"vendor_id": 5891, "product_id": 4660, "output_report_length": 65})";

    Result r = Cli("list");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out.rfind("1\terror -304: cannot be opened (" + dead + ")\n2\terror -5: ", 0), 0u) << r.out;
    EXPECT_NE(r.out.find("\n3\t模拟相机2\t"), std::string::npos) << r.out;
    EXPECT_NE(Cli("list", true).out.find("error -304: USB camera 1 cannot be opened"), std::string::npos);

    r = Cli("--device 2 info", true);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "error -5: reading the device information failed\n");
    for (const char* command : {"abilities", "set Luminance=1", "defaults"}) {
        r = Cli(std::string("--device 3 ") + command, true);
        EXPECT_EQ(r.status, 1) << command;
        EXPECT_EQ(r.out.rfind("error -310: ", 0), 0u) << command << ": " << r.out;
    }
    EXPECT_EQ(Cli("--device 3 get").status, 0);  // the camera itself is there
}
