#include "camera/net_camera_ops.h"

#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "transport/net/orvex_sdk.h"
#include "platform/user_messages.h"
#include "protocol/replies.h"
#include "protocol/requests.h"

namespace velmora::net {
namespace {

constexpr const char kInvalidHandleText[] = "无效的设备句柄!";

// Sends `text` with its terminating zero into a fresh zero-filled buffer of `size` bytes whose
// capacity is size - 2. Returns the session's result; `received` gets the reply length.
int Send(int session, const std::string& text, std::vector<char>& reply, size_t size, int* received = nullptr) {
    reply.assign(size, 0);
    int capacity = static_cast<int>(size - kNetReplyReserve);
    int r = ORVEX_SendRobotText(session, text.c_str(), static_cast<int>(text.size()) + 1, reply.data(), &capacity);
    if (received) *received = capacity;
    return r;
}

// A request whose reply is not examined; a failure is shown with its code.
int SendAndReport(int session, const std::string& text, size_t size) {
    std::vector<char> reply;
    int r = Send(session, text, reply, size);
    if (r < 0) Messages().Information(Format("返回错误码: %d", r));
    return r;
}

bool CheckSession(int session) {
    if (session >= 0) return true;
    Messages().Information(kInvalidHandleText);
    return false;
}

}  // namespace

int ReadVoMode(int session) {
    if (!CheckSession(session)) return -1;
    std::vector<char> reply;
    int r = Send(session, kReqGetVOMode, reply, kNetVoModeReplySize);
    if (r < 0) return r;
    return ParseVoModeReply(reply.data());
}

int ReadVideoParams(int session, VideoParam& rec) {
    if (!CheckSession(session)) return -1;
    std::vector<char> reply;
    int r = Send(session, kReqGetVideoParamNet, reply, kNetVideoParamReplySize);
    if (r < 0) {
        Messages().Information(Format("返回错误码: %d", r));
        return -1;
    }
    // A reply that is not JSON is a failure (-310), as over USB: reporting success here would let
    // an export save an all-zero record as the camera's settings.
    return ParseVideoParamsReply(reply.data(), rec);
}

int SetVideoParamField(int session, const char* fieldText) {
    return SendAndReport(session, BuildSetFieldRequest(fieldText ? fieldText : ""), kNetSetFieldReplySize);
}

int WriteVideoParams(int session, const VideoParam& rec) {
    const std::string text = BuildWriteVideoParamsRequest(rec);
    if (text.empty()) {  // an empty text must not reach the camera and pass for an import
        Messages().Information(Format("返回错误码: %d", kRequestNotBuilt));
        return kRequestNotBuilt;
    }
    return SendAndReport(session, text, kNetSetRecordReplySize);
}

int RestoreDefaults(int session) { return SendAndReport(session, kReqSetDefaultParam, kNetRestoreReplySize); }

int GetFocusNear(int session) {
    std::vector<char> reply;
    int r = Send(session, kReqGetFocusNear, reply, kNetFocusNearReplySize);
    if (r < 0) {
        Messages().Information(Format("返回错误码: %d", r));
        return r;
    }
    return ParseFocusNear(reply.data());
}

int ReadAbilityList(int session, AbilityList& list) {
    if (!CheckSession(session)) return -1;
    // One reply buffer for the whole run, as the camera software has always had it.
    static std::mutex bufferMu;
    static char buffer[kNetAbilityReplySize];
    std::lock_guard lock(bufferMu);
    std::memset(buffer, 0, sizeof buffer);
    int received = static_cast<int>(kNetAbilityReplySize - kNetReplyReserve);
    int r = ORVEX_SendRobotText(session, kReqGetAbilityLevel, static_cast<int>(sizeof kReqGetAbilityLevel), buffer,
                                &received);
    if (r < 0) return -1;
    if (received < 0 || static_cast<size_t>(received) >= kNetAbilityReplySize) return -1;
    buffer[received] = '\0';
    return ParseAbilityListReply(buffer, AbilityShape::Network, r, list);
}

}  // namespace velmora::net
