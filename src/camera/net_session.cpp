#include "camera/net_session.h"

#include <arpa/inet.h>

#include <cstring>

#include "platform/codepage.h"
#include "platform/display_text.h"
#include "platform/text.h"
#include "platform/user_messages.h"
#include "transport/net/orvex_sdk.h"

namespace velmora::camera {
bool IsDottedIPv4(const std::string& address) {
    in_addr parsed{};
    return address.size() < sizeof(transport::LoginInfo{}.address) && inet_pton(AF_INET, address.c_str(), &parsed) == 1;
}

LoginFailureWords LoginFailureReason(int code) {
    switch (code) {
        case wire::ORVEX_ERR_AUTH: return {"wrong user name or password", "用户名或密码错误"};
        case wire::ORVEX_ERR_CONNECT: return {"no camera answers there", "该地址没有相机应答"};
        case wire::ORVEX_ERR_TIMEOUT: return {"the camera did not answer in time", "相机未及时应答"};
        case wire::ORVEX_ERR_DISCONNECTED: return {"the camera closed the connection", "相机断开了连接"};
        case wire::ORVEX_ERR_REFUSED: return {"the camera refused the login", "相机拒绝登录"};
        case wire::ORVEX_ERR_NO_RESOURCES: return {"the camera has no room for another session", "相机的会话已满"};
        case wire::ORVEX_ERR_VERSION: return {"the camera speaks another protocol version", "相机的协议版本不同"};
        case wire::ORVEX_ERR_PROTOCOL: return {"the camera's reply was not understood", "无法理解相机的应答"};
        case wire::ORVEX_ERR_INVALID_ARG: return {"address, user name or password not usable", "地址、用户名或密码不可用"};
        case wire::ORVEX_ERR_NOT_INIT: return {"the network library is not initialised", "网络库未初始化"};
        default: return {};
    }
}

std::string LoginFailedMessage(int code) {
    std::string text = platform::Format("登录失败 错误码为%d", code);
    if (const char* words = LoginFailureReason(code).chinese) text += std::string("（") + words + "）";
    return text;
}

NetSession::~NetSession() { LogOut(); }

void NetSession::LogOut() {
    if (handle_ >= 0) transport::ORVEX_LogOut(handle_);
    handle_ = -1;
}

int NetSession::Login(const std::string& address, int port, const std::string& user, const std::string& password,
                      std::string& what) {
    LogOut();
    if (!IsDottedIPv4(address)) {
        what = "'" + address + "' is not a dotted IPv4 address";
        return wire::ORVEX_ERR_INVALID_ARG;
    }
    if (user.size() > kMaxLoginUserBytes || password.size() > kMaxLoginPasswordBytes) {
        what = "the user name may have at most " + std::to_string(kMaxLoginUserBytes) +
               " bytes and the password at most " + std::to_string(kMaxLoginPasswordBytes);
        return wire::ORVEX_ERR_INVALID_ARG;
    }
    transport::LoginInfo info{};
    platform::CopyUtf8Field(info.address, sizeof info.address, address);
    info.port = static_cast<uint16_t>(port);
    std::memcpy(info.user, user.data(), user.size());
    std::memcpy(info.password, password.data(), password.size());
    transport::LoginDeviceInfo device{};
    int session = transport::ORVEX_Login(info, &device, 0, 0, 0, 0);
    std::memset(info.password, 0, sizeof info.password);
    if (session < 0) {
        int code = transport::ORVEX_GetLastError();
        // the user's text, shown safely
        what = "login to " + address + " as " + platform::EscapeForDisplay(user) + " failed";
        if (const char* words = LoginFailureReason(code).english) what += std::string(" (") + words + ")";
        return code < 0 ? code : session;
    }
    handle_ = session;
    address_ = address;
    port_ = port;
    identity_ = {{"Address", address},
                 {"DeviceName", platform::FieldText(device.deviceName, sizeof device.deviceName)},
                 {"ProductModel", platform::FieldText(device.model, sizeof device.model)},
                 {"Serial", platform::FieldText(device.serial, sizeof device.serial)},
                 {"Firmware", platform::FieldText(device.firmware, sizeof device.firmware)}};
    return 0;
}

}  // namespace velmora::camera
