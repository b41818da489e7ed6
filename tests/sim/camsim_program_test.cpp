// Runs the velmora-camsim program itself: start-up line, sockets, scenario, clean shutdown.
#include <cjson/cJSON.h>
#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <thread>

#include "sim/hid_test_client.h"

namespace {

// A running simulator with its stdout on a pipe, and on request its stderr on another.
class Program {
public:
    explicit Program(std::vector<std::string> args, bool captureErrors = false) {
        int out[2];
        int err[2] = {-1, -1};
        if (pipe(out) != 0 || (captureErrors && pipe2(err, O_NONBLOCK) != 0)) return;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(out[1], STDOUT_FILENO);
            if (err[1] >= 0) dup2(err[1], STDERR_FILENO);
            close(out[0]);
            close(out[1]);
            std::vector<char*> argv;
            static std::string path = VELMORA_CAMSIM_PATH;
            argv.push_back(path.data());
            for (auto& a : args) argv.push_back(a.data());
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(out[1]);
        out_ = out[0];
        if (err[1] >= 0) close(err[1]);
        err_ = err[0];
    }
    ~Program() {
        if (pid_ > 0 && !exited_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (out_ >= 0) close(out_);
        if (err_ >= 0) close(err_);
    }
    Program(const Program&) = delete;
    Program& operator=(const Program&) = delete;

    // Reads stdout until a full line arrives or the time runs out.
    std::string ReadLine(int timeoutMs = 10000) {
        std::string line;
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (std::chrono::steady_clock::now() < end) {
            pollfd p{out_, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0) continue;
            char ch;
            if (read(out_, &ch, 1) != 1) break;
            if (ch == '\n') return line;
            line.push_back(ch);
        }
        return line;
    }
    // Sends `sig` and waits for the exit; returns the exit code, or -1 when it did not end in time.
    int Stop(int sig = SIGTERM, int timeoutMs = 10000) {
        if (sig) kill(pid_, sig);
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        int status = 0;
        while (std::chrono::steady_clock::now() < end) {
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                exited_ = true;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return -1;
    }
    pid_t pid() const { return pid_; }
    // What the program wrote on stderr so far (with captureErrors).
    std::string ErrorText() {
        char buf[4096];
        ssize_t n;
        while (err_ >= 0 && (n = read(err_, buf, sizeof buf)) > 0) errors_.append(buf, static_cast<size_t>(n));
        return errors_;
    }

private:
    pid_t pid_ = -1;
    int out_ = -1;
    int err_ = -1;
    std::string errors_;
    bool exited_ = false;
};

class CamsimProgramTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/camsim-prog-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }
    std::string dir_;
};

std::string DeviceName(const simtest::Reply& r) {
    cJSON* root = cJSON_Parse(r.body.c_str());
    const cJSON* name = cJSON_GetObjectItem(root, "DeviceName");
    std::string out = cJSON_IsString(name) ? name->valuestring : "";
    cJSON_Delete(root);
    return out;
}

}  // namespace

TEST_F(CamsimProgramTest, StartsReadyServesAndExitsCleanlyOnSignals) {
    const std::string usb = dir_ + "/usb";
    for (int sig : {SIGTERM, SIGINT}) {
        Program p({"--usb-dir", usb, "--usb-count", "2"});
        ASSERT_EQ(p.ReadLine(), "ready");
        for (const char* f : {"cam01.sock", "cam01.json", "cam02.sock", "cam02.json"}) {
            EXPECT_TRUE(std::filesystem::exists(usb + "/" + f)) << f;
        }
        simtest::HidClient c;
        ASSERT_TRUE(c.Connect(usb + "/cam02.sock"));
        EXPECT_EQ(DeviceName(c.Exchange(40001117, "")), "模拟相机2");
        // A connection still open at shutdown does not keep the program alive.
        EXPECT_EQ(p.Stop(sig), 0);
        EXPECT_TRUE(std::filesystem::is_empty(usb));
    }
}

TEST_F(CamsimProgramTest, ScenarioFileSetsCamerasAndFaults) {
    const std::string usb = dir_ + "/usb";
    const std::string scenario = dir_ + "/scenario.json";
    std::ofstream(scenario) << R"({
      "usb_count": 2,
      "cameras": {
        "cam01": { "device_name": "仓库相机", "faults": ["refuse=-5,cmd=40001090"] },
        "cam02": { "report_len": 33 }
      }
    })";
    Program p({"--usb-dir", usb, "--scenario", scenario, "--fault", "cam02:split=4"});
    ASSERT_EQ(p.ReadLine(), "ready");
    simtest::HidClient a;
    ASSERT_TRUE(a.Connect(usb + "/cam01.sock"));
    EXPECT_EQ(DeviceName(a.Exchange(40001117, "")), "仓库相机");
    EXPECT_EQ(a.Json(40001090, "{\"Cmd\":\"ReqSetVideoParam\",\"Content\":{\"VideoParam\":{\"Luminance\":1}}}").status,
              -5);
    simtest::HidClient b(33);
    ASSERT_TRUE(b.Connect(usb + "/cam02.sock"));
    simtest::Reply r = b.Exchange(40001117, "");
    EXPECT_EQ(DeviceName(r), "模拟相机2");
    for (uint16_t n : r.chunkSizes) EXPECT_LE(n, 4);
    EXPECT_EQ(p.Stop(), 0);
}

