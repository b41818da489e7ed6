// LAN search against simulated cameras on loopback addresses. Every probe in these tests goes to
// 127.x addresses: VELMORA_SEARCH_TARGETS is set before any search starts.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "transport/net/bsc_search.h"
#include "transport/net/lan_searcher.h"
#include "wire/search_wire.h"
#include "sim/net/camera_server.h"
#include "sim/net/net_test_support.h"

using namespace velmora::wire;
using namespace velmora::transport;
using nettest::WaitFor;

namespace {

// Guard: nothing in this binary may fall back to the limited broadcast.
const bool kLoopbackOnly = [] {
    setenv("VELMORA_SEARCH_TARGETS", "127.0.0.1:9", 1);
    return true;
}();

uint32_t Ip(const char* text) {
    in_addr a{};
    inet_pton(AF_INET, text, &a);
    return ntohl(a.s_addr);
}

velmora::sim::CameraServerConfig SearchCamera(const std::string& address, uint16_t searchPort,
                                              const std::string& serial) {
    velmora::sim::CameraServerConfig c;
    c.address = address;
    c.port = 0;
    c.answerSearch = true;
    c.searchPort = searchPort;
    c.serial = serial;
    return c;
}

std::vector<std::string> Addresses(int n) {
    BSC_DeviceInfo records[kSearchMaxDevices] = {};
    int count = kSearchMaxDevices;
    BSC_GetDevInfo(records, &count);
    std::vector<std::string> out;
    for (int i = 0; i < std::min(n, count); ++i) {
        const char* ip = reinterpret_cast<const char*>(&records[i]) + 112;  // as the program reads it
        out.emplace_back(ip);
    }
    return out;
}

}  // namespace

TEST(SearchTargets, ParsingAndPrecedence) {
    std::vector<SearchTarget> t;
    EXPECT_EQ(ParseSearchTargets(" 127.0.0.2, 127.0.0.3:4000,bogus,127.0.0.2,, 1.2.3.4:0, 1.2.3:5", t), 3);
    ASSERT_EQ(t.size(), 2u);
    EXPECT_EQ(t[0], (SearchTarget{Ip("127.0.0.2"), kSearchPort}));
    EXPECT_EQ(t[1], (SearchTarget{Ip("127.0.0.3"), 4000}));

    // The environment wins, even when it names nothing usable.
    EXPECT_EQ(ResolveSearchTargets("127.0.0.9", "127.0.0.8"), (std::vector<SearchTarget>{{Ip("127.0.0.9"), kSearchPort}}));
    EXPECT_TRUE(ResolveSearchTargets("", "127.0.0.8").empty());
    EXPECT_TRUE(ResolveSearchTargets("nonsense", "127.0.0.8").empty());
    // A bogus environment value is said, not searched in silence.
    std::string problem;
    EXPECT_TRUE(ResolveSearchTargets("bogus", "127.0.0.8", &problem).empty());
    EXPECT_EQ(problem, "VELMORA_SEARCH_TARGETS: 'bogus' is not ADDRESS[:PORT] and skipped; nothing is searched");
    EXPECT_EQ(ResolveSearchTargets("127.0.0.9,x", "", &problem).size(), 1u);
    EXPECT_EQ(problem, "VELMORA_SEARCH_TARGETS: 'x' is not ADDRESS[:PORT] and skipped");
    ResolveSearchTargets("", "", &problem);
    EXPECT_EQ(problem, "VELMORA_SEARCH_TARGETS: names no target: nothing is searched");
    ResolveSearchTargets("127.0.0.9", "", &problem);
    EXPECT_TRUE(problem.empty());
    EXPECT_EQ(ResolveSearchTargets(nullptr, "127.0.0.8"), (std::vector<SearchTarget>{{Ip("127.0.0.8"), kSearchPort}}));
    // Without either, the product default (computed here, never sent by these tests).
    EXPECT_EQ(ResolveSearchTargets(nullptr, ""), (std::vector<SearchTarget>{{INADDR_BROADCAST, kSearchPort}}));
}

