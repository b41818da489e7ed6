// USB transport throughput and latency against an in-process camera served over SOCK_SEQPACKET
// sockets (the sim backend's wire), next to a raw socket loop that moves the same reports.
//
//   BM_RawSeqpacket     a plain send()/recv() loop: 20165 request reports + a 3 KB reply
//   BM_TransferMiB      the same exchange through CUSBDevice::Transfer (1 MiB firmware block)
//   BM_SmallExchange    a 30-byte request with a 100-byte reply; counter median_us
// and then, as a ratio to its anchor measured in the same run (alternated rounds, medians): a
// whole-record read (one request report, 3 KB reply of command 40001089) through Transfer against
// the same reports over a bare socket.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "transport/usb/cusb_device.h"
#include "transport/usb/fake_usb_camera.h"
#include "transport/usb/sim_hid_backend.h"

using namespace velmora::transport;
using namespace velmora::protocol;

namespace {

constexpr int kReportLength = 65;
constexpr int kMiB = 1048576;
constexpr int kRequestReports = 20165;
constexpr int kBigReplyBytes = 3072;

// Reply reports of `bytes` payload bytes, framed by the test camera's own encoder.
std::vector<std::vector<uint8_t>> ReplyReports(int bytes) {
    return velmora::testing::MakeReplyReports(kReportLength, 0, 0, std::string(static_cast<size_t>(bytes), 'r'));
}

// A lean camera: answers every complete request with the reply chosen by its size class
// (requests longer than one report, and record reads, get the 3 KB reply, other short ones a
// 100-byte reply).
class LeanCamera {
public:
    LeanCamera() {
        char tmpl[] = "/tmp/velmora-bench-XXXXXX";
        dir_ = mkdtemp(tmpl);
        std::string sock = dir_ + "/cam.sock";
        listen_ = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", sock.c_str());
        if (::bind(listen_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(listen_, 4) != 0 ||
            ::pipe(wake_) != 0)
            std::abort();
        FILE* f = std::fopen((dir_ + "/cam.json").c_str(), "w");
        std::fprintf(f, "{\"vendor_id\":5891,\"product_id\":4660,\"output_report_length\":65,\"input_report_length\":65}");
        std::fclose(f);
        big_ = ReplyReports(kBigReplyBytes);
        small_ = ReplyReports(100);
        server_ = std::thread([this] { Serve(); });
    }
    ~LeanCamera() {
        ssize_t r = ::write(wake_[1], "q", 1);
        (void)r;
        server_.join();
        ::close(listen_);
        ::close(wake_[0]);
        ::close(wake_[1]);
        std::filesystem::remove_all(dir_);
    }
    const std::string& dir() const { return dir_; }
    std::string socketPath() const { return dir_ + "/cam.sock"; }

private:
    void Serve() {
        std::vector<int> conns;
        uint8_t buf[kReportLength];
        std::vector<int> reportsInRequest;
        for (;;) {
            std::vector<pollfd> fds = {{wake_[0], POLLIN, 0}, {listen_, POLLIN, 0}};
            for (int c : conns) fds.push_back({c, POLLIN, 0});
            ::poll(fds.data(), fds.size(), -1);
            if (fds[0].revents) break;
            if (fds[1].revents) {
                conns.push_back(::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC));
                reportsInRequest.push_back(0);
            }
            for (size_t i = 0; i < conns.size(); ++i) {
                if (!fds[i + 2].revents) continue;
                int c = conns[i];
                // Drain what is there without waking poll for every report.
                for (;;) {
                    ssize_t n = ::recv(c, buf, sizeof buf, MSG_DONTWAIT);
                    if (n <= 0) {
                        if (n == 0) {
                            ::close(c);
                            conns[i] = -1;
                        }
                        break;
                    }
                    ++reportsInRequest[i];
                    if (buf[11] == 1) {
                        // Replies carry the request's command id, as a camera's do.
                        uint32_t cmd = 0;
                        std::memcpy(&cmd, buf + 5, 4);
                        auto& reply = (reportsInRequest[i] > 1 || cmd == kHidCmdGetVideoParam) ? big_ : small_;
                        for (auto& r : reply) {
                            std::memcpy(r.data() + 5, buf + 5, 4);
                            ::send(c, r.data(), r.size(), MSG_NOSIGNAL);
                        }
                        reportsInRequest[i] = 0;
                    }
                }
            }
            for (size_t i = 0; i < conns.size();) {
                if (conns[i] < 0) {
                    conns.erase(conns.begin() + static_cast<long>(i));
                    reportsInRequest.erase(reportsInRequest.begin() + static_cast<long>(i));
                } else {
                    ++i;
                }
            }
        }
        for (int c : conns) ::close(c);
    }

