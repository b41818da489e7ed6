#pragma once

#include <memory>
#include <string_view>

#include <QMessageBox>

#include "platform/user_messages.h"

// The windows' UserMessages: modal message boxes with the exact texts and Chinese button texts
// ("确定", "取消", "是", "否"). Install it with SetUserMessages once the application exists.
// QtUserMessages may be called from any thread: a box asked for elsewhere is run by the
// user-interface thread while the caller waits. The rest is bound to the user-interface thread.
namespace velmora::ui {

enum class MessageKind { Information, OkCancel, YesNo };

// Builds the box of `kind` without showing it (the title is the application's name).
std::unique_ptr<QMessageBox> BuildMessageBox(MessageKind kind, std::string_view text,
                                             QWidget* parent = nullptr);

class QtUserMessages : public platform::UserMessages {
public:
    void Information(std::string_view text) override;
    bool AskOkCancel(std::string_view text) override;
    bool AskYesNo(std::string_view text) override;
    bool AskYesNoTitled(std::string_view text, std::string_view title) override;
};

}  // namespace velmora::ui
