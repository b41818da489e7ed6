// Verified apply harness: a 5-member profile applied to 1 and to 32 simulated USB cameras (served
// in-process) with the CLI's concurrency cap, next to its anchor measured in the same run: 5 bare
// set exchanges plus two record reads on one camera, which is the least an apply with read-back
// can cost. Prints median wall times per round and the ratios:
//  - 32 cameras / 1 camera (goal on two cores: at most 4);
//  - one camera's apply / the anchor (the apply's own overhead: diff, ability list, classifying).
// Twice: with a simulator that answers at once, where every exchange is CPU work on both ends
// and 32 cameras cost 32 cameras' CPU on two cores whatever the concurrency; and with reports paced
// as a full-speed USB link moves them (1 ms each), where the camera's link is what one waits for
// and the concurrency cap decides the ratio.
//
//   bench_apply [--cameras N] [--rounds R] [--jobs J]
#include <unistd.h>

#include <algorithm>
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

using namespace velmora::platform;
using namespace velmora::transport;
using namespace velmora::camera;

using namespace velmora;
using namespace velmora::protocol;
using Clock = std::chrono::steady_clock;

namespace {

double Seconds(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

// The median of per-round times: the machine is shared, and a round that another process
// preempted says nothing about the code.
double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

const char* const kMembers[] = {"Luminance", "Contrast", "Saturation", "ucHue", "Hue"};

// The value of step k: every step (three per round) gives every member a value it did not hold.
int32_t StepValue(int step) { return 10 + step % 60; }

Profile StepProfile(int step) {
    Profile p;
    for (const char* name : kMembers) p.values.push_back({FindVideoParamField(name), StepValue(step)});
    return p;
}

struct Quiet final : UserMessages {
    void Information(std::string_view) override {}
    bool AskOkCancel(std::string_view) override { return false; }
    bool AskYesNo(std::string_view) override { return false; }
};

// One run of the measurements on `cameras` simulated cameras whose reports are paced at
// `reportIntervalUs` (0: as fast as the simulator builds them). Returns the number of failed applies.
int RunScenario(const char* title, int cameras, int rounds, size_t jobs, int reportIntervalUs) {
    const std::string dir = "/tmp/velmora-bench-apply-" + std::to_string(::getpid());
    std::vector<sim::UsbCameraConfig> configs;
    for (int n = 1; n <= cameras; ++n) {
        sim::UsbCameraConfig c;
        char name[16];
        std::snprintf(name, sizeof name, "cam%02d", n);
        c.name = name;
        c.model.identity = sim::CameraModel::DefaultIdentity(n);
        c.reportIntervalUs = reportIntervalUs;
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
        for (auto& c : cams) VerifiedApply(*c, StepProfile(1000), report);
    }
    // Rounds interleave the single-camera measurements, so a slow stretch of the machine hits both.
    std::vector<double> anchors, ones, manys, abilities;
    for (int r = 0; r < rounds; ++r) {
        auto t0 = Clock::now();
        ApplyReport report;
        if (VerifiedApply(*cams[0], StepProfile(3 * r), report) != 0 || report.members.size() != 5) ++failures;
        ones.push_back(Seconds(t0));

        // Anchor: 5 bare sets and two reads on camera 1.
        t0 = Clock::now();
        VideoParam rec;
        cams[0]->ReadVideoParams(rec);
        for (const char* name : kMembers) cams[0]->SetField(*FindVideoParamField(name), StepValue(3 * r + 1));
        cams[0]->ReadVideoParams(rec);
        anchors.push_back(Seconds(t0));

        t0 = Clock::now();
        AbilityList ability;
        cams[0]->ReadAbilityList(ability);
        abilities.push_back(Seconds(t0));

    }
    // The set after the single camera: right after a burst on 32 cameras the first exchanges of
    // a single camera run several times slower (the simulator's threads are still being
    // scheduled), which would blur the single-camera figures.
    for (int r = 0; r < rounds; ++r) {
        const Profile profile = StepProfile(3 * r + 2);
        const auto t0 = Clock::now();
        fleet::ParallelEach(
            cams.size(), jobs,
            [&](size_t i) {
                ApplyReport mine;
                return VerifiedApply(*cams[i], profile, mine) == 0 && mine.members.size() == 5 ? 0 : 1;
            },
            [&](size_t, int status) { failures += status != 0; });
        manys.push_back(Seconds(t0));
    }
    const double anchor = Median(anchors), one = Median(ones), many = Median(manys);
    server.Stop();
    std::filesystem::remove_all(dir);

    std::printf("%s\n", title);

    std::printf("anchor: 5 sets + 2 reads, 1 camera      %8.2f ms\n", anchor * 1e3);
    std::printf("ability list read, 1 camera            %8.2f ms   (the apply's one exchange beyond the anchor)\n",
                Median(abilities) * 1e3);
    std::printf("apply, 5 members, 1 camera             %8.2f ms   %.2f x anchor\n", one * 1e3, one / anchor);
    std::printf("apply, 5 members, %2d cameras (jobs %zu)  %8.2f ms   %.2f x one camera (goal <= 4), %.2f ms per camera\n",
                cameras, jobs, many * 1e3, many / one, many * 1e3 / cameras);
    if (failures != 0) std::printf("failures: %d\n", failures);
    return failures;
}

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
    int failures = RunScenario("-- simulator answering at once (the CPU cost of the exchanges on both ends):", cameras,
                               rounds, jobs, 0);
    failures += RunScenario("-- reports paced at 1 ms, as a full-speed USB link moves them (the device-bound case):",
                            cameras, std::max(1, rounds / 3), jobs, 1000);
    SetUserMessages(nullptr);
    return failures == 0 ? 0 : 1;
}
