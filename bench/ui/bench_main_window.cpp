// Main-window timings, offscreen, against cameras simulated in-process:
//
//   BM_UsbDoubleClick          a double-click on a simulated USB camera in the device tree until
//                              its pages show the camera's values (ability list, frame rate and
//                              record read, seven pages filled, PTZ target set)
//   BM_NetDoubleClickToPicture a double-click on a simulated network camera (127.0.0.98) until
//                              its first picture is painted in a pane: login, stream start,
//                              decoder start, first picture decoded, scaled and painted; the pane
//                              is closed after each iteration (not counted)
//
// Run it directly; QT_QPA_PLATFORM defaults to offscreen.

// Before Qt: the simulator names a member "forever", which Qt defines as a keyword.
#include "sim/net_cameras.h"
#include "sim/usb_server.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <QApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTest>

#include "transport/net/orvex_sdk.h"
#include "ui/main/velmora_dlg.h"
#include "ui/listed_lan_cameras.h"
#include "ui/main/video_panes.h"
#include "ui/params/picture_page.h"
#include "ui/params/usb_params_host.h"
#include "ui/main_window_fixture.h"

using namespace velmora;
using namespace velmora::ui;
using namespace std::chrono_literals;

namespace {

std::unique_ptr<CVelmoraDlg> OpenWindow(const QTemporaryDir& home, MainSystem& system) {
    return test::OpenSimulatedWindow(home.path().toStdString() + "/", system);
}

void BM_UsbDoubleClick(benchmark::State& state) {
    QTemporaryDir home;
    std::filesystem::create_directories(home.path().toStdString() + "/usb");
    std::vector<sim::UsbCameraConfig> cams(1);
    cams[0].name = "cam01";
    cams[0].model.identity = sim::CameraModel::DefaultIdentity(1);
    sim::UsbServer server(home.path().toStdString() + "/usb", std::move(cams));
    std::string error;
    if (server.Start(&error) != 0) {
        state.SkipWithError(error.c_str());
        return;
    }
    ListedLanCameras system({"127.0.0.98"});
    auto window = OpenWindow(home, system);
    window->RefreshDeviceTree();
    if (window->DeviceNodes().empty()) {
        state.SkipWithError("no simulated USB camera found");
        return;
    }
    int value = 10;
    for (auto _ : state) {
        state.PauseTiming();
        server.Model(0).Set("Luminance", value);
        state.ResumeTiming();
        window->OpenDeviceItem(window->DeviceNodes()[0].item);
        if (window->UsbHost().Picture()->Value(picture_ids::kBrightnessSlider) != value) {
            state.SkipWithError("the page does not show the camera's value");
            break;
        }
        value = value == 10 ? 20 : 10;
    }
    window.reset();
    server.Stop();
}
BENCHMARK(BM_UsbDoubleClick)->Unit(benchmark::kMillisecond);

void BM_NetDoubleClickToPicture(benchmark::State& state) {
    sim::NetCameraConfig c;
    c.address = "127.0.0.98";
    c.answerSearch = false;
    c.width = 1920;
    c.height = 1080;
    c.model.identity = sim::CameraModel::DefaultIdentity(1);
    std::vector<sim::NetCameraConfig> configs{c};
    sim::NetCameras cameras(std::move(configs));
    std::string error;
    if (cameras.Start(&error) != 0) {
        state.SkipWithError(error.c_str());
        return;
    }
    QTemporaryDir home;
    ListedLanCameras system({"127.0.0.98"});
    auto window = OpenWindow(home, system);
    window->SwitchToNetworkMode();
    window->show();
    VideoPaneWidget* pane = window->Panes().Widget(0);
    for (auto _ : state) {
        const uint64_t painted = pane->PicturesPainted();
        window->OpenDeviceItem(window->DeviceNodes()[0].item);
        if (!QTest::qWaitFor([&] { return pane->PicturesPainted() > painted; }, 10000)) {
            state.SkipWithError("no picture painted within 10 s");
            break;
        }
        state.PauseTiming();
        window->Panes().CloseVideoPane(0);
        state.ResumeTiming();
    }
    window.reset();
    cameras.Stop();
}
BENCHMARK(BM_NetDoubleClickToPicture)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(20);

}  // namespace

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    ORVEX_Init(0);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    ORVEX_Cleanup();
    return 0;
}
