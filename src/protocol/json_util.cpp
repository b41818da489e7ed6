#include "protocol/json_util.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "protocol/video_param.h"

namespace velmora::protocol::detail {

namespace {

// Line and column (from 1, the column counted in characters) of byte `offset` of `text`.
void Position(std::string_view text, size_t offset, int& line, int& column) {
    line = 1;
    column = 1;
    offset = std::min(offset, text.size());
    for (size_t i = 0; i < offset; ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '\n') {
            ++line;
            column = 1;
        } else if ((c & 0xC0) != 0x80) {
            ++column;
        }
    }
}

}  // namespace

JsonPtr ParseDocument(std::string_view text, int& line, int& column) {
    // Editors on some systems start UTF-8 files with a byte-order mark; it is not JSON.
    size_t start = 0;
    if (text.substr(0, 3) == "\xEF\xBB\xBF") start = 3;
    const char* end = nullptr;
    JsonPtr root(cJSON_ParseWithLengthOpts(text.data() + start, text.size() - start, &end, false));
    size_t stop = root && end != nullptr ? static_cast<size_t>(end - text.data()) : text.size();
    if (root) {
        while (stop < text.size() && std::isspace(static_cast<unsigned char>(text[stop]))) ++stop;
        if (stop < text.size()) root.reset();  // something follows the document
    } else if (end != nullptr && end >= text.data() && end <= text.data() + text.size()) {
        stop = static_cast<size_t>(end - text.data());
    }
    line = column = 0;
    if (!root) Position(text, stop, line, column);
    return root;
}

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

}  // namespace velmora::protocol::detail
