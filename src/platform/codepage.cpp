#include "codepage.h"

#include <iconv.h>

#include <cerrno>
#include <cstring>

namespace velmora::platform {
namespace {

bool Convert(const char* to, const char* from, std::string_view in, std::string& out) {
    out.clear();
    iconv_t cd = iconv_open(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1)) return false;
    std::string buf(in.size() * 2 + 16, '\0');
    char* src = const_cast<char*>(in.data());
    size_t srcLeft = in.size();
    size_t used = 0;
    bool ok = true;
    while (srcLeft > 0) {
        char* dst = buf.data() + used;
        size_t dstLeft = buf.size() - used;
        size_t r = iconv(cd, &src, &srcLeft, &dst, &dstLeft);
        used = buf.size() - dstLeft;
        if (r == static_cast<size_t>(-1)) {
            if (errno == E2BIG) {
                buf.resize(buf.size() * 2);
                continue;
            }
            ok = false;  // EILSEQ or EINVAL: invalid or truncated input
            break;
        }
    }
    iconv_close(cd);
    if (!ok) return false;
    buf.resize(used);
    out = std::move(buf);
    return true;
}

}  // namespace

bool Utf8ToCp936(std::string_view utf8, std::string& out) { return Convert("CP936", "UTF-8", utf8, out); }

std::string Utf8ToCp936Replacing(std::string_view utf8) {
    std::string out;
    if (Utf8ToCp936(utf8, out)) return out;
    // Character by character: what CP936 cannot hold (an emoji, ñ, ß) or what is no UTF-8 at all
    // becomes '?', the rest is kept.
    out.clear();
    for (size_t i = 0; i < utf8.size();) {
        size_t n = Utf8PrefixLength(utf8.substr(i), 4);
        // The first whole character: the shortest prefix that converts, up to four bytes.
        std::string one;
        size_t taken = 0;
        for (size_t len = 1; len <= n && len <= 4; ++len) {
            if (Utf8ToCp936(utf8.substr(i, len), one)) {
                taken = len;
                break;
            }
        }
        if (taken == 0) {
            out += '?';
            // Skip one whole (unconvertible) sequence, or one stray byte.
            const unsigned char c = static_cast<unsigned char>(utf8[i]);
            size_t skip = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
            if (skip > utf8.size() - i) skip = 1;
            for (size_t k = 1; k < skip; ++k)
                if ((static_cast<unsigned char>(utf8[i + k]) & 0xC0) != 0x80) skip = k;
            i += skip;
            continue;
        }
        out += one;
        i += taken;
    }
    return out;
}
bool Cp936ToUtf8(std::string_view cp936, std::string& out) { return Convert("UTF-8", "CP936", cp936, out); }

std::string Utf8ToCp936(std::string_view utf8) {
    std::string out;
    Utf8ToCp936(utf8, out);
    return out;
}

std::string Cp936ToUtf8(std::string_view cp936) {
    std::string out;
    Cp936ToUtf8(cp936, out);
    return out;
}

void CopyCp936Field(char* dst, size_t size, std::string_view src) {
    if (!dst || size == 0) return;
    size_t n = 0;
    // Walk characters: a lead byte >= 0x81 starts a two-byte character.
    while (n < src.size()) {
        size_t len = (static_cast<unsigned char>(src[n]) >= 0x81 && n + 1 < src.size()) ? 2 : 1;
        if (n + len > size - 1) break;
        n += len;
    }
    std::memcpy(dst, src.data(), n);
    dst[n] = '\0';
}

size_t Utf8PrefixLength(std::string_view src, size_t maxBytes) {
    if (src.size() <= maxBytes) return src.size();
    // Step back over continuation bytes (at most a UTF-8 sequence's worth) so a multi-byte
    // character is not split; text that is not UTF-8 keeps the plain byte cut.
    auto isContinuation = [&](size_t i) { return (static_cast<unsigned char>(src[i]) & 0xC0) == 0x80; };
    size_t cut = maxBytes;
    while (cut > 0 && maxBytes - cut < 3 && isContinuation(cut)) --cut;
    return isContinuation(cut) ? maxBytes : cut;
}

void CopyUtf8Field(char* dst, size_t size, std::string_view src) {
    if (dst == nullptr || size == 0) return;
    const size_t n = Utf8PrefixLength(src, size - 1);
    std::memcpy(dst, src.data(), n);
    dst[n] = '\0';
}

}  // namespace velmora::platform
