#pragma once

// One logged-in connection to a camera, the machinery behind an ORVEX session handle.
//
// Thread-safe: requests may come from several threads at once; they are matched to replies by
// request id. A receive thread owned by the session reads every frame, completes waiting
// requests, answers pings and calls the real-play callbacks. When the camera closes the
// connection, sends garbage or stays silent past the idle time-out, the session is marked dead:
// waiting and later requests fail with the reason and no callback runs any more.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "transport/net/orvex_sdk.h"
#include "wire/wire.h"

namespace velmora::transport {

struct Timeouts {
    int connectMs = 5000;
    int requestMs = 5000;
    int idleMs = 15000;
};

// Client half of the login exchange, without I/O. Thread-bound.
class LoginHandshake {
public:
    LoginHandshake(std::string user, std::string password);
    // Appends the LoginBegin frame to `out`. 0, or ORVEX_ERR_INTERNAL if no random nonce.
    int Begin(std::vector<uint8_t>& out);
    // Processes one frame from the camera: 1 logged in; 0 keep going (anything appended to `out`
    // must be sent); negative: the login failed with that code.
    int OnFrame(const wire::FrameView& frame, std::vector<uint8_t>& out);
    const wire::LoginAcceptedMsg& accepted() const { return accepted_; }

private:
    enum class State { Start, AwaitChallenge, AwaitResult, Done, Failed };
    std::string user_, password_;
    wire::Nonce clientNonce_{}, serverNonce_{};
    wire::LoginAcceptedMsg accepted_;
    State state_ = State::Start;
};

class ClientSession : public std::enable_shared_from_this<ClientSession> {
public:
    // Connects, logs in and starts the receive thread. 0 and the session, or a negative code.
    static int Open(uint32_t addressNetworkOrder, uint16_t port, const std::string& user,
                    const std::string& password, const Timeouts& timeouts, std::shared_ptr<ClientSession>& out,
                    wire::LoginAcceptedMsg* accepted);

    // A session without a socket whose receive side is driven by HandleIncoming and whose sends
    // are discarded; for fuzzing and unit tests of the dispatch logic.
    static std::shared_ptr<ClientSession> CreateDetached(const Timeouts& timeouts);

    ~ClientSession();
    ClientSession(const ClientSession&) = delete;
    ClientSession& operator=(const ClientSession&) = delete;

    // Sends a text request and waits for the reply text. 0 or a negative code.
    int SendText(const uint8_t* text, size_t length, std::vector<uint8_t>& reply);
    // Registers the stream, asks the camera for it and waits for the answer. 0 and the stream id,
    // or a negative code (and the stream is forgotten).
    int StartStream(int realHandle, int selector, ORVEX_RealDataCallback callback, void* user,
                    uint32_t& streamId);
    // Forgets the stream of that real-play handle and waits until no callback for it runs;
    // tells the camera (no wait). Works also while StartStream for it is still waiting.
    void StopStream(int realHandle);
    // Stops every stream, sends Logout (best effort), closes the socket and ends the receive
    // thread. Safe to call more than once and from a callback of this session.
    void Close();

    // Feeds received bytes to the parser and dispatches every complete frame. Returns 0, or a
    // negative code after which the session is dead. Used by the receive thread and fuzzers.
    int HandleIncoming(const uint8_t* data, size_t length);

    // Detached sessions only: registers a stream as if the camera had accepted it.
    int AddDetachedStream(int realHandle, uint32_t streamId, ORVEX_RealDataCallback callback, void* user);

    // State of the stream of that real-play handle: 0 while it runs (or is still starting), the
    // camera's negative reason once it sent StreamEnd, else the session's dead reason once the
    // session is dead. A handle this session does not know reports the dead reason or 0.
    int StreamState(int realHandle) const;

    bool alive() const { return !dead_.load(); }
    int deadReason() const { return deadReason_.load(); }
    // The camera's IPv4 address as text ("" for detached sessions).
    std::string PeerAddress() const;
    void SetTimeouts(const Timeouts& t);
    int maxStreams() const { return maxStreams_; }

private:
    struct Pending {
        wire::MsgType expect;
        bool done = false;
        int32_t status = 0;
        std::vector<uint8_t> payload;
    };
    struct Stream {
        int realHandle = -1;
        uint32_t id = 0;
        ORVEX_RealDataCallback callback = nullptr;
        void* user = nullptr;
        std::mutex callbackMu;  // held while the callback runs
        std::atomic<bool> active{true};
        std::atomic<int> endReason{0};  // negative once the camera ended the stream
    };

    ClientSession(int fd, wire::FrameParser parser, const Timeouts& timeouts);
    static std::shared_ptr<Stream> MakeStream(int realHandle, ORVEX_RealDataCallback callback, void* user);
    // Hands out the next id of a counter that skips 0 when it wraps. Call with mu_ held.
    static uint32_t TakeId(uint32_t& next);
    void StartReceiver();
    void ReceiveLoop();
    int Dispatch(const wire::FrameView& frame);
    void DeliverMedia(const wire::FrameView& frame);
    void MarkDead(int reason);
    // Builds and sends one frame; on failure marks the session dead. 0 or negative.
    int SendFrame(wire::MsgType type, uint32_t requestId, const uint8_t* payload, size_t length);
    int RoundTrip(wire::MsgType type, const std::vector<uint8_t>& payload, wire::MsgType expect,
                  std::vector<uint8_t>* replyPayload);
    void DeactivateStream(const std::shared_ptr<Stream>& s);
    bool OnReceiveThread() const;

    int fd_;
    const bool detached_;
    uint32_t peerAddress_ = 0;  // network byte order; 0 for detached sessions
    wire::FrameParser parser_;  // receive thread only (or the fuzzer's thread)
    std::mutex sendMu_;

    mutable std::mutex mu_;
    std::condition_variable cv_;
    Timeouts timeouts_;
    std::map<uint32_t, std::shared_ptr<Pending>> pending_;
    std::map<uint32_t, std::shared_ptr<Stream>> streams_;
    uint32_t nextRequestId_ = 1;
    uint32_t nextStreamId_ = 1;
    int maxStreams_ = 4;
    bool closed_ = false;  // Close has begun: no new streams

    std::atomic<bool> dead_{false};
    std::atomic<int> deadReason_{0};
    std::atomic<bool> closing_{false};
    std::once_flag closeOnce_;
    std::thread receiver_;
    std::thread::id receiverId_;
    int64_t lastReceiveMs_ = 0;  // receive thread only
    int64_t lastPingMs_ = 0;     // receive thread only
};

}  // namespace velmora::transport
