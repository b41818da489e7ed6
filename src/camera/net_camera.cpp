#include "camera/net_camera.h"

#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "platform/user_messages.h"
#include "protocol/replies.h"
#include "protocol/requests.h"
#include "transport/net/orvex_sdk.h"
#include "transport/net/probe_tcp_port.h"

namespace velmora::camera {
namespace {

constexpr const char kInvalidHandleText[] = "无效的设备句柄!";
constexpr int kPtzUnreachable = -27;
constexpr int kPtzProbeSeconds = 1;

bool CheckSession(int session) {
    if (session >= 0) return true;
    platform::Messages().Information(kInvalidHandleText);
    return false;
}

}  // namespace

int NetCamera::Send(const std::string& text, std::vector<char>& reply, size_t size) {
    reply.assign(size, 0);
    int capacity = static_cast<int>(size - protocol::kNetReplyReserve);
    const int r = transport::ORVEX_SendRobotText(session_, text.c_str(), static_cast<int>(text.size()) + 1,
                                                 reply.data(), &capacity);
    lastExchange_ = r;
    return r;
}

int NetCamera::SendSet(const std::string& text, size_t size) {
    std::vector<char> reply;
    const int sent = Send(text, reply, size);
    return ShowFailure(protocol::SetReplyResult(reply.data(), sent));
}

int NetCamera::GetFrameRate() {
    if (!CheckSession(session_)) return -1;
    std::vector<char> reply;
    int r = Send(protocol::kReqGetVOMode, reply, protocol::kNetVoModeReplySize);
    if (r < 0) return r;
    return protocol::ParseVoModeReply(reply.data());
}

int NetCamera::ReadVideoParams(protocol::VideoParam& rec) {
    if (!CheckSession(session_)) return -1;
    std::vector<char> reply;
    int r = Send(protocol::kReqGetVideoParamNet, reply, protocol::kNetVideoParamReplySize);
    if (r < 0) {
        ShowFailure(r);
        return -1;
    }
    // A reply that is not JSON is a failure (-310), as over USB: reporting success here would let
    // an export save an all-zero record as the camera's settings.
    return ParseVideoParamsReply(reply.data(), rec);
}

int NetCamera::SetField(const protocol::VideoParamField& field, int32_t value) {
    return SendSet(protocol::BuildSetFieldRequest(field, value), protocol::kNetSetFieldReplySize);
}

int NetCamera::WriteVideoParams(const protocol::VideoParam& rec) {
    std::string text;
    if (int r = WholeRecordText(rec, text)) return r;
    return SendSet(text, protocol::kNetSetRecordReplySize);
}

int NetCamera::RestoreDefaults() { return SendSet(protocol::kReqSetDefaultParam, protocol::kNetRestoreReplySize); }

int NetCamera::GetFocusNear() {
    std::vector<char> reply;
    int r = Send(protocol::kReqGetFocusNear, reply, protocol::kNetFocusNearReplySize);
    if (r < 0) return ShowFailure(r);
    return protocol::ParseFocusNear(reply.data());
}

int NetCamera::ReadAbilityList(protocol::AbilityList& list) {
    if (!CheckSession(session_)) return -1;
    // One reply buffer for the whole run, as the camera software has always had it.
    static std::mutex bufferMu;
    static char buffer[protocol::kNetAbilityReplySize];
    std::lock_guard lock(bufferMu);
    std::memset(buffer, 0, sizeof buffer);
    int received = static_cast<int>(protocol::kNetAbilityReplySize - protocol::kNetReplyReserve);
    int r = lastExchange_ =
        transport::ORVEX_SendRobotText(session_, protocol::kReqGetAbilityLevel,
                                       static_cast<int>(sizeof protocol::kReqGetAbilityLevel), buffer, &received);
    if (r < 0) return -1;
    if (received < 0 || static_cast<size_t>(received) >= protocol::kNetAbilityReplySize) return -1;
    buffer[received] = '\0';
    return ParseAbilityListReply(buffer, protocol::AbilityShape::Network, r, list);
}

int NetCamera::ReadIdentity(CameraIdentity& out) {
    out = identity_;
    return 0;
}

int NetCamera::SendPtzTexts(const std::vector<std::string>& texts) {
    if (session_ < 0) return 0;
    if (transport::ProbeTcpPort(address_.c_str(), port_, kPtzProbeSeconds) != 1) return kPtzUnreachable;
    return SendEach(texts, [&](const std::string& text) {
        std::vector<char> reply;
        return Send(text, reply, protocol::kNetPtzReplySize);
    });
}

}  // namespace velmora::camera
