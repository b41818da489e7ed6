#include "upgrade/upgrade_exchange.h"

#include <cjson/cJSON.h>

#include <cmath>
#include <cstdlib>
#include <limits>

#include "protocol/json_util.h"
#include "upgrade/upgrade_session.h"

namespace velmora::upgrade {
namespace {

using protocol::detail::JsonPtr;

int32_t Truncate(double v) {
    const double t = std::trunc(v);
    if (std::isnan(t)) return 0;
    if (t <= static_cast<double>(std::numeric_limits<int32_t>::min())) return std::numeric_limits<int32_t>::min();
    if (t >= static_cast<double>(std::numeric_limits<int32_t>::max())) return std::numeric_limits<int32_t>::max();
    return static_cast<int32_t>(t);
}

bool NumberMember(const cJSON* object, const char* name, int32_t& out) {
    const cJSON* item = cJSON_GetObjectItem(object, name);  // case-insensitive
    if (!cJSON_IsNumber(item)) return false;
    out = Truncate(item->valuedouble);
    return true;
}

int Exchange(transport::CUSBDevice& usb, int32_t handle, uint32_t cmd, const void* data, size_t length,
             std::string* reply, int timeoutSec) {
    char buffer[kUpgradeReplyBytes + 1] = {};
    int received = 0;
    const int r = usb.Transfer(handle, cmd, data, static_cast<int>(length), reply ? buffer : nullptr,
                               reply ? kUpgradeReplyBytes : 0, &received, timeoutSec);
    if (reply) reply->assign(buffer);
    return r;
}

}  // namespace

std::string UpgradeRequestText(uint32_t fileSize) {
    JsonPtr root(cJSON_CreateObject());
    cJSON_AddItemToObject(root.get(), "FileType", cJSON_CreateNumber(2));
    cJSON_AddItemToObject(root.get(), "FileSize", cJSON_CreateNumber(static_cast<double>(fileSize)));
    char* printed = cJSON_Print(root.get());
    std::string text = printed ? printed : "";
    std::free(printed);
    return text;
}

UpgradeReply ParseUpgradeReply(const char* text) {
    UpgradeReply r;
    if (!text) return r;
    JsonPtr root(cJSON_Parse(text));
    if (!root) return r;
    // Any JSON is a reply (a bare number or text simply names neither member).
    r.json = true;
    if (!cJSON_IsObject(root.get())) return r;
    r.hasStatus = NumberMember(root.get(), "UpdateStatus", r.status);
    r.hasProgress = NumberMember(root.get(), "Progress", r.progress);
    const cJSON* content = cJSON_GetObjectItem(root.get(), "Content");
    if (cJSON_IsObject(content)) r.hasResult = NumberMember(content, "nResult", r.result);
    return r;
}

int SendUpgradeRequest(transport::CUSBDevice& usb, int32_t handle, uint32_t fileSize) {
    const std::string text = UpgradeRequestText(fileSize);
    std::string ignored;
    return Exchange(usb, handle, kCmdUpgradeRequest, text.c_str(), text.size() + 1, &ignored,
                    kUpgradeRequestTimeoutSec);
}

int SendUpgradeData(transport::CUSBDevice& usb, int32_t handle, const uint8_t* data, size_t length,
                    std::string& reply) {
    if (length > kUpgradeChunkBytes) return transport::kUsbWriteFailed;
    return Exchange(usb, handle, kCmdUpgradeData, data, length, &reply, kUpgradeDataTimeoutSec);
}

int QueryUpgradeProgress(transport::CUSBDevice& usb, int32_t handle, std::string& reply) {
    return Exchange(usb, handle, kCmdUpgradeProgress, nullptr, 0, &reply, kUpgradeProgressTimeoutSec);
}

int SendReboot(transport::CUSBDevice& usb, int32_t handle) {
    return Exchange(usb, handle, kCmdReboot, nullptr, 0, nullptr, kRebootTimeoutSec);
}

}  // namespace velmora::upgrade
