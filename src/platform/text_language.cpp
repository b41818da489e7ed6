#include "platform/text_language.h"

#include <algorithm>

namespace velmora::platform {
namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Matches pattern[p..] against text[t..], trying the shortest %s first and every length of a %d.
bool MatchFrom(std::string_view pattern, size_t p, std::string_view text, size_t t, std::vector<std::string>* values) {
    while (p < pattern.size()) {
        if (pattern[p] == '%' && p + 1 < pattern.size()) {
            const char kind = pattern[p + 1];
            if (kind == 'd' || kind == 's') {
                size_t first = t;
                size_t last = text.size();
                if (kind == 'd') {
                    size_t end = t;
                    if (end < text.size() && text[end] == '-') ++end;
                    const size_t digits = end;
                    while (end < text.size() && IsDigit(text[end])) ++end;
                    if (end == digits) return false;
                    first = digits + 1;
                    last = end;
                }
                for (size_t end = first; end <= last; ++end) {
                    const size_t mark = values ? values->size() : 0;
                    if (values) values->emplace_back(text.substr(t, end - t));
                    if (MatchFrom(pattern, p + 2, text, end, values)) return true;
                    if (values) values->resize(mark);
                }
                return false;
            }
            if (kind == '%') ++p;  // "%%" stands for one percent sign
        }
        if (t >= text.size() || text[t] != pattern[p]) return false;
        ++p;
        ++t;
    }
    return t == text.size();
}

}  // namespace

UiLanguage ChooseUiLanguage(std::string_view lang, const char* lcAll, const char* lcMessages, const char* langEnv) {
    if (!lang.empty()) return lang == "en" ? UiLanguage::English : UiLanguage::Chinese;
    std::string_view locale;
    for (const char* value : {lcAll, lcMessages, langEnv}) {
        if (value != nullptr && *value != '\0') {
            locale = value;
            break;
        }
    }
    // "zh_CN.UTF-8@x" -> "zh"; "C.UTF-8" -> "C".
    const std::string_view language = locale.substr(0, locale.find_first_of("_.@"));
    if (language.empty() || language == "C" || language == "POSIX" || language == "zh") return UiLanguage::Chinese;
    return UiLanguage::English;
}

bool MatchTextPattern(std::string_view pattern, std::string_view text, std::vector<std::string>* values) {
    if (values) values->clear();
    return MatchFrom(pattern, 0, text, 0, values);
}

std::string FillTextPattern(std::string_view pattern, const std::vector<std::string>& values) {
    std::string out;
    size_t next = 0;
    for (size_t i = 0; i < pattern.size(); ++i) {
        if (pattern[i] == '%' && i + 1 < pattern.size()) {
            const char kind = pattern[i + 1];
            if ((kind == 'd' || kind == 's') && next < values.size()) {
                out += values[next++];
                ++i;
                continue;
            }
            if (kind == '%') {
                out += '%';
                ++i;
                continue;
            }
        }
        out += pattern[i];
    }
    return out;
}

std::string TranslateLines(std::string_view text, std::span<const TextTranslation> table) {
    std::string out;
    std::vector<std::string> values;
    for (size_t at = 0;;) {
        const size_t end = std::min(text.find('\n', at), text.size());
        const std::string_view line = text.substr(at, end - at);
        std::string shown(line);
        for (const TextTranslation& entry : table) {
            if (!line.empty() && MatchTextPattern(entry.source, line, &values)) {
                shown = FillTextPattern(entry.translation, values);
                break;
            }
        }
        out += shown;
        if (end == text.size()) break;
        out += '\n';
        at = end + 1;
    }
    return out;
}

}  // namespace velmora::platform
