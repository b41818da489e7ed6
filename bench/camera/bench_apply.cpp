// Verified apply harness: a 5-member profile applied to 1 and to 32 simulated USB cameras (served
// in-process) with the CLI's concurrency cap, next to its anchor measured in the same run: 5 bare
// set exchanges plus two record reads on one camera, which is the least an apply with read-back
// can cost. Prints wall times and the ratios:
//  - 32 cameras / 1 camera (goal on two cores: at most 4);
//  - one camera's apply / the anchor (the apply's own overhead: diff, ability list, classifying).
//
//   bench_apply [--cameras N] [--rounds R] [--jobs J]
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "camera/camera_directory.h"
#include "camera/verified_apply.h"
#include "fleet/parallel_each.h"
#include "platform/user_messages.h"
#include "sim/usb_server.h"
#include "transport/usb/sim_hid_backend.h"

using namespace velmora;
using Clock = std::chrono::steady_clock;

namespace {

double Seconds(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

const char* const kMembers[] = {"Luminance", "Contrast", "Saturation", "ucHue", "Hue"};

// Five members, all different from what the cameras hold after the previous round.
Profile RoundProfile(int round) {
    Profile p;
    for (const char* name : kMembers) p.values.push_back({FindVideoParamField(name), 10 + round % 2 * 20});
    return p;
}

struct Quiet final : UserMessages {
    void Information(std::string_view) override {}
    bool AskOkCancel(std::string_view) override { return false; }
    bool AskYesNo(std::string_view) override { return false; }
};

}  // namespace

int main(int argc, char** argv) {
    int cameras = 32;
    int rounds = 10;
    size_t jobs = 0;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!std::strcmp(argv[i], "--cameras")) cameras = std::atoi(argv[i + 1]);
        if (!std::strcmp(argv[i], "--rounds")) rounds = std::atoi(argv[i + 1]);
        if (!std::strcmp(argv[i], "--jobs")) jobs = static_cast<size_t>(std::atoi(argv[i + 1]));
    }
    Quiet quiet;
    SetUserMessages(&quiet);
    const std::string dir = "/tmp/velmora-bench-apply-" + std::to_string(::getpid());
    std::vector<sim::UsbCameraConfig> configs;
    for (int n = 1; n <= cameras; ++n) {
        sim::UsbCameraConfig c;
        char name[16];
        std::snprintf(name, sizeof name, "cam%02d", n);
        c.name = name;
        c.model.identity = sim::CameraModel::DefaultIdentity(n);
        configs.push_back(std::move(c));
    }
    sim::UsbServer server(dir, std::move(configs));
    std::string error;
    if (server.Start(&error) != 0) {
        std::fprintf(stderr, "bench_apply: %s\n", error.c_str());
        return 1;
    }
    CameraDirectory directory(std::make_unique<SimHidBackend>(dir));
    CUSBDevice::Timing t = directory.Usb().GetTiming();
    t.settleAfterOpen = std::chrono::milliseconds(0);
    directory.Usb().SetTiming(t);
    directory.RefreshUsb();
    std::vector<std::shared_ptr<UsbCamera>> cams;
    for (const UsbListing& listed : directory.UsbCameras()) cams.push_back(directory.UsbCameraByKey(listed.key));
    if (static_cast<int>(cams.size()) != cameras) {
        std::fprintf(stderr, "bench_apply: found %zu cameras of %d\n", cams.size(), cameras);
        return 1;
    }
    if (jobs == 0) jobs = fleet::DefaultJobs(cams.size());
    int failures = 0;
    {  // warm-up: every connection and code path once
        ApplyReport report;
        for (auto& c : cams) VerifiedApply(*c, RoundProfile(1), report);
    }
    // Anchor: 5 bare sets and two reads on camera 1.
    auto t0 = Clock::now();
    for (int r = 0; r < rounds; ++r) {
        VideoParam rec;
        cams[0]->ReadVideoParams(rec);
        for (const char* name : kMembers) cams[0]->SetField(*FindVideoParamField(name), 10 + r % 2 * 20);
        cams[0]->ReadVideoParams(rec);
    }
    const double anchor = Seconds(t0) / rounds;

    t0 = Clock::now();
    for (int r = 0; r < rounds; ++r) {
        ApplyReport report;
        if (VerifiedApply(*cams[0], RoundProfile(r + 1), report) != 0) ++failures;
    }
    const double one = Seconds(t0) / rounds;

    t0 = Clock::now();
    for (int r = 0; r < rounds; ++r) {
        const Profile profile = RoundProfile(r);
        fleet::ParallelEach(
            cams.size(), jobs,
            [&](size_t i) {
                ApplyReport report;
                return VerifiedApply(*cams[i], profile, report);
            },
            [&](size_t, int status) { failures += status != 0; });
    }
    const double many = Seconds(t0) / rounds;
    server.Stop();
    std::filesystem::remove_all(dir);
    SetUserMessages(nullptr);

    std::printf("anchor: 5 sets + 2 reads, 1 camera      %8.2f ms\n", anchor * 1e3);
    std::printf("apply, 5 members, 1 camera             %8.2f ms   %.2f x anchor\n", one * 1e3, one / anchor);
    std::printf("apply, 5 members, %2d cameras (jobs %zu)  %8.2f ms   %.2f x one camera (goal <= 4), %.2f ms per camera\n",
                cameras, jobs, many * 1e3, many / one, many * 1e3 / cameras);
    if (failures != 0) std::printf("failures: %d\n", failures);
    return failures == 0 ? 0 : 1;
}
