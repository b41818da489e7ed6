#include "transport/net/probe_tcp_port.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace velmora::transport;

namespace {

int OpenFds() {
    int n = 0;
    if (DIR* d = opendir("/proc/self/fd")) {
        while (readdir(d)) ++n;
        closedir(d);
    }
    return n;
}

// A listening socket on 127.0.0.1 and a free port number that nothing listens on.
struct Ports {
    int listener = -1;
    int open = 0;
    int closed = 0;
    Ports() {
        listener = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(listener, reinterpret_cast<sockaddr*>(&sa), sizeof(sa));
        ::listen(listener, 8);
        socklen_t len = sizeof(sa);
        getsockname(listener, reinterpret_cast<sockaddr*>(&sa), &len);
        open = ntohs(sa.sin_port);
        // Bind and release another port: nothing listens there afterwards.
        int tmp = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in sb{};
        sb.sin_family = AF_INET;
        sb.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(tmp, reinterpret_cast<sockaddr*>(&sb), sizeof(sb));
        len = sizeof(sb);
        getsockname(tmp, reinterpret_cast<sockaddr*>(&sb), &len);
        closed = ntohs(sb.sin_port);
        ::close(tmp);
    }
    ~Ports() { ::close(listener); }
};

}  // namespace

TEST(ProbeTcpPort, ReachableAndClosedPortsAndNoSocketLeaks) {
    Ports p;
    int before = OpenFds();
    EXPECT_EQ(ProbeTcpPort("127.0.0.1", p.open, 1), 1);
    EXPECT_EQ(ProbeTcpPort("127.0.0.1", p.closed, 1), -1);
    EXPECT_EQ(ProbeTcpPortMs("127.0.0.1", p.open, 200), 1);
    EXPECT_EQ(OpenFds(), before) << "the socket is closed in every case";
}

TEST(ProbeTcpPort, BadArgumentsGiveMinusOne) {
    EXPECT_EQ(ProbeTcpPort(nullptr, 36666, 1), -1);
    EXPECT_EQ(ProbeTcpPort("not-an-address", 36666, 1), -1);
    EXPECT_EQ(ProbeTcpPort("127.0.0.1", 0, 1), -1);
    EXPECT_EQ(ProbeTcpPort("127.0.0.1", 70000, 1), -1);
    // A zero time-out still gives a definite answer for a closed loopback port.
    Ports p;
    EXPECT_EQ(ProbeTcpPort("127.0.0.1", p.closed, 0), -1);
}
