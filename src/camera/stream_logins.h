#pragma once

#include <map>
#include <memory>
#include <mutex>

#include "camera/net_camera.h"
#include "camera/net_session.h"
#include "transport/net/orvex_sdk.h"

namespace velmora::camera {

// The logins live streams play over. A live stream logs in on its own, one login per stream, as
// the video panes always have: two panes showing the same camera have two sessions, and closing
// one ends only its own. Implemented over NetSession by NetStreamLogins (the camera directory
// holds one); tests substitute recorders.
class StreamLogins {
public:
    virtual ~StreamLogins() = default;
    // Logs in with `info`. 0 and the login's camera, or the network library's negative code (a
    // wrong user name or password gives ORVEX_ERR_AUTH).
    virtual int LogIn(const transport::LoginInfo& info, std::shared_ptr<NetCamera>& camera) = 0;
    // Ends the login `camera` came from. Copies still held fail their exchanges with the network
    // library's invalid-handle code.
    virtual void LogOut(const NetCamera& camera) = 0;
};

// StreamLogins over NetSession. Thread-safe; logins still open are ended when it goes.
class NetStreamLogins final : public StreamLogins {
public:
    int LogIn(const transport::LoginInfo& info, std::shared_ptr<NetCamera>& camera) override;
    void LogOut(const NetCamera& camera) override;
    // Logins open now.
    size_t OpenCount() const;

private:
    mutable std::mutex mu_;
    std::map<int, std::unique_ptr<NetSession>> sessions_;  // by session handle
};

}  // namespace velmora::camera
