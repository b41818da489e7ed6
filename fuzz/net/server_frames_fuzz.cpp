// A hostile client: arbitrary bytes fed to the camera side's protocol core, either from the
// first byte of a connection (first input byte even) or after a valid login (odd).

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "wire/login_auth.h"
#include "transport/net/orvex_sdk.h"
#include "wire/wire.h"
#include "sim/net/server_protocol.h"

using namespace velmora::wire;
using namespace velmora::transport;

namespace {

struct FuzzHost : velmora::sim::ServerConnectionHost {
    std::vector<uint8_t> sent;
    bool keep = true;  // keep sent bytes only while logging in
    int streams = 0;
    bool SendBytes(const uint8_t* d, size_t n) override {
        if (keep) sent.insert(sent.end(), d, d + n);
        return true;
    }
    int LoginPolicy() override { return 0; }
    bool FindPassword(const std::string& u, std::string& p) override {
        if (u != "admin") return false;
        p = "pelno";
        return true;
    }
    void OnLoginResult(bool) override {}
    velmora::wire::LoginAcceptedMsg Identity() override {
        velmora::wire::LoginAcceptedMsg m;
        m.deviceName = "fuzz";
        return m;
    }
    bool BeforeRequest() override { return true; }
    velmora::sim::TextOutcome HandleText(const std::string& r) override { return {false, 0, r}; }
    int PrepareStream(uint32_t, int selector) override {
        if (selector != 0) return ORVEX_ERR_STREAM_UNAVAILABLE;
        if (streams >= 4) return ORVEX_ERR_NO_RESOURCES;
        ++streams;
        return 0;
    }
    void BeginStream(uint32_t) override {}
    bool StopStream(uint32_t) override {
        if (streams == 0) return false;
        --streams;
        return true;
    }
    int MaxStreams() override { return 4; }
};

bool LogIn(velmora::sim::ServerConnectionCore& core, FuzzHost& host) {
    velmora::wire::LoginBeginMsg b;
    b.clientNonce.fill(3);
    b.user = "admin";
    auto payload = velmora::wire::EncodeLoginBegin(b);
    std::vector<uint8_t> frame;
    velmora::wire::AppendFrame(frame, velmora::wire::MsgType::LoginBegin, 1, 0, payload.data(), payload.size());
    if (core.Feed(frame.data(), frame.size()) != 0) return false;
    velmora::wire::FrameParser p(velmora::wire::Sender::Camera);
    p.Feed(host.sent.data(), host.sent.size());
    velmora::wire::FrameView f;
    velmora::wire::LoginChallengeMsg c;
    if (p.Next(f) != 1 || velmora::wire::ParseLoginChallenge(f.payload, f.length, c) < 0) return false;
    velmora::wire::LoginProofMsg proof;
    proof.proof = velmora::wire::ComputeClientProof("pelno", c.serverNonce, b.clientNonce, b.user);
    auto pp = velmora::wire::EncodeLoginProof(proof);
    frame.clear();
    velmora::wire::AppendFrame(frame, velmora::wire::MsgType::LoginProof, 2, 0, pp.data(), pp.size());
    return core.Feed(frame.data(), frame.size()) == 0 && core.loggedIn();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const bool loggedIn = data[0] & 1;
    const size_t chunk = 1 + data[1] % 64;
    data += 2;
    size -= 2;
    FuzzHost host;
    velmora::sim::ServerConnectionCore core(host);
    if (loggedIn && !LogIn(core, host)) __builtin_trap();  // the harness itself must work
    host.keep = false;
    for (size_t at = 0; at < size; at += chunk) {
        size_t n = size - at < chunk ? size - at : chunk;
        if (core.Feed(data + at, n) != 0) break;
    }
    return 0;
}