TEST_F(CamsimProgramTest, BadOptionsExitWithUsage) {
    for (std::vector<std::string> args : std::vector<std::vector<std::string>>{
             {"--usb-dir", dir_, "--usb-count", "2", "--fault", "cam09:stall"},
             {"--usb-count", "2"},
             {"--bogus", "1"},
             {"--usb-dir", dir_ + "/x", "--usb-count", "1", "--scenario", dir_ + "/missing.json"}}) {
        Program p(args);
        EXPECT_EQ(p.Stop(0), 2) << args[0];
    }
    EXPECT_TRUE(std::filesystem::is_empty(dir_));
}

TEST_F(CamsimProgramTest, ScenarioThatIsNoRegularFileIsRefusedAtOnce) {
    const std::string fifo = dir_ + "/scenario.fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    Program p({"--usb-dir", dir_ + "/usb", "--usb-count", "1", "--scenario", fifo}, true);
    EXPECT_EQ(p.Stop(0), 2);  // no writer ever opens the FIFO: reading it would wait forever
    EXPECT_NE(p.ErrorText().find("velmora-camsim: scenario " + fifo + " is not a regular file"), std::string::npos)
        << p.ErrorText();
    EXPECT_FALSE(std::filesystem::exists(dir_ + "/usb"));
}

TEST_F(CamsimProgramTest, SecondSimulatorOnTheSameDirectoryIsRefused) {
    const std::string usb = dir_ + "/usb";
    // A lock file left by a simulator that died does not block: only a held lock does.
    std::filesystem::create_directories(usb);
    std::ofstream(usb + "/.camsim.lock") << "999999\n";
    Program first({"--usb-dir", usb, "--usb-count", "2"});
    ASSERT_EQ(first.ReadLine(), "ready");
    struct stat before{}, after{};
    ASSERT_EQ(stat((usb + "/cam01.sock").c_str(), &before), 0);
    {
        Program second({"--usb-dir", usb, "--usb-count", "1"}, true);
        EXPECT_EQ(second.Stop(0), 1);
        EXPECT_NE(second.ErrorText().find(usb + " is in use by another velmora-camsim (pid " +
                                          std::to_string(first.pid()) + ")"),
                  std::string::npos)
            << second.ErrorText();
    }
    // The first simulator keeps its own sockets and serves on.
    ASSERT_TRUE(std::filesystem::exists(usb + "/cam01.json"));
    ASSERT_EQ(stat((usb + "/cam01.sock").c_str(), &after), 0);
    EXPECT_EQ(before.st_ino, after.st_ino);
    simtest::HidClient c;
    ASSERT_TRUE(c.Connect(usb + "/cam01.sock"));
    EXPECT_EQ(DeviceName(c.Exchange(40001117, "")), "模拟相机1");
    EXPECT_EQ(first.Stop(), 0);
    EXPECT_TRUE(std::filesystem::is_empty(usb));
}

TEST_F(CamsimProgramTest, BusyCameraLogsTheRefusedConnection) {
    const std::string usb = dir_ + "/usb";
    Program p({"--usb-dir", usb, "--usb-count", "1"}, true);
    ASSERT_EQ(p.ReadLine(), "ready");
    std::vector<std::unique_ptr<simtest::HidClient>> held;
    for (int i = 0; i < 16; ++i) {
        held.push_back(std::make_unique<simtest::HidClient>());
        ASSERT_TRUE(held.back()->Connect(usb + "/cam01.sock"));
        ASSERT_EQ(held.back()->Exchange(40001117, "").error, 0);  // accepted and served
    }
    simtest::HidClient extra;
    ASSERT_TRUE(extra.Connect(usb + "/cam01.sock"));
    EXPECT_EQ(extra.ReadReply().status, -42);
    EXPECT_EQ(p.Stop(), 0);
    EXPECT_NE(p.ErrorText().find("camsim cam01: busy, all 16 connections taken; refused a connection"),
              std::string::npos)
        << p.ErrorText();
}
