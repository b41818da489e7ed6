#include "sim/net_cameras.h"

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <set>
#include <thread>

#include "sim/fault.h"
#include "sim/json_ptr.h"
#include "sim/usb_dispatch.h"
#include "sim/stream/stream_generator.h"

namespace velmora::sim {

// A camera: its state, its server, and the generators of its open streams.
class NetCameras::Camera {
public:
    explicit Camera(const NetCameraConfig& config) : config_(config), model_(config.model) {
        for (const auto& [member, value] : config.params) model_.Set(member, value);
        CameraServerConfig sc;
        sc.address = config.address;
        sc.port = config.port;
        if (config.searchPort != 0) sc.searchPort = config.searchPort;
        sc.answerSearch = config.answerSearch;
        if (!config.users.empty()) sc.users = config.users;
        const CameraIdentity id = model_.Identity();
        sc.deviceName = id.deviceName;
        sc.serial = id.serial;
        sc.model = id.productModel;
        server_ = std::make_unique<CameraServer>(sc);
        server_->SetTextHandler([this](const std::string& request) {
            if (config_.refuseSets != 0 && IsSet(request)) return ResultText(config_.refuseSets);
            int32_t status = 0;
            return model_.HandleJson(request, Shape::Network, &status);
        });
        server_->SetStreamSourceFactory([this](int selector) -> std::unique_ptr<StreamSource> {
            if (selector != 0) return nullptr;  // only the main stream
            return MakeSource();
        });
        model_.SetChangeHook([this](const std::string&, int32_t) { PushParams(); });
        server_->SetRefuseLogins(config.refuseLogins);
        server_->SetDropAfterRequests(config.dropAfterRequests);
        server_->SetReplyStallMs(config.stallMs);
        server_->SetGarbageReplies(config.garbageReplies);
        server_->SetStreamsPaused(config.streamStopped);
        if (config.endStreamsMs > 0) ender_ = std::thread([this] { EndStreamsPeriodically(); });
    }

    ~Camera() {
        {
            std::lock_guard lock(enderMu_);
            ending_ = true;
        }
        enderCv_.notify_all();
        if (ender_.joinable()) ender_.join();
        server_->Stop();
        model_.SetChangeHook(nullptr);
    }

    CameraModel& model() { return model_; }

    // A set of one field or of the whole record, or a restore of the defaults.
    static bool IsSet(const std::string& request) {
        JsonPtr root = ParseJsonObject(request);
        const cJSON* cmd = root ? cJSON_GetObjectItem(root.get(), "Cmd") : nullptr;
        if (!cJSON_IsString(cmd)) return false;
        const std::string_view name = cmd->valuestring;
        return name == "ReqSetVideoParam" || name == "ReqSetDefaultParam";
    }
    CameraServer& server() { return *server_; }

    // The picture parameters the model holds now.
    stream::PictureParams CurrentParams() {
        stream::PictureParams p;
        p.luminance = model_.Get("Luminance").value_or(50);
        p.contrast = model_.Get("Contrast").value_or(50);
        p.saturation = model_.Get("Saturation").value_or(50);
        p.mirror = model_.Get("bHorzInvert").value_or(0) != 0;
        p.flip = model_.Get("bVertInvert").value_or(0) != 0;
        return p;
    }

    void Register(stream::StreamGenerator* gen) {
        std::lock_guard lock(mu_);
        generators_.insert(gen);
    }
    void Unregister(stream::StreamGenerator* gen) {
        std::lock_guard lock(mu_);
        generators_.erase(gen);
    }

    const NetCameraConfig& config() const { return config_; }

    // Encodes the loop a replaying camera serves. False when the encoder fails.
    bool PrepareReplay();

private:
    std::unique_ptr<StreamSource> MakeSource();
    stream::GeneratorConfig StreamConfig() const;

    void PushParams() {
        stream::PictureParams p = CurrentParams();
        std::lock_guard lock(mu_);
        for (stream::StreamGenerator* gen : generators_) gen->SetParams(p);
    }

    NetCameraConfig config_;
    CameraModel model_;
    std::unique_ptr<CameraServer> server_;
    // The end-streams fault: a camera whose encoder restarts ends its streams (a StreamEnd frame)
    // every endStreamsMs, until the camera goes.
    void EndStreamsPeriodically() {
        std::unique_lock lock(enderMu_);
        while (!enderCv_.wait_for(lock, std::chrono::milliseconds(config_.endStreamsMs), [this] { return ending_; })) {
            lock.unlock();
            server_->EndAllStreams();
            lock.lock();
        }
    }

