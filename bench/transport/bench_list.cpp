// The device search of `velmora-cli list` and the window's USB refresh (CUSBDevice::RefreshDevices:
// open every camera, ask each for its identity) over 64 simulated cameras served in-process,
// against its anchor measured in the same run: the sum of its exchanges, the 64 identity queries
// on cameras already open. Rounds alternate; the medians and their ratio are printed.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "sim/usb_server.h"
#include "transport/usb/cusb_device.h"
#include "transport/usb/sim_hid_backend.h"

using namespace velmora::transport;
using namespace velmora::protocol;

using Clock = std::chrono::steady_clock;

namespace {

constexpr int kCameras = 64;

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

double Median(std::vector<double> v) {
    std::nth_element(v.begin(), v.begin() + static_cast<long>(v.size() / 2), v.end());
    return v[v.size() / 2];
}

std::unique_ptr<CUSBDevice> Host(const std::string& dir) {
    auto host = std::make_unique<CUSBDevice>(std::make_unique<velmora::transport::SimHidBackend>(dir));
    host->SetVendorFilter(0, nullptr);
    return host;
}

}  // namespace

int main() {
    char tmpl[] = "/tmp/velmora-bench-list-XXXXXX";
    if (!mkdtemp(tmpl)) return 1;
    const std::string dir = tmpl;
    std::vector<velmora::sim::UsbCameraConfig> cams;
    for (int i = 1; i <= kCameras; ++i) {
        velmora::sim::UsbCameraConfig c;
        c.name = (i < 10 ? "cam0" : "cam") + std::to_string(i);
        c.model.identity = velmora::sim::CameraModel::DefaultIdentity(i);
        cams.push_back(std::move(c));
    }
    velmora::sim::UsbServer server(dir, std::move(cams));
    std::string error;
    if (server.Start(&error) != 0) {
        std::fprintf(stderr, "bench_list: %s\n", error.c_str());
        return 1;
    }
    std::vector<double> list, exchanges;
    int status = 0;
    for (int round = 0; round < 15 && status == 0; ++round) {
        auto host = Host(dir);
        const auto t0 = Clock::now();
        const int found = host->RefreshDevices();
        list.push_back(Ms(Clock::now() - t0));
        std::vector<UsbDeviceEntry> entries = host->GetDevices();
        if (found != kCameras || entries.empty() || entries.back().serial[0] == '\0') status = 1;
        const auto t1 = Clock::now();
        for (const UsbDeviceEntry& e : entries) {
            UsbDeviceInfo info{};
            if (host->GetDeviceInfo(e.handle, info) != 0) status = 1;
        }
        exchanges.push_back(Ms(Clock::now() - t1));
    }
    server.Stop();
    std::filesystem::remove_all(dir);
    if (status != 0) {
        std::fprintf(stderr, "bench_list: not every camera was found with its identity\n");
        return 1;
    }
    const double l = Median(list), x = Median(exchanges);
    std::printf("USB device search of %d cameras (list, USB refresh): %.1f ms, its %d identity exchanges %.1f ms, "
                "ratio %.2f (medians of %zu, alternated)\n", kCameras, l, kCameras, x, l / x, list.size());
    return 0;
}
