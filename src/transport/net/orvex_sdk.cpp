#include "transport/net/orvex_sdk.h"

#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "platform/codepage.h"
#include "platform/text.h"
#include "platform/zeb_log.h"
#include "transport/net/client_session.h"
#include "wire/socket_io.h"

namespace velmora::transport {

namespace {

using platform::FieldText;


constexpr size_t kMaxSessions = 64;

struct RealPlay {
    std::shared_ptr<ClientSession> session;
    int sessionHandle = -1;
};

// Process-wide state behind the handles. Deliberately never destroyed: sessions still open at
// exit must not be torn down by static destructors racing their threads.
struct Registry {
    std::mutex mu;
    bool initialized = false;
    Timeouts timeouts;
    std::map<int, std::shared_ptr<ClientSession>> sessions;
    std::map<int, RealPlay> realPlays;
    int nextSession = 1;
    int nextRealPlay = 1;
};

Registry& Reg() {
    static Registry* r = new Registry;
    return *r;
}

thread_local int t_lastError = 0;

int Fail(int code) {
    t_lastError = code;
    return code;
}

// Drops the real-play handles of the sessions `ended` says are gone; called only after those
// sessions are closed (see ORVEX_LogOut).
template <typename Ended>
void ForgetRealPlays(Ended ended) {
    Registry& r = Reg();
    std::lock_guard<std::mutex> lock(r.mu);
    for (auto rp = r.realPlays.begin(); rp != r.realPlays.end();) {
        if (ended(rp->second.sessionHandle))
            rp = r.realPlays.erase(rp);
        else
            ++rp;
    }
}

std::shared_ptr<ClientSession> FindSession(int handle, int& rc) {
    Registry& r = Reg();
    std::lock_guard<std::mutex> lock(r.mu);
    if (!r.initialized) {
        rc = wire::ORVEX_ERR_NOT_INIT;
        return nullptr;
    }
    auto it = r.sessions.find(handle);
    if (it == r.sessions.end()) {
        rc = wire::ORVEX_ERR_INVALID_HANDLE;
        return nullptr;
    }
    rc = 0;
    return it->second;
}

}  // namespace

int ORVEX_Init(int /*reserved*/) {
    Registry& r = Reg();
    std::lock_guard<std::mutex> lock(r.mu);
    r.initialized = true;
    return wire::ORVEX_OK;
}

int ORVEX_GetLastError() { return t_lastError; }

int ORVEX_SetTimeouts(int connectMs, int requestMs, int idleMs) {
    Registry& r = Reg();
    std::lock_guard<std::mutex> lock(r.mu);
    if (connectMs > 0) r.timeouts.connectMs = connectMs;
    if (requestMs > 0) r.timeouts.requestMs = requestMs;
    if (idleMs > 0) r.timeouts.idleMs = idleMs;
    for (auto& kv : r.sessions) kv.second->SetTimeouts(r.timeouts);
    return wire::ORVEX_OK;
}

int ORVEX_GetSessionCount() {
    Registry& r = Reg();
    std::lock_guard<std::mutex> lock(r.mu);
    return static_cast<int>(r.sessions.size());
}

int ORVEX_Login(LoginInfo info, void* deviceInfo, int, int, int, int) {
    Registry& r = Reg();
    Timeouts timeouts;
    {
        std::lock_guard<std::mutex> lock(r.mu);
        if (!r.initialized) return Fail(wire::ORVEX_ERR_NOT_INIT);
        if (r.sessions.size() >= kMaxSessions) return Fail(wire::ORVEX_ERR_NO_RESOURCES);
        timeouts = r.timeouts;
    }
    uint32_t address = 0;
    if (!wire::ParseIPv4(info.address, sizeof(info.address), address) || info.port == 0)
        return Fail(wire::ORVEX_ERR_INVALID_ARG);
    std::string user = platform::FieldText(info.user, sizeof(info.user));
    std::string password = FieldText(info.password, sizeof(info.password));

    std::shared_ptr<ClientSession> session;
    wire::LoginAcceptedMsg accepted;
    int rc = ClientSession::Open(address, info.port, user, password, timeouts, session, &accepted);
    // Wipe our copy of the password as soon as it is no longer needed.
    std::fill(password.begin(), password.end(), '\0');
    if (rc < 0) {
        platform::LogLine(3, {}, "login to %s:%u failed: %d\n", FieldText(info.address, sizeof(info.address)).c_str(),
                unsigned(info.port), rc);
        return Fail(rc);
    }
    if (deviceInfo) {
        // The camera's identity texts are UTF-8.
        LoginDeviceInfo out{};
        platform::CopyUtf8Field(out.deviceName, sizeof(out.deviceName), accepted.deviceName);
        platform::CopyUtf8Field(out.serial, sizeof(out.serial), accepted.serial);
        platform::CopyUtf8Field(out.firmware, sizeof(out.firmware), accepted.firmware);
        platform::CopyUtf8Field(out.model, sizeof(out.model), accepted.model);
        out.protocolVersion = wire::kVersion;
        out.maxStreams = session->maxStreams();
        std::memcpy(deviceInfo, &out, sizeof(out));
    }
    int handle;
    {
        std::lock_guard<std::mutex> lock(r.mu);
        if (!r.initialized) {
            rc = wire::ORVEX_ERR_NOT_INIT;  // Cleanup ran while we were logging in
        } else {
            handle = r.nextSession++;
            r.sessions[handle] = session;
        }
    }
    if (rc < 0) {
        session->Close();
        return Fail(rc);
    }
    return handle;
}

int ORVEX_StartRealPlay(int sessionHandle, int /*reserved*/, int streamSelector, ORVEX_RealDataCallback callback,
                        void* user) {
    if (!callback || streamSelector < 0 || streamSelector > 255) return Fail(wire::ORVEX_ERR_INVALID_ARG);
    int rc = 0;
    auto session = FindSession(sessionHandle, rc);
    if (!session) return Fail(rc);
    Registry& r = Reg();
    int handle;
    {
        // Registered before the stream starts: the first callback may run before this function
        // returns, and may already stop the stream with its handle.
        std::lock_guard<std::mutex> lock(r.mu);
        if (!r.initialized || !r.sessions.count(sessionHandle)) return Fail(wire::ORVEX_ERR_INVALID_HANDLE);
        handle = r.nextRealPlay++;
        r.realPlays[handle] = RealPlay{session, sessionHandle};
    }
    uint32_t streamId = 0;
    rc = session->StartStream(handle, streamSelector, callback, user, streamId);
    if (rc < 0) {
        std::lock_guard<std::mutex> lock(r.mu);
        r.realPlays.erase(handle);
        return Fail(rc);
    }
    return handle;
}

int ORVEX_SendRobotText(int sessionHandle, const char* text, int textLength, char* reply, int* replyLength) {
    if (!reply || !replyLength || *replyLength < 1) return Fail(wire::ORVEX_ERR_INVALID_ARG);
    const size_t capacity = static_cast<size_t>(*replyLength);
    reply[0] = '\0';
    *replyLength = 0;
    if (!text || textLength < 1) return Fail(wire::ORVEX_ERR_INVALID_ARG);
    const size_t length = strnlen(text, static_cast<size_t>(textLength));
    int rc = 0;
    auto session = FindSession(sessionHandle, rc);
    if (!session) return Fail(rc);
    std::vector<uint8_t> answer;
    rc = session->SendText(reinterpret_cast<const uint8_t*>(text), length, answer);
    if (rc < 0) return Fail(rc);
    if (answer.size() + 1 > capacity) {
        platform::LogLine(3, {}, "reply of %zu bytes exceeds capacity %zu\n", answer.size(), capacity);
        return Fail(wire::ORVEX_ERR_BUFFER_TOO_SMALL);
    }
    if (!answer.empty()) std::memcpy(reply, answer.data(), answer.size());
    reply[answer.size()] = '\0';
    *replyLength = static_cast<int>(answer.size());
    return wire::ORVEX_OK;
}

int ORVEX_StopRealPlay(int realHandle) {
    Registry& r = Reg();
    RealPlay rp;
    {
        // Looked up even while LogOut or Cleanup is ending the session: their entries stay until
        // the session is closed, so this call still waits for a callback in progress.
        std::lock_guard<std::mutex> lock(r.mu);
        auto it = r.realPlays.find(realHandle);
        if (it == r.realPlays.end())
            return Fail(r.initialized ? wire::ORVEX_ERR_INVALID_HANDLE : wire::ORVEX_ERR_NOT_INIT);
        rp = std::move(it->second);
        r.realPlays.erase(it);
    }
    rp.session->StopStream(realHandle);
    return wire::ORVEX_OK;
}

int ORVEX_LogOut(int sessionHandle) {
    Registry& r = Reg();
    std::shared_ptr<ClientSession> session;
    {
        std::lock_guard<std::mutex> lock(r.mu);
        if (!r.initialized) return Fail(wire::ORVEX_ERR_NOT_INIT);
        auto it = r.sessions.find(sessionHandle);
        if (it == r.sessions.end()) return Fail(wire::ORVEX_ERR_INVALID_HANDLE);
        session = std::move(it->second);
        r.sessions.erase(it);
    }
    session->Close();
    // Only now: a StopRealPlay racing this call must find its handle and wait for the callback.
    ForgetRealPlays([sessionHandle](int owner) { return owner == sessionHandle; });
    return wire::ORVEX_OK;
}

int ORVEX_Cleanup() {
    Registry& r = Reg();
    std::map<int, std::shared_ptr<ClientSession>> sessions;
    {
        std::lock_guard<std::mutex> lock(r.mu);
        r.initialized = false;
        sessions.swap(r.sessions);
    }
    for (auto& kv : sessions) kv.second->Close();
    // Real-play handles go only after their sessions are closed (see ORVEX_LogOut). Handles of
    // sessions opened by a new ORVEX_Init meanwhile stay.
    ForgetRealPlays([&sessions](int owner) { return sessions.count(owner) != 0; });
    return wire::ORVEX_OK;
}

int ORVEX_GetRealPlayState(int realHandle) {
    std::shared_ptr<ClientSession> session;
    {
        Registry& r = Reg();
        std::lock_guard<std::mutex> lock(r.mu);
        auto it = r.realPlays.find(realHandle);
        if (it == r.realPlays.end())
            return Fail(r.initialized ? wire::ORVEX_ERR_INVALID_HANDLE : wire::ORVEX_ERR_NOT_INIT);
        session = it->second.session;
    }
    return session->StreamState(realHandle);
}

int ORVEX_GetSessionAddress(int sessionHandle, char* address, int capacity) {
    if (!address || capacity < 1) return Fail(wire::ORVEX_ERR_INVALID_ARG);
    address[0] = '\0';
    int rc = 0;
    auto session = FindSession(sessionHandle, rc);
    if (!session) return Fail(rc);
    const std::string text = session->PeerAddress();
    if (text.size() + 1 > static_cast<size_t>(capacity)) return Fail(wire::ORVEX_ERR_BUFFER_TOO_SMALL);
    std::memcpy(address, text.c_str(), text.size() + 1);
    return static_cast<int>(text.size());
}

}  // namespace velmora::transport
