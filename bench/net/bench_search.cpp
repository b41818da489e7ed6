// LAN search as `velmora-cli search` runs it (BSC_Init, wait for the answers, BSC_GetDevInfo) with
// two simulated cameras on loopback answering at once, against its anchor measured in the same
// run: one bare probe/answer exchange with both over a plain UDP socket. Rounds alternate; the
// medians and their ratio are printed. Only loopback addresses are probed.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "sim/net/camera_server.h"
#include "transport/net/bsc_search.h"
#include "wire/search_wire.h"

using namespace velmora::wire;
using namespace velmora::transport;

using Clock = std::chrono::steady_clock;

namespace {

constexpr int kFixedWaitMs = 1500;  // what the search waited before it ended early

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

double Median(std::vector<double> v) {
    std::nth_element(v.begin(), v.begin() + static_cast<long>(v.size() / 2), v.end());
    return v[v.size() / 2];
}

velmora::sim::CameraServerConfig Camera(const char* address, uint16_t searchPort) {
    velmora::sim::CameraServerConfig c;
    c.address = address;
    c.port = 0;
    c.searchPort = searchPort;
    return c;
}

// One probe to each address, until both answered; -1 on failure.
double BareExchangeMs(uint16_t port) {
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    const auto t0 = Clock::now();
    const std::vector<uint8_t> probe = velmora::wire::EncodeProbe(0x5EA2C400u);
    for (const char* a : {"127.0.0.2", "127.0.0.3"}) {
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(port);
        inet_pton(AF_INET, a, &sa.sin_addr);
        ::sendto(fd, probe.data(), probe.size(), 0, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    }
    int answers = 0;
    uint8_t buf[2048];
    while (answers < 2) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 2000) <= 0) break;
        if (::recv(fd, buf, sizeof buf, 0) > 0) ++answers;
    }
    const double ms = Ms(Clock::now() - t0);
    ::close(fd);
    return answers == 2 ? ms : -1;
}

}  // namespace

int main() {
    velmora::sim::CameraServer a(Camera("127.0.0.2", 0));
    if (a.Start() != 0) {
        std::fprintf(stderr, "bench_search: cannot serve 127.0.0.2\n");
        return 1;
    }
    const uint16_t port = a.SearchPort();
    velmora::sim::CameraServer b(Camera("127.0.0.3", port));
    if (b.Start() != 0) {
        std::fprintf(stderr, "bench_search: cannot serve 127.0.0.3\n");
        return 1;
    }
    const std::string targets = "127.0.0.2:" + std::to_string(port) + ",127.0.0.3:" + std::to_string(port);
    setenv("VELMORA_SEARCH_TARGETS", targets.c_str(), 1);

    std::vector<double> search, bare;
    for (int round = 0; round < 9; ++round) {
        const auto t0 = Clock::now();
        BSC_Init();
        const int all = BSC_WaitForAnswers(kFixedWaitMs);
        BSC_DeviceInfo records[kSearchMaxDevices];
        int count = kSearchMaxDevices;
        BSC_GetDevInfo(records, &count);
        BSC_DeInit();
        search.push_back(Ms(Clock::now() - t0));
        if (all != 1 || count != 2) {
            std::fprintf(stderr, "bench_search: round %d found %d camera(s)\n", round, count);
            return 1;
        }
        const double x = BareExchangeMs(port);
        if (x < 0) {
            std::fprintf(stderr, "bench_search: the bare exchange got no answers\n");
            return 1;
        }
        bare.push_back(x);
    }
    const double s = Median(search), x = Median(bare);
    std::printf("LAN search, 2 unicast targets answering at once: %.2f ms (before: a fixed %d ms), "
                "bare probe/answer exchange %.2f ms, ratio %.1f (medians of %zu, alternated)\n", s, kFixedWaitMs,
                x, s / x, search.size());
    return 0;
}
