#include "camera/live_stream.h"

#include <cstring>
#include <string>

#include "camera/net_session.h"
#include "platform/decoder/xplay.h"
#include "platform/user_messages.h"

namespace velmora {

int OrvexXPlayCalls::Login(const LoginInfo& info) { return ORVEX_Login(info, nullptr, 0, 0, 0, 0); }
int OrvexXPlayCalls::LastError() { return ORVEX_GetLastError(); }
int OrvexXPlayCalls::StartRealPlay(int session, int stream, ORVEX_RealDataCallback cb, void* user) {
    return ORVEX_StartRealPlay(session, 0, stream, cb, user);
}
int OrvexXPlayCalls::StopRealPlay(int handle) { return ORVEX_StopRealPlay(handle); }
int OrvexXPlayCalls::LogOut(int session) { return ORVEX_LogOut(session); }
int OrvexXPlayCalls::OpenStream() { return X_OpenStream(0, 0); }
int OrvexXPlayCalls::PlayEx(int port, FrameSink* sink) { return X_PlayEx(port, sink); }
int OrvexXPlayCalls::VideoClose(int port) { return X_VideoClose(port); }

int LiveBackend::RealPlayState(int handle) { return ORVEX_GetRealPlayState(handle); }

LiveStream::LiveStream(LiveBackend& backend) : backend_(backend) {}

LiveStream::~LiveStream() { Close(); }

int LiveStream::Open(const LoginInfo& info, int streamSelector, FrameSink* sink) {
    Close();
    const int session = backend_.Login(info);
    if (session < 0) {
        record_.session = -1;
        // The library's code says why (a wrong password is ORVEX_ERR_AUTH), in words after it.
        const int code = backend_.LastError();
        Messages().Information(LoginFailedMessage(code));
        return code < 0 ? code : session;
    }
    record_.session = session;

    const int realPlay = backend_.StartRealPlay(session, streamSelector, &LiveStream::OnRealData, &record_);
    if (realPlay < 0) {
        Messages().Information(Format("请求主码流失败! 错误码为: %d\n", backend_.LastError()));
        record_.decoderPort.store(-1);
        return realPlay;
    }
    record_.realPlay = realPlay;

    // Data that arrives before the port is stored is dropped; the decoder starts at the next key
    // frame anyway.
    const int port = backend_.OpenStream();
    if (port < 0) return port;
    backend_.PlayEx(port, sink);
    record_.decoderPort.store(port);

    const size_t len = strnlen(info.address, sizeof info.address);
    const size_t keep = len < sizeof record_.address ? len : sizeof record_.address - 1;
    std::memcpy(record_.address, info.address, keep);
    record_.address[keep] = '\0';
    record_.port = info.port;
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
    if (record_.session >= 0) {
        backend_.LogOut(record_.session);
        record_.session = -1;
    }
    return port >= 0;
}

NetCamera LiveStream::Camera() const {
    return NetCamera(record_.session, std::string(record_.address), record_.port);
}

bool LiveStream::Counters(LiveStreamCounters* out) const {
    *out = LiveStreamCounters{};
    XStreamStats stats{};
    const int port = record_.decoderPort.load();
    if (port < 0 || X_GetStreamStats(port, &stats) != 0) return false;
    out->decoded = stats.frames_decoded;
    out->delivered = stats.frames_delivered;
    out->superseded = stats.frames_superseded;
    out->fromBands = stats.frames_from_bands;
    out->dropped = stats.chunks_dropped;
    out->width = stats.width;
    out->height = stats.height;
    return true;
}

void LiveStream::OnRealData(int, const unsigned char* data, int length, int, void* user) {
    auto* record = static_cast<LiveStreamRecord*>(user);
    if (!record) return;
    const int port = record->decoderPort.load();
    if (port >= 0) X_VideoInputData(port, data, length);
}

}  // namespace velmora
