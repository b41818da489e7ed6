#include "protocol/json_util.h"

#include <cstring>

#include "protocol/video_param.h"

namespace velmora::protocol_detail {

JsonPtr ParseObject(const char* text) {
    if (text == nullptr) return nullptr;
    JsonPtr root(cJSON_Parse(text));
    if (root && !cJSON_IsObject(root.get())) root.reset();
    return root;
}

const cJSON* Member(const cJSON* object, const char* name) {
    if (object == nullptr || !cJSON_IsObject(object)) return nullptr;
    return cJSON_GetObjectItem(object, name);
}

std::optional<double> MemberNumber(const cJSON* object, const char* name) {
    const cJSON* item = Member(object, name);
    if (item == nullptr) return std::nullopt;
    if (cJSON_IsNumber(item)) return item->valuedouble;
    if (cJSON_IsBool(item)) return cJSON_IsTrue(item) ? 1.0 : 0.0;
    return std::nullopt;
}

std::optional<int32_t> MemberInt(const cJSON* object, const char* name) {
    std::optional<double> number = MemberNumber(object, name);
    if (!number) return std::nullopt;
    return TruncateToInt32(*number);
}

ReplyHead ReadReplyHead(const cJSON* root) {
    ReplyHead head;
    head.content = Member(root, "Content");
    if (head.content != nullptr && !cJSON_IsObject(head.content)) head.content = nullptr;
    head.result = MemberInt(head.content, "nResult");
    return head;
}

}  // namespace velmora::protocol_detail
