#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace velmora::sim::stream {

// Picture parameters of a simulated camera, in the camera's own units.
struct PictureParams {
    int luminance = 50;   // brightness 0..100, 50 neutral
    int contrast = 50;    // 0..100, 50 neutral, 0 flat grey
    int saturation = 50;  // 0..100, 50 neutral, 0 grey scale
    bool mirror = false;  // horizontal mirror (bHorzInvert)
    bool flip = false;    // vertical flip (bVertInvert)
};

struct GeneratorConfig {
    int width = 1280;
    int height = 720;
    int fps = 25;
    // Key frame (IDR with SPS/PPS in front) every this many frames; 0 means one per second.
    int keyframe_interval = 0;
    // Text shown in the top-left corner, typically the camera's address. Characters without a
    // glyph in the built-in font are drawn as blanks.
    std::string label = "127.0.0.2";
    // x264 constant rate factor (lower = better picture, more bytes).
    int crf = 26;
    // Encoder threads; 1 keeps four 1080p streams light on two cores.
    int threads = 1;
};

// One encoded picture: an H.264 Annex-B access unit.
struct AccessUnit {
    std::vector<uint8_t> data;
    int64_t pts_us = 0;  // stream time of the picture: frame number * frame interval
    bool keyframe = false;
};

// H.264 picture generator of a simulated network camera.
//
// The picture: colour bars over the upper two thirds (75% white at the left ... black at the
// right), below them a grey ramp and a colour sweep, the label in a box at the top left and a
// running clock (date, time with milliseconds, frame number) under it. Brightness, contrast and
// saturation act on the bars and ramps; mirror and flip turn the whole picture, text included.
// The background is rendered once per parameter change; each frame only redraws the clock.
// Encoding: libx264, preset ultrafast, tune zerolatency, no B-frames, SPS/PPS before every key
// frame so a decoder can join at any key frame.
//
// Thread-safety: SetParams, RequestKeyframe and the getters are thread-safe. Open, Start, Stop and
// EncodeNext belong to one controlling thread; EncodeNext is refused while the push thread runs.
// The callback runs on the push thread and must not call Stop.
class StreamGenerator {
public:
    using Callback = std::function<void(const uint8_t* data, int size, int64_t pts_us, bool keyframe)>;

    StreamGenerator();
    ~StreamGenerator();
    StreamGenerator(const StreamGenerator&) = delete;
    StreamGenerator& operator=(const StreamGenerator&) = delete;

    // Sets up the picture and the encoder. Returns 0, -2 for a bad configuration (sizes not even
    // or outside 16..4096, fps outside 1..120), -3 when the encoder is unavailable.
    int Open(const GeneratorConfig& config);

    void SetParams(const PictureParams& params);
    PictureParams Params() const;
    // The next frame is encoded as a key frame (for a viewer that just joined).
    void RequestKeyframe();

    // Encodes the next frame now (tests, benchmarks). Returns 0, -1 if not open or the push thread
    // runs, -6 if the encoder failed.
    int EncodeNext(AccessUnit* out);

    // Starts the push thread: one access unit per frame interval to `callback`. If the thread falls
    // more than a few frames behind, it skips ahead instead of bursting. Returns 0, -1 if not open or
    // already running, -3 if the thread could not be started.
    int Start(Callback callback);
    // Stops and joins the push thread. Returns 0, or -4 when called from the callback.
    int Stop();
    bool Running() const { return running_.load(); }

    uint64_t FramesEncoded() const { return frames_.load(); }
    // Frame intervals the push thread let pass without a picture because it fell behind.
    uint64_t FramesSkipped() const { return skipped_.load(); }
    const GeneratorConfig& Config() const { return config_; }

private:
    struct Encoder;

    void RenderBase();
    void RebuildBackground(const PictureParams& p);
    void DrawClock(int64_t frame_index);
    int EncodeFrame(AccessUnit* out);
    void Run(Callback callback);

    GeneratorConfig config_;
    bool open_ = false;

    // Parameters, set from any thread.
    mutable std::mutex params_mu_;
    PictureParams params_;
    uint64_t params_generation_ = 1;
    std::atomic<bool> force_key_{false};

    // Picture state, owned by the encoding thread.
    uint64_t built_generation_ = 0;
    PictureParams built_params_;
    std::vector<uint8_t> base_y_, base_u_, base_v_;  // unadjusted, unturned scene
    std::vector<uint8_t> bg_y_, bg_u_, bg_v_;        // adjusted, turned, with the label
    int scale_ = 1;                                  // font magnification
    int clock_x_ = 0, clock_y_ = 0, clock_w_ = 0, clock_h_ = 0;  // clock box, unturned
    std::unique_ptr<Encoder> enc_;
    int64_t frame_index_ = 0;
    std::atomic<uint64_t> frames_{0};
    std::atomic<uint64_t> skipped_{0};

    // Push thread.
    std::thread thread_;
    std::atomic<std::thread::id> thread_id_{};
    std::atomic<bool> running_{false};
    std::mutex run_mu_;
    std::condition_variable run_cv_;
    bool stop_ = false;
};

}  // namespace velmora::sim::stream
