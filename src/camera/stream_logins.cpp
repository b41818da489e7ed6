#include "camera/stream_logins.h"

#include <string>
#include <utility>

#include "platform/text.h"

namespace velmora::camera {

int NetStreamLogins::LogIn(const transport::LoginInfo& info, std::shared_ptr<NetCamera>& camera) {
    camera.reset();
    auto session = std::make_unique<NetSession>();
    std::string what;
    const int r = session->Login(platform::FieldText(info.address, sizeof info.address), info.port,
                                 platform::FieldText(info.user, sizeof info.user),
                                 platform::FieldText(info.password, sizeof info.password), what);
    if (r != 0) return r;
    camera = std::make_shared<NetCamera>(session->handle(), session->address(), info.port, session->identity());
    std::lock_guard lock(mu_);
    sessions_[session->handle()] = std::move(session);
    return 0;
}

void NetStreamLogins::LogOut(const NetCamera& camera) {
    std::unique_ptr<NetSession> session;
    {
        std::lock_guard lock(mu_);
        auto it = sessions_.find(camera.session());
        if (it == sessions_.end()) return;
        session = std::move(it->second);
        sessions_.erase(it);
    }
    session->LogOut();  // outside the lock: logging out waits for the camera
}

size_t NetStreamLogins::OpenCount() const {
    std::lock_guard lock(mu_);
    return sessions_.size();
}

}  // namespace velmora::camera
