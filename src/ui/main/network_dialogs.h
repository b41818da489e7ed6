#pragma once

#include <optional>
#include <string>

#include <QDialog>

class QCheckBox;
class QLabel;
class QLineEdit;

// The two small dialogs of network mode: the login asked for when a camera refuses the user name
// or password, and a camera added by hand. Each is a modal dialog with "确定" and "取消"; labels
// are the buddies of their boxes. Thread-bound: the user-interface thread.
namespace velmora::ui {

// What the login dialog was given.
struct LoginAnswer {
    std::string user;      // UTF-8
    std::string password;  // UTF-8; kept in memory only unless `remember`
    bool remember = false;
};

// "登录": 用户名, 密码 (hidden as typed) and "记住密码", unticked at first. The title names
// the camera's address.
class LoginDlg : public QDialog {
    Q_OBJECT

public:
    LoginDlg(const QString& address, const QString& user, QWidget* parent = nullptr);

    LoginAnswer Answer() const;
    QLineEdit* UserEdit() const { return user_; }
    QLineEdit* PasswordEdit() const { return password_; }
    QCheckBox* RememberBox() const { return remember_; }

private:
    QLineEdit* user_ = nullptr;
    QLineEdit* password_ = nullptr;
    QCheckBox* remember_ = nullptr;
};

// Asks with LoginDlg; nullopt when cancelled.
std::optional<LoginAnswer> AskLoginWithDialog(QWidget* parent, const std::string& address, const std::string& user);

// A camera given by hand: its IPv4 address and port (36666 when the box is left empty).
struct AddedDevice {
    std::string address;
    int port = 36666;
};

// "添加设备": 地址 and 端口 (optional). "确定" accepts only a dotted IPv4 address and a port of 1 to
// 65535; otherwise the dialog says what is wrong and stays open.
class AddDeviceDlg : public QDialog {
    Q_OBJECT

public:
    explicit AddDeviceDlg(QWidget* parent = nullptr);

    // The typed camera, or nullopt with `why` set when the address or port is not usable.
    std::optional<AddedDevice> Parse(QString* why = nullptr) const;
    QLineEdit* AddressEdit() const { return address_; }
    QLineEdit* PortEdit() const { return port_; }

    void accept() override;

private:
    QLineEdit* address_ = nullptr;
    QLineEdit* port_ = nullptr;
    QLabel* problem_ = nullptr;
};

// Asks with AddDeviceDlg; nullopt when cancelled.
std::optional<AddedDevice> AskDeviceWithDialog(QWidget* parent);

}  // namespace velmora::ui
