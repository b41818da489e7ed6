#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "transport/usb/cusb_device.h"

// The four device commands of a firmware upgrade over USB, each one Transfer: announce a package,
// send a piece of it, ask how far the camera is, reboot. Results are those of Transfer: negative
// on failure (a transport code or the camera's negative status), zero or more on success.
// Thread-safe as CUSBDevice is; each call uses only its own buffers.
namespace velmora::upgrade {

inline constexpr uint32_t kCmdUpgradeRequest = 30001008;
inline constexpr uint32_t kCmdUpgradeData = 3004;
inline constexpr uint32_t kCmdUpgradeProgress = 40001207;
inline constexpr uint32_t kCmdReboot = 40001086;

inline constexpr int kUpgradeReplyBytes = 1024;
inline constexpr int kUpgradeRequestTimeoutSec = 5;
inline constexpr int kUpgradeDataTimeoutSec = 20;
inline constexpr int kUpgradeProgressTimeoutSec = 5;
inline constexpr int kRebootTimeoutSec = 5;

// cJSON_Print of {"FileType": 2, "FileSize": fileSize}.
std::string UpgradeRequestText(uint32_t fileSize);

// The two members of a data or progress reply, looked up by case-insensitive name at the top
// level; numbers truncated toward zero (and saturated) to 32 bits. `json` is false when the text
// is not a JSON object; a member that is missing or not a number leaves its `has` flag false.
// `result` is Content.nResult, a refusal carried in the body as the sets carry it.
struct UpgradeReply {
    bool json = false;
    bool hasStatus = false;
    int32_t status = 0;
    bool hasProgress = false;
    int32_t progress = 0;
    bool hasResult = false;
    int32_t result = 0;
};
UpgradeReply ParseUpgradeReply(const char* text);

// UpgradeRequest: the request text with its zero byte; the reply is not examined.
int SendUpgradeRequest(transport::CUSBDevice& usb, int32_t handle, uint32_t fileSize);
// UpgradeData: `length` bytes (at most kUpgradeChunkBytes); the reply text lands in `reply`.
int SendUpgradeData(transport::CUSBDevice& usb, int32_t handle, const uint8_t* data, size_t length, std::string& reply);
// UpgradeProgress: no data; the reply text lands in `reply`.
int QueryUpgradeProgress(transport::CUSBDevice& usb, int32_t handle, std::string& reply);
// Reboot: no data, no reply buffer.
int SendReboot(transport::CUSBDevice& usb, int32_t handle);

}  // namespace velmora::upgrade
