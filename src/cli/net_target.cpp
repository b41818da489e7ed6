#include "cli/net_target.h"

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>

#include "platform/decoder/png_writer.h"
#include "platform/decoder/snapshot_decoder.h"
#include "transport/net/bsc_search.h"
#include "transport/net/orvex_sdk.h"
#include "platform/paths.h"
#include "platform/profile_file.h"
#include "camera/net_camera_ops.h"

namespace velmora::cli {
namespace {

void CopyField(char* dst, size_t size, const std::string& src) {
    size_t n = std::min(src.size(), size - 1);
    std::memcpy(dst, src.data(), n);
    dst[n] = '\0';
}

std::string FieldText(const char* field, size_t size) { return std::string(field, strnlen(field, size)); }

// Stream data handed from the session's receive thread to the thread that decodes it.
struct StreamQueue {
    std::mutex mu;
    std::condition_variable cv;
    std::deque<std::string> units;
    size_t bytes = 0;
    static constexpr size_t kMaxBytes = 64u << 20;

    static void OnRealData(int, const unsigned char* data, int length, int, void* user) {
        auto* q = static_cast<StreamQueue*>(user);
        if (!data || length <= 0) return;
        std::lock_guard lock(q->mu);
        if (q->bytes + static_cast<size_t>(length) > kMaxBytes) return;  // decoding is stuck: drop
        q->units.emplace_back(reinterpret_cast<const char*>(data), static_cast<size_t>(length));
        q->bytes += static_cast<size_t>(length);
        q->cv.notify_one();
    }
};

}  // namespace

NetTarget::NetTarget(std::string address, std::string user, std::string password)
    : address_(std::move(address)), user_(std::move(user)), password_(std::move(password)) {}

NetTarget::~NetTarget() {
    if (session_ >= 0) ORVEX_LogOut(session_);
    ORVEX_Cleanup();
}

int NetTarget::Open(std::string& what) {
    if (session_ >= 0) return 0;
    ORVEX_Init(0);
    LoginInfo info{};
    CopyField(info.address, sizeof info.address, address_);
    info.port = kOrvexDefaultPort;
    CopyField(info.user, sizeof info.user, user_);
    CopyField(info.password, sizeof info.password, password_);
    LoginDeviceInfo device{};
    session_ = ORVEX_Login(info, &device, 0, 0, 0, 0);
    if (session_ < 0) {
        int code = ORVEX_GetLastError();
        what = "login to " + address_ + " as " + user_ + " failed";
        if (code == ORVEX_ERR_AUTH) what += " (wrong user name or password)";
        if (code == ORVEX_ERR_CONNECT) what += " (no camera answers there)";
        return code < 0 ? code : session_;
    }
    identity_ = {{"Address", address_},
                 {"DeviceName", FieldText(device.deviceName, sizeof device.deviceName)},
                 {"ProductModel", FieldText(device.model, sizeof device.model)},
                 {"Serial", FieldText(device.serial, sizeof device.serial)},
                 {"Firmware", FieldText(device.firmware, sizeof device.firmware)}};
    return 0;
}

int NetTarget::Info(std::vector<std::pair<std::string, std::string>>& out) {
    out = identity_;
    return 0;
}

int NetTarget::ReadVideoParams(VideoParam& rec) { return net::ReadVideoParams(session_, rec); }
int NetTarget::SetVideoParamField(const std::string& t) { return net::SetVideoParamField(session_, t.c_str()); }
int NetTarget::WriteVideoParams(const VideoParam& rec) { return net::WriteVideoParams(session_, rec); }
int NetTarget::RestoreDefaults() { return net::RestoreDefaults(session_); }
int NetTarget::ReadAbilityList(AbilityList& list) { return net::ReadAbilityList(session_, list); }
int NetTarget::GetFocusNear() { return net::GetFocusNear(session_); }
int NetTarget::GetFrameRate() { return net::ReadVoMode(session_); }

int NetTarget::Snapshot(const std::string& pngPath, int timeoutMs, std::string& what) {
    int r = Open(what);
    if (r != 0) return r;
    StreamQueue queue;
    int play = ORVEX_StartRealPlay(session_, 0, ORVEX_STREAM_MAIN, &StreamQueue::OnRealData, &queue);
    if (play < 0) {
        what = "the main stream of " + address_ + " could not be started";
        return play;
    }
    SnapshotDecoder decoder;
    int result = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (result == 0) {
        std::string unit;
        {
            std::unique_lock lock(queue.mu);
            if (!queue.cv.wait_until(lock, deadline, [&] { return !queue.units.empty(); })) break;
            unit = std::move(queue.units.front());
            queue.units.pop_front();
            queue.bytes -= unit.size();
        }
        result = decoder.Feed(reinterpret_cast<const uint8_t*>(unit.data()), static_cast<int>(unit.size()));
    }
    // No callback runs after this returns, so the queue may go out of scope safely.
    ORVEX_StopRealPlay(play);
    if (result < 0) {
        what = "the stream of " + address_ + " could not be decoded";
        return result;
    }
    if (!decoder.HasPicture()) {
        what = "no complete picture arrived from " + address_ + " within " + std::to_string(timeoutMs / 1000) + " s";
        return ORVEX_ERR_TIMEOUT;
    }
    const RgbPicture& pic = decoder.Picture();
    r = WritePng(pngPath, pic.pixels.data(), pic.width, pic.height, pic.stride);
    if (r != 0) {
        what = "could not write " + pngPath;
        return r;
    }
    return 0;
}

std::vector<std::string> SearchCameras(int waitMs) {
    std::vector<std::string> found;
    // Probe targets of the configuration file; VELMORA_SEARCH_TARGETS still wins over them.
    const std::string targets = ProfileFile(ConfigPath(ExecutableDir())).GetString("SEARCH", "Targets", "");
    if (!targets.empty()) BSC_SetSearchTargets(targets.c_str());
    if (BSC_Init() < 0) return found;
    std::this_thread::sleep_for(std::chrono::milliseconds(waitMs));
    BSC_DeviceInfo records[kSearchMaxDevices];
    int count = kSearchMaxDevices;
    if (BSC_GetDevInfo(records, &count) > 0)
        for (int i = 0; i < count; ++i) found.emplace_back(FieldText(records[i].ip, sizeof records[i].ip));
    BSC_DeInit();
    return found;
}

}  // namespace velmora::cli
