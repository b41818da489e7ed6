#include "camera/live_stream.h"

#include <cstring>
#include <new>
#include <string>

#include "camera/net_session.h"
#include "platform/decoder/xplay.h"
#include "platform/user_messages.h"

namespace velmora::camera {

int OrvexXPlayCalls::LastError() { return transport::ORVEX_GetLastError(); }
int OrvexXPlayCalls::StartRealPlay(int session, int stream, transport::ORVEX_RealDataCallback cb, void* user) {
    return transport::ORVEX_StartRealPlay(session, 0, stream, cb, user);
}
int OrvexXPlayCalls::StopRealPlay(int handle) { return transport::ORVEX_StopRealPlay(handle); }
int OrvexXPlayCalls::OpenStream() {
    // The real-play callback hands out one whole access unit per call: each is decoded as it
    // arrives, without waiting for the input to go quiet.
    platform::XStreamOptions options;
    options.whole_access_units = true;
    return platform::X_OpenStreamEx(options);
}
int OrvexXPlayCalls::PlayEx(int port, platform::FrameSink* sink) { return platform::X_PlayEx(port, sink); }
int OrvexXPlayCalls::VideoClose(int port) { return platform::X_VideoClose(port); }

int LiveBackend::RealPlayState(int handle) { return transport::ORVEX_GetRealPlayState(handle); }

LiveStream::LiveStream(LiveBackend& backend, StreamLogins& logins) : backend_(backend), logins_(logins) {}

LiveStream::~LiveStream() { Close(); }

int LiveStream::Open(const transport::LoginInfo& info, int streamSelector, platform::FrameSink* sink) {
    Close();
    std::shared_ptr<NetCamera> camera;
    const int code = logins_.LogIn(info, camera);
    if (code != 0 || !camera) {
        // The code says why (a wrong password is ORVEX_ERR_AUTH), in words after it.
        platform::Messages().Information(LoginFailedMessage(code));
        return code < 0 ? code : wire::ORVEX_ERR_NOT_INIT;
    }
    const int rc = Play(std::move(camera), streamSelector, sink);
    ownLogin_ = true;  // also after a failed real play: the login stays until Close, as it is told
    return rc;
}

int LiveStream::Play(std::shared_ptr<NetCamera> camera, int streamSelector, platform::FrameSink* sink) {
    Close();
    if (!camera) return wire::ORVEX_ERR_INVALID_HANDLE;
    camera_ = std::move(camera);
    record_.session = camera_->session();

    SetStarting(true);
    const int realPlay = backend_.StartRealPlay(record_.session, streamSelector, &LiveStream::OnRealData, &record_);
    if (realPlay < 0) {
        SetStarting(false);
        platform::Messages().Information(platform::Format("请求主码流失败! 错误码为: %d\n", backend_.LastError()));
        record_.decoderPort.store(-1);
        return realPlay;
    }
    record_.realPlay = realPlay;

    const int port = backend_.OpenStream();
    if (port < 0) {
        SetStarting(false);
        return port;
    }
    backend_.PlayEx(port, sink);
    {
        // What came before the port goes first; the callback waits here meanwhile, so nothing
        // overtakes it.
        std::lock_guard lock(record_.startMu);
        for (const std::vector<uint8_t>& unit : record_.early)
            platform::X_VideoInputData(port, unit.data(), static_cast<int>(unit.size()));
        record_.decoderPort.store(port);
    }
    SetStarting(false);

    const std::string& address = camera_->address();
    const size_t keep = address.size() < sizeof record_.address ? address.size() : sizeof record_.address - 1;
    std::memcpy(record_.address, address.data(), keep);
    record_.address[keep] = '\0';
    record_.port = camera_->port();
    return 0;
}

bool LiveStream::Close() {
    // The callback reads the port afresh for every packet: from here on it drops the data, and a
    // packet already on its way to the decoder meets a closing port and is refused there.
    const int port = record_.decoderPort.exchange(-1);
    if (port >= 0) backend_.VideoClose(port);
    if (record_.realPlay >= 0) {
        backend_.StopRealPlay(record_.realPlay);
        record_.realPlay = -1;
    }
    if (camera_) {
        if (ownLogin_) logins_.LogOut(*camera_);
        camera_.reset();
    }
    ownLogin_ = false;
    record_.session = -1;
    return port >= 0;
}

bool LiveStream::Counters(LiveStreamCounters* out) const {
    *out = LiveStreamCounters{};
    platform::XStreamStats stats{};
    const int port = record_.decoderPort.load();
    if (port < 0 || platform::X_GetStreamStats(port, &stats) != 0) return false;
    out->decoded = stats.frames_decoded;
    out->delivered = stats.frames_delivered;
    out->superseded = stats.frames_superseded;
    out->fromBands = stats.frames_from_bands;
    out->dropped = stats.chunks_dropped;
    out->width = stats.width;
    out->height = stats.height;
    return true;
}

void LiveStream::SetStarting(bool starting) {
    std::lock_guard lock(record_.startMu);
    record_.ResetEarly(starting);
}

void LiveStream::OnRealData(int, const unsigned char* data, int length, int, void* user) {
    auto* record = static_cast<LiveStreamRecord*>(user);
    if (!record || !data || length <= 0) return;
    int port = record->decoderPort.load();
    if (port < 0) {
        std::lock_guard lock(record->startMu);
        port = record->decoderPort.load();
        if (port < 0) {
            if (!record->starting) return;  // closed: dropped
            const size_t n = static_cast<size_t>(length);
            bool kept = record->earlyBytes + n <= LiveStreamRecord::kMaxEarlyBytes;
            if (kept) {
                try {
                    record->early.emplace_back(data, data + n);
                    record->earlyBytes += n;
                } catch (const std::bad_alloc&) {
                    kept = false;
                }
            }
            if (!kept) {
                // Too much to hold: the port starts at the next key frame, with no gap behind it.
                record->ResetEarly(false);
            }
            return;
        }
    }
    platform::X_VideoInputData(port, data, length);
}

}  // namespace velmora::camera
