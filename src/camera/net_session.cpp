#include "camera/net_session.h"

#include <arpa/inet.h>

#include <cstring>

#include "platform/codepage.h"
#include "platform/display_text.h"
#include "platform/text.h"
#include "transport/net/orvex_sdk.h"

namespace velmora {
bool IsDottedIPv4(const std::string& address) {
    in_addr parsed{};
    return address.size() < sizeof(LoginInfo{}.address) && inet_pton(AF_INET, address.c_str(), &parsed) == 1;
}

NetSession::~NetSession() { LogOut(); }

void NetSession::LogOut() {
    if (handle_ >= 0) ORVEX_LogOut(handle_);
    handle_ = -1;
}

int NetSession::Login(const std::string& address, int port, const std::string& user, const std::string& password,
                      std::string& what) {
    LogOut();
    if (!IsDottedIPv4(address)) {
        what = "'" + address + "' is not a dotted IPv4 address";
        return ORVEX_ERR_INVALID_ARG;
    }
    if (user.size() > kMaxLoginUserBytes || password.size() > kMaxLoginPasswordBytes) {
        what = "the user name may have at most " + std::to_string(kMaxLoginUserBytes) +
               " bytes and the password at most " + std::to_string(kMaxLoginPasswordBytes);
        return ORVEX_ERR_INVALID_ARG;
    }
    LoginInfo info{};
    CopyUtf8Field(info.address, sizeof info.address, address);
    info.port = static_cast<uint16_t>(port);
    std::memcpy(info.user, user.data(), user.size());
    std::memcpy(info.password, password.data(), password.size());
    LoginDeviceInfo device{};
    int session = ORVEX_Login(info, &device, 0, 0, 0, 0);
    std::memset(info.password, 0, sizeof info.password);
    if (session < 0) {
        int code = ORVEX_GetLastError();
        what = "login to " + address + " as " + EscapeForDisplay(user) + " failed";  // the user's text, shown safely
        if (code == ORVEX_ERR_AUTH) what += " (wrong user name or password)";
        if (code == ORVEX_ERR_CONNECT) what += " (no camera answers there)";
        return code < 0 ? code : session;
    }
    handle_ = session;
    address_ = address;
    port_ = port;
    identity_ = {{"Address", address},
                 {"DeviceName", FieldText(device.deviceName, sizeof device.deviceName)},
                 {"ProductModel", FieldText(device.model, sizeof device.model)},
                 {"Serial", FieldText(device.serial, sizeof device.serial)},
                 {"Firmware", FieldText(device.firmware, sizeof device.firmware)}};
    return 0;
}

}  // namespace velmora
