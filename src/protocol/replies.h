#pragma once

#include <cstdint>

#include "protocol/device_info.h"
#include "protocol/video_param.h"

namespace velmora::protocol {

// Parsers of the camera's JSON replies. Each takes the reply text, NUL-terminated (the reply
// buffers are zero-filled and always keep a terminator), and never writes through its output
// unless it succeeds. Member names are matched case-insensitively. Pure functions; thread-safe.
//
// Common reply check: the reply is an object whose Content object holds nResult; a negative
// nResult is the camera's refusal and is returned unchanged.

// Result codes of the parsers (the transports' own codes are listed with them).
inline constexpr int kReplyNotParsed = -310;   // the text is not a JSON object
inline constexpr int kReplyIncomplete = -311;  // Content, nResult or a required member missing
inline constexpr int kFocusNearUnusable = -10; // focus-near reply without a usable FocusNear
inline constexpr int kReplyMissingMember = -1; // frame-rate / VO-mode reply lacks a member

// Read-parameters reply: Content.nResult, then every member of Content.VideoParam stored at its
// offset (both eSceneMode copies from the one member). uAwbTolerance and ucCamCorrection are
// optional: missing, their bytes keep their value. Returns 0, the negative nResult,
// kReplyNotParsed or kReplyIncomplete; on any failure `rec` is left exactly as it was.
// Member values must be numbers (true/false count as 1/0); any other type counts as missing.
// The network host treats kReplyNotParsed as the transport layer decides (see docs/protocol.md).
int ParseVideoParamsReply(const char* text, VideoParam& rec);

// Reply to a set (one field or the whole record) or to restore defaults. These replies used to
// go unread, so a camera's refusal carried only in nResult passed for success. Returns
// `transportResult` when it is negative, when the text is empty or when it carries no nResult;
// kReplyNotParsed when the text is not empty and not a JSON object; otherwise the negative
// nResult, or `transportResult` when nResult is 0 or more.
int SetReplyResult(const char* text, int transportResult);

// Focus-near reply: Content.FocusNear (nResult is not consulted), or kFocusNearUnusable when the
// text does not parse or lacks Content or FocusNear.
int ParseFocusNear(const char* text);

// Stream-parameter reply (USB): Content.CodeParam.stMainStreamParam.dwFps / 1000, truncated
// (29970 gives 29); 0 when the text does not parse; -1 when Content or nResult is missing; the
// negative nResult; -1 when CodeParam, stMainStreamParam or dwFps is missing. A negative dwFps
// gives 0 (no usable frame rate) so it cannot be mistaken for a failure code.
int ParseFrameRateReply(const char* text);

// Video-output-mode reply (network): the frame rate from Content.VOMode.Name, the leading
// number after the letter P ("1080P25" 25, "720P30" 30, "1080P" 0; consecutive P letters are
// one separator, a leading P is skipped). 0 when the text does not parse; the negative nResult;
// -1 when Content, nResult, VOMode or Name is missing.
int ParseVoModeReply(const char* text);

// Frame-rate part of a VOMode name, as ParseVoModeReply reads it (exposed for tests and tools).
int FrameRateFromVoModeName(const char* name);

}  // namespace velmora::protocol