    std::mutex mu_;  // generators_
    std::set<stream::StreamGenerator*> generators_;
    // The replayed loop, encoded before the camera serves; shared read-only by its streams.
    std::shared_ptr<const std::vector<AccessUnit>> replay_;
    std::mutex enderMu_;  // ending_
    std::condition_variable enderCv_;
    bool ending_ = false;
    std::thread ender_;
};

namespace {

// Keeps a source's pace: one picture per frame interval; after a long stall it starts afresh
// rather than bursting.
class Pacer {
public:
    explicit Pacer(int fps)
        : interval_(std::chrono::microseconds(1000000 / fps)), due_(std::chrono::steady_clock::now()) {}
    // Waits at most `maxWait` for the next picture's time; false when it has not come yet.
    bool Wait(std::chrono::milliseconds maxWait) const {
        const auto now = std::chrono::steady_clock::now();
        if (now < due_) {
            std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(due_ - now, maxWait));
            if (std::chrono::steady_clock::now() < due_) return false;
        }
        return true;
    }
    // A picture went out.
    void Sent() {
        due_ += interval_;
        const auto now = std::chrono::steady_clock::now();
        if (due_ + 4 * interval_ < now) due_ = now + interval_;
    }
    std::chrono::steady_clock::duration interval() const { return interval_; }

private:
    std::chrono::steady_clock::duration interval_;
    std::chrono::steady_clock::time_point due_;
};

// One open stream: a generator paced at the camera's frame rate, pulled by the stream's thread.
class GeneratorSource final : public StreamSource {
public:
    GeneratorSource(NetCameras::Camera& camera, const stream::GeneratorConfig& config)
        : camera_(camera), pacer_(config.fps) {
        ok_ = gen_.Open(config) == 0;
        gen_.SetParams(camera_.CurrentParams());
        camera_.Register(&gen_);
    }
    ~GeneratorSource() override { camera_.Unregister(&gen_); }

    bool ok() const { return ok_; }

    bool Next(AccessUnit& out, std::chrono::milliseconds maxWait) override {
        if (!pacer_.Wait(maxWait)) return false;
        stream::AccessUnit au;
        if (gen_.EncodeNext(&au) != 0) return false;
        out.data = std::move(au.data);
        out.keyFrame = au.keyframe;
        out.timestampUs = static_cast<uint64_t>(au.pts_us);
        pacer_.Sent();
        return true;
    }

private:
    NetCameras::Camera& camera_;
    stream::StreamGenerator gen_;
    Pacer pacer_;
    bool ok_ = false;
};

// One open stream of a replaying camera: its loop from the first picture (a key frame), paced
// the same way, with stream times that keep counting up.
class ReplaySource final : public StreamSource {
public:
    ReplaySource(std::shared_ptr<const std::vector<AccessUnit>> loop, int fps) : loop_(std::move(loop)), pacer_(fps) {}

    bool Next(AccessUnit& out, std::chrono::milliseconds maxWait) override {
        if (!pacer_.Wait(maxWait)) return false;
        out = (*loop_)[sent_ % loop_->size()];
        out.timestampUs = static_cast<uint64_t>(
            std::chrono::duration_cast<std::chrono::microseconds>(pacer_.interval()).count() * sent_);
        ++sent_;
        pacer_.Sent();
        return true;
    }

private:
    std::shared_ptr<const std::vector<AccessUnit>> loop_;
    Pacer pacer_;
    uint64_t sent_ = 0;
};

}  // namespace

stream::GeneratorConfig NetCameras::Camera::StreamConfig() const {
    stream::GeneratorConfig gc;
    gc.width = config_.width;
    gc.height = config_.height;
    gc.fps = config_.fps;
    gc.label = config_.address;
    return gc;
}

bool NetCameras::Camera::PrepareReplay() {
    if (config_.replayFrames <= 0 || replay_) return true;
    stream::StreamGenerator gen;
    if (gen.Open(StreamConfig()) != 0) return false;
    gen.SetParams(CurrentParams());
    // Whole seconds, so that the loop starts again on a key frame (one a second).
    const int frames = (config_.replayFrames + config_.fps - 1) / config_.fps * config_.fps;
    auto loop = std::make_shared<std::vector<AccessUnit>>();
    for (int i = 0; i < frames; ++i) {
        stream::AccessUnit au;
        if (gen.EncodeNext(&au) != 0) return false;
        loop->push_back(AccessUnit{std::move(au.data), au.keyframe, 0});
    }
    replay_ = std::move(loop);
    return true;
}

std::unique_ptr<StreamSource> NetCameras::Camera::MakeSource() {
    if (replay_) return std::make_unique<ReplaySource>(replay_, config_.fps);
    auto source = std::make_unique<GeneratorSource>(*this, StreamConfig());
    if (!source->ok()) return nullptr;
    return source;
}

