// velmora-camsim: simulated cameras for trying Velmora and for end-to-end tests.
#include <signal.h>

#include <cstdio>
#include <string>
#include <vector>

#include "platform/version.h"
#include "platform/zeb_log.h"
#include "sim/control_server.h"
#include "sim/net_cameras.h"
#include "sim/sim_options.h"
#include "sim/usb_server.h"

namespace velmora::sim {
namespace {

// velmora-camsim ctl DIR COMMAND...: one command to the simulator serving DIR, its reply on stdout.
int ControlCommand(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "velmora-camsim: usage: velmora-camsim ctl DIR COMMAND... (ctl DIR help lists them)\n");
        return 2;
    }
    std::string line;
    for (int i = 3; i < argc; ++i) line += (i > 3 ? " " : "") + std::string(argv[i]);
    std::string reply;
    const int r = SendControlLine(argv[2], line, &reply);
    std::fprintf(r < 0 ? stderr : stdout, "%s%s\n", r < 0 ? "velmora-camsim: " : "", reply.c_str());
    return r == 0 ? 0 : 1;
}

}  // namespace
}  // namespace velmora::sim

int main(int argc, char** argv) {
    using namespace velmora::sim;
    if (argc >= 2 && std::string(argv[1]) == "ctl") return ControlCommand(argc, argv);
    SimOptions options;
    std::string error;
    if (ParseCommandLine(argc, argv, &options, &error) != 0) {
        std::fprintf(stderr, "velmora-camsim: %s\n%s", error.c_str(), UsageText().c_str());
        return 2;
    }
    if (options.help) {
        std::fputs(UsageText().c_str(), stdout);
        return 0;
    }
    if (options.version) {
        std::fputs(velmora::platform::VersionLine("velmora-camsim").c_str(), stdout);
        return 0;
    }
    if (options.usbCount > 0 && options.usbDir.empty()) {
        std::fprintf(stderr, "velmora-camsim: --usb-count needs --usb-dir\n");
        return 2;
    }
    std::vector<UsbCameraConfig> cameras;
    if (BuildUsbCameras(options, &cameras, &error) != 0) {
        std::fprintf(stderr, "velmora-camsim: %s\n", error.c_str());
        return 2;
    }
    std::vector<NetCameraConfig> netCameras;
    if (BuildNetCameras(options, &netCameras, &error) != 0) {
        std::fprintf(stderr, "velmora-camsim: %s\n", error.c_str());
        return 2;
    }
    // A folder without cameras is served too: cameras are added later through its control socket.
    const bool serveUsb = !options.usbDir.empty();
    if (cameras.empty() && netCameras.empty() && !serveUsb) {
        std::fprintf(stderr, "velmora-camsim: no cameras asked for (--usb-count N or --net ADDR)\n%s",
                     UsageText().c_str());
        return 2;
    }
    velmora::platform::AppLog().SetLogLevel(2, options.verbose ? 2 : 3);  // console target: info or warnings

    // Termination signals are taken synchronously by this thread; every thread started below
    // inherits the blocked mask, so none of them is interrupted.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    UsbServer usb(options.usbDir, std::move(cameras));
    if (!options.writersFile.empty()) usb.SetWritersFile(options.writersFile);
    if (serveUsb && usb.Start(&error) != 0) {
        std::fprintf(stderr, "velmora-camsim: %s\n", error.c_str());
        return 1;
    }
    ControlServer control(usb, [&options](int number, const std::string& name) {
        return DefaultUsbCameraConfig(options, number, name);
    });
    if (serveUsb && control.Start(options.usbDir + "/" + kControlSocketName, &error) != 0) {
        std::fprintf(stderr, "velmora-camsim: %s\n", error.c_str());
        usb.Stop();
        return 1;
    }
    NetCameras net(std::move(netCameras));
    if (net.Start(&error) != 0) {
        std::fprintf(stderr, "velmora-camsim: %s\n", error.c_str());
        control.Stop();
        usb.Stop();
        return 1;
    }
    std::fputs("ready\n", stdout);
    std::fflush(stdout);

    int signalNumber = 0;
    sigwait(&stopSignals, &signalNumber);
    net.Stop();
    control.Stop();
    usb.Stop();
    return 0;
}
