#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "protocol/video_param.h"

namespace velmora::protocol {

// Request texts, command ids, reply buffer sizes and request builders shared by the network and
// the USB transport. Every text is sent with its terminating zero byte (length = size + 1).
// Pure functions; thread-safe.

// ---- Request texts, byte for byte ----
inline constexpr const char kReqGetVOMode[] = "{\"Cmd\":\"ReqGetVOMode\",\"Content\":{}}";
inline constexpr const char kReqGetAbilityLevel[] =
    "{\"Cmd\":\"ReqGetAbilityLevel\",\"Content\":{\"Module\":\"Image\"}}";
// The two transports read the parameters with different texts: the USB one has a blank after
// each colon and comma and no Content.
inline constexpr const char kReqGetVideoParamNet[] =
    "{\"Cmd\":\"ReqGetVideoParam\",\"wCmdId\":40001089,\"Content\":{}}";
inline constexpr const char kReqGetVideoParamUsb[] = "{\"Cmd\": \"ReqGetVideoParam\", \"wCmdId\": 40001089}";
// printf template: %s is one "\"member\":value" text.
inline constexpr const char kReqSetVideoParamFieldTemplate[] =
    "{\"Cmd\":\"ReqSetVideoParam\",\"wCmdId\":40001090,\"Content\":{\"ChanNum\":0,\"VideoParam\":{%s}}}";
inline constexpr const char kReqGetFocusNear[] = "{\"Cmd\":\"ReqGetFocusNear\",\"Content\":{}}";
inline constexpr const char kReqSetDefaultParam[] =
    "{\"Cmd\":\"ReqSetDefaultParam\",\"wCmdId\":40001093,\"Content\":{\"ChanNum\":0,\"eDefaultParamCfg\":1}}";
inline constexpr const char kReqGetCodeParam[] = "{\"Cmd\":\"ReqGetCodeParam\",\"wCmdId\":40001091,\"Content\":{}}";
// Pan/tilt and preset templates (printf). ParamH and ParamV are always 4; the preset template's
// blanks are part of it.
inline constexpr const char kReqPtzCtrlTemplate[] =
    "{\"Cmd\":\"ReqPtzCtrl\",\"Content\":{\"PtzCmd\":\"%s\",\"ParamH\":%d,\"ParamV\":%d}}";
inline constexpr const char kReqPresetCtrlTemplate[] =
    "{\"Cmd\": \"ReqPresetCtrl\",\"Content\" : {\"PresetCmd\": \"%s\",\"PresetID\" : %d,\"PresetName\" : \"Preset%d\"}}";
inline constexpr int kPtzParamHV = 4;

// PtzCmd and PresetCmd values.
inline constexpr const char kPtzZoomWide[] = "ZoomWide";
inline constexpr const char kPtzZoomTele[] = "ZoomTele";
inline constexpr const char kPtzFocusNear[] = "FocusNear";
inline constexpr const char kPtzFocusFar[] = "FocusFar";
inline constexpr const char kPtzStop[] = "Stop";
inline constexpr const char kPtzZoomStop[] = "ZoomStop";
inline constexpr const char kPtzFocusStop[] = "FocusStop";
inline constexpr const char kPresetSet[] = "Set";
inline constexpr const char kPresetCall[] = "Call";
inline constexpr const char kPresetDel[] = "Del";

// ---- wCmdId values inside the request texts ----
inline constexpr int32_t kCmdIdGetVideoParam = 40001089;
inline constexpr int32_t kCmdIdSetVideoParam = 40001090;
inline constexpr int32_t kCmdIdGetCodeParam = 40001091;
inline constexpr int32_t kCmdIdSetDefaultParam = 40001093;

// ---- HID command ids (USB framing) ----
inline constexpr uint32_t kHidCmdDeviceInfo = 40001117;      // no data
inline constexpr uint32_t kHidCmdJson = 40001119;            // ability list, focus near, stream parameters
inline constexpr uint32_t kHidCmdGetVideoParam = 40001089;   // read parameters
inline constexpr uint32_t kHidCmdSetVideoParam = 40001090;   // set one field / whole record
inline constexpr uint32_t kHidCmdSetDefault = 40001093;      // restore defaults
inline constexpr uint32_t kHidCmdPtz = 40001006;             // pan/tilt and preset commands
inline constexpr uint32_t kHidCmdUpgradeRequest = 30001008;  // firmware package announcement
inline constexpr uint32_t kHidCmdUpgradeData = 3004;         // firmware block, up to 1 MiB
inline constexpr uint32_t kHidCmdUpgradeProgress = 40001207; // progress query, no data
inline constexpr uint32_t kHidCmdReboot = 40001086;          // reboot, no data

// ---- Time-outs of the USB request phase, seconds ----
inline constexpr int kUsbRequestTimeoutSec = 5;
inline constexpr int kUsbUpgradeDataTimeoutSec = 20;
inline constexpr size_t kUsbUpgradeDataMaxBlock = 1048576;

// ---- Reply buffers ----
// Network: the capacity handed to the SDK is the buffer size minus kNetReplyReserve, so the
// reply always ends in a zero byte.
inline constexpr size_t kNetReplyReserve = 2;
inline constexpr size_t kNetVoModeReplySize = 2048;
inline constexpr size_t kNetAbilityReplySize = 8192;  // a received length of 8192 or more is refused
inline constexpr size_t kNetVideoParamReplySize = 3072;
inline constexpr size_t kNetSetFieldReplySize = 1024;
inline constexpr size_t kNetSetRecordReplySize = 1024;
inline constexpr size_t kNetFocusNearReplySize = 512;
inline constexpr size_t kNetRestoreReplySize = 1024;
inline constexpr size_t kNetPtzReplySize = 512;  // capacity 510
// USB: the capacity is the whole buffer (the transfer keeps one byte for the terminator). PTZ
// and reboot requests pass no reply buffer.
// Velmora reads the reply of a set or a restore-defaults request only for a refusal in nResult.
// A reply that does not fit its buffer fails the exchange (-307) even when the camera took the
// change, so the buffer is far larger than the few dozen bytes such a reply holds.
inline constexpr size_t kUsbSetReplySize = 8192;
inline constexpr size_t kUsbAbilityReplySize = 3072;
inline constexpr size_t kUsbVideoParamReplySize = 3072;
inline constexpr size_t kUsbFocusNearReplySize = 512;
inline constexpr size_t kUsbCodeParamReplySize = 2048;
inline constexpr size_t kUsbDeviceInfoReplySize = 1024;
inline constexpr size_t kUsbUpgradeReplySize = 1024;

// Buffers the requests are formatted into (results are cut to size - 1 bytes).
inline constexpr size_t kSetFieldRequestBufferSize = 1024;
inline constexpr size_t kPtzRequestBufferSize = 512;

// A request text could not be built (the JSON printer ran out of memory); nothing was sent.
inline constexpr int kRequestNotBuilt = -312;

// ---- Builders ----

// "\"member\":value", no blanks, value in signed decimal (the set-one-field argument).
std::string FormatFieldText(const char* member, int value);

// The set-one-field request that gives `field` the value `value`: every front end's one way to
// change a member (BuildSetFieldRequest(FormatFieldText(field.member, value))).
std::string BuildSetFieldRequest(const VideoParamField& field, int32_t value);

// The set-one-field request around `fieldText`. Formatted into a 1024-byte buffer like the
// camera firmware expects; a field text long enough to overflow it is cut so that the whole
// request is at most 1023 bytes (such a request is no longer valid JSON and the camera refuses
// it; real field texts are a few dozen bytes).
std::string BuildSetFieldRequest(std::string_view fieldText);

// The whole-record set request: Cmd, wCmdId, Content {ChanNum 0, VideoParam {45 members}}
// printed by cJSON's formatted printer (tabs, one member per line). ucAEWeightLevel and the
// 7167 scene-mode copy are not carried; eSceneMode is taken from 6146. Empty on allocation
// failure.
std::string BuildWriteVideoParamsRequest(const VideoParam& rec);

// ReqPtzCtrl with `cmd` (ZoomWide, Stop, ...), ParamH 4, ParamV 4; cut to 511 bytes.
std::string BuildPtzRequest(const char* cmd);
// ReqPresetCtrl with `cmd` (Set, Call, Del), PresetID `id` and PresetName "Preset<id>"; cut to
// 511 bytes.
std::string BuildPresetRequest(const char* cmd, int id);

}  // namespace velmora::protocol
