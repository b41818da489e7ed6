#pragma once

#include <cstdint>

#include "protocol/ability_list.h"
#include "protocol/video_param.h"
#include "transport/usb/cusb_device.h"

// The JSON camera operations over USB: each is one CUSBDevice::Transfer with the request text of
// the protocol layer and its HID command id, and the protocol layer's reply parser. The network
// variants (net_camera_ops.h) send the same texts through the network session and parse with the
// same code; where the two differ (messages, codes) it is said at each function.
// Synchronous: the calling thread waits for the reply or the transport's time-out. Thread-safe
// as far as CUSBDevice is (one exchange per device at a time).
namespace velmora::usb {

// Reads the whole parameter record. 0 on success; a non-zero transfer result unchanged (no
// message); -310 for a reply that is not JSON; the camera's negative nResult; -311 when the reply
// lacks a member the record needs. `rec` is only written on success.
int ReadVideoParams(CUSBDevice& dev, int32_t handle, VideoParam& rec);

// Sends the set-one-field request around `fieldText` ("\"Luminance\":50"). No reply buffer: the
// result is the transfer's (the status of the camera's reply). A negative result is also shown as
// "返回错误码: %d".
int SetVideoParamField(CUSBDevice& dev, int32_t handle, const char* fieldText);

// Sends the whole record (45 members, formatted JSON). Result and message as SetVideoParamField.
int WriteVideoParams(CUSBDevice& dev, int32_t handle, const VideoParam& rec);

// The near focus limit, or -10 for an unusable reply; a negative transfer result is shown as
// "返回错误码: %d" and returned.
int GetFocusNear(CUSBDevice& dev, int32_t handle);

// Restores the factory defaults; result and message as SetVideoParamField. The caller reads the
// parameters again afterwards.
int RestoreDefaults(CUSBDevice& dev, int32_t handle);

// The main stream's frame rate in whole frames per second. The transfer result is not examined:
// a failed exchange leaves the reply empty, which does not parse and gives 0. Logs the reply and
// the result at level 3.
int GetVideoFrameRate(CUSBDevice& dev, int32_t handle);

// Rebuilds `list` from the camera's ability list (choices under zh.Options, labels as sent).
// -1 for a negative handle or a failed exchange; otherwise as ParseAbilityListReply: the
// exchange's result, a negative nResult, or -311; the old list stays on every failure.
int ReadAbilityList(CUSBDevice& dev, int32_t handle, AbilityList& list);

}  // namespace velmora::usb
