#include "sim/usb_dispatch.h"

#include <cjson/cJSON.h>

#include <cstring>
#include <string_view>

#include "sim/json_ptr.h"

namespace velmora::sim {
namespace {

// The Cmd member of a request text, or "" when the text is not a JSON object with a string Cmd.
std::string PeekCmd(std::string_view text) {
    const JsonPtr root = ParseJsonObject(text);
    const cJSON* item = root ? cJSON_GetObjectItem(root.get(), "Cmd") : nullptr;
    return cJSON_IsString(item) ? item->valuestring : "";
}

bool CmdBelongsTo(uint32_t command, const std::string& cmd) {
    switch (command) {
    case kCmdQuery:
        return cmd == "ReqGetAbilityLevel" || cmd == "ReqGetFocusNear" || cmd == "ReqGetCodeParam";
    case kCmdGetParams:
        return cmd == "ReqGetVideoParam";
    case kCmdSetParams:
        return cmd == "ReqSetVideoParam";
    case kCmdDefaults:
        return cmd == "ReqSetDefaultParam";
    case kCmdPtz:
        return cmd == "ReqPtzCtrl" || cmd == "ReqPresetCtrl";
    default:
        return false;
    }
}

}  // namespace

std::string ResultText(int32_t code) { return "{\"Content\":{\"nResult\":" + std::to_string(code) + "}}"; }

UsbReply HandleUsbCommand(CameraModel& model, uint32_t command, const std::vector<uint8_t>& payload) {
    UsbReply reply;
    const std::string_view text(reinterpret_cast<const char*>(payload.data()), payload.size());
    switch (command) {
    case kCmdDeviceInfo:
        reply.body = model.DeviceInfoJson();
        break;
    case kCmdQuery:
    case kCmdGetParams:
    case kCmdSetParams:
    case kCmdDefaults:
    case kCmdPtz: {
        const std::string cmd = PeekCmd(text);
        if (cmd.empty()) {
            reply.status = kErrBadRequest;
            reply.body = ResultText(reply.status);
        } else if (!CmdBelongsTo(command, cmd)) {
            reply.status = kErrWrongCommandId;
            reply.body = ResultText(reply.status);
        } else {
            reply.body = model.HandleJson(text, Shape::Usb, &reply.status);
        }
        break;
    }
    case kCmdUpgradeAnnounce:
        reply.body = model.UpgradeAnnounce(text, &reply.status);
        break;
    case kCmdUpgradeData:
        reply.body = model.UpgradeData(payload.data(), payload.size(), &reply.status);
        break;
    case kCmdUpgradeProgress:
        reply.body = model.UpgradeProgress(&reply.status);
        break;
    case kCmdReboot:
        reply.reboot = true;
        break;
    default:
        reply.status = kErrUnknownCommand;
        break;
    }
    return reply;
}

}  // namespace velmora::sim
