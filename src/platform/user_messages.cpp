#include "user_messages.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>

namespace velmora::platform {
namespace {

class StderrMessages final : public UserMessages {
public:
    void Information(std::string_view text) override {
        std::fprintf(stderr, "%.*s\n", static_cast<int>(text.size()), text.data());
    }
    bool AskOkCancel(std::string_view text) override {
        Information(text);
        return false;  // nobody can answer: the cautious choice
    }
    bool AskYesNo(std::string_view text) override {
        Information(text);
        return false;
    }
};

StderrMessages& DefaultSink() {
    static StderrMessages sink;
    return sink;
}

std::atomic<UserMessages*> g_sink{nullptr};

}  // namespace

UserMessages& Messages() {
    UserMessages* s = g_sink.load(std::memory_order_acquire);
    return s ? *s : DefaultSink();
}

void SetUserMessages(UserMessages* sink) { g_sink.store(sink, std::memory_order_release); }

std::string Format(const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    int n = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string out;
    if (n > 0) {
        out.resize(static_cast<size_t>(n) + 1);
        std::vsnprintf(out.data(), out.size(), format, args);
        out.resize(static_cast<size_t>(n));
    }
    va_end(args);
    return out;
}

std::string WithFileReason(std::string_view text, std::string_view path, std::string_view reason) {
    std::string out(text);
    out += '\n';
    out += path;
    if (!reason.empty()) {
        if (!path.empty()) out += ": ";
        out += reason;
    }
    return out;
}

}  // namespace velmora::platform
