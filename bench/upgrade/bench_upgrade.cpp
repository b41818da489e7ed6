// Firmware upgrade harness: one package sent to one simulated camera, then to N cameras in
// parallel through one UpgradeSession, with writing time 0, next to a bare Transfer loop that
// moves the same bytes to one camera without the session. Prints wall times, the ratio, bytes
// per second per camera and the process's peak resident memory (VmHWM) after each run: the
// package is held once however many cameras read it.
//
//   bench_upgrade [--cameras N] [--mib M] [--report-len L] [--camsim PATH]
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bench_support.h"
#include "transport/usb/cusb_device.h"
#include "transport/usb/sim_hid_backend.h"
#include "upgrade/upgrade_exchange.h"
#include "upgrade/upgrade_session.h"

using namespace velmora::transport;
using namespace velmora::upgrade;

namespace {

using Clock = std::chrono::steady_clock;

using velmora::bench::PeakKiB;

double Seconds(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

struct Quiet final : velmora::upgrade::UpgradeObserver {
    void RowChanged(int, const velmora::upgrade::UpgradeRow&) override {}
    void RowRemoved(int) override {}
    void StatusText(const std::string&) override {}
    void RebootFinished() override {}
};

// Upgrades `devices` with `package`; returns seconds from start to the last worker's end, or -1
// when a camera did not end Done.
double Upgrade(CUSBDevice& usb, const std::vector<UsbDeviceEntry>& devices, const std::string& package) {
    Quiet quiet;
    velmora::upgrade::UpgradeSession session(usb, devices, &quiet);
    session.SetPackagePaths({package});
    if (session.LoadPackages() != 0) return -1;  // read before the clock starts
    const auto t0 = Clock::now();
    if (session.Start() != 0) return -1;
    session.Join();
    const double s = Seconds(t0);
    for (int i = 0; i < session.RowCount(); ++i)
        if (session.Row(i).state != velmora::upgrade::UpgradeRowState::Done) {
            std::fprintf(stderr, "camera %d: %s\n", i + 1, session.Row(i).text.c_str());
            return -1;
        }
    return s;
}

// The same bytes through bare Transfer calls: request, then 1 MiB data commands.
double BareTransfers(CUSBDevice& usb, int32_t handle, const std::vector<uint8_t>& data) {
    const auto t0 = Clock::now();
    if (velmora::upgrade::SendUpgradeRequest(usb, handle, static_cast<uint32_t>(data.size())) < 0) return -1;
    std::string reply;
    for (size_t off = 0; off < data.size(); off += velmora::upgrade::kUpgradeChunkBytes) {
        const size_t n = std::min(velmora::upgrade::kUpgradeChunkBytes, data.size() - off);
        if (velmora::upgrade::SendUpgradeData(usb, handle, data.data() + off, n, reply) < 0) return -1;
    }
    return Seconds(t0);
}

}  // namespace

int main(int argc, char** argv) {
    int cameras = 10, mib = 16, reportLen = 65;
    std::string camsim = VELMORA_CAMSIM_PATH;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string a = argv[i];
        if (a == "--cameras") cameras = std::atoi(argv[i + 1]);
        else if (a == "--mib") mib = std::atoi(argv[i + 1]);
        else if (a == "--report-len") reportLen = std::atoi(argv[i + 1]);
        else if (a == "--camsim") camsim = argv[i + 1];
    }
    if (cameras < 1 || cameras > velmora::upgrade::kMaxUpgradeRows || mib < 1 || mib > 256) {
        std::fprintf(stderr, "usage: bench_upgrade [--cameras 1..10] [--mib 1..256] [--report-len L]\n");
        return 2;
    }
    char tmpl[] = "/tmp/velmora-benchupg-XXXXXX";
    if (!mkdtemp(tmpl)) return 1;
    const std::string dir = tmpl;
    const std::string package = dir + "/updata.dat";
    const std::vector<uint8_t> bytes = velmora::bench::WritePackage(package, mib);
    const pid_t sim = velmora::bench::StartCamsim(
        camsim, {"--usb-dir", dir + "/usb", "--usb-count", std::to_string(cameras), "--usb-report-len",
                 std::to_string(reportLen), "--flash-ms", "0"});
    if (sim < 0) return 1;

    int status = 0;
    {
        CUSBDevice usb(std::make_unique<velmora::transport::SimHidBackend>(dir + "/usb"));
        const std::vector<UsbDeviceEntry> all = velmora::bench::FindSimulatedCameras(usb);
        const double mibData = static_cast<double>(bytes.size()) / 1048576.0;
        const long baseKiB = PeakKiB();
        const double bare = BareTransfers(usb, all.at(0).handle, bytes);
        usb.Transfer(all.at(0).handle, velmora::upgrade::kCmdUpgradeProgress, nullptr, 0, nullptr, 0, nullptr, 5);
        const long bareKiB = PeakKiB();
        const double one = Upgrade(usb, {all.at(0)}, package);
        const long oneKiB = PeakKiB();
        const double many = Upgrade(usb, all, package);
        const long manyKiB = PeakKiB();
        if (bare < 0 || one < 0 || many < 0) {
            std::fprintf(stderr, "a run failed\n");
            status = 1;
        } else {
            std::printf("package %d MiB, report length %d, %d cameras, writing time 0\n", mib, reportLen,
                        static_cast<int>(all.size()));
            std::printf("%-34s %9s %14s %12s\n", "run", "seconds", "MiB/s/camera", "VmHWM KiB");
            std::printf("%-34s %9.3f %14.2f %12ld\n", "bare Transfer loop, 1 camera", bare, mibData / bare, bareKiB);
            std::printf("%-34s %9.3f %14.2f %12ld\n", "session, 1 camera", one, mibData / one, oneKiB);
            std::printf("%-34s %9.3f %14.2f %12ld\n", ("session, " + std::to_string(all.size()) + " cameras").c_str(),
                        many, mibData / many, manyKiB);
            std::printf("time ratio many/one %.2f; aggregate %.2f MiB/s; peak growth: 1 camera +%ld KiB, "
                        "%zu cameras +%ld KiB over the bare loop (start %ld KiB)\n",
                        many / one, mibData * static_cast<double>(all.size()) / many, oneKiB - bareKiB, all.size(),
                        manyKiB - bareKiB, baseKiB);
        }
    }
    velmora::bench::StopCamsim(sim);
    std::filesystem::remove_all(dir);
    return status;
}
