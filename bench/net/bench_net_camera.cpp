// Login plus a full parameter read (request, reply, parse into the record) against a simulated
// network camera on loopback: what a double-click on a network camera costs before the pages fill.

#include <benchmark/benchmark.h>

#include <cstring>

#include "transport/net/orvex_sdk.h"
#include "sim/net_cameras.h"
#include "camera/net_camera.h"

using namespace velmora::transport;
using namespace velmora::camera;
using namespace velmora::protocol;

namespace {

void BM_LoginReadVideoParamsLogout(benchmark::State& state) {
    velmora::sim::NetCameraConfig c;
    c.address = "127.0.0.2";
    c.port = 0;
    c.answerSearch = false;
    c.model.identity = velmora::sim::CameraModel::DefaultIdentity(1);
    velmora::sim::NetCameras cams({c});
    std::string error;
    if (cams.Start(&error) != 0) {
        state.SkipWithError(error.c_str());
        return;
    }
    ORVEX_Init(0);
    LoginInfo login{};
    std::strcpy(login.address, "127.0.0.2");
    login.port = cams.Server(0).Port();
    std::strcpy(login.user, "admin");
    std::strcpy(login.password, "pelno");
    for (auto _ : state) {
        int s = ORVEX_Login(login, nullptr, 0, 0, 0, 0);
        VideoParam rec;
        int r = velmora::camera::NetCamera(s, "", 0).ReadVideoParams(rec);
        ORVEX_LogOut(s);
        if (s < 0 || r != 0) state.SkipWithError("login or read failed");
        benchmark::DoNotOptimize(rec.bytes[0]);
    }
    ORVEX_Cleanup();
}
BENCHMARK(BM_LoginReadVideoParamsLogout)->Unit(benchmark::kMicrosecond)->Repetitions(5)->ReportAggregatesOnly(true);

}  // namespace

BENCHMARK_MAIN();
