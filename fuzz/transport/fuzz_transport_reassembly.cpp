// Feeds arbitrary reply-report sequences to the reassembler and checks its promises: it never
// writes past the reply buffer, the data is always followed by a zero byte, and the received
// length matches.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "transport/usb/hid_framing.h"

using namespace velmora::transport;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4) return 0;
    // Header of the input: report length, reply capacity (exact-size heap buffer for ASan).
    int reportLength = velmora::transport::kMinReportLength + data[0] % 100;
    int capacity = (data[1] | (data[2] << 8)) % 2048;
    bool withBuffer = (data[3] & 1) != 0;
    data += 4;
    size -= 4;

    std::unique_ptr<char[]> reply(withBuffer ? new char[capacity ? capacity : 1] : nullptr);
    int received = -1;
    velmora::transport::ReplyAssembler a(reply.get(), capacity, &received, reportLength);
    // Each report: one length byte (packet size, may be short or long), then that many bytes.
    while (size > 0 && !a.Finished()) {
        size_t n = data[0];
        ++data;
        --size;
        if (n > size) n = size;
        a.Feed(data, n);
        data += n;
        size -= n;
    }
    if (received < 0 || received != a.Total()) std::abort();
    if (withBuffer && capacity > 0) {
        if (received >= capacity || reply[received] != 0) std::abort();
    }
    return 0;
}