TEST(SearchWire, AnswersRoundTripAndMalformedDatagramsAreRejected) {
    SearchIdentity id;
    id.deviceName = std::string(60, 'n');  // cut to 47
    id.serial = "S1";
    id.ip = "127.0.0.2";
    id.sdkPort = 36666;
    id.mac = {{1, 2, 3, 4, 5, 6}};
    auto bytes = EncodeAnswer(0xABCD, id);
    uint32_t probe = 0;
    SearchIdentity back;
    ASSERT_EQ(ParseAnswer(bytes.data(), bytes.size(), probe, back), 0);
    EXPECT_EQ(probe, 0xABCDu);
    EXPECT_EQ(back.deviceName, std::string(47, 'n'));
    EXPECT_EQ(back.ip, "127.0.0.2");
    EXPECT_EQ(back.mac, id.mac);
    EXPECT_LT(ParseAnswer(bytes.data(), bytes.size() - 1, probe, back), 0);
    auto probeBytes = EncodeProbe(7);
    EXPECT_LT(ParseAnswer(probeBytes.data(), probeBytes.size(), probe, back), 0);
    EXPECT_EQ(ParseProbe(probeBytes.data(), probeBytes.size(), probe), 0);
    EXPECT_EQ(probe, 7u);
    EXPECT_LT(ParseProbe(bytes.data(), bytes.size(), probe), 0);
    // A body length that claims more than the datagram holds.
    auto lying = bytes;
    lying[6] = 0xFF;
    EXPECT_LT(ParseAnswer(lying.data(), lying.size(), probe, back), 0);
    // Longer bodies from later versions are accepted.
    auto longer = bytes;
    longer.resize(bytes.size() + 10, 0);
    longer[6] = uint8_t(kAnswerBodySize + 10);
    EXPECT_EQ(ParseAnswer(longer.data(), longer.size(), probe, back), 0);
    // Fields without a terminator stop at the field's end.
    auto full = bytes;
    std::memset(full.data() + kAnswerHeaderSize + 138, '7', 16);
    ASSERT_EQ(ParseAnswer(full.data(), full.size(), probe, back), 0);
    EXPECT_EQ(back.ip.size(), 16u);
}

TEST(LanSearch, FindsTwoCamerasByLoopbackBroadcastAndDropsOneThatStops) {
    velmora::sim::CameraServer a(SearchCamera("127.0.0.2", 0, "A"));
    ASSERT_EQ(a.Start(), 0);
    velmora::sim::CameraServer b(SearchCamera("127.0.0.3", a.SearchPort(), "B"));
    ASSERT_EQ(b.Start(), 0);
    std::string targets = "127.255.255.255:" + std::to_string(a.SearchPort());
    setenv("VELMORA_SEARCH_TARGETS", targets.c_str(), 1);
    BSC_SetTiming(100, 400);
    ASSERT_EQ(BSC_Init(), 0);

    ASSERT_TRUE(WaitFor([] { return BSC_GetNum() == 2; }));
    EXPECT_EQ(Addresses(2), (std::vector<std::string>{"127.0.0.2", "127.0.0.3"}));
    BSC_DeviceInfo r[2] = {};
    int n = 2;
    ASSERT_EQ(BSC_GetDevInfo(r, &n), 2);
    EXPECT_STREQ(r[0].serial, "A");
    EXPECT_EQ(r[0].sdkPort, a.Port());
    EXPECT_STREQ(r[1].serial, "B");

    b.Stop();
    ASSERT_TRUE(WaitFor([] { return BSC_GetNum() == 1; }));
    EXPECT_EQ(Addresses(1), (std::vector<std::string>{"127.0.0.2"}));

    ASSERT_EQ(b.Start(), 0);
    EXPECT_TRUE(WaitFor([] { return BSC_GetNum() == 2; })) << "a camera that comes back shows up again";

    a.SetSearchAnswering(false);
    EXPECT_TRUE(WaitFor([] { return BSC_GetNum() == 1; }));
    EXPECT_EQ(Addresses(1), (std::vector<std::string>{"127.0.0.3"}));
    BSC_DeInit();
    EXPECT_EQ(BSC_GetNum(), 0);
}

