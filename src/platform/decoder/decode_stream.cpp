#include "platform/decoder/decode_stream.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <system_error>
#include <utility>

extern "C" {
#include <libavutil/buffer.h>
#include <libavutil/frame.h>
}

#include "platform/decoder/h264_decoder.h"

namespace velmora::platform {

void DecodeStream::BufferUnref::operator()(AVBufferRef* buffer) const { av_buffer_unref(&buffer); }

DecodeStream::DecodeStream(const XStreamOptions& options) : options_(options) {}

DecodeStream::~DecodeStream() {
    // Close refuses on the port's threads; the table never lets the last reference go there.
    Close();
    av_frame_free(&waiting_);
    av_frame_free(&spare_);
    av_frame_free(&presenting_);
}

int DecodeStream::Start() {
    decoder_ = std::make_unique<H264Decoder>();
    // While a sink is attached, pictures to be shown much smaller are halved band by band as
    // the codec finishes their rows (see FrameConverter).
    decoder_->SetBandFn([this](const AVFrame* picture, int y, int height) {
        if (has_sink_.load(std::memory_order_relaxed)) decoding_converter_.AddBand(picture, y, height);
    });
    int ret = decoder_->Open(options_.decoder_threads);
    if (ret < 0) return ret;
    try {
        if (!options_.present_on_decoding_thread) {
            waiting_ = av_frame_alloc();
            spare_ = av_frame_alloc();
            presenting_ = av_frame_alloc();
            if (!waiting_ || !spare_ || !presenting_) return XPLAY_E_RESOURCE;
            presenter_ = std::thread([this] { RunPresenter(); });
        }
        thread_ = std::thread([this] { Run(); });
    } catch (const std::system_error&) {
        return XPLAY_E_RESOURCE;  // the destructor stops a presenter already started
    }
    return 0;
}

bool DecodeStream::OnPortThread() const {
    const std::thread::id self = std::this_thread::get_id();
    return thread_id_.load() == self || presenter_id_.load() == self;
}

int DecodeStream::Input(const uint8_t* data, int length) {
    if (length < 0 || (length > 0 && !data)) return XPLAY_E_ARG;
    if (length == 0) return 0;
    if (length > options_.max_chunk_bytes || length > options_.max_queued_bytes) {
        std::lock_guard<std::mutex> lock(mu_);
        if (closing_) return XPLAY_E_PORT;
        ++chunks_dropped_;
        bytes_dropped_ += static_cast<uint64_t>(length);
        // The stream now has a hole here; what is already queued came before it and is whole.
        hole_pending_ = true;
        return XPLAY_E_ARG;
    }

    // Copy outside the lock, with the zero padding the parser needs after the data.
    Chunk chunk;
    chunk.data.reset(av_buffer_alloc(static_cast<size_t>(length) + H264Decoder::kInputPadding));
    if (!chunk.data) {
        std::lock_guard<std::mutex> lock(mu_);
        hole_pending_ = true;  // this data is lost as well
        return XPLAY_E_RESOURCE;
    }
    std::memcpy(chunk.data->data, data, static_cast<size_t>(length));
    std::memset(chunk.data->data + length, 0, static_cast<size_t>(H264Decoder::kInputPadding));
    chunk.size = length;

    std::deque<Chunk> dropped;  // freed after the lock is released
    {
        std::lock_guard<std::mutex> lock(mu_);
        if (closing_) return XPLAY_E_PORT;
        // Make room by pushing out the oldest data; the decoder then waits for a key frame. The
        // hole lies before whatever is now the oldest chunk.
        bool dropped_any = false;
        while (!queue_.empty() && (queued_bytes_ + length > options_.max_queued_bytes ||
                                   static_cast<int>(queue_.size()) >= options_.max_queued_chunks)) {
            ++chunks_dropped_;
            bytes_dropped_ += static_cast<uint64_t>(queue_.front().size);
            queued_bytes_ -= queue_.front().size;
            dropped.push_back(std::move(queue_.front()));
            queue_.pop_front();
            dropped_any = true;
        }
        if (dropped_any && !queue_.empty()) queue_.front().after_hole = true;
        chunk.after_hole = hole_pending_ || (dropped_any && queue_.empty());
        hole_pending_ = false;
        queued_bytes_ += length;
        queue_.push_back(std::move(chunk));
        ++chunks_in_;
        bytes_in_ += static_cast<uint64_t>(length);
    }
    cv_.notify_one();
    return 0;
}

int DecodeStream::SetSink(FrameSink* sink) {
    if (OnPortThread()) return XPLAY_E_THREAD;
    {
        std::lock_guard<std::mutex> lock(mu_);
        if (closing_) return XPLAY_E_PORT;
    }
    // Waits for a sink call in progress; the presenting thread looks at sink_ afresh for each
    // picture, so the previous sink is not called again once this returns.
    std::lock_guard<std::mutex> lock(sink_mu_);
    sink_ = sink;
    has_sink_.store(sink != nullptr);
    return 0;
}

void DecodeStream::MarkClosing() {
    std::lock_guard<std::mutex> lock(mu_);
    closing_ = true;
}

int DecodeStream::Close() {
    if (OnPortThread()) return XPLAY_E_THREAD;
    // Both threads are told to stop at once, so a presenter held up in a slow sink and a decoder
    // in the middle of a picture wind down side by side.
    {
        std::lock_guard<std::mutex> lock(mu_);
        closing_ = true;
        stop_ = true;
        stop_flag_.store(true);
    }
    cv_.notify_one();
    {
        std::lock_guard<std::mutex> lock(slot_mu_);
        present_stop_ = true;
    }
    slot_cv_.notify_one();
    // The decoding thread first: it is the one that hands pictures to the presenter. Once both
    // are joined, no thread reads the stream any more, and the sink is no longer called.
    if (thread_.joinable()) thread_.join();
    if (presenter_.joinable()) presenter_.join();
    {
        std::lock_guard<std::mutex> lock(slot_mu_);
        if (waiting_) av_frame_unref(waiting_);  // never shown: the port is closing
        waiting_full_ = false;
    }
    {
        std::lock_guard<std::mutex> lock(mu_);
        queued_bytes_ = 0;
        queue_.clear();
    }
    decoder_.reset();
    std::lock_guard<std::mutex> lock(sink_mu_);
    sink_ = nullptr;
    return 0;
}

void DecodeStream::GetStats(XStreamStats* stats) const {
    {
        std::lock_guard<std::mutex> lock(mu_);
        stats->chunks_in = chunks_in_;
        stats->bytes_in = bytes_in_;
        stats->chunks_dropped = chunks_dropped_;
        stats->bytes_dropped = bytes_dropped_;
        stats->queued_bytes = queued_bytes_;
        stats->queued_chunks = static_cast<int>(queue_.size());
    }
    stats->access_units = access_units_.load();
    stats->skipped_units = skipped_units_.load();
    stats->decode_errors = decode_errors_.load();
    stats->frames_decoded = frames_decoded_.load();
    stats->frames_delivered = frames_delivered_.load();
    stats->frames_superseded = frames_superseded_.load();
    stats->frames_from_bands = decoding_converter_.halved_from_bands();
    stats->width = width_.load();
    stats->height = height_.load();
}

void DecodeStream::HandOff(const AVFrame* frame) {
    width_.store(frame->width);
    height_.store(frame->height);
    const uint64_t seq = ++handed_off_;
    // Bands halved so far belong to this picture at most; whatever happens to it, they are
    // forgotten once it is handed off.
    struct ForgetBands {
        FrameConverter& converter;
        ~ForgetBands() { converter.ForgetBands(); }
    } forget{decoding_converter_};
    if (options_.present_on_decoding_thread) {
        std::lock_guard<std::mutex> lock(sink_mu_);
        Present(frame, decoding_converter_, seq);
        return;
    }
    // Pictures decoded while no sink is attached are not shown; the presenter is left asleep.
    if (!has_sink_.load()) return;
    // A picture already halved band by band is finished here, where its halves are, unless the
    // sink is busy (then it goes to the presenter like any other, which never holds up decoding).
    if (decoding_converter_.HasBandsOf(frame)) {
        std::unique_lock<std::mutex> lock(sink_mu_, std::try_to_lock);
        if (lock.owns_lock()) {
            Present(frame, decoding_converter_, seq);
            return;
        }
    }
    // A new reference to the decoder's buffers: the decoder allocates fresh ones for the pictures
    // that follow and never writes to these again, so the presenter may read them meanwhile.
    if (av_frame_ref(spare_, frame) < 0) return;
    bool replaced = false;
    {
        std::lock_guard<std::mutex> lock(slot_mu_);
        std::swap(spare_, waiting_);
        waiting_seq_ = seq;
        replaced = waiting_full_;
        waiting_full_ = true;
    }
    slot_cv_.notify_one();
    if (replaced) {
        // The presenter was still busy with an older picture, and the one waiting behind it has
        // been overtaken by this one. Its buffers go back to the decoder from here.
        av_frame_unref(spare_);
        frames_superseded_.fetch_add(1);
    }
}

void DecodeStream::RunPresenter() {
    presenter_id_.store(std::this_thread::get_id());
    uint64_t presenting_seq = 0;
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(slot_mu_);
            slot_cv_.wait(lock, [this] { return present_stop_ || waiting_full_; });
            if (present_stop_) break;
            std::swap(presenting_, waiting_);
            presenting_seq = waiting_seq_;
            waiting_full_ = false;
        }
        {
            std::lock_guard<std::mutex> lock(sink_mu_);
            Present(presenting_, converter_, presenting_seq);
        }
        av_frame_unref(presenting_);
    }
    presenter_id_.store(std::thread::id());
}

