#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

#include "camera/camera.h"
#include "transport/usb/cusb_device.h"

namespace velmora::camera {

// A USB camera: an open handle of a CUSBDevice, which the caller owns. Each operation is one
// Transfer with the request text and HID command id of the protocol layer, parsed by the
// protocol layer's reply parsers. Where the USB variant differs from the network one (codes,
// messages) it is said here.
class UsbCamera final : public Camera {
public:
    UsbCamera(transport::CUSBDevice& dev, int32_t handle) : dev_(dev), handle_(handle) {}

    bool IsNetwork() const override { return false; }
    int32_t handle() const { return handle_; }
    // Points the object at another handle of its device list: the camera directory re-binds a
    // camera found again after a refresh, and binds 0 (no camera: every exchange gives -304)
    // to one that has gone. An exchange already running keeps the handle it started with.
    void Rebind(int32_t handle) { handle_ = handle; }
    // The identity the camera last told (serial, model, name, BIOS version, build date; the
    // handle field is not used). The camera directory keeps it here whenever it reads or lists
    // the camera, so it stays known while the camera is away; empty before it was ever read.
    transport::UsbDeviceEntry Identity() const;
    // Keeps `entry`'s identity texts; an entry without any (a camera opened but not asked who it
    // is) leaves the known identity as it was.
    void KeepIdentity(const transport::UsbDeviceEntry& entry);

    // 0; a non-zero transfer result unchanged, without a message; -310 for a reply that is not
    // JSON; the camera's negative nResult; -311 when the reply lacks a member the record needs.
    int ReadVideoParams(protocol::VideoParam& rec) override;
    int SetField(const protocol::VideoParamField& field, int32_t value) override;
    int WriteVideoParams(const protocol::VideoParam& rec) override;
    int RestoreDefaults() override;
    int GetFocusNear() override;
    // The transfer result is not examined: a reply that does not parse (a failed exchange usually
    // leaves it empty) gives 0. Logs the reply and the result at level 3.
    int GetFrameRate() override;
    // -1 for a negative handle or a failed exchange; otherwise as ParseAbilityListReply.
    int ReadAbilityList(protocol::AbilityList& list) override;
    bool LabelsAreCp936() const override { return false; }
    // DeviceName, ProductModel, Serial, BiosVersion, BuildDate (command 40001117).
    int ReadIdentity(CameraIdentity& out) override;
    // Each text is HID command 40001006, no reply buffer, 5 s; a negative handle sends nothing.
    int SendPtzTexts(const std::vector<std::string>& texts) override;

private:
    // Sends a NUL-terminated request text into `reply`, zero-filled first (it keeps a
    // terminator). Returns the transfer's result.
    int Exchange(uint32_t cmd, const char* text, std::vector<char>& reply);
    // A set or restore-defaults request: the result is the transfer's status, or a negative
    // nResult in the reply; a failure is shown as "返回错误码: %d".
    int SendSet(uint32_t cmd, const std::string& text);

    transport::CUSBDevice& dev_;
    std::atomic<int32_t> handle_;
    mutable std::mutex identityMu_;  // guards identity_
    transport::UsbDeviceEntry identity_{};
};

}  // namespace velmora::camera
