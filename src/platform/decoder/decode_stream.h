#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/decoder/frame_converter.h"
#include "platform/decoder/xplay.h"

class H264Decoder;
struct AVFrame;

// One decoder port: a bounded input queue, a decoding thread and the attached sink.
//
// Thread-safe: Input, SetSink, Close and GetStats may be called from any thread; Input never waits
// for decoding. Close (or the destructor) stops and joins the decoding thread; after it, Input
// fails with XPLAY_E_PORT and the sink is never called again.
class DecodeStream {
public:
    explicit DecodeStream(const XStreamOptions& options);
    ~DecodeStream();
    DecodeStream(const DecodeStream&) = delete;
    DecodeStream& operator=(const DecodeStream&) = delete;

    // Opens the codec and starts the decoding thread. Returns 0 or a negative code.
    int Start();
    int Input(const uint8_t* data, int length);
    int SetSink(FrameSink* sink);
    // Refuses further input at once; the thread is stopped by Close.
    void MarkClosing();
    // Stops and joins the decoding thread. Returns 0, or XPLAY_E_THREAD on the decoding thread.
    int Close();
    void GetStats(XStreamStats* stats) const;
    bool OnDecodingThread() const;

private:
    struct Chunk {
        std::unique_ptr<uint8_t[]> data;
        int size = 0;
        bool after_hole = false;  // data was lost right before this chunk
    };

    void Run();
    void Present(const AVFrame* frame);

    const XStreamOptions options_;
    std::unique_ptr<H264Decoder> decoder_;
    std::thread thread_;
    std::atomic<std::thread::id> thread_id_{};

    // Queue state, guarded by mu_.
    mutable std::mutex mu_;
    std::condition_variable cv_;
    std::deque<Chunk> queue_;
    int queued_bytes_ = 0;
    bool closing_ = false;
    bool stop_ = false;
    bool hole_pending_ = false;  // a chunk was refused: the next one queued follows a hole
    uint64_t chunks_in_ = 0;
    uint64_t bytes_in_ = 0;
    uint64_t chunks_dropped_ = 0;
    uint64_t bytes_dropped_ = 0;
    std::atomic<bool> stop_flag_{false};  // read by the decoding thread between chunks

    // Sink, guarded by sink_mu_ (held while the sink is being called).
    std::mutex sink_mu_;
    FrameSink* sink_ = nullptr;
    FrameConverter converter_;  // used only on the decoding thread

    // Counters written by the decoding thread.
    std::atomic<uint64_t> access_units_{0};
    std::atomic<uint64_t> skipped_units_{0};
    std::atomic<uint64_t> decode_errors_{0};
    std::atomic<uint64_t> frames_decoded_{0};
    std::atomic<uint64_t> frames_delivered_{0};
    std::atomic<int> width_{0};
    std::atomic<int> height_{0};
};
