// Arbitrary datagrams fed to the LAN search parsers (answers on the client, probes on a camera).

#include <cstddef>
#include <cstdint>

#include "wire/search_wire.h"

using namespace velmora::wire;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    uint32_t id = 0;
    velmora::wire::SearchIdentity identity;
    if (velmora::wire::ParseAnswer(data, size, id, identity) == 0) {
        // Whatever parsed must encode again within the datagram limit.
        auto again = velmora::wire::EncodeAnswer(id, identity);
        if (again.size() > velmora::wire::kMaxDatagram) __builtin_trap();
    }
    velmora::wire::ParseProbe(data, size, id);
    return 0;
}
