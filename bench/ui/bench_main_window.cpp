// Main-window timings, offscreen, against cameras simulated in-process:
//
//   BM_UsbDoubleClick          a double-click on a simulated USB camera in the device tree until
//                              its pages show the camera's values (ability list, frame rate and
//                              record read, seven pages filled, PTZ target set)
//   BM_NetDoubleClickToPicture a double-click on a simulated network camera (127.0.0.98) until
//                              its first picture is painted in a pane: login, stream start,
//                              decoder start, first picture decoded, scaled and painted; the pane
//                              is closed after each iteration (not counted)
//   BM_Freeze/<case>           the longest time the window's event loop does not run (so the
//                              window cannot repaint and the other panes cannot show a picture)
//                              while a call waits on a camera that is slow to answer, against
//                              the same 10 ms timer on an idle loop for as long (the anchor):
//                              a set on a USB camera whose sets are answered 2 s late, a PTZ
//                              press and release on it, a double-click on a USB camera whose
//                              reads are answered 1 s late, and a double-click on a network
//                              camera that accepts the connection and never answers the login.
//                              Counters: longest_gap_ms, anchor_gap_ms, call_ms (goal: the gap
//                              under 100 ms).
//
// Run it directly; QT_QPA_PLATFORM defaults to offscreen.

// Before Qt: the simulator names a member "forever", which Qt defines as a keyword.
#include "sim/net_cameras.h"
#include "sim/fault.h"
#include "sim/usb_server.h"

#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <QApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include "transport/net/orvex_sdk.h"
#include "ui/main/velmora_dlg.h"
#include "ui/listed_lan_cameras.h"
#include "ui/main/video_panes.h"
#include "ui/params/picture_page.h"
#include "ui/controls/ptz_simple_ctrl.h"
#include "ui/params/usb_params_host.h"
#include "protocol/field_by_name.h"
#include "ui/main_window_fixture.h"

using namespace velmora::protocol;
using namespace velmora::transport;

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

// The longest time between two ticks of a 10 ms timer while `call` runs, and how long it ran.
struct Gaps {
    double longestMs = 0;
    double callMs = 0;
};

Gaps MeasureGaps(const std::function<void()>& call) {
    QElapsedTimer clock;
    clock.start();
    qint64 last = 0, longest = 0;
    QTimer ticker;
    ticker.setTimerType(Qt::PreciseTimer);
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        const qint64 now = clock.elapsed();
        longest = std::max(longest, now - last);
        last = now;
    });
    ticker.start(10);
    call();
    const qint64 end = clock.elapsed();
    longest = std::max(longest, end - last);
    return {static_cast<double>(longest), static_cast<double>(end)};
}

enum class FreezeCase { UsbSet, UsbPtz, UsbOpen, NetLogin };

constexpr uint16_t kSilentCameraPort = 36666;  // the port the window logs in on

void BM_Freeze(benchmark::State& state) {
    const auto which = static_cast<FreezeCase>(state.range(0));
    QTemporaryDir home;
    std::filesystem::create_directories(home.path().toStdString() + "/usb");
    std::vector<sim::UsbCameraConfig> cams(1);
    cams[0].name = "cam01";
    cams[0].model.identity = sim::CameraModel::DefaultIdentity(1);
    // Sets and PTZ requests are answered 2 s late; record reads 1 s late after the first, which
    // opens the camera.
    for (const char* text : {"stall=2000,cmd=40001090", "stall=2000,cmd=40001006", "stall=1000,cmd=40001089,after=1"}) {
        sim::Fault f;
        std::string why;
        if (sim::ParseFault(text, &f, &why) != 0) {
            state.SkipWithError(why.c_str());
            return;
        }
        cams[0].faults.push_back(f);
    }
    sim::UsbServer server(home.path().toStdString() + "/usb", std::move(cams));
    std::string error;
    if (server.Start(&error) != 0) {
        state.SkipWithError(error.c_str());
        return;
    }
    // A network camera that accepts the connection (the kernel completes it) and never answers.
    const int silent = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_port = htons(kSilentCameraPort);
    inet_pton(AF_INET, "127.0.0.97", &at.sin_addr);
    const int one = 1;
    setsockopt(silent, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (silent < 0 || ::bind(silent, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0 || ::listen(silent, 16) != 0) {
        state.SkipWithError("cannot listen on 127.0.0.97");
        if (silent >= 0) ::close(silent);
        return;
    }
    ListedLanCameras system({"127.0.0.97"});
    auto window = OpenWindow(home, system);
    window->show();
    window->RefreshDeviceTree();
    if (window->DeviceNodes().empty()) {
        state.SkipWithError("no simulated USB camera found");
        return;
    }
    window->OpenDeviceItem(window->DeviceNodes()[0].item);  // its first read is answered at once
    if (which == FreezeCase::NetLogin) window->SwitchToNetworkMode();
    Gaps worst;
    int value = 10;
    for (auto _ : state) {
        std::function<void()> call;
        switch (which) {
        case FreezeCase::UsbSet:
            call = [&] { window->UsbHost().SetVideoParamField(Field("Luminance"), value++); };
            break;
        case FreezeCase::UsbPtz:
            call = [&] {
                QPushButton* zoom = window->Ptz()->Button(ptz_ids::kZoomIn);
                QTest::mousePress(zoom, Qt::LeftButton);
                QTest::mouseRelease(zoom, Qt::LeftButton);
            };
            break;
        case FreezeCase::UsbOpen:
            call = [&] { window->OpenDeviceItem(window->DeviceNodes()[0].item); };
            break;
        case FreezeCase::NetLogin:
            call = [&] {
                window->OpenDeviceItem(window->DeviceNodes()[0].item);
                window->Panes().CloseAll();
            };
            break;
        }
        const Gaps g = MeasureGaps(call);
        worst.longestMs = std::max(worst.longestMs, g.longestMs);
        worst.callMs = std::max(worst.callMs, g.callMs);
    }
    const Gaps idle = MeasureGaps([&] { QTest::qWait(static_cast<int>(worst.callMs)); });
    state.counters["longest_gap_ms"] = worst.longestMs;
    state.counters["anchor_gap_ms"] = idle.longestMs;
    state.counters["call_ms"] = worst.callMs;
    window.reset();
    ::close(silent);
    server.Stop();
}
BENCHMARK(BM_Freeze)
    ->Arg(static_cast<int>(FreezeCase::UsbSet))
    ->Arg(static_cast<int>(FreezeCase::UsbPtz))
    ->Arg(static_cast<int>(FreezeCase::UsbOpen))
    ->Arg(static_cast<int>(FreezeCase::NetLogin))
    ->ArgName("case")
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(2);

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
