#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <vector>

#include "platform/decoder/frame_sink.h"

// Frame sink for tests: keeps a copy of the latest picture and counts deliveries.
class RecordingSink : public velmora::platform::FrameSink {
public:
    RecordingSink(int want_w = 0, int want_h = 0) : want_w_(want_w), want_h_(want_h) {}

    void OnFrame(const uint8_t* pixels, int width, int height, int stride) override {
        std::lock_guard<std::mutex> lock(mu_);
        width_ = width;
        height_ = height;
        stride_ = stride;
        last_.resize(static_cast<size_t>(width) * height * 4);
        for (int y = 0; y < height; ++y) {
            std::memcpy(last_.data() + static_cast<size_t>(y) * width * 4, pixels + static_cast<size_t>(y) * stride,
                        static_cast<size_t>(width) * 4);
        }
        ++count_;
        cv_.notify_all();
    }
    void TargetSize(int* w, int* h) override {
        *w = want_w_;
        *h = want_h_;
    }

    // Waits until at least `n` pictures have arrived; false after the time-out.
    bool WaitFor(int n, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        std::unique_lock<std::mutex> lock(mu_);
        return cv_.wait_for(lock, timeout, [&] { return count_ >= n; });
    }
    int Count() {
        std::lock_guard<std::mutex> lock(mu_);
        return count_;
    }

    struct Picture {
        int width = 0, height = 0, stride = 0;
        std::vector<uint8_t> bgrx;  // packed, 4 * width per row
        // Luma of one pixel, BT.601 weights on the full-range RGB.
        double Luma(int x, int y) const {
            const uint8_t* p = bgrx.data() + (static_cast<size_t>(y) * width + x) * 4;
            return 0.114 * p[0] + 0.587 * p[1] + 0.299 * p[2];
        }
        double MeanLuma(int x0, int y0, int x1, int y1) const {
            double sum = 0;
            for (int y = y0; y < y1; ++y)
                for (int x = x0; x < x1; ++x) sum += Luma(x, y);
            return sum / (static_cast<double>(x1 - x0) * (y1 - y0));
        }
    };
    Picture Last() {
        std::lock_guard<std::mutex> lock(mu_);
        return Picture{width_, height_, stride_, last_};
    }

private:
    const int want_w_, want_h_;
    std::mutex mu_;
    std::condition_variable cv_;
    int count_ = 0;
    int width_ = 0, height_ = 0, stride_ = 0;
    std::vector<uint8_t> last_;
};
