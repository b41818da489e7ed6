#include "cli/usb_target.h"

#include "camera/usb_camera_ops.h"

namespace velmora::cli {

std::unique_ptr<CUSBDevice> OpenUsbCameras(const std::vector<uint16_t>& vids) {
    auto dev = std::make_unique<CUSBDevice>();
    dev->SetVendorFilter(static_cast<int>(vids.size()), vids.data());
    dev->RefreshDevices();
    return dev;
}

int UsbTarget::Open(std::string& what) {
    UsbDeviceEntry entry{};
    if (!dev_->GetDevice(index_ - 1, entry)) {
        int count = dev_->GetDeviceCount();
        what = count == 0 ? "no USB camera found"
                          : "there is no USB camera " + std::to_string(index_) + " (found " + std::to_string(count) + ")";
        return -304;
    }
    handle_ = entry.handle;
    return 0;
}

int UsbTarget::Info(std::vector<std::pair<std::string, std::string>>& out) {
    UsbDeviceInfo info{};
    int r = dev_->GetDeviceInfo(handle_, info);
    if (r != 0) return r;
    out = {{"DeviceName", info.DeviceName},
           {"ProductModel", info.ProductModel},
           {"Serial", info.Serial},
           {"BiosVersion", info.BiosVersion},
           {"BuildDate", info.BuildDate}};
    return 0;
}

int UsbTarget::ReadVideoParams(VideoParam& rec) { return usb::ReadVideoParams(*dev_, handle_, rec); }
int UsbTarget::SetVideoParamField(const std::string& t) { return usb::SetVideoParamField(*dev_, handle_, t.c_str()); }
int UsbTarget::WriteVideoParams(const VideoParam& rec) { return usb::WriteVideoParams(*dev_, handle_, rec); }
int UsbTarget::RestoreDefaults() { return usb::RestoreDefaults(*dev_, handle_); }
int UsbTarget::ReadAbilityList(AbilityList& list) { return usb::ReadAbilityList(*dev_, handle_, list); }
int UsbTarget::GetFocusNear() { return usb::GetFocusNear(*dev_, handle_); }
int UsbTarget::GetFrameRate() { return usb::GetVideoFrameRate(*dev_, handle_); }

}  // namespace velmora::cli
