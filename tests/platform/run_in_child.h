#pragma once

#include <grp.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>

// Runs code that changes process-wide state (resource limits, signal dispositions, the umask,
// the user id) in a forked child, so the test process itself is never affected.
struct ChildResult {
    bool exited = false;  // ended by _exit, not by a signal (nor by the alarm)
    int signal = 0;       // the signal that ended it otherwise
    std::string text;     // what `body` returned
};

// `body` runs in the child; its return value comes back as ChildResult::text. The child is
// killed by SIGALRM after `alarmSeconds`, so a call that blocks fails the test instead of hanging.
inline ChildResult RunInChild(const std::function<std::string()>& body, unsigned alarmSeconds = 60) {
    ChildResult result;
    int fds[2];
    if (::pipe(fds) != 0) return result;
    pid_t pid = ::fork();
    if (pid == 0) {
        ::close(fds[0]);
        ::alarm(alarmSeconds);
        const std::string out = body();
        size_t done = 0;
        while (done < out.size()) {
            ssize_t n = ::write(fds[1], out.data() + done, out.size() - done);
            if (n <= 0) break;
            done += static_cast<size_t>(n);
        }
        ::_exit(0);
    }
    ::close(fds[1]);
    char buf[512];
    ssize_t n;
    while ((n = ::read(fds[0], buf, sizeof(buf))) > 0) result.text.append(buf, static_cast<size_t>(n));
    ::close(fds[0]);
    int status = 0;
    if (pid > 0 && ::waitpid(pid, &status, 0) == pid) {
        result.exited = WIFEXITED(status);
        result.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    }
    return result;
}

// In a child only: when running as root, become "nobody" so that permissions apply.
inline bool DropRootInChild() {
    if (::geteuid() != 0) return true;
    return ::setgroups(0, nullptr) == 0 && ::setgid(65534) == 0 && ::setuid(65534) == 0;
}
