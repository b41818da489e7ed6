#pragma once

// The search engine behind the BSC_ functions: one UDP socket, one thread that probes the
// targets every interval and collects answers. Thread-safe: every public member may be called
// from any thread.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "transport/net/bsc_search.h"
#include "wire/search_wire.h"

namespace velmora::transport {

struct SearchTarget {
    uint32_t address = 0;  // IPv4, host byte order
    uint16_t port = wire::kSearchPort;
    bool operator==(const SearchTarget&) const = default;
};

// True for an address that reaches more than one host: the limited broadcast, a multicast
// address, or one ending in .255 (the usual subnet broadcast). A search that probes one is never
// done early.
bool IsGroupAddress(uint32_t address);

// Parses "a.b.c.d[:port], ..." (blanks around entries allowed). Invalid entries are skipped;
// returns the number skipped and, when `skipped` is given, appends their texts.
int ParseSearchTargets(std::string_view text, std::vector<SearchTarget>& out,
                       std::vector<std::string>* skipped = nullptr);

// Chooses the targets: the environment value if not null (even when it yields none), else the
// configured list if it yields any, else the limited broadcast on kSearchPort. When the
// environment value has entries that are skipped, or yields none, `problem` (if given) receives
// one line saying so; it is left empty otherwise.
std::vector<SearchTarget> ResolveSearchTargets(const char* environmentValue, std::string_view configured,
                                               std::string* problem = nullptr);

// Whether an answer's source address can be a camera: not "this network" (0/8), not the
// loopback network's own network or broadcast address (127.0.0.0, 127.255.255.255), not
// multicast (224/4) or reserved/limited broadcast (240/4, 255.255.255.255), and not one of
// `localBroadcasts` (the network and broadcast addresses of this host's interfaces). A forged
// source of that kind would otherwise be listed, and connecting to it would reach everyone or no
// one.
bool IsCameraSource(uint32_t address, const std::vector<uint32_t>& localBroadcasts);

// The network and broadcast addresses of this host's IPv4 interfaces (host byte order).
std::vector<uint32_t> LocalBroadcastAddresses();

struct LanSearchOptions {
    std::vector<SearchTarget> targets;
    int probeIntervalMs = 1000;
    int expiryMs = 3500;
};

class LanSearcher {
public:
    explicit LanSearcher(LanSearchOptions options);
    ~LanSearcher();
    LanSearcher(const LanSearcher&) = delete;
    LanSearcher& operator=(const LanSearcher&) = delete;

    // Opens the socket and starts the thread (probing at once). 0 or a negative code.
    int Start();
    // Stops and joins the thread; known cameras are kept until destruction or the next Start.
    void Stop();
    // Replaces the targets; the next probe goes to the new ones.
    void SetTargets(std::vector<SearchTarget> targets);
    // Sends a probe round now instead of waiting for the interval.
    void ProbeNow();

    // Waits until every target has answered, at most `timeoutMs`; true when they all did. With a
    // broadcast target (or none at all) it always waits the whole time: a broadcast gives no count
    // of answers to wait for. A target has answered when a camera answered from its address.
    bool WaitForTargets(int timeoutMs);

    // Cameras heard from within the expiry age, at most kSearchMaxDevices.
    int Count();
    // Copies up to `capacity` records, ordered by address; returns the number copied.
    int Snapshot(BSC_DeviceInfo* records, int capacity);

private:
    struct Known {
        wire::SearchIdentity identity;
        int64_t lastSeenMs = 0;
    };
    void Run();
    void SendProbes();
    void ReceiveOne();
    void DropExpired(int64_t nowMs);

    LanSearchOptions options_;
    bool AllTargetsAnswered() const;  // mu_ held

    std::mutex mu_;
    std::condition_variable answered_;  // notified under mu_ for each answer taken
    std::map<uint32_t, Known> known_;  // key: source address, host order
    std::vector<uint32_t> recentProbeIds_;
    std::vector<uint32_t> localBroadcasts_;  // read at Start
    bool probeRequested_ = false;
    int fd_ = -1;
    int wakeFd_[2] = {-1, -1};
    std::atomic<bool> running_{false};
    std::thread thread_;
};

}  // namespace velmora::transport
