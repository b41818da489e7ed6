#include "transport/net/probe_tcp_port.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

namespace velmora::transport {

namespace {

// Closes the descriptor on every way out.
struct FdGuard {
    int fd;
    ~FdGuard() {
        if (fd >= 0) ::close(fd);
    }
};

}  // namespace

int ProbeTcpPortMs(const char* address, int port, int timeoutMs) {
    if (!address || port <= 0 || port > 65535) return -1;
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port));
    if (inet_pton(AF_INET, address, &sa.sin_addr) != 1) return -1;

    FdGuard s{::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)};
    if (s.fd < 0) return -1;
    int flags = fcntl(s.fd, F_GETFL, 0);
    if (flags < 0 || fcntl(s.fd, F_SETFL, flags | O_NONBLOCK) < 0) return -1;

    if (::connect(s.fd, reinterpret_cast<const sockaddr*>(&sa), sizeof(sa)) == 0) return 1;
    if (errno != EINPROGRESS) return -1;

    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left < 0) left = 0;
        pollfd p{s.fd, POLLOUT, 0};
        int n = ::poll(&p, 1, static_cast<int>(left));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return -1;  // time-out or poll failure
        break;
    }
    int err = 0;
    socklen_t len = sizeof(err);
    if (getsockopt(s.fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0 || err != 0) return -1;
    return 1;
}

int ProbeTcpPort(const char* address, int port, int timeoutSeconds) {
    long ms = static_cast<long>(timeoutSeconds) * 1000;
    if (ms > 3600L * 1000) ms = 3600L * 1000;
    return ProbeTcpPortMs(address, port, static_cast<int>(ms));
}

}  // namespace velmora::transport
