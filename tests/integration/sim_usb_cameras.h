#pragma once

// Simulated USB cameras for tests that serve them in-process: the numbered camera with its
// faults, and a transport over the simulator's folder without the waits a real bus needs.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "sim/usb_server.h"
#include "transport/usb/cusb_device.h"
#include "transport/usb/sim_hid_backend.h"

namespace velmora::testsim {

// Camera `n` (from 1): named cam01, cam02, ..., with the identity of camera n and the given
// simulator fault texts ("refuse=-5,cmd=40001090"). A fault that does not parse fails the test.
inline sim::UsbCameraConfig NumberedUsbCamera(int n, const std::vector<std::string>& faults = {}) {
    sim::UsbCameraConfig c;
    c.name = (n < 10 ? "cam0" : "cam") + std::to_string(n);
    c.model.identity = sim::CameraModel::DefaultIdentity(n);
    for (const std::string& text : faults) {
        sim::Fault f;
        std::string error;
        if (sim::ParseFault(text, &f, &error) != 0) {
            ADD_FAILURE() << "fault '" << text << "': " << error;
            continue;
        }
        c.faults.push_back(f);
    }
    return c;
}

// The transport over the simulator's folder `dir`, with no settle wait after opening a device
// and no retry pause after a failed identity query, and only the built-in vendor id.
inline std::unique_ptr<transport::CUSBDevice> OpenSimulatedUsb(const std::string& dir) {
    auto usb = std::make_unique<transport::CUSBDevice>(std::make_unique<transport::SimHidBackend>(dir));
    transport::CUSBDevice::Timing t = usb->GetTiming();
    t.settleAfterOpen = std::chrono::milliseconds(0);
    t.retryAfterFailedInfo = std::chrono::milliseconds(0);
    usb->SetTiming(t);
    usb->SetVendorFilter(0, nullptr);
    return usb;
}

}  // namespace velmora::testsim
