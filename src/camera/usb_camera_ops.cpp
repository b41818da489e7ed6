#include "camera/usb_camera_ops.h"

#include <cstring>
#include <string>
#include <vector>

#include "platform/user_messages.h"
#include "platform/zeb_log.h"
#include "protocol/replies.h"
#include "protocol/requests.h"

namespace velmora::usb {
namespace {

int TextLength(const std::string& text) { return static_cast<int>(text.size()) + 1; }

// A request whose reply is not examined: set, restore defaults. A failure is shown to the user.
int SendWithoutReply(CUSBDevice& dev, int32_t handle, uint32_t cmd, const std::string& text) {
    int r = dev.Transfer(handle, cmd, text.c_str(), TextLength(text), nullptr, 0, nullptr, kUsbRequestTimeoutSec);
    if (r < 0) Messages().Information(Format("返回错误码: %d", r));
    return r;
}

// A request with a zero-filled reply buffer of `size` bytes; the buffer keeps a terminator.
int SendWithReply(CUSBDevice& dev, int32_t handle, uint32_t cmd, const char* text, std::vector<char>& reply) {
    std::fill(reply.begin(), reply.end(), 0);
    int received = 0;
    return dev.Transfer(handle, cmd, text, static_cast<int>(std::strlen(text)) + 1, reply.data(),
                        static_cast<int>(reply.size()), &received, kUsbRequestTimeoutSec);
}

}  // namespace

int ReadVideoParams(CUSBDevice& dev, int32_t handle, VideoParam& rec) {
    std::vector<char> reply(kUsbVideoParamReplySize);
    int r = SendWithReply(dev, handle, kHidCmdGetVideoParam, kReqGetVideoParamUsb, reply);
    if (r != 0) return r;
    return ParseVideoParamsReply(reply.data(), rec);
}

int SetVideoParamField(CUSBDevice& dev, int32_t handle, const char* fieldText) {
    return SendWithoutReply(dev, handle, kHidCmdSetVideoParam, BuildSetFieldRequest(fieldText ? fieldText : ""));
}

int WriteVideoParams(CUSBDevice& dev, int32_t handle, const VideoParam& rec) {
    const std::string text = BuildWriteVideoParamsRequest(rec);
    if (text.empty()) {  // an empty text must not reach the camera and pass for an import
        Messages().Information(Format("返回错误码: %d", kRequestNotBuilt));
        return kRequestNotBuilt;
    }
    return SendWithoutReply(dev, handle, kHidCmdSetVideoParam, text);
}

int GetFocusNear(CUSBDevice& dev, int32_t handle) {
    std::vector<char> reply(kUsbFocusNearReplySize);
    int r = SendWithReply(dev, handle, kHidCmdJson, kReqGetFocusNear, reply);
    if (r < 0) {
        Messages().Information(Format("返回错误码: %d", r));
        return r;
    }
    return ParseFocusNear(reply.data());
}

int RestoreDefaults(CUSBDevice& dev, int32_t handle) {
    return SendWithoutReply(dev, handle, kHidCmdSetDefault, kReqSetDefaultParam);
}

int GetVideoFrameRate(CUSBDevice& dev, int32_t handle) {
    std::vector<char> reply(kUsbCodeParamReplySize);
    SendWithReply(dev, handle, kHidCmdJson, kReqGetCodeParam, reply);
    AppLog().Log(3, nullptr, " (F=%s L=%d) %s\n", "CUSBDevice::GetVideoFrameRate", 537, reply.data());
    int fps = ParseFrameRateReply(reply.data());
    AppLog().Log(3, nullptr, " (F=%s L=%d) framerate: %d\n", "CUSBDevice::GetVideoFrameRate", 572, fps);
    return fps;
}

int ReadAbilityList(CUSBDevice& dev, int32_t handle, AbilityList& list) {
    if (handle < 0) return -1;
    std::vector<char> reply(kUsbAbilityReplySize);
    int r = SendWithReply(dev, handle, kHidCmdJson, kReqGetAbilityLevel, reply);
    if (r < 0) return -1;
    return ParseAbilityListReply(reply.data(), AbilityShape::Usb, r, list);
}

}  // namespace velmora::usb
