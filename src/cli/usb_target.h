#pragma once

#include <memory>
#include <vector>

#include "cli/camera_target.h"
#include "transport/usb/cusb_device.h"

namespace velmora::cli {

// Searches the USB cameras with the built-in and the given vendor ids; fills `devices` in the
// transport's order. Returns the CUSBDevice that holds them open.
std::unique_ptr<CUSBDevice> OpenUsbCameras(const std::vector<uint16_t>& vids);

// USB camera number `index` (from 1) of an opened CUSBDevice. Thread-bound.
class UsbTarget final : public CameraTarget {
public:
    UsbTarget(std::unique_ptr<CUSBDevice> dev, int index) : dev_(std::move(dev)), index_(index) {}

    int Open(std::string& what) override;
    int Info(std::vector<std::pair<std::string, std::string>>& out) override;
    int ReadVideoParams(VideoParam& rec) override;
    int SetVideoParamField(const std::string& fieldText) override;
    int WriteVideoParams(const VideoParam& rec) override;
    int RestoreDefaults() override;
    int ReadAbilityList(AbilityList& list) override;
    int GetFocusNear() override;
    int GetFrameRate() override;
    bool LabelsAreCp936() const override { return false; }

private:
    std::unique_ptr<CUSBDevice> dev_;
    int index_;
    int32_t handle_ = kInvalidUsbHandle;
};

}  // namespace velmora::cli
