#pragma once

// Datagrams of the LAN search (docs/lan-search.md). Pure code, thread-safe.
//
// Probe, 12 bytes:       u32 magic 0x50534C56 ('V' 'L' 'S' 'P'), u8 version 1, u8 type 1,
//                        u16 0, u32 probe id.
// Answer, 12 + body:     u32 magic, u8 version 1, u8 type 2, u16 body length (>= 186),
//                        u32 probe id (echoed), body (SearchIdentity fields, fixed layout).
// All integers little-endian.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace velmora::wire {

// UDP port the cameras listen on for search probes.
constexpr uint16_t kSearchPort = 36667;

constexpr uint32_t kSearchMagic = 0x50534C56u;
constexpr uint8_t kSearchVersion = 1;
constexpr uint8_t kTypeProbe = 1;
constexpr uint8_t kTypeAnswer = 2;
constexpr size_t kProbeSize = 12;
constexpr size_t kAnswerHeaderSize = 12;
constexpr size_t kAnswerBodySize = 186;
constexpr size_t kMaxDatagram = 1024;

// What a camera says about itself. Texts are cut to their field sizes on encoding
// (name 47, serial 31, firmware 23, model 23, ip/netmask/gateway 15 bytes).
struct SearchIdentity {
    std::string deviceName, serial, firmware, model;
    std::array<uint8_t, 6> mac{};
    uint16_t sdkPort = 36666;
    uint16_t httpPort = 80;
    std::string ip, netmask, gateway;
};

std::vector<uint8_t> EncodeProbe(uint32_t probeId);
// Returns 0 and the probe id, or -1 for anything that is not a version-1 probe.
int ParseProbe(const uint8_t* p, size_t length, uint32_t& probeId);

std::vector<uint8_t> EncodeAnswer(uint32_t probeId, const SearchIdentity& id);
// Returns 0, or -1 for anything that is not a well-formed version-1 answer. Texts stop at their
// first zero byte or the end of their field.
int ParseAnswer(const uint8_t* p, size_t length, uint32_t& probeId, SearchIdentity& out);

}  // namespace velmora::wire
