// How long a plugged camera takes to be listed, against the exchanges that listing needs.
//
// A simulated camera is plugged (its socket and description appear) while the camera directory
// watches the folder; the figure is the time until the directory reports it, identity read. The
// anchor, measured in the same run, is opening the same camera on its own and reading its
// identity (the two things an arrival must do); the difference is the watcher's settle time and
// its wake-up. Also the process CPU the watcher costs while 64 idle cameras sit in the folder.
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <thread>
#include <vector>

#include "camera/camera_directory.h"
#include "integration/sim_usb_cameras.h"
#include "platform/user_messages.h"
#include "transport/usb/device_watcher.h"

using namespace velmora::platform;
using namespace velmora::transport;
using namespace velmora::camera;

using namespace velmora;
using Clock = std::chrono::steady_clock;

namespace {

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

double CpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

std::unique_ptr<sim::UsbServer> Serve(const std::string& dir, int count) {
    std::vector<sim::UsbCameraConfig> cams;
    for (int n = 1; n <= count; ++n) cams.push_back(testsim::NumberedUsbCamera(n));
    auto server = std::make_unique<sim::UsbServer>(dir, std::move(cams));
    std::string error;
    if (server->Start(&error) != 0) {
        std::fprintf(stderr, "simulator: %s\n", error.c_str());
        return nullptr;
    }
    return server;
}

}  // namespace

int main() {
    char tmpl[] = "/tmp/velmora-bench-hotplug-XXXXXX";
    if (mkdtemp(tmpl) == nullptr) return 1;
    const std::string dir = tmpl;
    constexpr int kRounds = 7;
    std::vector<double> arrival, anchor;

    for (int round = 0; round < kRounds; ++round) {
        // The anchor: open the camera on its own and read its identity.
        {
            auto server = Serve(dir, 1);
            if (!server) return 1;
            CameraDirectory cameras(std::make_unique<SimHidBackend>(dir));
            const auto t0 = Clock::now();
            int32_t handle = 0;
            UsbDeviceEntry entry{};
            if (cameras.Usb().OpenDeviceAt(0, &handle, nullptr) != 0 || cameras.Usb().IdentifyDevice(handle, entry) != 0) {
                std::fprintf(stderr, "anchor: the camera did not answer\n");
                return 1;
            }
            anchor.push_back(Ms(Clock::now() - t0));
        }
        // The figure: plug while watching, until the directory has listed it.
        CameraDirectory cameras(std::make_unique<SimHidBackend>(dir));
        std::mutex mu;
        std::condition_variable cv;
        bool listed = false;
        cameras.StartWatching(
            [&](const UsbArrival& e) {
                std::lock_guard lock(mu);
                listed = listed || (e.arrived && e.result == 0);
                cv.notify_all();
            },
            MakeSimFolderWatcher(dir));
        const auto t0 = Clock::now();
        auto server = Serve(dir, 1);
        std::unique_lock lock(mu);
        if (!cv.wait_for(lock, std::chrono::seconds(5), [&] { return listed; })) {
            std::fprintf(stderr, "the plugged camera was not listed\n");
            return 1;
        }
        arrival.push_back(Ms(Clock::now() - t0));
        lock.unlock();
        cameras.StopWatching();
    }

    // CPU while 64 idle cameras sit in the watched folder.
    double idleCpu = 0;
    {
        auto server = Serve(dir, 64);
        if (!server) return 1;
        CameraDirectory cameras(std::make_unique<SimHidBackend>(dir));
        cameras.StartWatching([](const UsbArrival&) {}, MakeSimFolderWatcher(dir));
        std::this_thread::sleep_for(std::chrono::seconds(2));  // the 64 arrivals settle
        const double c0 = CpuSeconds();
        std::this_thread::sleep_for(std::chrono::seconds(3));
        idleCpu = (CpuSeconds() - c0) / 3.0;
        cameras.StopWatching();
    }
    std::filesystem::remove_all(dir);

    const double a = Median(arrival), b = Median(anchor);
    std::printf("plugged -> listed (median of %d): %.1f ms\n", kRounds, a);
    std::printf("anchor, open + identity alone:    %.2f ms\n", b);
    std::printf("ratio: %.1f (settle time %lld ms of it)\n", b > 0 ? a / b : 0.0,
                static_cast<long long>(kDeviceSettle.count()));
    std::printf("watching 64 idle cameras: %.4f s CPU per s\n", idleCpu);
    return 0;
}
