#include "protocol/replies.h"

#include <cstdio>
#include <cstring>
#include <limits>

#include "platform/codepage.h"
#include "protocol/json_util.h"

namespace velmora::protocol {

using platform::CopyUtf8Field;
using namespace detail;  // the JSON helpers the reply parsers share

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Leading decimal digits of `text`, saturating at INT32_MAX; 0 when it does not start with one.
int32_t LeadingNumber(const char* text) {
    int64_t value = 0;
    for (; IsDigit(*text); ++text) {
        value = value * 10 + (*text - '0');
        if (value > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
    }
    return static_cast<int32_t>(value);
}

}  // namespace

int ParseVideoParamsReply(const char* text, VideoParam& rec) {
    JsonPtr root = ParseObject(text);
    if (!root) return kReplyNotParsed;
    ReplyHead head = ReadReplyHead(root.get());
    if (!head.result) return kReplyIncomplete;
    if (*head.result < 0) return *head.result;
    const cJSON* params = Member(head.content, "VideoParam");
    if (params == nullptr || !cJSON_IsObject(params)) return kReplyIncomplete;

    // Fill a copy and commit only a complete read, so a failed read never leaves a half-updated
    // record behind.
    VideoParam updated = rec;
    for (const VideoParamField& field : VideoParamFields()) {
        std::optional<double> number = MemberNumber(params, field.member);
        if (!number) {
            if (field.optional) continue;
            return kReplyIncomplete;
        }
        StoreReplyNumber(updated, field, *number);
    }
    rec = updated;
    return 0;
}

int SetReplyResult(const char* text, int transportResult) {
    if (transportResult < 0 || text == nullptr) return transportResult;
    JsonPtr root = ParseObject(text);
    // An empty body is the camera's plain acknowledgement; a body that is something else than a
    // JSON object cannot say the change was taken.
    if (!root) return text[0] == '\0' ? transportResult : kReplyNotParsed;
    ReplyHead head = ReadReplyHead(root.get());
    if (head.result && *head.result < 0) return *head.result;
    return transportResult;
}

int ParseFocusNear(const char* text) {
    JsonPtr root = ParseObject(text);
    if (!root) return kFocusNearUnusable;
    const cJSON* content = Member(root.get(), "Content");
    std::optional<int32_t> focusNear = MemberInt(content, "FocusNear");
    if (!focusNear) return kFocusNearUnusable;
    return *focusNear;
}

int ParseFrameRateReply(const char* text) {
    JsonPtr root = ParseObject(text);
    if (!root) return 0;
    ReplyHead head = ReadReplyHead(root.get());
    if (!head.result) return kReplyMissingMember;
    if (*head.result < 0) return *head.result;
    const cJSON* codeParam = Member(head.content, "CodeParam");
    const cJSON* mainStream = Member(codeParam, "stMainStreamParam");
    std::optional<int32_t> fps = MemberInt(mainStream, "dwFps");
    if (!fps) return kReplyMissingMember;
    if (*fps < 0) return 0;
    return *fps / 1000;
}

int FrameRateFromVoModeName(const char* name) {
    if (name == nullptr) return 0;
    // Split at the letter P as a tokenizer would: leading separators are skipped, a run of P
    // letters is one separator; the frame rate is the second token.
    const char* p = name;
    while (*p == 'P') ++p;
    if (*p == '\0') return 0;
    while (*p != '\0' && *p != 'P') ++p;  // first token (the line count)
    while (*p == 'P') ++p;
    return LeadingNumber(p);
}

int ParseVoModeReply(const char* text) {
    JsonPtr root = ParseObject(text);
    if (!root) return 0;
    ReplyHead head = ReadReplyHead(root.get());
    if (!head.result) return kReplyMissingMember;
    if (*head.result < 0) return *head.result;
    const cJSON* name = Member(Member(head.content, "VOMode"), "Name");
    if (name == nullptr || !cJSON_IsString(name) || name->valuestring == nullptr) return kReplyMissingMember;
    return FrameRateFromVoModeName(name->valuestring);
}

int ParseDeviceInfoReply(const char* text, UsbDeviceInfo& info) {
    JsonPtr root = ParseObject(text);
    if (!root) return kReplyNotParsed;
    // A camera that refuses the query answers with the usual envelope and nothing else: its
    // nResult is the result, not an identity of empty texts.
    const ReplyHead head = ReadReplyHead(root.get());
    if (head.result && *head.result < 0) return *head.result;
    auto copyText = [&](const char* member, char* dst, size_t size) {
        const cJSON* item = Member(root.get(), member);
        if (item != nullptr && cJSON_IsString(item) && item->valuestring != nullptr)
            CopyUtf8Field(dst, size, item->valuestring);
    };
    copyText("DeviceName", info.DeviceName, sizeof info.DeviceName);
    copyText("ProductModel", info.ProductModel, sizeof info.ProductModel);
    copyText("Serial", info.Serial, sizeof info.Serial);
    copyText("BuildDate", info.BuildDate, sizeof info.BuildDate);
    if (std::optional<int32_t> bios = MemberInt(root.get(), "BiosVersion")) {
        unsigned v = static_cast<uint16_t>(static_cast<uint32_t>(*bios));
        // At most "ff.ff": always fits the 8-byte field.
        std::snprintf(info.BiosVersion, sizeof info.BiosVersion, "%x.%02x", v / 256, v % 256);
    }
    return 0;
}

}  // namespace velmora::protocol
