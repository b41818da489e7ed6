#pragma once

// Camera half of the network protocol, without I/O: bytes from one client go in, frames for
// that client come out through the host. Thread-bound: one instance per connection, used by
// that connection's thread only (the host's methods may hand work to other threads).

#include <cstdint>
#include <string>
#include <vector>

#include "wire/wire.h"

namespace velmora::sim {

// What a text request turned into.
struct TextOutcome {
    bool drop = false;   // close the connection without replying
    int32_t status = 0;  // 0, or a negative code sent instead of a text
    std::string text;    // the reply text when status is 0
};

class ServerConnectionHost {
public:
    virtual ~ServerConnectionHost() = default;
    // Sends whole frames in order; false when the connection is gone.
    virtual bool SendBytes(const uint8_t* data, size_t length) = 0;
    // 0 to allow a login attempt now, or the negative code to refuse it with.
    virtual int LoginPolicy() = 0;
    // The password of `user`, or false for an unknown user.
    virtual bool FindPassword(const std::string& user, std::string& password) = 0;
    virtual void OnLoginResult(bool accepted) = 0;
    // Identity sent with a successful login (the proof and maxStreams are filled by the core).
    virtual wire::LoginAcceptedMsg Identity() = 0;
    // Called for every request after login; false closes the connection without a reply.
    virtual bool BeforeRequest() = 0;
    virtual TextOutcome HandleText(const std::string& request) = 0;
    // Checks and prepares a stream (duplicate id, limit, source): 0 or a negative code.
    virtual int PrepareStream(uint32_t streamId, int selector) = 0;
    // Starts pushing a prepared stream; called after its positive reply has been sent.
    virtual void BeginStream(uint32_t streamId) = 0;
    // Ends a stream; false when there is no such stream.
    virtual bool StopStream(uint32_t streamId) = 0;
    virtual int MaxStreams() = 0;
};

class ServerConnectionCore {
public:
    explicit ServerConnectionCore(ServerConnectionHost& host) : host_(host) {}

    // Processes received bytes. 0: keep the connection; 1: the client logged out, close it;
    // negative: close it because of that error (an Error or refusal frame has been sent).
    int Feed(const uint8_t* data, size_t length);
    bool loggedIn() const { return state_ == State::Ready; }
    const std::string& user() const { return user_; }

private:
    enum class State { AwaitBegin, AwaitProof, Ready, Closed };
    int OnFrame(const wire::FrameView& f);
    int OnLoginBegin(const wire::FrameView& f);
    int OnLoginProof(const wire::FrameView& f);
    int OnRequest(const wire::FrameView& f);
    bool Send(wire::MsgType type, uint32_t requestId, int32_t status, const std::vector<uint8_t>& payload);
    int Close(int code);
    // A frame out of turn or malformed: answered with a protocol error, then the connection ends.
    int RefuseFrame(const wire::FrameView& f);

    ServerConnectionHost& host_;
    wire::FrameParser parser_{wire::Sender::Client};
    State state_ = State::AwaitBegin;
    std::string user_;
    std::string password_;
    wire::Nonce clientNonce_{}, serverNonce_{};
};

}  // namespace velmora::sim
