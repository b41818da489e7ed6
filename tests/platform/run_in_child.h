#pragma once

#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>

// Runs `body` in a forked child, for code that changes process-wide state (resource limits,
// signal dispositions, the umask, the user id). Returns what `body` returned, or "signal N" when
// the child was killed; the alarm turns a call that blocks into a failure instead of a hang.
inline std::string RunInChild(const std::function<std::string()>& body, unsigned alarmSeconds = 60) {
    int fds[2];
    if (::pipe(fds) != 0) return "no pipe";
    pid_t pid = ::fork();
    if (pid == 0) {
        ::alarm(alarmSeconds);
        const std::string out = body();
        ::_exit(::write(fds[1], out.data(), out.size()) < 0 ? 1 : 0);
    }
    ::close(fds[1]);
    std::string text;
    char buf[512];
    for (ssize_t n; (n = ::read(fds[0], buf, sizeof(buf))) > 0;) text.append(buf, static_cast<size_t>(n));
    ::close(fds[0]);
    int status = 0;
    if (pid < 0 || ::waitpid(pid, &status, 0) != pid) return "no child";
    return WIFSIGNALED(status) ? "signal " + std::to_string(WTERMSIG(status)) : text;
}

// In a child only: when running as root, become "nobody" so that file permissions apply.
inline bool DropRootInChild() {
    return ::geteuid() != 0 || (::setgroups(0, nullptr) == 0 && ::setgid(65534) == 0 && ::setuid(65534) == 0);
}
