#include "platform/decoder/xplay.h"

#include <climits>
#include <map>
#include <memory>
#include <mutex>

#include "platform/decoder/codec_log.h"
#include "platform/decoder/decode_stream.h"

namespace velmora::platform {

namespace {

// Open ports. A caller takes a reference to the stream under the lock and works on it after
// releasing it, so a concurrent close never frees a stream that is still in use; a closing
// stream is removed from the table and marked closing in one step, so later calls fail cleanly.
struct PortTable {
    std::mutex mu;
    std::map<int, std::shared_ptr<DecodeStream>> streams;
    int next_port = 0;

    ~PortTable() {
        // Ports the application left open: stop their threads before the process tears down.
        std::map<int, std::shared_ptr<DecodeStream>> left;
        {
            std::lock_guard<std::mutex> lock(mu);
            left.swap(streams);
        }
        for (auto& entry : left) entry.second->Close();
    }
};

PortTable& Table() {
    static PortTable* table = [] {
        InstallCodecLogHook();  // the log outlives the table
        static PortTable t;
        return &t;
    }();
    return *table;
}

std::shared_ptr<DecodeStream> Find(int port) {
    PortTable& table = Table();
    std::lock_guard<std::mutex> lock(table.mu);
    auto it = table.streams.find(port);
    return it == table.streams.end() ? nullptr : it->second;
}

}  // namespace

int X_OpenStream(int /*reserved1*/, int /*reserved2*/) {
    return X_OpenStreamEx(XStreamOptions());
}

int X_OpenStreamEx(const XStreamOptions& options) {
    if (options.max_queued_bytes <= 0 || options.max_queued_chunks <= 0 ||
        options.max_chunk_bytes <= 0 || options.decoder_threads < 0) {
        return XPLAY_E_ARG;
    }
    PortTable& table = Table();
    {
        std::lock_guard<std::mutex> lock(table.mu);
        if (static_cast<int>(table.streams.size()) >= XPLAY_MAX_PORTS || table.next_port == INT_MAX) {
            return XPLAY_E_RESOURCE;
        }
    }
    std::shared_ptr<DecodeStream> stream;
    try {
        stream = std::make_shared<DecodeStream>(options);
    } catch (const std::bad_alloc&) {
        return XPLAY_E_RESOURCE;
    }
    int ret = stream->Start();
    if (ret < 0) return ret;

    std::lock_guard<std::mutex> lock(table.mu);
    if (static_cast<int>(table.streams.size()) >= XPLAY_MAX_PORTS || table.next_port == INT_MAX) {
        stream->MarkClosing();
        // Closed outside any lock by the destructor below, after the table lock is released.
        return XPLAY_E_RESOURCE;
    }
    int port = table.next_port++;
    table.streams.emplace(port, std::move(stream));
    return port;
}

int X_PlayEx(int port, FrameSink* sink) {
    std::shared_ptr<DecodeStream> stream = Find(port);
    if (!stream) return XPLAY_E_PORT;
    return stream->SetSink(sink);
}

int X_VideoInputData(int port, const uint8_t* data, int length) {
    std::shared_ptr<DecodeStream> stream = Find(port);
    if (!stream) return XPLAY_E_PORT;
    return stream->Input(data, length);
}

int X_VideoClose(int port) {
    std::shared_ptr<DecodeStream> stream;
    {
        PortTable& table = Table();
        std::lock_guard<std::mutex> lock(table.mu);
        auto it = table.streams.find(port);
        if (it == table.streams.end()) return XPLAY_E_PORT;
        if (it->second->OnPortThread()) return XPLAY_E_THREAD;
        stream = std::move(it->second);
        table.streams.erase(it);
        stream->MarkClosing();
    }
    return stream->Close();
}

int X_GetStreamStats(int port, XStreamStats* stats) {
    if (!stats) return XPLAY_E_ARG;
    std::shared_ptr<DecodeStream> stream = Find(port);
    if (!stream) return XPLAY_E_PORT;
    stream->GetStats(stats);
    return 0;
}

}  // namespace velmora::platform
