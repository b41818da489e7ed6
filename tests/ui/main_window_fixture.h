#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "transport/usb/sim_hid_backend.h"
#include "ui/main/velmora_dlg.h"

namespace velmora::ui::test {

// A main window for tests and benchmarks: home folder `home` (ending in '/'), USB cameras from
// the simulator's sockets in <home>usb, the LAN search and network library calls of `system`,
// no start-up timer (call RefreshDeviceTree), no log set-up and no settle wait after a USB device
// is opened.
// With `followPlugging`, the window watches <home>usb for cameras coming and going (a short
// settle time); otherwise it watches nothing there.
// `answerPollMs` is MainWindowSetup::answerPollMs (0: the test takes new search answers itself).
inline std::unique_ptr<CVelmoraDlg> OpenSimulatedWindow(const std::string& home, MainSystem& system,
                                                        PaneBackend* panes = nullptr, bool followPlugging = false,
                                                        int answerPollMs = 0) {
    MainWindowSetup setup;
    setup.makeWatcher = [home, followPlugging]() -> std::unique_ptr<transport::DeviceWatcher> {
        if (followPlugging) return transport::MakeSimFolderWatcher(home + "usb", std::chrono::milliseconds(50));
        return transport::MakeSimFolderWatcher(home + "no-such-folder");  // fails to start: nothing is watched
    };
    setup.homeDir = home;
    setup.system = &system;
    setup.paneBackend = panes;
    setup.hid = std::make_unique<transport::SimHidBackend>(home + "usb");
    setup.firstSearchDelayMs = -1;
    setup.networkRescanMs = 0;  // tests ask the LAN search again themselves (RescanNetwork)
    setup.answerPollMs = answerPollMs;
    setup.setUpLogging = false;
    auto window = std::make_unique<CVelmoraDlg>(std::move(setup));
    transport::CUSBDevice::Timing t = window->Usb().GetTiming();
    t.settleAfterOpen = std::chrono::milliseconds(0);
    window->Usb().SetTiming(t);
    return window;
}

}  // namespace velmora::ui::test
