// Runs velmora-cli and velmora-camsim as child programs for the tests that drive them as scripts
// and production lines do: a shell line with its output and status, a child with its output in
// pipes, and a simulator that is started, waited for until it says "ready", and stopped.
#pragma once

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

namespace velmora::test {

struct ProgramResult {
    int status = -1;
    std::string out;  // stdout
    std::string err;  // stderr, where it was kept apart
};

// Runs a shell command line, capturing stdout (and stderr when `mergeErr`; otherwise it is dropped).
inline ProgramResult Shell(const std::string& cmd, bool mergeErr = false) {
    ProgramResult r;
    FILE* p = popen((cmd + (mergeErr ? " 2>&1" : " 2>/dev/null")).c_str(), "r");
    if (!p) return r;
    std::array<char, 4096> buf;
    size_t n;
    while ((n = fread(buf.data(), 1, buf.size(), p)) > 0) r.out.append(buf.data(), n);
    const int st = pclose(p);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return r;
}

// A started program whose stdout (and stderr, when asked) go into pipes the caller reads.
struct Child {
    pid_t pid = -1;
    int out = -1;
    int err = -1;  // -1 when stderr was left to the test's own
};

// Starts `args` with `env` ("NAME=value") added to the environment.
inline Child Spawn(std::vector<std::string> args, const std::vector<std::string>& env = {}, bool pipeErr = true) {
    int o[2], e[2] = {-1, -1};
    if (pipe(o) != 0) return {};
    if (pipeErr && pipe(e) != 0) {
        close(o[0]);
        close(o[1]);
        return {};
    }
    Child c;
    c.pid = fork();
    if (c.pid == 0) {
        dup2(o[1], STDOUT_FILENO);
        close(o[0]);
        if (pipeErr) {
            dup2(e[1], STDERR_FILENO);
            close(e[0]);
        }
        for (const std::string& kv : env) putenv(const_cast<char*>(kv.c_str()));
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(o[1]);
    c.out = o[0];
    if (pipeErr) {
        close(e[1]);
        c.err = e[0];
    }
    return c;
}

// Everything left on `fd`, which is closed afterwards.
inline std::string ReadAll(int fd) {
    std::string s;
    char buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0) s.append(buf, static_cast<size_t>(n));
    close(fd);
    return s;
}

// One line from `fd`, without its newline; read byte by byte so nothing after it is consumed.
inline std::string ReadLine(int fd) {
    std::string line;
    char c;
    while (read(fd, &c, 1) == 1 && c != '\n') line += c;
    return line;
}

// One line from `fd` like ReadLine, waiting at most `ms` for it in all; false (with what came so
// far in `line`) when none is complete by then or the pipe ended.
inline bool ReadLineWithin(int fd, int ms, std::string& line) {
    line.clear();
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
        pollfd p{fd, POLLIN, 0};
        if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
        char c;
        if (read(fd, &c, 1) != 1) return false;
        if (c == '\n') return true;
        line += c;
    }
}

// The exit status of `pid` once it ends within `ms`; -2 when it is still running then (it is
// left running), -1 when it did not exit normally.
inline int WaitWithin(pid_t pid, int ms) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    int st = 0;
    while (waitpid(pid, &st, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() >= until) return -2;
        usleep(10000);
    }
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

// The exit status of `pid`, or -1 when it did not exit normally.
inline int Wait(pid_t pid) {
    int st = 0;
    waitpid(pid, &st, 0);
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

// velmora-camsim run for one test: Start returns once it printed "ready"; Stop (or the destructor)
// ends it with SIGTERM and reaps it. Its stderr goes to the test's log.
class SimulatorProcess {
public:
    SimulatorProcess() = default;
    SimulatorProcess(const SimulatorProcess&) = delete;
    SimulatorProcess& operator=(const SimulatorProcess&) = delete;
    ~SimulatorProcess() { Stop(); }

    // `args` are the simulator's arguments, without the program path.
    bool Start(std::vector<std::string> args) {
        args.insert(args.begin(), VELMORA_CAMSIM_PATH);
        child_ = Spawn(std::move(args), {}, false);
        return child_.pid > 0 && ReadLine(child_.out) == "ready";
    }
    void Stop() {
        if (child_.pid > 0) {
            kill(child_.pid, SIGTERM);
            Wait(child_.pid);
            close(child_.out);
        }
        child_ = {};
    }
    pid_t Pid() const { return child_.pid; }

private:
    Child child_;
};

}  // namespace velmora::test
