#include "ui/main/network_dialogs.h"

#include <QCheckBox>
#include <QApplication>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QIntValidator>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "camera/net_session.h"

namespace velmora::ui {

namespace {

// "确定" and "取消" under a form; the buttons keep their texts as accessible names.
QDialogButtonBox* OkCancel(QDialog* dialog) {
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, dialog);
    buttons->button(QDialogButtonBox::Ok)->setText(QApplication::translate("velmora", "确定"));
    buttons->button(QDialogButtonBox::Cancel)->setText(QApplication::translate("velmora", "取消"));
    for (QAbstractButton* b : buttons->buttons()) b->setAccessibleName(b->text());
    QObject::connect(buttons, &QDialogButtonBox::accepted, dialog, &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, dialog, &QDialog::reject);
    return buttons;
}

// A form row whose label is the buddy of its box, and whose box is named by the label.
void AddRow(QFormLayout* form, const QString& text, QWidget* field) {
    auto* label = new QLabel(text, field->parentWidget());
    label->setBuddy(field);
    field->setAccessibleName(text);
    form->addRow(label, field);
}

}  // namespace

LoginDlg::LoginDlg(const QString& address, const QString& user, QWidget* parent) : QDialog(parent) {
    setWindowTitle(tr("登录 - %1").arg(address));
    user_ = new QLineEdit(user, this);
    user_->setObjectName(QStringLiteral("user"));
    password_ = new QLineEdit(this);
    password_->setObjectName(QStringLiteral("password"));
    password_->setEchoMode(QLineEdit::Password);
    remember_ = new QCheckBox(tr("记住密码"), this);
    remember_->setObjectName(QStringLiteral("remember"));
    remember_->setAccessibleName(remember_->text());
    remember_->setChecked(false);
    auto* form = new QFormLayout;
    AddRow(form, tr("用户名："), user_);
    AddRow(form, tr("密码："), password_);
    auto* column = new QVBoxLayout(this);
    column->addWidget(new QLabel(tr("相机拒绝了用户名或密码，请重新输入。"), this));
    column->addLayout(form);
    column->addWidget(remember_);
    column->addWidget(OkCancel(this));
    (user.isEmpty() ? user_ : password_)->setFocus();
}

LoginAnswer LoginDlg::Answer() const {
    return LoginAnswer{user_->text().toStdString(), password_->text().toStdString(), remember_->isChecked()};
}

std::optional<LoginAnswer> AskLoginWithDialog(QWidget* parent, const std::string& address, const std::string& user) {
    LoginDlg dialog(QString::fromStdString(address), QString::fromStdString(user), parent);
    if (dialog.exec() != QDialog::Accepted) return std::nullopt;
    return dialog.Answer();
}

AddDeviceDlg::AddDeviceDlg(QWidget* parent) : QDialog(parent) {
    setWindowTitle(tr("添加设备"));
    address_ = new QLineEdit(this);
    address_->setObjectName(QStringLiteral("address"));
    address_->setPlaceholderText(QStringLiteral("192.168.1.64"));
    port_ = new QLineEdit(this);
    port_->setObjectName(QStringLiteral("port"));
    port_->setPlaceholderText(QStringLiteral("36666"));
    port_->setValidator(new QIntValidator(1, 65535, port_));
    problem_ = new QLabel(this);
    problem_->setObjectName(QStringLiteral("problem"));
    problem_->setStyleSheet(QStringLiteral("color: #b00020"));
    auto* form = new QFormLayout;
    AddRow(form, tr("地址："), address_);
    AddRow(form, tr("端口（可选）："), port_);
    auto* column = new QVBoxLayout(this);
    column->addWidget(new QLabel(tr("搜索不到的相机（其他网段、隔着路由器）可按地址添加。"), this));
    column->addLayout(form);
    column->addWidget(problem_);
    column->addWidget(OkCancel(this));
}

std::optional<AddedDevice> AddDeviceDlg::Parse(QString* why) const {
    AddedDevice device;
    device.address = address_->text().trimmed().toStdString();
    if (!camera::IsDottedIPv4(device.address)) {
        if (why) *why = tr("地址无效：请输入 IPv4 地址，如 192.168.1.64。");
        return std::nullopt;
    }
    const QString port = port_->text().trimmed();
    if (!port.isEmpty()) {
        bool ok = false;
        device.port = port.toInt(&ok);
        if (!ok || device.port < 1 || device.port > 65535) {
            if (why) *why = tr("端口无效：请输入 1 到 65535 之间的数。");
            return std::nullopt;
        }
    }
    return device;
}

void AddDeviceDlg::accept() {
    QString why;
    if (!Parse(&why)) {
        problem_->setText(why);
        return;
    }
    QDialog::accept();
}

std::optional<AddedDevice> AskDeviceWithDialog(QWidget* parent) {
    AddDeviceDlg dialog(parent);
    if (dialog.exec() != QDialog::Accepted) return std::nullopt;
    return dialog.Parse();
}

}  // namespace velmora::ui
