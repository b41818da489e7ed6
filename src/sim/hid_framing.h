#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace velmora::sim {

// HID report framing of the cameras, seen from the device side.
//
// Request report (host to device), `reportLength` bytes:
//   [0] report id 0, [1..4] magic "FDTH", [5..8] command id, [9..10] payload length,
//   [11..12] last-report flag (1 on the final report), [13..] payload.
// Reply report (device to host), `reportLength` bytes:
//   [0] report id 0, [1..4] magic, [5..8] command id, [9..10] payload length, [11..12] last flag,
//   [13..16] signed status, [17..] payload.
// All multi-byte fields are little-endian.

inline constexpr uint32_t kHidMagic = 0x48544446;  // bytes 46 44 54 48, "FDTH"
inline constexpr size_t kRequestHeaderOffset = 13;  // report id + 12-byte request header
inline constexpr size_t kReplyHeaderOffset = 17;    // report id + 16-byte reply header
inline constexpr size_t kMinReportLength = 18;      // room for one reply payload byte
inline constexpr size_t kMaxReportLength = 8192;
inline constexpr size_t kMaxRequestBytes = 2u * 1024 * 1024;  // firmware blocks are at most 1 MiB

// Busy notice: a camera whose connections are all taken answers a further connection with one
// reply report of command id 0, payload length 0, last flag 1 and this status, then closes it.
// Hosts report it as "device busy".
inline constexpr uint32_t kBusyNoticeCommand = 0;
inline constexpr int32_t kBusyStatus = -42;

// Collects request reports of one connection into whole requests.
// Thread-bound: used by the thread that serves the connection.
class RequestAssembler {
public:
    enum class Event {
        Incomplete,  // report taken, more to come
        Complete,    // command() and payload() hold a whole request
        Malformed,   // report refused (see error()); any partial request was dropped
        Oversized,   // the request ended but exceeded the size bound; its data was dropped
    };

    explicit RequestAssembler(size_t reportLength, size_t maxRequestBytes = kMaxRequestBytes);

    // Takes one packet as received from the socket (exactly one report is expected).
    Event Feed(const uint8_t* packet, size_t size);

    uint32_t command() const { return command_; }
    const std::vector<uint8_t>& payload() const { return payload_; }
    const std::string& error() const { return error_; }
    size_t reportLength() const { return reportLength_; }

private:
    void Restart();

    size_t reportLength_;
    size_t maxRequestBytes_;
    bool inRequest_ = false;
    bool overflow_ = false;
    bool complete_ = false;
    uint32_t command_ = 0;
    std::vector<uint8_t> payload_;
    std::string error_;
};

// How a reply is cut into reports; the defaults give the normal framing.
struct ReplyFraming {
    size_t chunk = 0;         // payload bytes per report; 0 or too large: reportLength - 17
    size_t badMagicFrom = 0;  // 1-based index of the first report given a wrong magic; 0: none
};

// Builds the reply reports for `body` (sent without a terminating zero). An empty body gives one
// report with payload length 0 and the last flag set. Returns the reports back to back.
std::vector<uint8_t> BuildReplyReports(uint32_t command, int32_t status, std::string_view body,
                                       size_t reportLength, const ReplyFraming& framing = {});

// The busy notice (see kBusyStatus): exactly one report of `reportLength` bytes.
std::vector<uint8_t> BuildBusyNotice(size_t reportLength);

// Little-endian helpers shared with the tests' own client.
inline void PutLe16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
inline void PutLe32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
inline uint16_t GetLe16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t GetLe32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}

}  // namespace velmora::sim
