#pragma once

#include <string>
#include <string_view>

// Conversion between UTF-8 (what cameras send and Qt shows) and code page 936 (what the
// program's fixed-size text fields and its configuration file hold). Thread-safe.
namespace velmora::platform {

// Converts the whole input; returns false (and leaves `out` empty) when the input is not valid
// in the source encoding or has characters the target cannot represent.
bool Utf8ToCp936(std::string_view utf8, std::string& out);
bool Cp936ToUtf8(std::string_view cp936, std::string& out);

// For fixed CP936 fields: converts what CP936 can hold and puts '?' for each character it cannot
// (or each byte that is not UTF-8), so a name with an emoji is not lost whole.
std::string Utf8ToCp936Replacing(std::string_view utf8);

// Convenience forms: invalid input gives an empty string.
std::string Utf8ToCp936(std::string_view utf8);
std::string Cp936ToUtf8(std::string_view cp936);

// Copies `src` into the fixed field `dst` of `size` bytes, always terminated, never splitting a
// CP936 double-byte character at the cut.
void CopyCp936Field(char* dst, size_t size, std::string_view src);

// Length of the longest prefix of `src` of at most `maxBytes` bytes that does not split a UTF-8
// sequence (bytes that are not UTF-8 are cut as bytes).
size_t Utf8PrefixLength(std::string_view src, size_t maxBytes);

// Copies `src` into the fixed field `dst` of `size` bytes, always zero-terminated, cut to at most
// size - 1 bytes without splitting a UTF-8 sequence (bytes that are not UTF-8 are cut as bytes).
void CopyUtf8Field(char* dst, size_t size, std::string_view src);

}  // namespace velmora::platform
