#pragma once

#include "protocol/ability_list.h"
#include "protocol/video_param.h"

// The JSON camera operations on a network camera: the same request texts and reply parsers as
// the USB operations (usb_camera_ops.h), sent through the network session's text channel
// ORVEX_SendRobotText. Each request owns a zero-filled reply buffer; the capacity handed to the
// session is the buffer size minus 2, so the reply always ends in a zero byte.
// Synchronous: the calling thread waits for the reply or the session's time-out. Thread-safe.
namespace velmora::net {

// The frame rate from the camera's video output mode ("1080P25" gives 25); 0 when the reply does
// not parse or names no rate. A negative session shows "无效的设备句柄!" and gives -1; a failed
// exchange returns the session's code without a message.
int ReadVoMode(int session);

// Reads the whole parameter record. 0 on success. A negative session shows "无效的设备句柄!"
// and gives -1; a failed exchange shows "返回错误码: %d" with the session's code and gives -1; a
// reply that is not JSON gives -310 and a reply that lacks a member -311; the camera's negative
// nResult is returned. `rec` is only written on success.
int ReadVideoParams(int session, VideoParam& rec);

// Set one field, set the whole record, restore defaults: the reply is not examined; the result is
// the session's. A failure is shown as "返回错误码: %d" and returned. The session is not checked
// here: the network layer refuses an invalid one.
int SetVideoParamField(int session, const char* fieldText);
int WriteVideoParams(int session, const VideoParam& rec);
int RestoreDefaults(int session);

// The near focus limit, or -10 for an unusable reply; a failure is shown and returned.
int GetFocusNear(int session);

// Rebuilds `list` from the camera's ability list (choices under zh.Value.Options, labels
// converted to CP936 and left empty above 30 bytes). A negative session shows
// "无效的设备句柄!" and gives -1; a failed exchange, or a reply of 8192 bytes or more, gives -1;
// otherwise as ParseAbilityListReply. The reply goes into one 8192-byte buffer kept for the whole
// run, so ability-list reads are serialised.
int ReadAbilityList(int session, AbilityList& list);

}  // namespace velmora::net
