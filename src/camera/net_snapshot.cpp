#include "camera/net_snapshot.h"

#include <algorithm>
#include <chrono>

#include "platform/decoder/png_writer.h"
#include "platform/decoder/snapshot_decoder.h"
#include "transport/net/orvex_sdk.h"

namespace velmora::camera {
namespace {

using Clock = std::chrono::steady_clock;

// How often a wait for data also asks whether the stream is still running: the end of a stream
// or of the session is noticed within this time.
constexpr int kStatePollMs = 20;

std::string CodeText(int code) { return " (code " + std::to_string(code) + ")"; }

std::string CameraName(int session) {
    char address[32] = {};
    if (transport::ORVEX_GetSessionAddress(session, address, sizeof address) > 0) return address;
    return "the camera";
}

std::string DurationText(int ms) {
    return ms % 1000 == 0 ? std::to_string(ms / 1000) + " s" : std::to_string(ms) + " ms";
}

}  // namespace

bool AccessUnitQueue::Push(const unsigned char* data, int length) {
    if (!data || length <= 0) return false;
    const size_t charge = static_cast<size_t>(length) + kUnitOverhead;
    {
        std::lock_guard lock(mu_);
        if (charge > limit_ - std::min(charged_, limit_)) {
            ++dropped_;  // decoding has fallen behind: drop rather than grow
            return false;
        }
        units_.emplace_back(reinterpret_cast<const char*>(data), static_cast<size_t>(length));
        charged_ += charge;
    }
    cv_.notify_one();
    return true;
}

bool AccessUnitQueue::Pop(std::string& unit, int waitMs) {
    std::unique_lock lock(mu_);
    if (!cv_.wait_for(lock, std::chrono::milliseconds(std::max(waitMs, 0)), [this] { return !units_.empty(); }))
        return false;
    unit = std::move(units_.front());
    units_.pop_front();
    charged_ -= unit.size() + kUnitOverhead;
    return true;
}

size_t AccessUnitQueue::ChargedBytes() {
    std::lock_guard lock(mu_);
    return charged_;
}

size_t AccessUnitQueue::Dropped() {
    std::lock_guard lock(mu_);
    return dropped_;
}

void AccessUnitQueue::OnRealData(int, const unsigned char* data, int length, int, void* user) {
    static_cast<AccessUnitQueue*>(user)->Push(data, length);
}

int WaitForPicture(AccessUnitQueue& queue, Clock::time_point deadline, const PictureSteps& steps, int& stopped) {
    stopped = 0;
    std::string unit;
    // The deadline is checked before every unit, so neither a flood of data nor slow decoding
    // can stretch the wait.
    for (Clock::time_point now = Clock::now(); now < deadline; now = Clock::now()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count() + 1;
        if (queue.Pop(unit, static_cast<int>(std::min<int64_t>(left, kStatePollMs)))) {
            const int r = steps.feed(unit);
            if (r != 0) return r;
            continue;
        }
        // Nothing was queued. A stream that stopped brings no more: what arrived just before it
        // stopped (after the queue was found empty) is fed, then the decoder gives up what it
        // holds and the wait ends now.
        stopped = steps.state();
        if (stopped == 0) continue;
        while (Clock::now() < deadline && queue.Pop(unit, 0)) {
            const int r = steps.feed(unit);
            if (r != 0) return r;
        }
        return steps.finish();
    }
    return 0;
}

int TakeNetSnapshot(int session, const std::string& pngPath, int timeoutMs, std::string& what) {
    if (pngPath.empty()) {
        what = "no file name was given for the snapshot";
        return wire::ORVEX_ERR_INVALID_ARG;
    }
    if (timeoutMs < 1) {
        what = "the time limit of the snapshot must be at least 1 ms";
        return wire::ORVEX_ERR_INVALID_ARG;
    }
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    const std::string camera = CameraName(session);

    AccessUnitQueue queue;
    const int play =
        transport::ORVEX_StartRealPlay(session, 0, wire::ORVEX_STREAM_MAIN, &AccessUnitQueue::OnRealData, &queue);
    if (play < 0) {
        what = "the main stream of " + camera + " could not be started" + CodeText(play);
        return play;
    }
    platform::SnapshotDecoder decoder;
    PictureSteps steps;
    steps.feed = [&decoder](const std::string& unit) {
        return decoder.Feed(reinterpret_cast<const uint8_t*>(unit.data()), static_cast<int>(unit.size()));
    };
    steps.finish = [&decoder] { return decoder.Finish(); };
    steps.state = [play] { return transport::ORVEX_GetRealPlayState(play); };
    int ended = 0;
    const int decoded = WaitForPicture(queue, deadline, steps, ended);
    // No callback runs after this returns, so the queue may go out of scope safely.
    transport::ORVEX_StopRealPlay(play);

    if (decoded < 0) {
        what = "the stream of " + camera + " could not be decoded" + CodeText(decoded);
        return decoded;
    }
    if (decoded == 1) {
        const platform::RgbPicture& pic = decoder.Picture();
        std::string why;
        const int r = platform::WritePng(pngPath, pic.pixels.data(), pic.width, pic.height, pic.stride, &why);
        if (r != 0) {
            what = "could not write " + pngPath + (why.empty() ? "" : ": " + why) + CodeText(r);
            return r;
        }
        return 0;
    }
    if (ended != 0) {
        if (ended == wire::ORVEX_ERR_DISCONNECTED)
            what = "the connection to " + camera + " was lost" + CodeText(ended);
        else
            what = "the main stream of " + camera + " ended" + CodeText(ended);
        return ended;
    }
    what = "no complete picture arrived from " + camera + " within " + DurationText(timeoutMs);
    if (const size_t dropped = queue.Dropped()) what += " (" + std::to_string(dropped) + " units dropped)";
    return wire::ORVEX_ERR_TIMEOUT;
}

}  // namespace velmora::camera
