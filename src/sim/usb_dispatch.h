#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sim/camera_model.h"

namespace velmora::sim {

// HID command ids a USB camera answers.
inline constexpr uint32_t kCmdDeviceInfo = 40001117;
inline constexpr uint32_t kCmdQuery = 40001119;  // ability list, focus near, stream parameters
inline constexpr uint32_t kCmdGetParams = 40001089;
inline constexpr uint32_t kCmdSetParams = 40001090;
inline constexpr uint32_t kCmdDefaults = 40001093;
inline constexpr uint32_t kCmdPtz = 40001006;
inline constexpr uint32_t kCmdUpgradeAnnounce = 30001008;
inline constexpr uint32_t kCmdUpgradeData = 3004;
inline constexpr uint32_t kCmdUpgradeProgress = 40001207;
inline constexpr uint32_t kCmdReboot = 40001086;

struct UsbReply {
    int32_t status = 0;   // status word of the reply reports
    std::string body;     // reply payload (JSON text, sent without a terminating zero)
    bool reboot = false;  // the camera restarts once the reply is out
};

// Answers one reassembled USB request. JSON requests must name a Cmd that belongs to the HID
// command id (ReqGetVideoParam only on 40001089, ...); a mismatch is refused with
// kErrWrongCommandId so that a host sending a request on the wrong command id notices.
// Thread-safe as far as the model is.
UsbReply HandleUsbCommand(CameraModel& model, uint32_t command, const std::vector<uint8_t>& payload);

// The reply text of a request that was not carried out: {"Content":{"nResult":code}}.
std::string ResultText(int32_t code);

}  // namespace velmora::sim