    std::string dir_;
    int listen_ = -1;
    int wake_[2] = {-1, -1};
    std::thread server_;
    std::vector<std::vector<uint8_t>> big_, small_;
};

void BM_RawSeqpacket(benchmark::State& state) {
    LeanCamera cam;
    int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", cam.socketPath().c_str());
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) std::abort();
    uint8_t report[kReportLength] = {};
    uint8_t in[kReportLength];
    for (auto _ : state) {
        for (int i = 0; i < kRequestReports; ++i) {
            report[11] = i == kRequestReports - 1 ? 1 : 0;
            if (::send(fd, report, sizeof report, MSG_NOSIGNAL) != kReportLength) std::abort();
        }
        do {
            if (::recv(fd, in, sizeof in, 0) != kReportLength) std::abort();
        } while (in[11] != 1);
    }
    ::close(fd);
    state.SetItemsProcessed(state.iterations() * (kRequestReports + kBigReplyBytes / 48));
}

std::unique_ptr<CUSBDevice> OpenHost(const LeanCamera& cam, int32_t& handle) {
    auto host = std::make_unique<CUSBDevice>(std::make_unique<velmora::transport::SimHidBackend>(cam.dir()));
    host->SetVendorFilter(0, nullptr);
    if (host->DeviceOpen() != 1) std::abort();
    UsbDeviceEntry e{};
    host->GetDevice(0, e);
    handle = e.handle;
    return host;
}

void BM_TransferMiB(benchmark::State& state) {
    LeanCamera cam;
    int32_t h = 0;
    auto host = OpenHost(cam, h);
    std::vector<uint8_t> block(kMiB, 0x5A);
    std::vector<char> reply(4096);
    int received = 0;
    for (auto _ : state) {
        int r = host->Transfer(h, kHidCmdUpgradeData, block.data(), kMiB, reply.data(), static_cast<int>(reply.size()),
                               &received, 20);
        if (r != 0 || received != kBigReplyBytes) state.SkipWithError("transfer failed");
    }
    state.SetItemsProcessed(state.iterations() * (kRequestReports + kBigReplyBytes / 48));
}

void BM_SmallExchange(benchmark::State& state) {
    LeanCamera cam;
    int32_t h = 0;
    auto host = OpenHost(cam, h);
    const char request[] = "{\"ReqGetFocusNear\":{\"x\":1}}";
    char reply[512];
    int received = 0;
    std::vector<double> micros;
    for (auto _ : state) {
        auto t0 = std::chrono::steady_clock::now();
        int r = host->Transfer(h, kHidCmdJson, request, sizeof request, reply, sizeof reply, &received, 5);
        auto t1 = std::chrono::steady_clock::now();
        if (r != 0 || received != 100) state.SkipWithError("exchange failed");
        micros.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
    }
    if (!micros.empty()) {
        std::nth_element(micros.begin(), micros.begin() + static_cast<long>(micros.size() / 2), micros.end());
        state.counters["median_us"] = micros[micros.size() / 2];
    }
}

}  // namespace

BENCHMARK(BM_RawSeqpacket)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_TransferMiB)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_SmallExchange)->Unit(benchmark::kMicrosecond)->UseRealTime();

namespace {

double Median(std::vector<double> v) {
    std::nth_element(v.begin(), v.begin() + static_cast<long>(v.size() / 2), v.end());
    return v[v.size() / 2];
}

void RecordReadRatio() {
    LeanCamera cam;
    int32_t h = 0;
    auto host = OpenHost(cam, h);
    int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", cam.socketPath().c_str());
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) std::abort();
    const char request[] = "{\"ReqGetVideoParam\":{\"Param\":1}}";
    uint8_t report[kReportLength] = {};
    velmora::transport::EncodeRequestReport(report, kReportLength, kHidCmdGetVideoParam,
                                 reinterpret_cast<const uint8_t*>(request), sizeof request, true);
    uint8_t in[kReportLength];
    std::vector<char> reply(4096);
    int received = 0;
    std::vector<double> bare, transfer;
    using Clock = std::chrono::steady_clock;
    for (int round = 0; round < 10; ++round) {
        for (int i = 0; i < 200; ++i) {
            const auto t0 = Clock::now();
            if (::send(fd, report, sizeof report, MSG_NOSIGNAL) != kReportLength) std::abort();
            do {
                if (::recv(fd, in, sizeof in, 0) != kReportLength) std::abort();
            } while (in[11] != 1);
            bare.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
        }
        for (int i = 0; i < 200; ++i) {
            const auto t0 = Clock::now();
            int r = host->Transfer(h, kHidCmdGetVideoParam, request, sizeof request, reply.data(),
                                   static_cast<int>(reply.size()), &received, 5);
            if (r != 0 || received != kBigReplyBytes) std::abort();
            transfer.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
        }
    }
    ::close(fd);
    const double t = Median(transfer), b = Median(bare);
    std::printf("whole-record read (3 KB reply): Transfer %.0f us, bare socket %.0f us, ratio %.2f "
                "(medians of %zu, alternated)\n", t, b, t / b, bare.size());
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    RecordReadRatio();
    return 0;
}
