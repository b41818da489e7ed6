#pragma once

// LAN search in the manner of a vendor library: plain functions over one process-wide searcher
// (see docs/lan-search.md). BSC_Init starts a background thread that sends a probe datagram to
// each search target about once a second and keeps the cameras that answered; a camera that has
// not answered for a few probes drops out.
//
// Probe targets, first match wins:
//   1. the environment variable VELMORA_SEARCH_TARGETS: comma-separated IPv4 addresses, each
//      optionally followed by ":port" (if it is set but holds no valid address, nothing is sent);
//   2. the list given to BSC_SetSearchTargets (the program passes the SEARCH section of its
//      configuration file);
//   3. the limited broadcast 255.255.255.255.
//
// Thread-safe: any thread may call these functions.

#include <cstddef>
#include <cstdint>

#include "wire/search_wire.h"  // kSearchPort

namespace velmora::transport {

constexpr int kSearchMaxDevices = 20;

// One camera, 192 bytes. Texts are NUL-terminated and cut to fit; absent values are zero.
struct BSC_DeviceInfo {
    char deviceName[48];  //   0
    char serial[32];      //  48
    char firmware[24];    //  80
    uint8_t mac[6];       // 104
    uint16_t sdkPort;     // 110  TCP port of the camera protocol (36666)
    char ip[16];          // 112  IPv4 text of the address the answer came from
    char netmask[16];     // 128  as the camera reports it
    char gateway[16];     // 144  as the camera reports it
    char model[24];       // 160
    uint16_t httpPort;    // 184
    uint16_t reserved;    // 186
    uint32_t ageMs;       // 188  milliseconds since the camera last answered
};
static_assert(sizeof(BSC_DeviceInfo) == 192, "device-information records are 192 bytes");
static_assert(offsetof(BSC_DeviceInfo, ip) == 112);
static_assert(offsetof(BSC_DeviceInfo, model) == 160);
static_assert(offsetof(BSC_DeviceInfo, ageMs) == 188);

// Starts searching. Returns 0, or a negative code when no socket could be opened. Calling it
// while already running returns 0 and changes nothing.
int BSC_Init();
// Number of cameras currently known (at most kSearchMaxDevices).
int BSC_GetNum();
// Copies up to *count records (capacity in records on entry) into `records` and stores the number
// copied in *count. Returns that number, or a negative code for null pointers or before BSC_Init.
int BSC_GetDevInfo(BSC_DeviceInfo* records, int* count);
// Stops searching, joins the thread and forgets the cameras.
int BSC_DeInit();

// Velmora extension: the search targets read from the configuration file, as comma-separated
// "a.b.c.d[:port]" entries (null or empty: none). Takes effect at once if searching. The
// environment variable still wins over this list.
int BSC_SetSearchTargets(const char* commaSeparatedTargets);

// Velmora extension: the number of addresses the search probes (a broadcast counts as one), as
// chosen from the environment, the configured list and the default.
int BSC_GetTargetCount();

// Velmora extension: waits until every search target has answered, at most `timeoutMs`
// milliseconds. Returns 1 when they all did, 0 when the time ran out (always the case with a
// broadcast target), or a negative code before BSC_Init.
int BSC_WaitForAnswers(int timeoutMs);

// Velmora extension for tests: probe interval and drop-out age in milliseconds (0 or less keeps
// the current value; defaults 1000 and 3500). Takes effect at the next BSC_Init.
int BSC_SetTiming(int probeIntervalMs, int expiryMs);

}  // namespace velmora::transport
