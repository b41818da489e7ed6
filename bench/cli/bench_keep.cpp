// velmora-cli keep: how long a camera that appears takes to be brought to its profile, and what
// keep costs while it watches idle cameras between its rounds.
//
// The simulator runs in this process; `keep` is the real program, a child. Figure 1: from a
// camera added to the simulator (its socket and description appear) until keep prints `applied`
// for it. Its anchor, in the same run: a bare `velmora-cli --serial SN apply PROFILE` on such a
// camera (process start, open, the same verified apply), the work keep must do anyway; the
// difference is the watcher's settle time and its wake-up. Figure 2: the child's CPU time while
// it watches 64 idle cameras at the default 30 s interval, after its first round, against the
// CPU that first round (64 checks) cost.
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "sim/sim_options.h"
#include "sim/usb_server.h"

using namespace velmora::sim;
using Clock = std::chrono::steady_clock;

namespace {

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

struct Child {
    pid_t pid = -1;
    int out = -1;
};

Child Start(std::vector<std::string> args, const std::string& usbDir) {
    int p[2];
    if (pipe(p) != 0) return {};
    Child c;
    c.pid = fork();
    if (c.pid == 0) {
        dup2(p[1], STDOUT_FILENO);
        close(p[0]);
        const std::string env = "VELMORA_USB_SIM=" + usbDir;
        putenv(const_cast<char*>(env.c_str()));
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(p[1]);
    c.out = p[0];
    return c;
}

// Reads lines until one holds `a` and `b`; false after 20 s or when the pipe ends.
bool WaitForLine(int fd, const std::string& a, const std::string& b) {
    std::string line;
    const auto until = Clock::now() + std::chrono::seconds(20);
    while (Clock::now() < until) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 200) <= 0) continue;
        char c;
        if (read(fd, &c, 1) != 1) return false;
        if (c != '\n') {
            line += c;
            continue;
        }
        if (line.find(a) != std::string::npos && line.find(b) != std::string::npos) return true;
        line.clear();
    }
    return false;
}

// CPU seconds (user + system) a running process has used so far.
double ProcessCpu(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const size_t paren = text.rfind(')');
    if (paren == std::string::npos) return -1;
    unsigned long utime = 0, stime = 0;
    // After the command name: state, then 10 numbers before utime and stime.
    if (std::sscanf(text.c_str() + paren + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &utime, &stime) != 2)
        return -1;
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

UsbCameraConfig NewCamera(int number) {
    SimOptions options;
    return DefaultUsbCameraConfig(options, number, UsbCameraName(number, number));
}

}  // namespace

int main() {
    char tmpl[] = "/tmp/velmora-bench-keep-XXXXXX";
    if (mkdtemp(tmpl) == nullptr) return 1;
    const std::string dir = tmpl, usb = dir + "/usb", rules = dir + "/keep.json", profile = dir + "/p.json";
    std::ofstream(profile) << R"({"format": "velmora-profile", "version": 1, "members": {"Luminance": 70, "Contrast": 40, "Saturation": 60}})";
    std::ofstream(rules) << R"({"*": "p.json"})";
    std::filesystem::create_directories(usb);
    constexpr int kRounds = 7;
    std::vector<double> keepMs, bareMs;
    std::string error;

    {
        UsbServer server(usb, {});
        if (server.Start(&error) != 0) {
            std::fprintf(stderr, "simulator: %s\n", error.c_str());
            return 1;
        }
        Child keep = Start({VELMORA_CLI_PATH, "keep", rules}, usb);
        std::this_thread::sleep_for(std::chrono::milliseconds(500));  // keep is up and watching
        int number = 0;
        for (int round = 0; round < kRounds; ++round) {
            // The anchor: a bare apply on a camera with the factory values.
            const int bare = server.AddCamera(NewCamera(++number), &error);
            if (bare < 0 || !WaitForLine(keep.out, " applied ", server.Model(bare).Identity().serial)) {
                std::fprintf(stderr, "setting up the anchor failed: %s\n", error.c_str());
                return 1;
            }
            for (const char* m : {"Luminance", "Contrast", "Saturation"}) server.Model(bare).Set(m, 50);
            const auto b0 = Clock::now();
            Child apply = Start({VELMORA_CLI_PATH, "--serial", server.Model(bare).Identity().serial, "apply", profile}, usb);
            int status = 0;
            waitpid(apply.pid, &status, 0);
            bareMs.push_back(Ms(Clock::now() - b0));
            close(apply.out);
            server.RemoveCamera(bare, &error);
            WaitForLine(keep.out, " left ", server.Model(bare).Identity().serial);

            // The figure: a camera appears; keep applies its profile.
            const auto t0 = Clock::now();
            const int added = server.AddCamera(NewCamera(++number), &error);
            if (added < 0 || !WaitForLine(keep.out, " applied ", server.Model(added).Identity().serial)) {
                std::fprintf(stderr, "keep did not apply the new camera's profile\n");
                return 1;
            }
            keepMs.push_back(Ms(Clock::now() - t0));
            server.RemoveCamera(added, &error);
            WaitForLine(keep.out, " left ", server.Model(added).Identity().serial);
        }
        kill(keep.pid, SIGTERM);
        waitpid(keep.pid, nullptr, 0);
        close(keep.out);
    }

    // keep watching 64 idle cameras, 30 s interval.
    double roundCpu = 0, idleCpu = 0, idleSeconds = 3;
    {
        std::vector<UsbCameraConfig> cams;
        for (int n = 1; n <= 64; ++n) cams.push_back(NewCamera(n));
        UsbServer server(usb, std::move(cams));
        if (server.Start(&error) != 0) return 1;
        Child keep = Start({VELMORA_CLI_PATH, "keep", rules}, usb);
        for (int n = 1; n <= 64; ++n)
            if (!WaitForLine(keep.out, " applied ", "")) return 1;
        roundCpu = ProcessCpu(keep.pid);  // start-up and the first round of 64 checks
        const auto t0 = Clock::now();
        std::this_thread::sleep_for(std::chrono::seconds(3));
        idleSeconds = std::chrono::duration<double>(Clock::now() - t0).count();
        const double before = ProcessCpu(keep.pid);
        kill(keep.pid, SIGTERM);
        rusage usage{};
        int status = 0;
        wait4(keep.pid, &status, 0, &usage);
        const double total = usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
                             (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
        idleCpu = std::max(0.0, before - roundCpu);
        std::printf("keep's total CPU (getrusage of the child): %.3f s, of it start-up and first round %.3f s\n", total,
                    roundCpu);
        close(keep.out);
    }
    std::filesystem::remove_all(dir);

    const double k = Median(keepMs), b = Median(bareMs);
    std::printf("camera appears -> keep applied its profile (median of %d): %.1f ms\n", kRounds, k);
    std::printf("anchor, bare `velmora-cli --serial SN apply` (process start included): %.1f ms\n", b);
    std::printf("ratio: %.2f (the watcher's settle time is 300 ms of it)\n", b > 0 ? k / b : 0.0);
    std::printf("keep, 64 idle cameras, 30 s interval, between rounds: %.4f s CPU in %.1f s (%.5f s per s)\n", idleCpu,
                idleSeconds, idleCpu / idleSeconds);
    std::printf("ratio to its first round of 64 checks (%.3f s CPU): %.4f\n", roundCpu,
                roundCpu > 0 ? idleCpu / roundCpu : 0.0);
    return 0;
}
