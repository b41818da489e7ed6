#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// The --json output of velmora-cli: one JSON object per document, keys in the order they are
// added (stable, documented in docs/cli.md), camera texts as proper JSON strings. A plain value;
// thread-bound.
namespace velmora::cli {

class JsonObject {
public:
    JsonObject& Add(std::string_view key, std::string_view text);
    JsonObject& Add(std::string_view key, const char* text) { return Add(key, std::string_view(text)); }
    JsonObject& Add(std::string_view key, int64_t number);
    JsonObject& Add(std::string_view key, int number) { return Add(key, static_cast<int64_t>(number)); }
    JsonObject& Add(std::string_view key, size_t number) { return Add(key, static_cast<int64_t>(number)); }
    JsonObject& AddBool(std::string_view key, bool value);
    JsonObject& AddNull(std::string_view key);
    // `json` must already be one JSON value (an object or array built here).
    JsonObject& AddRaw(std::string_view key, std::string_view json);

    // The object's text, without a newline.
    std::string Text() const { return body_ + "}"; }

private:
    void Key(std::string_view key);
    std::string body_ = "{";
};

// A JSON array of values added one by one.
class JsonArray {
public:
    JsonArray& AddRaw(std::string_view json);
    std::string Text() const { return body_ + "]"; }
    bool empty() const { return body_.size() == 1; }

private:
    std::string body_ = "[";
};

// {"error": {"code": CODE, "message": WHAT}} as a value, the failure of a --json command.
std::string JsonError(int code, std::string_view what);

}  // namespace velmora::cli
