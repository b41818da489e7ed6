#include "protocol/requests.h"

#include <cjson/cJSON.h>

#include <array>
#include <cstdio>
#include <cstdlib>

#include "protocol/json_util.h"

namespace velmora::protocol {

using protocol::detail::JsonPtr;

namespace {

// snprintf into a fixed buffer, the way the camera-facing texts have always been formatted: a
// result that does not fit is cut to size - 1 bytes.
template <size_t N, typename... Args>
std::string FormatFixed(const char* format, Args... args) {
    char buffer[N];
    int n = std::snprintf(buffer, sizeof buffer, format, args...);
    if (n < 0) return std::string();
    size_t len = static_cast<size_t>(n) < N ? static_cast<size_t>(n) : N - 1;
    return std::string(buffer, len);
}

// Adds `item` to `object`; a failed allocation (null item or failed add) frees what is left and
// gives false, so an incomplete request is never sent.
bool AddMember(cJSON* object, const char* name, cJSON* item) {
    if (object == nullptr || item == nullptr) {
        cJSON_Delete(item);
        return false;
    }
    if (!cJSON_AddItemToObject(object, name, item)) {
        cJSON_Delete(item);
        return false;
    }
    return true;
}

}  // namespace

std::string FormatFieldText(const char* member, int value) {
    std::string text = "\"";
    text += member != nullptr ? member : "";
    text += "\":";
    text += std::to_string(value);
    return text;
}

std::string BuildSetFieldRequest(std::string_view fieldText) {
    // Same bytes as formatting the template into the 1024-byte buffer.
    std::string_view tpl(kReqSetVideoParamFieldTemplate);
    size_t split = tpl.find("%s");
    std::string text;
    text.reserve(tpl.size() + fieldText.size());
    text.append(tpl.substr(0, split));
    text.append(fieldText);
    text.append(tpl.substr(split + 2));
    if (text.size() > kSetFieldRequestBufferSize - 1) text.resize(kSetFieldRequestBufferSize - 1);
    // An embedded zero byte would end the text on the wire as it ended the formatted buffer.
    size_t nul = text.find('\0');
    if (nul != std::string::npos) text.resize(nul);
    return text;
}

std::string BuildSetFieldRequest(const VideoParamField& field, int32_t value) {
    return BuildSetFieldRequest(FormatFieldText(field.member, value));
}

std::string BuildWriteVideoParamsRequest(const VideoParam& rec) {
    JsonPtr root(cJSON_CreateObject());
    if (!root) return std::string();
    // Each object is created just before it is added, so a failure never leaves one outside the
    // tree (where the tree's deleter would not free it).
    if (!AddMember(root.get(), "Cmd", cJSON_CreateString("ReqSetVideoParam")) ||
        !AddMember(root.get(), "wCmdId", cJSON_CreateNumber(kCmdIdSetVideoParam))) {
        return std::string();
    }
    cJSON* content = cJSON_CreateObject();
    if (!AddMember(root.get(), "Content", content) || !AddMember(content, "ChanNum", cJSON_CreateNumber(0))) {
        return std::string();
    }
    cJSON* params = cJSON_CreateObject();
    if (!AddMember(content, "VideoParam", params)) return std::string();
    for (const VideoParamField* field : WholeRecordFields()) {
        if (!AddMember(params, field->member, cJSON_CreateNumber(ReadFieldForSend(rec, *field)))) return std::string();
    }
    char* printed = cJSON_Print(root.get());
    if (printed == nullptr) return std::string();
    std::string text(printed);
    cJSON_free(printed);
    return text;
}

std::string BuildPtzRequest(const char* cmd) {
    return FormatFixed<kPtzRequestBufferSize>(kReqPtzCtrlTemplate, cmd != nullptr ? cmd : "", kPtzParamHV,
                                              kPtzParamHV);
}

std::string BuildPresetRequest(const char* cmd, int id) {
    return FormatFixed<kPtzRequestBufferSize>(kReqPresetCtrlTemplate, cmd != nullptr ? cmd : "", id, id);
}

}  // namespace velmora::protocol