NetCameras::NetCameras(std::vector<NetCameraConfig> cameras) {
    for (const NetCameraConfig& c : cameras) cameras_.push_back(std::make_unique<Camera>(c));
}

NetCameras::~NetCameras() { Stop(); }

int NetCameras::Start(std::string* error) {
    for (auto& cam : cameras_) {
        if (!cam->PrepareReplay()) {
            if (error) *error = "cannot encode the replayed pictures of " + cam->config().address;
            Stop();
            return -1;
        }
        if (cam->server().Start() != 0) {
            if (error)
                *error = "cannot serve a network camera on " + cam->config().address + ":" +
                         std::to_string(cam->config().port) + " (address in use, or not a local address)";
            Stop();
            return -1;
        }
    }
    return 0;
}

void NetCameras::Stop() {
    for (auto& cam : cameras_) cam->server().Stop();
}

namespace {

int ApplyNetFault(const std::string& fault, NetCameraConfig* cfg, std::string* error) {
    const size_t eq = fault.find('=');
    const std::string kind = fault.substr(0, eq);
    std::string value = eq == std::string::npos ? "" : fault.substr(eq + 1);
    auto number = [&](int* out) {
        char* end = nullptr;
        long v = std::strtol(value.c_str(), &end, 10);
        if (value.empty() || *end != '\0' || v < 0 || v > 86400000) return false;
        *out = static_cast<int>(v);
        return true;
    };
    if (kind == "refuse-login" && value.empty()) {
        cfg->refuseLogins = true;
    } else if (kind == "drop-after" && number(&cfg->dropAfterRequests)) {
    } else if (kind == "stall" && value.empty()) {
        cfg->stallMs = -1;  // never answer
    } else if (kind == "stall" && number(&cfg->stallMs)) {
    } else if (kind == "not-json" && value.empty()) {
        cfg->garbageReplies = true;
    } else if (kind == "stop-stream" && value.empty()) {
        cfg->streamStopped = true;
    } else if (kind == "end-streams" && number(&cfg->endStreamsMs) && cfg->endStreamsMs > 0) {
    } else if (kind == "refuse-sets" && value.size() > 1 && value[0] == '-' &&
               (value.erase(0, 1), number(&cfg->refuseSets)) && cfg->refuseSets > 0) {
        cfg->refuseSets = -cfg->refuseSets;
    } else if (kind == "clamp" || kind == "ignore") {
        // The parameter faults act on the camera model, which both transports share.
        Fault f;
        if (ParseFault(fault, &f, error) != 0) return -1;
        if (f.kind == Fault::Kind::Clamp) cfg->model.clamps.push_back({f.member, f.min, f.max});
        else cfg->model.ignored.push_back(f.member);
    } else {
        *error = "unknown network fault '" + fault +
                 "' (refuse-login, drop-after=N, stall[=MS], not-json, stop-stream, end-streams=MS, refuse-sets=-CODE, "
                 "clamp=MEMBER:MIN..MAX, ignore=MEMBER)";
        return -1;
    }
    return 0;
}

}  // namespace

int BuildNetCameras(const SimOptions& options, std::vector<NetCameraConfig>* cameras, std::string* error) {
    std::vector<NetCameraConfig> out;
    for (size_t i = 0; i < options.netAddresses.size(); ++i) {
        NetCameraConfig cfg;
        cfg.address = options.netAddresses[i];
        cfg.width = options.netWidth;
        cfg.height = options.netHeight;
        cfg.fps = options.netFps;
        cfg.replayFrames = options.netReplay;
        for (const auto& [user, password] : options.netUsers) cfg.users.push_back({user, password});
        const int n = static_cast<int>(i) + 1;
        cfg.model.identity = CameraModel::DefaultIdentity(n);
        cfg.model.identity.deviceName = "网络相机" + std::to_string(n);
        cfg.model.flashMs = options.flashMs;
        for (const char* key : {"*", cfg.address.c_str()}) {
            auto it = options.netFaults.find(key);
            if (it == options.netFaults.end()) continue;
            for (const std::string& fault : it->second)
                if (ApplyNetFault(fault, &cfg, error) != 0) return -1;
        }
        out.push_back(std::move(cfg));
    }
    for (const auto& [addr, faultTexts] : options.netFaults) {
        bool served = addr == "*";
        for (const std::string& a : options.netAddresses) served = served || a == addr;
        if (!served) {
            *error = "--net-fault names " + addr + ", which is not among the --net addresses";
            return -1;
        }
    }
    *cameras = std::move(out);
    return 0;
}

CameraModel& NetCameras::Model(size_t index) { return cameras_.at(index)->model(); }
CameraServer& NetCameras::Server(size_t index) { return cameras_.at(index)->server(); }

}  // namespace velmora::sim
