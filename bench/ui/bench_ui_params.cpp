// Parameter-editor timings, offscreen, against cameras simulated in-process:
//
//   BM_FillSevenPages       one record into the picture, exposure, white-balance, focus,
//                           enhancement, video and others pages (time per fill of all seven)
//   BM_UsbSetDirect         one set-one-field request through UsbCamera, no page (the floor)
//   BM_SliderReleaseToUsb   a released slider on the picture page to its request answered by a
//                           simulated USB camera (time per release), through a minimal host
//   BM_SliderReleaseUsbParamsHost  the same through the main window's USB host
//   BM_UsbParamsHostOpenDevice     that host opening the camera: three reads, seven pages filled
//   BM_OpenImageParamsDlg   building and showing the image-parameter dialog on a simulated
//                           network camera on 127.0.0.97: ability list, frame rate and record
//                           reads, the pages filled (time per open; closing is not counted)
//   BM_BuildImageParamsDlg  the dialog's widgets built and destroyed, no camera (the part of
//                           the open that is not reading)
//   BM_DialogRefresh        the dialog's refresh: one record read and the fill
//
// Run it directly; QT_QPA_PLATFORM defaults to offscreen.

// Before Qt: the simulator names a member "forever", which Qt defines as a keyword.
#include "sim/net_cameras.h"
#include "sim/usb_server.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include <QApplication>
#include <QLineEdit>
#include <QSignalBlocker>
#include <QSlider>

#include "camera/usb_camera.h"
#include "protocol/field_by_name.h"
#include "protocol/requests.h"
#include "protocol/video_param.h"
#include "transport/net/orvex_sdk.h"
#include "transport/usb/cusb_device.h"
#include "transport/usb/sim_hid_backend.h"
#include "ui/params/enhance_page.h"
#include "ui/params/exposure_page.h"
#include "ui/params/focus_page.h"
#include "ui/params/image_params_dlg.h"
#include "ui/params/others_page.h"
#include "ui/params/picture_page.h"
#include "ui/recording_host.h"
#include "ui/params/usb_params_host.h"
#include "ui/params/video_page.h"
#include "ui/params/white_balance_page.h"

using namespace velmora::protocol;
using namespace velmora::transport;
using namespace velmora::camera;

using namespace velmora;
using namespace velmora::ui;
using namespace std::chrono_literals;