void DecodeStream::Present(const AVFrame* frame, FrameConverter& converter, uint64_t seq) {
    if (!sink_) return;
    // The decoding thread may have shown a newer picture while the presenter held this one.
    if (seq <= presented_seq_) {
        frames_superseded_.fetch_add(1);
        return;
    }
    presented_seq_ = seq;
    int w = 0;
    int h = 0;
    sink_->TargetSizeFor(frame->width, frame->height, &w, &h);
    if (w <= 0) w = frame->width;
    if (h <= 0) h = frame->height;
    w = std::clamp(w, 1, FrameConverter::kMaxSide);
    h = std::clamp(h, 1, FrameConverter::kMaxSide);
    // The size the next pictures' bands are halved for.
    decoding_converter_.ExpectTarget(w, h);
    // Converted straight into the sink's own buffer when it lends one: no copy on the way.
    int stride = 0;
    uint8_t* dst = sink_->FrameBuffer(w, h, &stride);
    if (converter.Convert(frame, FrameConverter::Format::kBgrx, w, h, dst, stride) < 0) return;
    sink_->OnFrame(converter.data(), converter.width(), converter.height(), converter.stride());
    frames_delivered_.fetch_add(1);
}

void DecodeStream::Run() {
    thread_id_.store(std::this_thread::get_id());
    H264Decoder& decoder = *decoder_;
    const H264Decoder::FrameFn present = [this](const AVFrame* frame) { HandOff(frame); };
    auto publish = [&] {
        access_units_.store(decoder.access_units());
        skipped_units_.store(decoder.skipped_units());
        decode_errors_.store(decoder.decode_errors());
        frames_decoded_.store(decoder.frames_decoded());
    };

    std::deque<Chunk> batch;
    bool unterminated = false;  // data fed since the last access unit was closed off
    bool whole_units = options_.whole_access_units;  // chunks still taken as whole access units
    for (;;) {
        bool idle = false;
        {
            std::unique_lock<std::mutex> lock(mu_);
            auto ready = [this] { return stop_ || !queue_.empty(); };
            if (unterminated && options_.idle_flush_ms >= 0) {
                idle = !cv_.wait_for(lock, std::chrono::milliseconds(options_.idle_flush_ms), ready);
            } else {
                cv_.wait(lock, ready);
            }
            if (stop_) break;
            if (!idle) {
                batch.swap(queue_);
                queued_bytes_ = 0;
            }
        }
        if (idle) {
            // The input went quiet: what has arrived is taken as a whole picture.
            decoder.EndAccessUnit(present);
            unterminated = false;
            publish();
            continue;
        }
        for (Chunk& chunk : batch) {
            if (stop_flag_.load(std::memory_order_relaxed)) break;
            if (chunk.after_hole) decoder.Resync(present);
            const uint8_t* bytes = chunk.data->data;
            // A chunk that is not a whole access unit: from here on the parser joins the pieces.
            if (whole_units && !H264Decoder::BeginsWholeUnit(bytes, static_cast<size_t>(chunk.size)))
                whole_units = false;
            if (whole_units) {
                decoder.DecodeWhole(bytes, chunk.size, chunk.data.get(), present);
            } else {
                decoder.Feed(bytes, chunk.size, present);
                unterminated = true;
            }
            publish();
        }
        batch.clear();
    }
    publish();
    thread_id_.store(std::thread::id());
}

}  // namespace velmora::platform
