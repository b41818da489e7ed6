#pragma once

#include <cstddef>
#include <string>

#include "camera/camera.h"
#include "camera/net_camera.h"

namespace velmora::camera {

// Longest user name and password the login record holds (its fields keep a terminator). Longer
// ones are refused rather than cut: a cut password would log in with only its first bytes.
inline constexpr size_t kMaxLoginUserBytes = 16;
inline constexpr size_t kMaxLoginPasswordBytes = 23;

// True when `address` is a dotted IPv4 address such as "127.0.0.2" (the login record's form).
bool IsDottedIPv4(const std::string& address);

// The reason of a failed login in words, for the messages that give its code: English for the
// CLI, Chinese for the windows. Both null for a code without words.
struct LoginFailureWords {
    const char* english = nullptr;
    const char* chinese = nullptr;
};
LoginFailureWords LoginFailureReason(int code);
// The windows' login failure message: "登录失败 错误码为%d", then the reason in words after the
// code when there are words for it ("登录失败 错误码为-1008（用户名或密码错误）").
std::string LoginFailedMessage(int code);

// One login to a network camera, logged out when destroyed. The network library must be
// initialised (ORVEX_Init) for as long as the session lives. Thread-bound.
class NetSession {
public:
    NetSession() = default;
    ~NetSession();
    NetSession(const NetSession&) = delete;
    NetSession& operator=(const NetSession&) = delete;

    // Logs in. 0, or the network library's negative code with `what` saying what failed in one
    // short phrase. An address that is not dotted IPv4, or a user name or password longer than
    // the login record holds, is refused without connecting (ORVEX_ERR_INVALID_ARG).
    int Login(const std::string& address, int port, const std::string& user, const std::string& password,
              std::string& what);
    void LogOut();

    bool loggedIn() const { return handle_ >= 0; }
    int handle() const { return handle_; }
    const std::string& address() const { return address_; }
    // Address, DeviceName, ProductModel, Serial, Firmware as the login reported them.
    const CameraIdentity& identity() const { return identity_; }
    // The camera of this session; valid while the session is logged in.
    NetCamera camera() const { return NetCamera(handle_, address_, port_, identity_); }

private:
    int handle_ = -1;
    std::string address_;
    int port_ = 0;
    CameraIdentity identity_;
};

}  // namespace velmora::camera
