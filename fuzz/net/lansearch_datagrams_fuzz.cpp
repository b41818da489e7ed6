// Arbitrary datagrams fed to the LAN search parsers (answers on the client, probes on a camera).

#include <cstddef>
#include <cstdint>

#include "wire/search_wire.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    uint32_t id = 0;
    lansearch::SearchIdentity identity;
    if (lansearch::ParseAnswer(data, size, id, identity) == 0) {
        // Whatever parsed must encode again within the datagram limit.
        auto again = lansearch::EncodeAnswer(id, identity);
        if (again.size() > lansearch::kMaxDatagram) __builtin_trap();
    }
    lansearch::ParseProbe(data, size, id);
    return 0;
}
