// A hostile camera: arbitrary bytes fed to the client's login exchange (first input byte even) or
// to a logged-in session's frame dispatch (odd), in chunks of varying size.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "transport/net/client_session.h"
#include "wire/wire.h"

using namespace velmora::wire;
using namespace velmora::transport;

namespace {

void Sink(int, const unsigned char* data, int length, int, void* user) {
    // Touch every byte so the sanitizers see any bad pointer or length.
    auto* sum = static_cast<unsigned*>(user);
    for (int i = 0; i < length; ++i) *sum += data[i];
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const bool session = data[0] & 1;
    const size_t chunk = 1 + data[1] % 64;
    data += 2;
    size -= 2;

    if (!session) {
        velmora::transport::LoginHandshake hs("admin", "pelno");
        std::vector<uint8_t> out;
        hs.Begin(out);
        velmora::wire::FrameParser parser(velmora::wire::Sender::Camera);
        for (size_t at = 0; at < size; at += chunk) {
            size_t n = size - at < chunk ? size - at : chunk;
            if (parser.Feed(data + at, n) < 0) return 0;
            velmora::wire::FrameView f;
            int r;
            while ((r = parser.Next(f)) == 1) {
                out.clear();
                if (hs.OnFrame(f, out) != 0) return 0;
            }
            if (r < 0) return 0;
        }
        return 0;
    }

    auto s = velmora::transport::ClientSession::CreateDetached(velmora::transport::Timeouts{});
    unsigned sum = 0;
    s->AddDetachedStream(1, 1, Sink, &sum);
    s->AddDetachedStream(2, 2, Sink, &sum);
    for (size_t at = 0; at < size; at += chunk) {
        size_t n = size - at < chunk ? size - at : chunk;
        if (s->HandleIncoming(data + at, n) < 0) break;
    }
    s->Close();
    return 0;
}
