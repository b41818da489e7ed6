#pragma once

// A simulated network camera: serves the camera protocol over TCP (login, text requests, real
// play) and answers the LAN search over UDP, with fault injection for tests.
//
// Threads: one service thread (accepts connections, answers search probes), one thread per
// client connection, one per open stream. Stop() (and the destructor) closes every socket and
// joins every thread; no callback of the server runs after it returns.
// Thread-safe: every public member may be called from any thread, also while serving.

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "wire/search_wire.h"
#include "sim/net/stream_source.h"

namespace velmora::sim {

struct CameraUser {
    std::string name;
    std::string password;
};

struct CameraServerConfig {
    std::string address = "127.0.0.2";  // IPv4 address to listen on (loopback here)
    uint16_t port = 36666;              // TCP port; 0 picks a free one (see Port())
    std::vector<CameraUser> users = {{"admin", "pelno"}};
    std::string deviceName = "Velmora SimCam";
    std::string serial = "VSC0000001";
    std::string firmware = "1.0.0";
    std::string model = "VSC-100";
    std::array<uint8_t, 6> mac{{0x02, 0x56, 0x4c, 0x00, 0x00, 0x01}};
    int maxConnections = 16;
    int maxStreamsPerSession = 4;
    int loginTimeoutMs = 10000;  // a client that does not finish logging in is dropped
    int sendTimeoutMs = 5000;    // a client that does not read for this long is dropped
    // LAN search: UDP port to answer on (0 picks a free one, see SearchPort()); false disables.
    bool answerSearch = true;
    uint16_t searchPort = wire::kSearchPort;
};

// Answers a text request (a JSON text without its terminating zero) with a reply text.
using TextHandler = std::function<std::string(const std::string& requestJson)>;

class CameraServer {
public:
    explicit CameraServer(CameraServerConfig config);
    ~CameraServer();
    CameraServer(const CameraServer&) = delete;
    CameraServer& operator=(const CameraServer&) = delete;

    // Binds the sockets and starts serving. 0, or -1 when a socket could not be bound.
    int Start();
    // The camera goes away: listener and search sockets closed, every connection dropped,
    // every thread joined. Start may be called again afterwards (same ports when they were given).
    void Stop();
    bool running() const { return running_.load(); }

    uint16_t Port() const { return port_; }
    uint16_t SearchPort() const { return searchPort_; }
    const CameraServerConfig& config() const { return config_; }

    // Default: replies {"Content":{"nResult":0}} to everything.
    void SetTextHandler(TextHandler handler);
    // Default: no streams (a start is refused with ORVEX_ERR_STREAM_UNAVAILABLE).
    void SetStreamSourceFactory(StreamSourceFactory factory);

    // ---- fault injection ----
    // Refuse every login with ORVEX_ERR_REFUSED.
    void SetRefuseLogins(bool refuse);
    // Each connection is closed, without reply, when its request number n + 1 arrives
    // (requests are text requests and stream starts and stops); negative: never.
    void SetDropAfterRequests(int n);
    // Delay every text reply by `ms`; negative: hold replies until the stall is cleared (0) or
    // the server stops.
    void SetReplyStallMs(int ms);
    // Answer text requests with a text that is not JSON.
    void SetGarbageReplies(bool garbage);
    // Stop sending media on every stream, without telling the clients (true), or resume.
    void SetStreamsPaused(bool paused);
    // End every open stream, telling the clients with a StreamEnd frame.
    void EndAllStreams();
    // Stop answering search probes (the camera drops out of the search) or answer again.
    void SetSearchAnswering(bool answer);
    // Drop every client connection now; keep listening.
    void DisconnectAll();

    // ---- observation ----
    int ConnectionCount();
    int LoginsAccepted() const { return loginsAccepted_.load(); }
    int LoginsRefused() const { return loginsRefused_.load(); }
    int TextRequests() const { return textRequests_.load(); }
    int64_t MediaFramesSent() const { return mediaFramesSent_.load(); }
    int OpenStreams();
    int SearchProbesAnswered() const { return probesAnswered_.load(); }

private:
    class Connection;
    friend class Connection;

    void ServiceLoop();
    void AcceptOne();
    void AnswerProbe(int fd);
    void ReapFinished(bool all);
    // Waits until a stall of `ms` has passed, the stall was cleared or the server stops.
    void WaitStall(int ms, const std::atomic<bool>& connectionClosing);

    CameraServerConfig config_;
    std::atomic<bool> running_{false};
    uint16_t port_ = 0;
    uint16_t searchPort_ = 0;
    int listenFd_ = -1;
    int searchUnicastFd_ = -1;
    int searchBroadcastFd_ = -1;
    int wakeFd_[2] = {-1, -1};
    std::thread service_;

    std::mutex mu_;  // connections, handlers
    std::list<std::shared_ptr<Connection>> connections_;
    TextHandler textHandler_;
    StreamSourceFactory streamFactory_;

    std::mutex faultMu_;
    std::condition_variable faultCv_;
    int stallMs_ = 0;
    uint64_t stallGeneration_ = 0;  // bumped whenever the stall setting changes
    std::atomic<bool> refuseLogins_{false};
    std::atomic<int> dropAfter_{-1};
    std::atomic<bool> garbage_{false};
    std::atomic<bool> streamsPaused_{false};
    std::atomic<bool> answerSearch_{true};

    std::atomic<int> loginsAccepted_{0};
    std::atomic<int> loginsRefused_{0};
    std::atomic<int> textRequests_{0};
    std::atomic<int64_t> mediaFramesSent_{0};
    std::atomic<int> probesAnswered_{0};
};

}  // namespace velmora::sim
