// Login plus one request with a ~3 KB reply over loopback, and the request alone, against the
// simulated camera. Run with --benchmark_repetitions=N to see the median.

#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>
#include <string>

#include "transport/net/orvex_sdk.h"
#include "wire/wire.h"
#include "sim/net/camera_server.h"

using namespace velmora::wire;
using namespace velmora::transport;

namespace {

std::string ThreeKilobyteReply() {
    std::string s = "{\"Cmd\":\"ReqGetVideoParam\",\"Content\":{\"nResult\":0,\"VideoParam\":{";
    int i = 0;
    while (s.size() < 3000) {
        s += "\"ucField" + std::to_string(i) + "\":" + std::to_string(i * 7 % 256) + ",";
        ++i;
    }
    s.back() = '}';
    s += "}}";
    return s;
}

struct Fixture {
    std::unique_ptr<velmora::sim::CameraServer> camera;
    LoginInfo login{};
    Fixture() {
        velmora::sim::CameraServerConfig c;
        c.address = "127.0.0.2";
        c.port = 0;
        c.answerSearch = false;
        camera = std::make_unique<velmora::sim::CameraServer>(c);
        std::string reply = ThreeKilobyteReply();
        camera->SetTextHandler([reply](const std::string&) { return reply; });
        camera->Start();
        std::strcpy(login.address, "127.0.0.2");
        login.port = camera->Port();
        std::strcpy(login.user, "admin");
        std::strcpy(login.password, "pelno");
        ORVEX_Init(0);
    }
    ~Fixture() { ORVEX_Cleanup(); }
};

const char kRequest[] = "{\"Cmd\":\"ReqGetVideoParam\",\"wCmdId\":40001090,\"Content\":{}}";

void BM_LoginRequest3KLogout(benchmark::State& state) {
    Fixture f;
    char reply[3072];
    for (auto _ : state) {
        int s = ORVEX_Login(f.login, nullptr, 0, 0, 0, 0);
        int len = sizeof(reply) - 2;
        int rc = ORVEX_SendRobotText(s, kRequest, sizeof(kRequest), reply, &len);
        ORVEX_LogOut(s);
        if (s < 0 || rc != 0) state.SkipWithError("login or request failed");
        benchmark::DoNotOptimize(reply[0]);
    }
}
BENCHMARK(BM_LoginRequest3KLogout)->Unit(benchmark::kMicrosecond)->Repetitions(5)->ReportAggregatesOnly(true);

void BM_Request3K(benchmark::State& state) {
    Fixture f;
    int s = ORVEX_Login(f.login, nullptr, 0, 0, 0, 0);
    char reply[3072];
    for (auto _ : state) {
        int len = sizeof(reply) - 2;
        if (ORVEX_SendRobotText(s, kRequest, sizeof(kRequest), reply, &len) != 0) state.SkipWithError("request failed");
        benchmark::DoNotOptimize(reply[0]);
    }
    state.SetBytesProcessed(state.iterations() * 3000);
}
BENCHMARK(BM_Request3K)->Unit(benchmark::kMicrosecond)->Repetitions(5)->ReportAggregatesOnly(true);

// Parsing a byte stream of 64 KB media frames, as the receive thread does.
void BM_ParseMediaFrames(benchmark::State& state) {
    std::vector<uint8_t> payload(velmora::wire::kMediaHeaderSize + 64 * 1024, 0x41);
    velmora::wire::MediaHeader mh;
    mh.streamId = 1;
    velmora::wire::EncodeMediaHeader(mh, payload.data());
    std::vector<uint8_t> stream;
    for (int i = 0; i < 16; ++i)
        velmora::wire::AppendFrame(stream, velmora::wire::MsgType::Media, 0, 0, payload.data(), payload.size());
    for (auto _ : state) {
        velmora::wire::FrameParser p(velmora::wire::Sender::Camera);
        size_t frames = 0;
        for (size_t at = 0; at < stream.size(); at += 65536) {
            p.Feed(stream.data() + at, std::min<size_t>(65536, stream.size() - at));
            velmora::wire::FrameView f;
            while (p.Next(f) == 1) ++frames;
        }
        benchmark::DoNotOptimize(frames);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(stream.size()));
}
BENCHMARK(BM_ParseMediaFrames)->Unit(benchmark::kMicrosecond)->Repetitions(5)->ReportAggregatesOnly(true);

}  // namespace

BENCHMARK_MAIN();
