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

struct AVBufferRef;
struct AVFrame;

namespace velmora::platform {

class H264Decoder;

// One decoder port: a bounded input queue, a decoding thread, a presenting thread and the
// attached sink.
//
// The decoding thread parses and decodes; each picture it finishes is handed, as a new reference
// to the same buffers, to the presenting thread through a one-picture slot. The presenting thread
// converts the picture for the sink and calls it, side by side with the decoding of the next
// pictures. When the presenting thread is still busy and a newer picture arrives, the newer one
// takes the place of the one waiting in the slot (counted as superseded): a viewer only needs the
// latest picture, and decoding never waits for the sink.
// A picture to be shown at a third of its size or less is halved while it is decoded, band by band
// as the codec finishes its rows (FrameConverter::AddBand). Such a picture is converted and
// delivered on the decoding thread itself, where its halves are, when the sink is free at that
// moment; otherwise it takes the presenting thread's way. Pictures carry their decoding order, so a
// picture older than one already delivered is dropped as superseded.
// With XStreamOptions::present_on_decoding_thread there is no presenting thread: every picture is
// converted and delivered on the decoding thread before the next one is decoded.
// With XStreamOptions::whole_access_units each chunk is decoded as it is taken from the queue,
// without the parser and the idle flush, until a chunk does not look like a whole access unit.
//
// Thread-safe: Input, SetSink, Close and GetStats may be called from any thread; Input never waits
// for decoding. Close (or the destructor) stops and joins both threads; after it, Input fails with
// XPLAY_E_PORT and the sink is never called again.
class DecodeStream {
public:
    explicit DecodeStream(const XStreamOptions& options);
    ~DecodeStream();
    DecodeStream(const DecodeStream&) = delete;
    DecodeStream& operator=(const DecodeStream&) = delete;

    // Opens the codec and starts the threads. Returns 0 or a negative code.
    int Start();
    int Input(const uint8_t* data, int length);
    // Returns once no call into the previous sink is in progress. XPLAY_E_THREAD on a port thread.
    int SetSink(FrameSink* sink);
    // Refuses further input at once; the threads are stopped by Close.
    void MarkClosing();
    // Stops and joins both threads. Returns 0, or XPLAY_E_THREAD on one of them (inside the sink).
    int Close();
    void GetStats(XStreamStats* stats) const;
    // True on the port's decoding or presenting thread, the threads that call the sink.
    bool OnPortThread() const;

private:
    struct BufferUnref {
        void operator()(AVBufferRef* buffer) const;
    };
    struct Chunk {
        // Reference-counted, so a whole access unit reaches the codec without another copy.
        std::unique_ptr<AVBufferRef, BufferUnref> data;
        int size = 0;
        bool after_hole = false;  // data was lost right before this chunk
    };

    void Run();
    void RunPresenter();
    // Decoding thread: passes a finished picture on to be shown.
    void HandOff(const AVFrame* frame);
    // Converts the picture with `converter` and delivers it; called with sink_mu_ held. A picture
    // older (`seq`) than one already delivered is dropped as superseded.
    void Present(const AVFrame* frame, FrameConverter& converter, uint64_t seq);

    const XStreamOptions options_;
    std::unique_ptr<H264Decoder> decoder_;
    std::thread thread_;
    std::thread presenter_;
    std::atomic<std::thread::id> thread_id_{};
    std::atomic<std::thread::id> presenter_id_{};

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

    // Handoff slot between the decoding and the presenting thread, guarded by slot_mu_. The
    // AVFrames are allocated in Start and freed after both threads are joined.
    std::mutex slot_mu_;
    std::condition_variable slot_cv_;
    AVFrame* waiting_ = nullptr;     // the newest picture not yet taken by the presenter
    uint64_t waiting_seq_ = 0;       // its number in the order of decoding
    bool waiting_full_ = false;
    bool present_stop_ = false;
    AVFrame* spare_ = nullptr;       // decoding thread only: the next picture's reference
    AVFrame* presenting_ = nullptr;  // presenting thread only: the picture being shown

    // Sink, guarded by sink_mu_ (held while the sink is being called).
    std::mutex sink_mu_;
    FrameSink* sink_ = nullptr;
    std::atomic<bool> has_sink_{false};  // lets the decoding thread skip the handoff without a sink
    FrameConverter converter_;           // used only on the presenting thread
    FrameConverter decoding_converter_;  // decoding thread (and the codec's threads, for bands)
    uint64_t handed_off_ = 0;            // decoding thread only: pictures decoded
    uint64_t presented_seq_ = 0;         // guarded by sink_mu_: the newest picture delivered

    // Counters written by the port's threads.
    std::atomic<uint64_t> access_units_{0};
    std::atomic<uint64_t> skipped_units_{0};
    std::atomic<uint64_t> decode_errors_{0};
    std::atomic<uint64_t> frames_decoded_{0};
    std::atomic<uint64_t> frames_delivered_{0};
    std::atomic<uint64_t> frames_superseded_{0};
    std::atomic<int> width_{0};
    std::atomic<int> height_{0};
};

}  // namespace velmora::platform
