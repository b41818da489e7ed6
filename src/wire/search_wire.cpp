#include "wire/search_wire.h"

#include "platform/byte_order.h"
#include "platform/codepage.h"

#include <cstring>

namespace velmora::wire {

namespace {

// Body layout of an answer (offsets within the body).
constexpr size_t kNameAt = 0, kNameSize = 48;
constexpr size_t kSerialAt = 48, kSerialSize = 32;
constexpr size_t kFirmwareAt = 80, kFirmwareSize = 24;
constexpr size_t kModelAt = 104, kModelSize = 24;
constexpr size_t kMacAt = 128;
constexpr size_t kSdkPortAt = 134;
constexpr size_t kHttpPortAt = 136;
constexpr size_t kIpAt = 138, kNetmaskAt = 154, kGatewayAt = 170, kAddrSize = 16;
static_assert(kGatewayAt + kAddrSize == kAnswerBodySize);

using platform::GetLe16;
using platform::GetLe32;
using platform::PutLe16;
using platform::PutLe32;

// Writes at most size-1 bytes and leaves the rest of the field zero.
void PutText(uint8_t* field, size_t size, const std::string& text) {
    std::memcpy(field, text.data(), platform::Utf8PrefixLength(text, size - 1));
}

std::string GetText(const uint8_t* field, size_t size) {
    const void* zero = std::memchr(field, 0, size);
    size_t n = zero ? static_cast<size_t>(static_cast<const uint8_t*>(zero) - field) : size;
    return std::string(reinterpret_cast<const char*>(field), n);
}

void PutHeader(uint8_t* p, uint8_t type, uint16_t bodyLength, uint32_t probeId) {
    platform::PutLe32(p, kSearchMagic);
    p[4] = kSearchVersion;
    p[5] = type;
    platform::PutLe16(p + 6, bodyLength);
    PutLe32(p + 8, probeId);
}

}  // namespace

std::vector<uint8_t> EncodeProbe(uint32_t probeId) {
    std::vector<uint8_t> out(kProbeSize, 0);
    PutHeader(out.data(), kTypeProbe, 0, probeId);
    return out;
}

int ParseProbe(const uint8_t* p, size_t length, uint32_t& probeId) {
    if (!p || length < kProbeSize || length > kMaxDatagram) return -1;
    if (platform::GetLe32(p) != kSearchMagic || p[4] != kSearchVersion || p[5] != kTypeProbe) return -1;
    probeId = platform::GetLe32(p + 8);
    return 0;
}

std::vector<uint8_t> EncodeAnswer(uint32_t probeId, const SearchIdentity& id) {
    std::vector<uint8_t> out(kAnswerHeaderSize + kAnswerBodySize, 0);
    PutHeader(out.data(), kTypeAnswer, static_cast<uint16_t>(kAnswerBodySize), probeId);
    uint8_t* b = out.data() + kAnswerHeaderSize;
    PutText(b + kNameAt, kNameSize, id.deviceName);
    PutText(b + kSerialAt, kSerialSize, id.serial);
    PutText(b + kFirmwareAt, kFirmwareSize, id.firmware);
    PutText(b + kModelAt, kModelSize, id.model);
    std::memcpy(b + kMacAt, id.mac.data(), id.mac.size());
    platform::PutLe16(b + kSdkPortAt, id.sdkPort);
    PutLe16(b + kHttpPortAt, id.httpPort);
    PutText(b + kIpAt, kAddrSize, id.ip);
    PutText(b + kNetmaskAt, kAddrSize, id.netmask);
    PutText(b + kGatewayAt, kAddrSize, id.gateway);
    return out;
}

int ParseAnswer(const uint8_t* p, size_t length, uint32_t& probeId, SearchIdentity& out) {
    if (!p || length < kAnswerHeaderSize + kAnswerBodySize || length > kMaxDatagram) return -1;
    if (platform::GetLe32(p) != kSearchMagic || p[4] != kSearchVersion || p[5] != kTypeAnswer) return -1;
    size_t bodyLength = platform::GetLe16(p + 6);
    // Later versions may append fields; the declared body must be there in full.
    if (bodyLength < kAnswerBodySize || bodyLength > length - kAnswerHeaderSize) return -1;
    probeId = platform::GetLe32(p + 8);
    const uint8_t* b = p + kAnswerHeaderSize;
    out.deviceName = GetText(b + kNameAt, kNameSize);
    out.serial = GetText(b + kSerialAt, kSerialSize);
    out.firmware = GetText(b + kFirmwareAt, kFirmwareSize);
    out.model = GetText(b + kModelAt, kModelSize);
    std::memcpy(out.mac.data(), b + kMacAt, out.mac.size());
    out.sdkPort = GetLe16(b + kSdkPortAt);
    out.httpPort = GetLe16(b + kHttpPortAt);
    out.ip = GetText(b + kIpAt, kAddrSize);
    out.netmask = GetText(b + kNetmaskAt, kAddrSize);
    out.gateway = GetText(b + kGatewayAt, kAddrSize);
    return 0;
}

}  // namespace velmora::wire
