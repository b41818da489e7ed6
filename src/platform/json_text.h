#pragma once

#include <string>
#include <string_view>

// Writing JSON text by hand (stable key order and layout for files and scripts). Pure functions;
// thread-safe.
namespace velmora::platform {

// Length of the well-formed multi-byte UTF-8 sequence (2..4 bytes) at the start of `s`, 0 when
// there is none (overlong forms and surrogates count as broken).
size_t Utf8SequenceLength(std::string_view s);

// Appends `text` as one JSON string, quotes included: quote, backslash and control characters
// are escaped (\n, \t, \u00XX ...); well-formed UTF-8 passes as it is and every byte that is not
// part of a well-formed UTF-8 sequence becomes U+FFFD, so the result is always valid JSON in UTF-8
// whatever a camera sent.
void AppendJsonString(std::string& out, std::string_view text);

// The same as a new string.
std::string JsonString(std::string_view text);

}  // namespace velmora::platform
