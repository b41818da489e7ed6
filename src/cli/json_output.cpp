#include "cli/json_output.h"

#include "platform/json_text.h"

namespace velmora::cli {

void JsonObject::Key(std::string_view key) {
    if (body_.size() > 1) body_ += ", ";
    platform::AppendJsonString(body_, key);
    body_ += ": ";
}

JsonObject& JsonObject::Add(std::string_view key, std::string_view text) {
    Key(key);
    platform::AppendJsonString(body_, text);
    return *this;
}

JsonObject& JsonObject::Add(std::string_view key, int64_t number) {
    Key(key);
    body_ += std::to_string(number);
    return *this;
}

JsonObject& JsonObject::AddBool(std::string_view key, bool value) {
    Key(key);
    body_ += value ? "true" : "false";
    return *this;
}

JsonObject& JsonObject::AddNull(std::string_view key) {
    Key(key);
    body_ += "null";
    return *this;
}

JsonObject& JsonObject::AddRaw(std::string_view key, std::string_view json) {
    Key(key);
    body_ += json;
    return *this;
}

JsonArray& JsonArray::AddRaw(std::string_view json) {
    if (body_.size() > 1) body_ += ", ";
    body_ += json;
    return *this;
}

std::string JsonError(int code, std::string_view what) {
    return JsonObject().Add("code", code).Add("message", what).Text();
}

}  // namespace velmora::cli
