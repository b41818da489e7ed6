#pragma once

#include <string>
#include <string_view>

// How operations of the core tell the user about a failure or ask a question. The windows
// implement it with modal message boxes, the command-line tool with lines on stderr, tests with
// a recorder. Texts are UTF-8 and are shown exactly as given.
// Thread-safety: SetUserMessages is called once at start-up; implementations decide themselves
// whether they may be called from worker threads (the core calls them on the caller's thread).
namespace velmora::platform {

class UserMessages {
public:
    virtual ~UserMessages() = default;
    virtual void Information(std::string_view text) = 0;
    virtual bool AskOkCancel(std::string_view text) = 0;
    virtual bool AskYesNo(std::string_view text) = 0;
    // The same question under a caption of its own ("删除"); a sink without captions just asks.
    virtual bool AskYesNoTitled(std::string_view text, std::string_view /*title*/) { return AskYesNo(text); }
};

// The process-wide sink; a stderr writer until a host installs its own. Passing null restores it.
UserMessages& Messages();
void SetUserMessages(UserMessages* sink);

// printf-style formatting into a std::string (texts such as "返回错误码: %d").
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));

// A given message text followed, on the next line of the same box, by the file and the reason:
// "文件打开失败\n/tmp/x.dat: it is a FIFO, not a regular file". Without a reason, only the path.
std::string WithFileReason(std::string_view text, std::string_view path, std::string_view reason);

}  // namespace velmora::platform
