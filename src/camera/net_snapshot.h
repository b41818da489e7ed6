#pragma once

// One still picture from a network camera: starts the main stream of a logged-in session,
// decodes the first complete picture and writes it as a PNG file.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>

namespace velmora::camera {

// Takes a snapshot over `session` (an ORVEX_ session handle the caller owns; it stays logged in).
// Waits at most `timeoutMs` in all, decoding included, however fast or slowly the camera sends.
// Returns 0, or a negative code: ORVEX_ERR_* from the network client (the stream could not be
// started, the camera ended it, the connection was lost, ORVEX_ERR_TIMEOUT when no complete picture
// came in time, ORVEX_ERR_INVALID_ARG for an empty path or a time limit below 1 ms), an XPLAY_E_*
// code of the decoder, or the code of WritePng. `what` then says in one short English phrase what
// failed, e.g. "the main stream of 127.0.0.2 ended (code -1014)"; it is left alone on success.
// Thread-safe for different sessions; must not be called from a real-play callback.
int TakeNetSnapshot(int session, const std::string& pngPath, int timeoutMs, std::string& what);

// Access units handed from the network client's receive thread to the thread that decodes them.
// Bounded by the memory it holds, counting each unit's bookkeeping as well as its bytes, so a
// camera that sends tiny units faster than they are decoded cannot grow it without end: units that
// do not fit are dropped and counted. Thread-safe.
class AccessUnitQueue {
public:
    // Memory charged per queued unit on top of its bytes (the string object and the allocator's
    // and the deque's share).
    static constexpr size_t kUnitOverhead = sizeof(std::string) + 64;
    // Room for the largest unit the protocol allows (4 MiB) with plenty to spare for one picture.
    static constexpr size_t kDefaultLimit = 8u << 20;

    explicit AccessUnitQueue(size_t limitBytes = kDefaultLimit) : limit_(limitBytes) {}

    // Queues a copy of the unit, or drops it (and counts it) when it would not fit. Empty units
    // and null data are ignored. Returns true if queued.
    bool Push(const unsigned char* data, int length);
    // Takes the oldest unit, waiting until `waitMs` has passed for one to come. False if none.
    bool Pop(std::string& unit, int waitMs);

    size_t ChargedBytes();
    size_t Dropped();

    // Real-play callback form of Push; `user` is the queue.
    static void OnRealData(int realHandle, const unsigned char* data, int length, int dataType, void* user);

private:
    const size_t limit_;
    std::mutex mu_;
    std::condition_variable cv_;
    std::deque<std::string> units_;
    size_t charged_ = 0;
    size_t dropped_ = 0;
};

// The steps of decoding a stream for one picture, so the wait can be run with any decoder.
struct PictureSteps {
    std::function<int(const std::string& unit)> feed;  // 1 picture ready, 0 more needed, < 0 failure
    std::function<int()> finish;                        // the stream ended: as feed, for what is held
    std::function<int()> state;                         // 0 while the stream runs, else why it stopped
};

// Feeds units from `queue` until a picture is ready, feeding fails, or `deadline` passes, which is
// checked before every unit. While nothing is queued it asks `state` every few milliseconds; once
// the stream has stopped it finishes the decoder and returns. Returns 1 (picture), 0 (none by the
// deadline or the end) or feed's failure; `stopped` receives the stopped state, else 0.
int WaitForPicture(AccessUnitQueue& queue, std::chrono::steady_clock::time_point deadline,
                   const PictureSteps& steps, int& stopped);

}  // namespace velmora::camera
