#include "ui/controls/message_boxes.h"

#include <QApplication>
#include <QPushButton>
#include <QThread>

#include <string>

#include "ui/common/ui_text.h"

namespace velmora::ui {

std::unique_ptr<QMessageBox> BuildMessageBox(MessageKind kind, std::string_view text, QWidget* parent) {
    if (!parent) parent = QApplication::activeWindow();
    auto box = std::make_unique<QMessageBox>(parent);
    box->setWindowTitle(QApplication::applicationDisplayName());
    box->setText(CoreText(text));
    switch (kind) {
    case MessageKind::Information:
        box->setIcon(QMessageBox::Information);
        box->addButton(QApplication::translate("velmora", "确定"), QMessageBox::AcceptRole);
        break;
    case MessageKind::OkCancel:
        box->setIcon(QMessageBox::Question);
        box->setDefaultButton(box->addButton(QApplication::translate("velmora", "确定"), QMessageBox::AcceptRole));
        box->setEscapeButton(box->addButton(QApplication::translate("velmora", "取消"), QMessageBox::RejectRole));
        break;
    case MessageKind::YesNo:
        box->setIcon(QMessageBox::Question);
        box->setDefaultButton(box->addButton(QApplication::translate("velmora", "是"), QMessageBox::YesRole));
        box->setEscapeButton(box->addButton(QApplication::translate("velmora", "否"), QMessageBox::NoRole));
        break;
    }
    return box;
}

namespace {

bool RunAndAccepted(MessageKind kind, std::string_view text, std::string_view title = {}) {
    // A camera call that a window waits for off its own thread (wait_off_thread.h) tells its
    // failures from that thread: the box is run by the user-interface thread, whose waiting
    // loop takes the request, and the answer goes back to the call.
    if (QThread::currentThread() != qApp->thread()) {
        bool accepted = false;
        const std::string ownText(text), ownTitle(title);
        QMetaObject::invokeMethod(
            qApp, [&] { accepted = RunAndAccepted(kind, ownText, ownTitle); }, Qt::BlockingQueuedConnection);
        return accepted;
    }
    auto box = BuildMessageBox(kind, text);
    if (!title.empty()) box->setWindowTitle(CoreText(title));
    box->exec();
    const QAbstractButton* clicked = box->clickedButton();
    if (!clicked) return false;
    const QMessageBox::ButtonRole role = box->buttonRole(const_cast<QAbstractButton*>(clicked));
    return role == QMessageBox::AcceptRole || role == QMessageBox::YesRole;
}

}  // namespace

void QtUserMessages::Information(std::string_view text) { RunAndAccepted(MessageKind::Information, text); }
bool QtUserMessages::AskOkCancel(std::string_view text) { return RunAndAccepted(MessageKind::OkCancel, text); }
bool QtUserMessages::AskYesNo(std::string_view text) { return RunAndAccepted(MessageKind::YesNo, text); }
bool QtUserMessages::AskYesNoTitled(std::string_view text, std::string_view title) {
    return RunAndAccepted(MessageKind::YesNo, text, title);
}

}  // namespace velmora::ui
