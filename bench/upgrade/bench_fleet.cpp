// Fleet upgrade harness: one package (16 MiB by default, writing time 0) sent through one
// UpgradeSession to a tray of simulated cameras (32 by default) with a concurrency cap of 4 and
// of 8, next to the anchor measured in the same run: the same package to one camera. Prints wall
// times, each run's ratio to the anchor (and the ratio a perfect cap would give, cameras/jobs),
// the aggregate throughput and the process's peak resident memory (VmHWM): the package is held
// once whatever the number of cameras.
//
//   bench_fleet [--cameras N] [--mib M] [--jobs J,J...] [--camsim PATH]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "bench_support.h"
#include "transport/usb/cusb_device.h"
#include "transport/usb/sim_hid_backend.h"
#include "upgrade/upgrade_session.h"

using namespace velmora::transport;
using namespace velmora::upgrade;

namespace {

using Clock = std::chrono::steady_clock;

struct Quiet final : velmora::upgrade::UpgradeObserver {
    void RowChanged(int, const velmora::upgrade::UpgradeRow&) override {}
    void RowRemoved(int) override {}
    void StatusText(const std::string&) override {}
    void RebootFinished() override {}
};

// Seconds from the start to the last camera's end, at most `jobs` at once; -1 when a camera
// did not end Done.
double Upgrade(CUSBDevice& usb, const std::vector<UsbDeviceEntry>& devices, const std::string& package, int jobs) {
    Quiet quiet;
    velmora::upgrade::UpgradeSession session(usb, devices, &quiet, 0);
    velmora::upgrade::UpgradeOptions options;
    options.jobs = jobs;
    session.SetOptions(options);
    session.SetPackagePaths({package});
    if (session.LoadPackages() != 0) return -1;  // read before the clock starts
    const auto t0 = Clock::now();
    if (session.Start() != 0) return -1;
    session.Join();
    const double s = std::chrono::duration<double>(Clock::now() - t0).count();
    for (int i = 0; i < session.RowCount(); ++i)
        if (session.Row(i).state != velmora::upgrade::UpgradeRowState::Done) {
            std::fprintf(stderr, "camera %d: %s\n", i + 1, session.Row(i).text.c_str());
            return -1;
        }
    return s;
}

}  // namespace

int main(int argc, char** argv) {
    int cameras = 32, mib = 16;
    std::vector<int> jobs = {4, 8};
    std::string camsim = VELMORA_CAMSIM_PATH;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string a = argv[i];
        if (a == "--cameras") cameras = std::atoi(argv[i + 1]);
        else if (a == "--mib") mib = std::atoi(argv[i + 1]);
        else if (a == "--camsim") camsim = argv[i + 1];
        else if (a == "--jobs") {
            jobs.clear();
            std::stringstream list(argv[i + 1]);
            for (std::string j; std::getline(list, j, ',');) jobs.push_back(std::atoi(j.c_str()));
        }
    }
    if (cameras < 1 || cameras > 999 || mib < 1 || mib > 256 || jobs.empty()) {
        std::fprintf(stderr, "usage: bench_fleet [--cameras 1..999] [--mib 1..256] [--jobs J,J...]\n");
        return 2;
    }
    char tmpl[] = "/tmp/velmora-benchfleet-XXXXXX";
    if (!mkdtemp(tmpl)) return 1;
    const std::string dir = tmpl;
    const std::string package = dir + "/updata.dat";
    velmora::bench::StreamPackage(package, mib);
    const pid_t sim = velmora::bench::StartCamsim(
        camsim, {"--usb-dir", dir + "/usb", "--usb-count", std::to_string(cameras), "--flash-ms", "0"});
    if (sim < 0) return 1;
    int status = 0;
    {
        CUSBDevice usb(std::make_unique<velmora::transport::SimHidBackend>(dir + "/usb"));
        const std::vector<UsbDeviceEntry> all = velmora::bench::FindSimulatedCameras(usb);
        const long startKiB = velmora::bench::PeakKiB();
        const double anchor = Upgrade(usb, {all.at(0)}, package, 1);
        const long anchorKiB = velmora::bench::PeakKiB();
        std::printf("package %d MiB, %zu cameras, writing time 0\n", mib, all.size());
        std::printf("%-26s %9s %9s %10s %12s %12s\n", "run", "seconds", "ratio", "ideal", "MiB/s total", "VmHWM KiB");
        std::printf("%-26s %9.3f %9.2f %10.2f %12.2f %12ld\n", "anchor: 1 camera", anchor, 1.0, 1.0, mib / anchor,
                    anchorKiB);
        for (int j : jobs) {
            const double s = Upgrade(usb, all, package, j);
            const long kib = velmora::bench::PeakKiB();
            if (s < 0 || anchor < 0) {
                status = 1;
                continue;
            }
            const std::string name = std::to_string(all.size()) + " cameras, --jobs " + std::to_string(j);
            std::printf("%-26s %9.3f %9.2f %10.2f %12.2f %12ld\n", name.c_str(), s, s / anchor,
                        static_cast<double>(all.size()) / j, mib * static_cast<double>(all.size()) / s, kib);
        }
        std::printf("peak memory: start %ld KiB, +%ld KiB for the package and one camera, +%ld KiB at the end\n",
                    startKiB, anchorKiB - startKiB, velmora::bench::PeakKiB() - startKiB);
    }
    velmora::bench::StopCamsim(sim);
    std::filesystem::remove_all(dir);
    return status;
}