namespace {

std::span<const uint8_t> SliceOf(const VideoParam& rec, size_t at) {
    return std::span<const uint8_t>(rec.bytes).subspan(at);
}

// Two records that differ in every page, so each fill moves controls.
VideoParam MakeRecord(uint8_t base) {
    VideoParam rec;
    for (size_t page = 0; page < 8; ++page) {
        for (size_t i = 0; i < 16; ++i) rec.bytes[page * 1024 + i] = static_cast<uint8_t>(base + i);
    }
    rec.bytes[kWhiteBalanceSlice] = 30;  // colour-temperature mode
    rec.bytes[kWhiteBalanceSlice + 4] = static_cast<uint8_t>(base * 10);
    rec.bytes[kWhiteBalanceSlice + 5] = 0x19;
    rec.bytes[kEnhancementSlice + 2] = base % 2 == 0 ? 2 : 1;  // defog mode: both rule branches
    rec.bytes[kOthersSlice + 8] = base % 3;
    return rec;
}

void BM_FillSevenPages(benchmark::State& state) {
    RecordingHost host;
    PictureTab picture;
    ExposureTab exposure;
    WhiteBalanceTab whiteBalance;
    FocusTab focus;
    EnhanceTab enhance;
    VideoTab video;
    OthersTab others;
    ParamPage* pages[] = {&picture, &exposure, &whiteBalance, &focus, &enhance, &video, &others};
    for (ParamPage* p : pages) {
        p->SetHost(&host, true);
        p->ApplyAbility();
    }
    const VideoParam records[2] = {MakeRecord(10), MakeRecord(41)};
    size_t n = 0;
    for (auto _ : state) {
        const VideoParam& rec = records[n++ & 1];
        picture.FillFromRecord(SliceOf(rec, kPictureSlice));
        exposure.FillFromRecord(SliceOf(rec, kExposureSlice));
        whiteBalance.FillFromRecord(SliceOf(rec, kWhiteBalanceSlice));
        focus.FillFromRecord(SliceOf(rec, kFocusSlice));
        enhance.FillFromRecord(SliceOf(rec, kEnhancementSlice));
        video.FillFromRecord(SliceOf(rec, kVideoSlice));
        others.FillFromRecord(SliceOf(rec, kOthersSlice));
    }
    if (!host.sent.empty()) state.SkipWithError("a fill sent a request");
    if (picture.Edit(picture_ids::kBrightnessSlider)->text().toInt() != records[(n - 1) & 1].bytes[0])
        state.SkipWithError("the last record is not shown");
}
BENCHMARK(BM_FillSevenPages)->Unit(benchmark::kMicrosecond);

// One simulated USB camera served in-process over the simulator's sockets, opened through
// CUSBDevice.
class UsbRig {
public:
    UsbRig() {
        char tmpl[] = "/tmp/velmora-uibench-XXXXXX";
        if (mkdtemp(tmpl) == nullptr) return;
        dir_ = tmpl;
        std::vector<sim::UsbCameraConfig> cams(1);
        cams[0].name = "cam01";
        cams[0].model.identity = sim::CameraModel::DefaultIdentity(1);
        server_ = std::make_unique<sim::UsbServer>(dir_, std::move(cams));
        std::string error;
        if (server_->Start(&error) != 0) {
            std::fprintf(stderr, "usb simulator: %s\n", error.c_str());
            return;
        }
        dev_ = std::make_unique<CUSBDevice>(std::make_unique<SimHidBackend>(dir_));
        CUSBDevice::Timing t = dev_->GetTiming();
        t.settleAfterOpen = 0ms;
        t.retryAfterFailedInfo = 0ms;
        dev_->SetTiming(t);
        dev_->SetVendorFilter(0, nullptr);
        UsbDeviceEntry e{};
        if (dev_->RefreshDevices() == 1 && dev_->GetDevice(0, e)) camera_ = std::make_unique<UsbCamera>(*dev_, e.handle);
    }
    ~UsbRig() {
        camera_.reset();
        dev_.reset();
        if (server_) server_->Stop();
        if (!dir_.empty()) std::filesystem::remove_all(dir_);
    }
    UsbCamera* Camera() const { return camera_.get(); }
    CUSBDevice& Device() { return *dev_; }
    sim::CameraModel& Model() { return server_->Model(0); }

private:
    std::string dir_;
    std::unique_ptr<sim::UsbServer> server_;
    std::unique_ptr<CUSBDevice> dev_;
    std::unique_ptr<UsbCamera> camera_;
};

// The smallest host that sends a page's requests through a USB camera.
class UsbPageHost : public PageHost {
public:
    explicit UsbPageHost(UsbCamera& camera) : camera_(camera) {}
    int SetVideoParamField(const VideoParamField& field, int32_t value) override { return camera_.SetField(field, value); }
    int GetFocusNear() override { return camera_.GetFocusNear(); }
    const AbilityList& Abilities() const override { return abilities_; }
    void RequestRefresh() override {}

private:
    UsbCamera& camera_;
    AbilityList abilities_;
};

void BM_UsbSetDirect(benchmark::State& state) {
    UsbRig rig;
    if (rig.Camera() == nullptr) {
        state.SkipWithError("no simulated USB camera");
        return;
    }
    int value = 40;
    for (auto _ : state) {
        value = value == 40 ? 60 : 40;
        if (rig.Camera()->SetField(Field("Luminance"), value) != 0) {
            state.SkipWithError("set failed");
            break;
        }
    }
}
BENCHMARK(BM_UsbSetDirect)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_SliderReleaseToUsb(benchmark::State& state) {
    UsbRig rig;
    if (rig.Camera() == nullptr) {
        state.SkipWithError("no simulated USB camera");
        return;
    }
    UsbPageHost host(*rig.Camera());
    PictureTab page;
    page.SetHost(&host, true);
    QSlider* slider = page.Slider(picture_ids::kBrightnessSlider);
    int position = 40;
    for (auto _ : state) {
        position = position == 40 ? 60 : 40;
        slider->setSliderDown(true);
        {
            // The drag itself is throttled; only the release is measured.
            const QSignalBlocker quiet(slider);
            slider->setSliderPosition(position);
        }
        slider->setSliderDown(false);  // sliderReleased: the page sends the new position
    }
    const std::optional<int32_t> onCamera = rig.Model().Get("Luminance");
    if (page.Value(picture_ids::kBrightnessSlider) != position || onCamera != position)
        state.SkipWithError("the camera does not hold the released position");
}
BENCHMARK(BM_SliderReleaseToUsb)->Unit(benchmark::kMicrosecond)->UseRealTime();

// The same release through the main window's USB host, its seven pages over the opened camera.
void BM_SliderReleaseUsbParamsHost(benchmark::State& state) {
    UsbRig rig;
    if (rig.Camera() == nullptr) {
        state.SkipWithError("no simulated USB camera");
        return;
    }
    UsbParamsHost host(rig.Device());
    if (host.OpenDevice(rig.Camera()->handle()) != 0) {
        state.SkipWithError("the host could not open the camera");
        return;
    }
    QSlider* slider = host.Picture()->Slider(picture_ids::kBrightnessSlider);
    int position = 40;
    for (auto _ : state) {
        position = position == 40 ? 60 : 40;
        slider->setSliderDown(true);
        {
            const QSignalBlocker quiet(slider);
            slider->setSliderPosition(position);
        }
        slider->setSliderDown(false);
    }
    if (rig.Model().Get("Luminance") != position)
        state.SkipWithError("the camera does not hold the released position");
}
BENCHMARK(BM_SliderReleaseUsbParamsHost)->Unit(benchmark::kMicrosecond)->UseRealTime();

// The USB host's open of a camera: ability list, frame rate and record reads, seven pages filled.
void BM_UsbParamsHostOpenDevice(benchmark::State& state) {
    UsbRig rig;
    if (rig.Camera() == nullptr) {
        state.SkipWithError("no simulated USB camera");
        return;
    }
    rig.Model().Set("Luminance", 77);
    UsbParamsHost host(rig.Device());
    for (auto _ : state) {
        if (host.OpenDevice(rig.Camera()->handle()) != 0 ||
            host.Picture()->Slider(picture_ids::kBrightnessSlider)->value() != 77) {
            state.SkipWithError("the pages do not show the camera's values");
            break;
        }
    }
}
BENCHMARK(BM_UsbParamsHostOpenDevice)->Unit(benchmark::kMicrosecond)->UseRealTime();

// One simulated network camera on 127.0.0.97 (a free port), logged in once.
class NetRig {
public:
    NetRig() {
        ORVEX_Init(0);
        sim::NetCameraConfig c;
        c.address = "127.0.0.97";
        c.port = 0;
        c.answerSearch = false;
        c.width = 320;
        c.height = 240;
        c.model.identity = sim::CameraModel::DefaultIdentity(1);
        std::vector<sim::NetCameraConfig> configs;
        configs.push_back(std::move(c));
        cams_ = std::make_unique<sim::NetCameras>(std::move(configs));
        std::string error;
        if (cams_->Start(&error) != 0) {
            std::fprintf(stderr, "network simulator: %s\n", error.c_str());
            return;
        }
        cams_->Model(0).Set("Luminance", 77);
        LoginInfo info{};
        std::snprintf(info.address, sizeof info.address, "127.0.0.97");
        info.port = cams_->Server(0).Port();
        std::snprintf(info.user, sizeof info.user, "admin");
        std::snprintf(info.password, sizeof info.password, "pelno");
        char area[288] = {};
        session_ = ORVEX_Login(info, area, 0, 0, 0, 0);
    }
    ~NetRig() {
        if (session_ >= 0) ORVEX_LogOut(session_);
        ORVEX_Cleanup();
        if (cams_) cams_->Stop();
    }
    int Session() const { return session_; }

private:
    std::unique_ptr<sim::NetCameras> cams_;
    int session_ = -1;
};

bool ShowsTheCameraValue(const ImageParamsDlg& dlg) {
    return dlg.Picture()->Slider(picture_ids::kBrightnessSlider)->value() == 77 &&
           dlg.Picture()->Edit(picture_ids::kBrightnessSlider)->text() == QStringLiteral("77");
}

void BM_OpenImageParamsDlg(benchmark::State& state) {
    NetRig rig;
    if (rig.Session() < 0) {
        state.SkipWithError("no simulated network camera");
        return;
    }
    for (auto _ : state) {
        auto dlg = std::make_unique<ImageParamsDlg>();
        dlg->SetLoginHandle(rig.Session());
        dlg->show();  // the first show reads the ability list, frame rate and record, then fills
        const bool shown = dlg->Initialised() && ShowsTheCameraValue(*dlg);
        // Closing and destroying the dialog is not part of the open.
        state.PauseTiming();
        dlg.reset();
        state.ResumeTiming();
        if (!shown) {
            state.SkipWithError("the pages do not show the camera's values");
            break;
        }
    }
}
BENCHMARK(BM_OpenImageParamsDlg)->Unit(benchmark::kMillisecond)->UseRealTime();

// The widgets alone: the dialog built and destroyed, never shown, so nothing is read.
void BM_BuildImageParamsDlg(benchmark::State& state) {
    for (auto _ : state) {
        ImageParamsDlg dlg;
        benchmark::DoNotOptimize(dlg.Pages().data());
    }
}
BENCHMARK(BM_BuildImageParamsDlg)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_DialogRefresh(benchmark::State& state) {
    NetRig rig;
    if (rig.Session() < 0) {
        state.SkipWithError("no simulated network camera");
        return;
    }
    ImageParamsDlg dlg;
    dlg.SetLoginHandle(rig.Session());
    dlg.show();
    for (auto _ : state) dlg.Refresh();
    if (!ShowsTheCameraValue(dlg)) state.SkipWithError("the pages do not show the camera's values");
}
BENCHMARK(BM_DialogRefresh)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    if (std::getenv("QT_QPA_PLATFORM") == nullptr) setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
