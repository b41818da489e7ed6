#include "wire/socket_io.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "wire/wire_codes.h"

namespace velmora::wire {

int64_t NowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

bool ParseIPv4(const char* text, size_t maxLength, uint32_t& networkOrder) {
    if (!text) return false;
    char buf[16];
    size_t n = 0;
    while (n < maxLength && text[n] != '\0') {
        if (n >= sizeof(buf) - 1) return false;
        buf[n] = text[n];
        ++n;
    }
    buf[n] = '\0';
    in_addr a{};
    if (inet_pton(AF_INET, buf, &a) != 1) return false;
    networkOrder = a.s_addr;
    return true;
}

void SetNonBlocking(int fd) {
    int flags = fcntl(fd, F_GETFL, 0);
    if (flags >= 0) fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

void CloseFd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

namespace {

int RemainingMs(int64_t deadlineMs) {
    int64_t left = deadlineMs - NowMs();
    if (left <= 0) return 0;
    return left > 1000000 ? 1000000 : static_cast<int>(left);
}

}  // namespace

int ConnectTcp(uint32_t addressNetworkOrder, uint16_t port, int timeoutMs, int& fdOut) {
    fdOut = -1;
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return ORVEX_ERR_CONNECT;
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = addressNetworkOrder;
    int64_t deadline = NowMs() + timeoutMs;
    int rc = ::connect(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof(sa));
    if (rc != 0 && errno != EINPROGRESS) {
        ::close(fd);
        return ORVEX_ERR_CONNECT;
    }
    if (rc != 0) {
        for (;;) {
            pollfd p{fd, POLLOUT, 0};
            int left = RemainingMs(deadline);
            int n = ::poll(&p, 1, left);
            if (n < 0 && errno == EINTR) continue;
            if (n == 0) {
                ::close(fd);
                return ORVEX_ERR_TIMEOUT;
            }
            if (n < 0) {
                ::close(fd);
                return ORVEX_ERR_CONNECT;
            }
            break;
        }
        int err = 0;
        socklen_t len = sizeof(err);
        if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0 || err != 0) {
            ::close(fd);
            return ORVEX_ERR_CONNECT;
        }
    }
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    fdOut = fd;
    return 0;
}

int SendAll(int fd, const iovec* vectors, int count, int64_t deadlineMs) {
    iovec local[8];
    if (count <= 0) return 0;
    if (count > 8) return ORVEX_ERR_INVALID_ARG;
    std::memcpy(local, vectors, sizeof(iovec) * static_cast<size_t>(count));
    iovec* iov = local;
    int left = count;
    while (left > 0) {
        if (iov->iov_len == 0) {
            ++iov;
            --left;
            continue;
        }
        msghdr msg{};
        msg.msg_iov = iov;
        msg.msg_iovlen = static_cast<size_t>(left);
        ssize_t n = ::sendmsg(fd, &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK) return ORVEX_ERR_DISCONNECTED;
            int wait = RemainingMs(deadlineMs);
            if (wait == 0) return ORVEX_ERR_TIMEOUT;
            pollfd p{fd, POLLOUT, 0};
            int pr = ::poll(&p, 1, wait);
            if (pr < 0 && errno != EINTR) return ORVEX_ERR_DISCONNECTED;
            if (pr == 0) return ORVEX_ERR_TIMEOUT;
            if (pr > 0 && (p.revents & (POLLERR | POLLHUP | POLLNVAL)) && !(p.revents & POLLOUT))
                return ORVEX_ERR_DISCONNECTED;
            continue;
        }
        size_t sent = static_cast<size_t>(n);
        while (left > 0 && sent >= iov->iov_len) {
            sent -= iov->iov_len;
            ++iov;
            --left;
        }
        if (left > 0) {
            iov->iov_base = static_cast<uint8_t*>(iov->iov_base) + sent;
            iov->iov_len -= sent;
        }
    }
    return 0;
}

int SendAll(int fd, const void* data, size_t length, int64_t deadlineMs) {
    iovec v{const_cast<void*>(data), length};
    return SendAll(fd, &v, 1, deadlineMs);
}

long RecvSome(int fd, uint8_t* buffer, size_t capacity, int timeoutMs) {
    for (;;) {
        ssize_t n = ::recv(fd, buffer, capacity, MSG_DONTWAIT);
        if (n > 0) return n;
        if (n == 0) return ORVEX_ERR_DISCONNECTED;
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) return ORVEX_ERR_DISCONNECTED;
        if (timeoutMs <= 0) return 0;
        pollfd p{fd, POLLIN, 0};
        int64_t deadline = NowMs() + timeoutMs;
        int pr = ::poll(&p, 1, timeoutMs);
        if (pr < 0 && errno == EINTR) {
            timeoutMs = RemainingMs(deadline);
            continue;
        }
        if (pr < 0) return ORVEX_ERR_DISCONNECTED;
        if (pr == 0) return 0;
        timeoutMs = 0;  // readable (or hung up): one more recv tells which
    }
}

}  // namespace velmora::wire
