#pragma once

#include <cstdint>

#include "platform/decoder/frame_sink.h"

namespace velmora::platform {

// Live H.264 decoder streams ("ports") for the video panes.
//
// A port is opened with X_OpenStream, attached to a FrameSink with X_PlayEx, fed with the raw
// Annex-B byte stream of a camera with X_VideoInputData (any chunking) and closed with
// X_VideoClose. Each port decodes on a thread of its own; a second thread of the port scales each
// picture to the size the sink asks for and delivers it, while the next ones are being decoded.
// When the sink (or the scaling) cannot keep up, pictures waiting to be shown are replaced by newer
// ones (counted in XStreamStats::frames_superseded): the sink always gets the latest picture and
// decoding never waits for it.
//
// Port numbers are 0 or greater and never reused within a run, so a stale port held by a feeding
// thread can never reach a stream opened later. Results: 0 or greater on success, one of the
// negative XPLAY_E_* codes on failure.
//
// Thread-safe: every call may be made from any thread. X_VideoInputData never blocks on decoding:
// it copies the data into a bounded queue; when decoding falls behind, the oldest queued data is
// dropped (counted in XStreamStats) and decoding resumes at the next key frame.

constexpr int XPLAY_E_PORT = -1;      // unknown port: never opened, closed, or being closed
constexpr int XPLAY_E_ARG = -2;       // bad argument (null data, negative or oversized length, null output)
constexpr int XPLAY_E_RESOURCE = -3;  // no decoder, thread, memory, or too many open ports
constexpr int XPLAY_E_THREAD = -4;    // called from one of the port's own threads (inside the sink)
constexpr int XPLAY_E_IO = -5;        // file could not be written (WritePng)
constexpr int XPLAY_E_CODEC = -6;     // codec refused the data or failed

// Most ports open at the same time.
constexpr int XPLAY_MAX_PORTS = 64;

// Tuning of one port; X_OpenStream uses the defaults.
struct XStreamOptions {
    // Bound of the input queue. Data beyond it pushes out the oldest queued chunks.
    int max_queued_bytes = 2 * 1024 * 1024;
    int max_queued_chunks = 1024;
    // A single input chunk larger than this is refused with XPLAY_E_ARG.
    int max_chunk_bytes = 8 * 1024 * 1024;
    // An H.264 byte stream only shows where a picture ends when the next one begins. When the
    // input has been quiet for this many milliseconds, the data received so far is taken as a
    // complete picture and decoded, instead of waiting one frame interval for the next one.
    // Negative: never (pictures are decoded when the following picture starts).
    int idle_flush_ms = 3;
    // Decoder threads (slice threading only, which adds no frame delay). 0 picks a small number.
    int decoder_threads = 0;
    // Convert and deliver each picture on the decoding thread before decoding the next one,
    // instead of on a presenting thread beside it. Every decoded picture then reaches the sink,
    // but a slow sink holds up decoding: the input queue fills and drops data. For consumers that
    // need every picture, and for tests that hold the decoding thread in the sink.
    bool present_on_decoding_thread = false;
    // Every input chunk is one complete access unit, as the network library's real-play callback
    // hands them out. Each is then decoded as soon as the decoding thread takes it, without the
    // parser and without waiting for the idle flush: no copy of the data, one wake-up of the
    // decoding thread per picture, and no idle_flush_ms of delay. The first chunk that does not
    // look like a whole access unit (no start code at its beginning, no picture slice, or a first
    // slice that continues a picture) turns this off for the rest of the stream, from that chunk
    // on: the parser and the idle flush take over, so no data is lost, and at most the picture
    // before it, if it was cut short, is decoded damaged.
    bool whole_access_units = false;
};

// Counters of one port since it was opened.
struct XStreamStats {
    uint64_t chunks_in = 0;          // chunks accepted by X_VideoInputData
    uint64_t bytes_in = 0;
    uint64_t chunks_dropped = 0;     // chunks pushed out of the queue or refused
    uint64_t bytes_dropped = 0;
    uint64_t access_units = 0;       // pictures' worth of data cut from the stream
    uint64_t skipped_units = 0;      // access units skipped while waiting for a key frame
    uint64_t decode_errors = 0;      // access units the codec refused
    uint64_t frames_decoded = 0;
    uint64_t frames_delivered = 0;   // pictures handed to the sink
    uint64_t frames_superseded = 0;  // pictures replaced by a newer one before the sink was free
    uint64_t frames_from_bands = 0;  // delivered pictures halved row by row while being decoded
    int queued_bytes = 0;            // currently waiting in the queue
    int queued_chunks = 0;
    int width = 0;                   // size of the last decoded picture, 0 before the first
    int height = 0;
};

// Opens a decoder stream. Both arguments are reserved; pass 0. Returns the port (>= 0) or a
// negative XPLAY_E_* code.
int X_OpenStream(int reserved1, int reserved2);
int X_OpenStreamEx(const XStreamOptions& options);

// Attaches `sink` to the port (nullptr detaches it). Pictures decoded while no sink is attached
// are counted and discarded. Waits for a call into the previous sink in progress: when it
// returns, the previous sink is no longer in use. Returns 0, a negative code, or XPLAY_E_THREAD
// when called from inside the port's own sink.
int X_PlayEx(int port, FrameSink* sink);

// Queues `length` bytes of the camera's byte stream. Never waits for decoding. Returns 0 when the
// data was queued (possibly pushing out older data), XPLAY_E_PORT for a port that is not open
// (including one being closed concurrently), XPLAY_E_ARG for bad data arguments. A zero length is
// accepted and ignored.
int X_VideoInputData(int port, const uint8_t* data, int length);

// Stops the port's threads, waits for them (and so for a sink call in progress) and frees the
// stream. Safe while another thread
// is calling X_VideoInputData for the same port: such calls return XPLAY_E_PORT from the moment
// the close begins. Once it returns, the sink is never called again. Returns 0, XPLAY_E_PORT, or
// XPLAY_E_THREAD when called from inside the port's own sink.
int X_VideoClose(int port);

// Copies the port's counters into *stats. Returns 0 or a negative code.
int X_GetStreamStats(int port, XStreamStats* stats);

}  // namespace velmora::platform
