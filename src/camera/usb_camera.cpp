#include "camera/usb_camera.h"

#include <cstring>
#include <string>
#include <vector>

#include "platform/zeb_log.h"
#include "protocol/replies.h"
#include "protocol/requests.h"

namespace velmora::camera {

int UsbCamera::Exchange(uint32_t cmd, const char* text, std::vector<char>& reply) {
    std::fill(reply.begin(), reply.end(), 0);
    int received = 0;
    const int r = dev_.Transfer(handle_, cmd, text, static_cast<int>(std::strlen(text)) + 1, reply.data(),
                                static_cast<int>(reply.size()), &received, protocol::kUsbRequestTimeoutSec);
    lastExchange_ = r;
    return r;
}

int UsbCamera::SendSet(uint32_t cmd, const std::string& text) {
    // The reply is read only for a refusal in nResult; the data a set sends stays as it was.
    std::vector<char> reply(protocol::kUsbSetReplySize);
    const int sent = Exchange(cmd, text.c_str(), reply);
    return ShowFailure(protocol::SetReplyResult(reply.data(), sent));
}

int UsbCamera::ReadVideoParams(protocol::VideoParam& rec) {
    std::vector<char> reply(protocol::kUsbVideoParamReplySize);
    int r = Exchange(protocol::kHidCmdGetVideoParam, protocol::kReqGetVideoParamUsb, reply);
    if (r != 0) return r;
    return ParseVideoParamsReply(reply.data(), rec);
}

int UsbCamera::SetField(const protocol::VideoParamField& field, int32_t value) {
    return SendSet(protocol::kHidCmdSetVideoParam, protocol::BuildSetFieldRequest(field, value));
}

int UsbCamera::WriteVideoParams(const protocol::VideoParam& rec) {
    std::string text;
    if (int r = WholeRecordText(rec, text)) return r;
    return SendSet(protocol::kHidCmdSetVideoParam, text);
}

int UsbCamera::RestoreDefaults() { return SendSet(protocol::kHidCmdSetDefault, protocol::kReqSetDefaultParam); }

int UsbCamera::GetFocusNear() {
    std::vector<char> reply(protocol::kUsbFocusNearReplySize);
    int r = Exchange(protocol::kHidCmdJson, protocol::kReqGetFocusNear, reply);
    if (r < 0) return ShowFailure(r);
    return protocol::ParseFocusNear(reply.data());
}

int UsbCamera::GetFrameRate() {
    std::vector<char> reply(protocol::kUsbCodeParamReplySize);
    Exchange(protocol::kHidCmdJson, protocol::kReqGetCodeParam, reply);
    platform::LogLine(3, {"CUSBDevice::GetVideoFrameRate", 537}, "%s\n", reply.data());
    int fps = protocol::ParseFrameRateReply(reply.data());
    platform::LogLine(3, {"CUSBDevice::GetVideoFrameRate", 572}, "framerate: %d\n", fps);
    return fps;
}

int UsbCamera::ReadAbilityList(protocol::AbilityList& list) {
    if (handle_ < 0) return -1;
    std::vector<char> reply(protocol::kUsbAbilityReplySize);
    int r = Exchange(protocol::kHidCmdJson, protocol::kReqGetAbilityLevel, reply);
    if (r < 0) return -1;
    return ParseAbilityListReply(reply.data(), protocol::AbilityShape::Usb, r, list);
}

int UsbCamera::ReadIdentity(CameraIdentity& out) {
    protocol::UsbDeviceInfo info{};
    int r = lastExchange_ = dev_.GetDeviceInfo(handle_, info);
    if (r != 0) return r;
    out = {{"DeviceName", info.DeviceName},
           {"ProductModel", info.ProductModel},
           {"Serial", info.Serial},
           {"BiosVersion", info.BiosVersion},
           {"BuildDate", info.BuildDate}};
    return 0;
}

int UsbCamera::SendPtzTexts(const std::vector<std::string>& texts) {
    if (handle_ < 0) return 0;
    return SendEach(texts, [&](const std::string& text) {
        const int r = dev_.Transfer(handle_, protocol::kHidCmdPtz, text.c_str(), static_cast<int>(text.size()) + 1,
                                    nullptr, 0, nullptr, protocol::kUsbRequestTimeoutSec);
        lastExchange_ = r;
        return r;
    });
}

transport::UsbDeviceEntry UsbCamera::Identity() const {
    std::lock_guard lock(identityMu_);
    return identity_;
}

void UsbCamera::KeepIdentity(const transport::UsbDeviceEntry& entry) {
    if (entry.serial[0] == '\0' && entry.name[0] == '\0' && entry.productModel[0] == '\0' &&
        entry.displayName[0] == '\0')
        return;
    std::lock_guard lock(identityMu_);
    identity_ = entry;
    identity_.handle = 0;
}

}  // namespace velmora::camera
