#include "platform/decoder/codec_log.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>

extern "C" {
#include <libavutil/log.h>
}

#include "platform/zeb_log.h"

namespace velmora::platform {

namespace {

void ForwardCodecLog(void* avcl, int level, const char* fmt, va_list args) {
    if (level > AV_LOG_WARNING) return;
    char line[512];
    int prefix = 1;
    av_log_format_line2(avcl, level, fmt, args, line, sizeof(line), &prefix);
    size_t n = std::strlen(line);
    while (n > 0 && (line[n - 1] == '\n' || line[n - 1] == '\r')) line[--n] = '\0';
    if (n == 0) return;
    AppLog().Log(1, nullptr, "codec: %s", line);
}

}  // namespace

void InstallCodecLogHook() {
    static std::once_flag once;
    std::call_once(once, [] {
        AppLog();  // constructed first, so it outlives every stream that might still log
        av_log_set_callback(ForwardCodecLog);
    });
}

}  // namespace velmora::platform
