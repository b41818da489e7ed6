#include "transport/net/bsc_search.h"

#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>

#include "platform/zeb_log.h"
#include "transport/net/lan_searcher.h"

namespace velmora::transport {

namespace {

constexpr int kErrInvalidArg = -1;
constexpr int kErrNotInit = -2;
constexpr int kErrSocket = -3;

struct SearchState {
    std::mutex mu;
    std::shared_ptr<LanSearcher> searcher;  // shared with a BSC_WaitForAnswers in progress
    std::string configured;
    int intervalMs = 1000;
    int expiryMs = 3500;
};

SearchState& State() {
    static SearchState* s = new SearchState;  // never destroyed: no static-destructor races at exit
    return *s;
}

std::vector<SearchTarget> CurrentTargets(const SearchState& s, bool tell = false) {
    std::string problem;
    auto targets = ResolveSearchTargets(std::getenv("VELMORA_SEARCH_TARGETS"), s.configured, &problem);
    // A target list that searches nothing (or less than asked) must not look like an empty LAN:
    // logged here; the programs say it on stderr in their own words.
    if (tell && !problem.empty()) platform::LogLine(4, {}, "%s", problem.c_str());
    return targets;
}

}  // namespace

int BSC_Init() {
    SearchState& s = State();
    std::lock_guard<std::mutex> lock(s.mu);
    if (s.searcher) return 0;
    LanSearchOptions o;
    o.targets = CurrentTargets(s, true);
    o.probeIntervalMs = s.intervalMs;
    o.expiryMs = s.expiryMs;
    auto searcher = std::make_unique<LanSearcher>(std::move(o));
    if (searcher->Start() < 0) return kErrSocket;
    s.searcher = std::move(searcher);
    return 0;
}

int BSC_GetNum() {
    SearchState& s = State();
    std::lock_guard<std::mutex> lock(s.mu);
    return s.searcher ? s.searcher->Count() : 0;
}

int BSC_GetDevInfo(BSC_DeviceInfo* records, int* count) {
    if (!records || !count) return kErrInvalidArg;
    SearchState& s = State();
    std::lock_guard<std::mutex> lock(s.mu);
    if (!s.searcher) {
        *count = 0;
        return kErrNotInit;
    }
    int capacity = *count;
    *count = capacity > 0 ? s.searcher->Snapshot(records, capacity) : 0;
    return *count;
}

int BSC_WaitForAnswers(int timeoutMs) {
    std::shared_ptr<LanSearcher> searcher;
    {
        SearchState& s = State();
        std::lock_guard<std::mutex> lock(s.mu);
        searcher = s.searcher;
    }
    if (!searcher) return kErrNotInit;
    return searcher->WaitForTargets(timeoutMs) ? 1 : 0;
}

int BSC_DeInit() {
    std::shared_ptr<LanSearcher> searcher;
    {
        SearchState& s = State();
        std::lock_guard<std::mutex> lock(s.mu);
        searcher = std::move(s.searcher);
    }
    searcher.reset();  // joins the thread outside the lock
    return 0;
}

int BSC_SetSearchTargets(const char* commaSeparatedTargets) {
    SearchState& s = State();
    std::lock_guard<std::mutex> lock(s.mu);
    s.configured = commaSeparatedTargets ? commaSeparatedTargets : "";
    if (s.searcher) s.searcher->SetTargets(CurrentTargets(s));
    return 0;
}

int BSC_GetTargetCount() {
    SearchState& s = State();
    std::lock_guard<std::mutex> lock(s.mu);
    return static_cast<int>(CurrentTargets(s).size());
}

int BSC_SetTiming(int probeIntervalMs, int expiryMs) {
    SearchState& s = State();
    std::lock_guard<std::mutex> lock(s.mu);
    if (probeIntervalMs > 0) s.intervalMs = probeIntervalMs;
    if (expiryMs > 0) s.expiryMs = expiryMs;
    return 0;
}

}  // namespace velmora::transport