TEST(LanSearch, UnicastTargetReachesOnlyThatCamera) {
    velmora::sim::CameraServer a(SearchCamera("127.0.0.2", 0, "A"));
    ASSERT_EQ(a.Start(), 0);
    velmora::sim::CameraServer b(SearchCamera("127.0.0.3", a.SearchPort(), "B"));
    ASSERT_EQ(b.Start(), 0);
    LanSearchOptions o;
    o.targets = {{Ip("127.0.0.3"), a.SearchPort()}};
    o.probeIntervalMs = 50;
    LanSearcher s(o);
    ASSERT_EQ(s.Start(), 0);
    ASSERT_TRUE(WaitFor([&] { return s.Count() == 1; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    BSC_DeviceInfo r{};
    ASSERT_EQ(s.Snapshot(&r, 1), 1);
    EXPECT_STREQ(r.ip, "127.0.0.3");
    EXPECT_EQ(s.Count(), 1);
    EXPECT_EQ(a.SearchProbesAnswered(), 0);

    // New targets take effect at once.
    s.SetTargets({{Ip("127.0.0.2"), a.SearchPort()}, {Ip("127.0.0.3"), a.SearchPort()}});
    EXPECT_TRUE(WaitFor([&] { return s.Count() == 2; }));
}

// An answer whose source is no unicast address (here the loopback network's own address, which
// Linux lets a socket send from) is no camera: it is dropped, the real camera stays.
TEST(LanSearch, AnswersFromNonUnicastSourcesAreDropped) {
    velmora::sim::CameraServer fake(SearchCamera("127.0.0.0", 0, "F"));
    ASSERT_EQ(fake.Start(), 0);
    velmora::sim::CameraServer real(SearchCamera("127.0.0.4", fake.SearchPort(), "R"));
    ASSERT_EQ(real.Start(), 0);
    LanSearchOptions o;
    o.targets = {{Ip("127.0.0.0"), fake.SearchPort()}, {Ip("127.0.0.4"), fake.SearchPort()}};
    o.probeIntervalMs = 50;
    LanSearcher s(o);
    ASSERT_EQ(s.Start(), 0);
    ASSERT_TRUE(WaitFor([&] { return s.Count() >= 1 && fake.SearchProbesAnswered() > 0; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    BSC_DeviceInfo r[2]{};
    ASSERT_EQ(s.Snapshot(r, 2), 1);
    EXPECT_STREQ(r[0].ip, "127.0.0.4");

    for (const char* bad : {"0.0.0.0", "127.0.0.0", "127.255.255.255", "224.0.0.1", "239.255.255.250", "255.255.255.255"})
        EXPECT_FALSE(IsCameraSource(Ip(bad), {})) << bad;
    EXPECT_TRUE(IsCameraSource(Ip("192.168.1.10"), {}));
    EXPECT_FALSE(IsCameraSource(Ip("192.168.1.255"), {Ip("192.168.1.0"), Ip("192.168.1.255")}));
}

TEST(LanSearch, AtMostTwentyCamerasAndCallerCapacityIsHonoured) {
    std::vector<std::unique_ptr<velmora::sim::CameraServer>> cams;
    uint16_t port = 0;
    for (int i = 0; i < 22; ++i) {
        auto c = std::make_unique<velmora::sim::CameraServer>(
            SearchCamera("127.0.1." + std::to_string(10 + i), port, "S" + std::to_string(i)));
        ASSERT_EQ(c->Start(), 0);
        port = c->SearchPort();
        cams.push_back(std::move(c));
    }
    std::string targets = "127.255.255.255:" + std::to_string(port);
    setenv("VELMORA_SEARCH_TARGETS", targets.c_str(), 1);
    BSC_SetTiming(100, 1000);
    ASSERT_EQ(BSC_Init(), 0);
    ASSERT_TRUE(WaitFor([] { return BSC_GetNum() == kSearchMaxDevices; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    EXPECT_EQ(BSC_GetNum(), kSearchMaxDevices);

    BSC_DeviceInfo r[kSearchMaxDevices + 1];
    std::memset(r, 0x5A, sizeof(r));
    int n = 3;
    EXPECT_EQ(BSC_GetDevInfo(r, &n), 3);
    EXPECT_EQ(n, 3);
    EXPECT_EQ(reinterpret_cast<unsigned char*>(&r[3])[0], 0x5A) << "nothing written past the capacity";
    n = kSearchMaxDevices + 1;
    EXPECT_EQ(BSC_GetDevInfo(r, &n), kSearchMaxDevices);
    EXPECT_EQ(BSC_GetDevInfo(nullptr, &n), -1);
    EXPECT_EQ(BSC_GetDevInfo(r, nullptr), -1);
    BSC_DeInit();
    n = 5;
    EXPECT_LT(BSC_GetDevInfo(r, &n), 0);
    EXPECT_EQ(n, 0);
}

// The search is done as soon as every unicast target answered; a silent target, or a broadcast
// target (which gives no count of answers), keeps it waiting for the whole time.
TEST(LanSearch, WaitForTargetsEndsWhenEveryUnicastTargetAnswered) {
    velmora::sim::CameraServer a(SearchCamera("127.0.0.2", 0, "A"));
    ASSERT_EQ(a.Start(), 0);
    velmora::sim::CameraServer b(SearchCamera("127.0.0.3", a.SearchPort(), "B"));
    ASSERT_EQ(b.Start(), 0);
    const uint16_t port = a.SearchPort();
    LanSearchOptions o;
    o.targets = {{Ip("127.0.0.2"), port}, {Ip("127.0.0.3"), port}};
    {
        LanSearcher s(o);
        ASSERT_EQ(s.Start(), 0);
        EXPECT_TRUE(s.WaitForTargets(30000));  // a hang would run into the test's time limit
        EXPECT_EQ(s.Count(), 2);
    }
    o.targets.push_back({Ip("127.0.0.4"), port});  // nobody there
    {
        LanSearcher s(o);
        ASSERT_EQ(s.Start(), 0);
        EXPECT_FALSE(s.WaitForTargets(300));
        EXPECT_EQ(s.Count(), 2);
    }
    o.targets = {{Ip("127.0.0.2"), port}, {Ip("127.0.0.255"), port}};
    LanSearcher s(o);
    ASSERT_EQ(s.Start(), 0);
    EXPECT_FALSE(s.WaitForTargets(300));
    EXPECT_TRUE(IsGroupAddress(Ip("255.255.255.255")) && IsGroupAddress(Ip("224.0.0.1")));
    EXPECT_FALSE(IsGroupAddress(Ip("127.0.0.2")));
}
