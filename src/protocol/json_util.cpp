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

void CopyUtf8Field(char* dst, size_t size, std::string_view src) {
    if (dst == nullptr || size == 0) return;
    size_t n = src.size();
    if (n > size - 1) {
        n = size - 1;
        // Step back over continuation bytes (at most a UTF-8 sequence's worth) so a multi-byte
        // character is not split; text that is not UTF-8 keeps the plain byte cut.
        auto isContinuation = [&](size_t i) { return (static_cast<unsigned char>(src[i]) & 0xC0) == 0x80; };
        size_t cut = n;
        while (cut > 0 && n - cut < 3 && isContinuation(cut)) --cut;
        if (!isContinuation(cut)) n = cut;
    }
    std::memcpy(dst, src.data(), n);
    dst[n] = '\0';
}

}  // namespace velmora::protocol_detail
