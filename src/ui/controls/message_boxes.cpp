#include "ui/controls/message_boxes.h"

#include <QApplication>
#include <QPushButton>

namespace velmora::ui {

std::unique_ptr<QMessageBox> BuildMessageBox(MessageKind kind, std::string_view text, QWidget* parent) {
    if (!parent) parent = QApplication::activeWindow();
    auto box = std::make_unique<QMessageBox>(parent);
    box->setWindowTitle(QApplication::applicationDisplayName());
    box->setText(QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())));
    switch (kind) {
    case MessageKind::Information:
        box->setIcon(QMessageBox::Information);
        box->addButton(QStringLiteral("确定"), QMessageBox::AcceptRole);
        break;
    case MessageKind::OkCancel:
        box->setIcon(QMessageBox::Question);
        box->setDefaultButton(box->addButton(QStringLiteral("确定"), QMessageBox::AcceptRole));
        box->setEscapeButton(box->addButton(QStringLiteral("取消"), QMessageBox::RejectRole));
        break;
    case MessageKind::YesNo:
        box->setIcon(QMessageBox::Question);
        box->setDefaultButton(box->addButton(QStringLiteral("是"), QMessageBox::YesRole));
        box->setEscapeButton(box->addButton(QStringLiteral("否"), QMessageBox::NoRole));
        break;
    }
    return box;
}

namespace {

bool RunAndAccepted(MessageKind kind, std::string_view text, std::string_view title = {}) {
    auto box = BuildMessageBox(kind, text);
    if (!title.empty()) box->setWindowTitle(QString::fromUtf8(title.data(), static_cast<qsizetype>(title.size())));
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
