#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "camera/net_camera.h"
#include "camera/stream_logins.h"
#include "platform/decoder/frame_sink.h"
#include "transport/net/orvex_sdk.h"

// The live picture of one network camera: a real play of one of its streams over the camera's
// login, and a decoder port that hands the decoded pictures to a FrameSink. The video panes hold
// one each; a pane only paints what its sink is given.
namespace velmora::camera {

// The calls a live stream makes besides the login. The default forwards to the ORVEX_ and X_
// functions; tests substitute a recorder to check the order of the calls and to produce failures.
// The stream data goes from OnRealData straight to X_VideoInputData, so a backend whose real play
// delivers data must hand out real decoder ports from OpenStream.
class LiveBackend {
public:
    virtual ~LiveBackend() = default;
    virtual int LastError() = 0;  // ORVEX_GetLastError
    virtual int StartRealPlay(int session, int stream, transport::ORVEX_RealDataCallback cb, void* user) = 0;
    virtual int StopRealPlay(int handle) = 0;
    virtual int OpenStream() = 0;  // X_OpenStreamEx with whole_access_units (one per callback)
    virtual int PlayEx(int port, platform::FrameSink* sink) = 0;
    virtual int VideoClose(int port) = 0;
    // ORVEX_GetRealPlayState: 0 while the stream runs, the negative reason once it has ended.
    // Not pure, so recorders that do not care about it forward to the library.
    virtual int RealPlayState(int handle);
};

// The ORVEX_/X_ forwarding of LiveBackend, for whoever extends the interface.
class OrvexXPlayCalls : public virtual LiveBackend {
public:
    int LastError() override;
    int StartRealPlay(int session, int stream, transport::ORVEX_RealDataCallback cb, void* user) override;
    int StopRealPlay(int handle) override;
    int OpenStream() override;
    int PlayEx(int port, platform::FrameSink* sink) override;
    int VideoClose(int port) override;
};

// The handles of one live stream. Closing resets the three handles to -1 and keeps the address
// and port of the camera last opened. decoderPort is atomic because the network library's receive
// thread reads it in LiveStream::OnRealData while the owner's thread opens and closes the stream;
// the start-up fields are guarded by startMu; every other field is touched by the owner's thread
// only.
struct LiveStreamRecord {
    char address[32] = {};
    int32_t port = 0;
    int32_t session = -1;
    int32_t realPlay = -1;
    std::atomic<int32_t> decoderPort{-1};

    // While the stream starts, what the camera sends before the decoder port is stored is kept
    // here and fed to the port first: a camera starts with its key frame, and without it the
    // first picture would wait for the next one (a whole group of pictures, often seconds).
    std::mutex startMu;
    bool starting = false;
    std::vector<std::vector<uint8_t>> early;
    size_t earlyBytes = 0;
    // More than this before the port is there, and the stream starts at its next key frame.
    static constexpr size_t kMaxEarlyBytes = 8u << 20;
    // Drops what was kept and says whether to keep more. startMu must be held.
    void ResetEarly(bool keep) {
        starting = keep;
        early.clear();
        earlyBytes = 0;
    }
};

// Pictures of one stream since its decoder port opened (all 0 without a port).
struct LiveStreamCounters {
    uint64_t decoded = 0;     // pictures the decoder finished
    uint64_t delivered = 0;   // pictures handed to the sink
    uint64_t superseded = 0;  // decoded, then replaced by a newer one before the sink was free
    uint64_t dropped = 0;     // input chunks dropped because decoding fell behind
    uint64_t fromBands = 0;   // delivered pictures halved row by row while being decoded
    int width = 0;            // size of the last decoded picture
    int height = 0;
};

// Thread-bound to its owner's thread (the windows' user-interface thread), except OnRealData,
// which the network library calls on its receive threads, and Counters, which any thread may call.
// The backend and the logins must outlive the stream. A sink given to Open is called on the
// decoder port's threads until Close returns (or until it is detached with PlayEx(port, nullptr)).
class LiveStream {
public:
    LiveStream(LiveBackend& backend, StreamLogins& logins);
    // Closes the stream.
    ~LiveStream();
    LiveStream(const LiveStream&) = delete;
    LiveStream& operator=(const LiveStream&) = delete;

    // Closes the stream, logs in with `info` through the logins, and plays: Play on the login's
    // camera. A failed login is told through platform::Messages() as "登录失败 错误码为%d" with its
    // reason, and its code returned (a wrong password gives ORVEX_ERR_AUTH).
    int Open(const transport::LoginInfo& info, int streamSelector, platform::FrameSink* sink);

    // Closes the stream, then starts real play of `streamSelector` on `camera`'s session and opens
    // a decoder port attached to `sink`. A failed real play is told as "请求主码流失败! 错误码为:
    // %d\n" with the library's last error (the camera is kept until the next Close); a decoder port
    // that cannot be opened is not told. Address and port are stored only when the stream plays.
    // Returns 0 when it plays, else the negative result of the failed call. A camera given here
    // (not logged in by Open) is not logged out by Close: its login is the caller's.
    int Play(std::shared_ptr<NetCamera> camera, int streamSelector, platform::FrameSink* sink);

    // Releases the decoder port, the real play and the camera, in this order, and ends the login
    // Open made; address and port are kept. Returns true when a decoder port was closed (the sink
    // is no longer called).
    bool Close();

    bool HasSession() const { return record_.session >= 0; }
    // 0 while the real play runs (or there is none), else the negative reason it ended with: the
    // camera ended the stream or the connection broke. Polled: the callback is not told.
    int EndedReason() const { return record_.realPlay >= 0 ? std::min(backend_.RealPlayState(record_.realPlay), 0) : 0; }
    int DecoderPort() const { return record_.decoderPort.load(); }
    const LiveStreamRecord& Record() const { return record_; }
    // The camera the stream plays (null when there is none).
    std::shared_ptr<NetCamera> Camera() const { return camera_; }
    // The decoder port's picture counters; false (and zeros) without a port.
    bool Counters(LiveStreamCounters* out) const;

    // The real-play callback; `user` is the stream's LiveStreamRecord. Feeds the record's decoder
    // port, or drops the data while there is none.
    static void OnRealData(int realHandle, const unsigned char* data, int length, int type, void* user);

private:
    // Starts (or ends) keeping what arrives before the decoder port, dropping what was kept.
    void SetStarting(bool starting);

    LiveBackend& backend_;
    StreamLogins& logins_;
    LiveStreamRecord record_;
    std::shared_ptr<NetCamera> camera_;
    bool ownLogin_ = false;  // camera_ came from Open's login, which Close ends
};

}  // namespace velmora::camera
