// The camera directory against simulated cameras: one shared object per camera whoever asks,
// cameras that go and come back, a failed login, and concurrent opens (run under ThreadSanitizer).
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <thread>
#include <vector>

#include "camera/camera_directory.h"
#include "camera/live_stream.h"
#include "integration/recording_messages.h"
#include "integration/sim_usb_cameras.h"
#include "platform/user_messages.h"
#include "protocol/field_by_name.h"
#include "sim/net_cameras.h"
#include "sim/stream/stream_generator.h"
#include "platform/decoder/xplay.h"
#include "transport/net/orvex_sdk.h"
#include "transport/usb/hid_framing.h"

using namespace velmora::platform;
using namespace velmora::protocol;
using namespace velmora::transport;
using namespace velmora::camera;

namespace fs = std::filesystem;
using namespace velmora;
using namespace velmora::wire;

namespace {

class CameraDirectoryTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/velmora-dir-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        SetUserMessages(&messages_);
        ORVEX_Init(0);
    }
    void TearDown() override {
        directory_.reset();
        ORVEX_Cleanup();
        if (usbServer_) usbServer_->Stop();
        if (netCams_) netCams_->Stop();
        SetUserMessages(nullptr);
        fs::remove_all(dir_);
    }

    void ServeUsb(int count) {
        std::vector<sim::UsbCameraConfig> cams;
        for (int i = 1; i <= count; ++i) cams.push_back(testsim::NumberedUsbCamera(i));
        usbServer_ = std::make_unique<sim::UsbServer>(dir_, std::move(cams));
        std::string error;
        ASSERT_EQ(usbServer_->Start(&error), 0) << error;
        directory_ = std::make_unique<CameraDirectory>(std::make_unique<SimHidBackend>(dir_));
        CUSBDevice::Timing t = directory_->Usb().GetTiming();
        t.settleAfterOpen = std::chrono::milliseconds(0);
        t.retryAfterFailedInfo = std::chrono::milliseconds(0);
        directory_->Usb().SetTiming(t);
    }

    void ServeNet(int count) {
        std::vector<sim::NetCameraConfig> configs;
        for (int i = 0; i < count; ++i) {
            sim::NetCameraConfig c;
            c.address = "127.0.0." + std::to_string(40 + i);
            c.port = 0;
            c.answerSearch = false;
            c.width = 160;
            c.height = 120;
            c.model.identity = sim::CameraModel::DefaultIdentity(i + 1);
            configs.push_back(std::move(c));
        }
        netCams_ = std::make_unique<sim::NetCameras>(std::move(configs));
        std::string error;
        ASSERT_EQ(netCams_->Start(&error), 0) << error;
        if (!directory_) directory_ = std::make_unique<CameraDirectory>(std::make_unique<SimHidBackend>(dir_));
    }

    int OpenNet(int index, const char* password, std::shared_ptr<NetCamera>& camera, std::string& what) {
        velmora::sim::CameraServer& server = netCams_->Server(static_cast<size_t>(index));
        return directory_->OpenNetwork(server.config().address, server.Port(), "admin", password, camera, what);
    }

    std::string dir_;
    velmora::testing::RecordingMessages messages_;
    std::unique_ptr<sim::UsbServer> usbServer_;
    std::unique_ptr<sim::NetCameras> netCams_;
    std::unique_ptr<CameraDirectory> directory_;
};

TEST_F(CameraDirectoryTest, OneObjectPerCameraFollowedAcrossRefreshesAndFrontEnds) {
    ServeUsb(2);
    ASSERT_EQ(directory_->RefreshUsb(), 2);
    const std::vector<UsbListing> listed = directory_->UsbCameras();
    ASSERT_EQ(listed.size(), 2u);
    EXPECT_EQ(listed[0].index, 1);
    EXPECT_EQ(listed[1].index, 2);
    EXPECT_NE(listed[0].key, listed[1].key);

    // Asked twice, by handle and by identity: the same object.
    auto first = directory_->UsbCameraByHandle(listed[0].entry.handle);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first, directory_->UsbCameraByHandle(listed[0].entry.handle));
    EXPECT_EQ(first, directory_->UsbCameraByKey(listed[0].key));
    EXPECT_NE(first, directory_->UsbCameraByHandle(listed[1].entry.handle));
    EXPECT_EQ(directory_->UsbCameraByHandle(987654), nullptr);

    // A refresh gives new handles; the object held follows its camera, and a change made through
    // it lands on that camera only.
    ASSERT_EQ(first->SetField(Field("Luminance"), 77), 0);
    ASSERT_EQ(directory_->RefreshUsb(), 2);
    const std::vector<UsbListing> again = directory_->UsbCameras();
    EXPECT_NE(again[0].entry.handle, listed[0].entry.handle);
    EXPECT_EQ(first->handle(), again[0].entry.handle);
    EXPECT_EQ(first, directory_->UsbCameraByKey(listed[0].key));
    VideoParam rec{};
    ASSERT_EQ(first->ReadVideoParams(rec), 0);
    EXPECT_EQ(rec.bytes[Field("Luminance").offset], 77);
    ASSERT_EQ(directory_->UsbCameraByKey(listed[1].key)->ReadVideoParams(rec), 0);
    EXPECT_NE(rec.bytes[Field("Luminance").offset], 77);

    // A command-line caller that opens only the second camera gets the window's object for it.
    std::shared_ptr<UsbCamera> second;
    int matching = 0;
    ASSERT_EQ(directory_->OpenUsbAt(2, second, &matching), 0);
    EXPECT_EQ(matching, 2);
    EXPECT_EQ(second, directory_->UsbCameraByKey(listed[1].key));
    ASSERT_EQ(directory_->OpenUsbBySerial(listed[0].key, second, &matching), 0);
    EXPECT_EQ(second, first);
}

TEST_F(CameraDirectoryTest, AVanishedCameraAnswersInvalidHandleUntilItIsBack) {
    ServeUsb(1);
    ASSERT_EQ(directory_->RefreshUsb(), 1);
    const std::string key = directory_->UsbCameras()[0].key;
    auto camera = directory_->UsbCameraByKey(key);
    ASSERT_NE(camera, nullptr);

    // The camera keeps its identity, the one the listing (and `list`) shows, also while away.
    const UsbDeviceEntry listed = directory_->UsbCameras()[0].entry;
    auto sameIdentity = [&](const UsbDeviceEntry& kept) {
        return std::string(kept.serial) == listed.serial && std::string(kept.productModel) == listed.productModel &&
               std::string(kept.displayName) == listed.displayName && std::string(kept.biosVersion) == listed.biosVersion &&
               std::string(kept.buildDate) == listed.buildDate;
    };
    EXPECT_TRUE(sameIdentity(camera->Identity()));
    EXPECT_STREQ(camera->Identity().buildDate, "2024-05-20");

    usbServer_->Stop();
    EXPECT_EQ(directory_->RefreshUsb(), 0);
    EXPECT_TRUE(directory_->UsbCameras().empty());
    VideoParam rec{};
    EXPECT_EQ(camera->ReadVideoParams(rec), kUsbInvalidHandle);
    EXPECT_EQ(directory_->UsbCameraByKey(key), camera);  // still known, not present
    EXPECT_TRUE(sameIdentity(camera->Identity()));

    std::string error;
    ASSERT_EQ(usbServer_->Start(&error), 0) << error;
    ASSERT_EQ(directory_->RefreshUsb(), 1);
    EXPECT_EQ(camera->ReadVideoParams(rec), 0);

    directory_->CloseUsb();
    EXPECT_EQ(camera->ReadVideoParams(rec), kUsbInvalidHandle);
}

TEST_F(CameraDirectoryTest, LoginFailureKeepsNothingAndALoginIsShared) {
    ServeNet(1);
    std::shared_ptr<NetCamera> camera;
    std::string what;
    const int refused = OpenNet(0, "wrong", camera, what);
    EXPECT_LT(refused, 0);
    EXPECT_FALSE(what.empty());
    EXPECT_EQ(camera, nullptr);
    EXPECT_TRUE(directory_->OpenNetworkAddresses().empty());

    ASSERT_EQ(OpenNet(0, "pelno", camera, what), 0) << what;
    ASSERT_NE(camera, nullptr);
    std::shared_ptr<NetCamera> again;
    ASSERT_EQ(OpenNet(0, "pelno", again, what), 0);
    EXPECT_EQ(again, camera);
    VideoParam rec{};
    EXPECT_EQ(camera->ReadVideoParams(rec), 0);

    EXPECT_TRUE(directory_->CloseNetwork("127.0.0.40"));
    EXPECT_FALSE(directory_->CloseNetwork("127.0.0.40"));
    EXPECT_EQ(directory_->NetworkCamera("127.0.0.40"), nullptr);
    EXPECT_LT(camera->ReadVideoParams(rec), 0);  // logged out: the held object fails, safely
}

// Several threads open, refresh and use cameras at once: every caller of one address gets the
// one login, and nothing races (the ThreadSanitizer build runs this).
TEST_F(CameraDirectoryTest, ConcurrentOpensShareOneLoginAndOneObject) {
    ServeUsb(2);
    ServeNet(2);
    ASSERT_EQ(directory_->RefreshUsb(), 2);
    constexpr int kThreads = 6;
    std::vector<std::shared_ptr<NetCamera>> got(kThreads);
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            std::string what;
            if (OpenNet(t % 2, "pelno", got[static_cast<size_t>(t)], what) != 0) ++failures;
            for (int i = 0; i < 3; ++i) {
                if (t == 0) directory_->RefreshUsb();
                for (const UsbListing& listed : directory_->UsbCameras()) {
                    auto camera = directory_->UsbCameraByKey(listed.key);
                    VideoParam rec{};
                    if (camera) camera->ReadVideoParams(rec);  // may meet a refresh: -304 is fine
                }
            }
        });
    }
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(directory_->OpenNetworkAddresses().size(), 2u);
    std::set<NetCamera*> distinct;
    for (auto& camera : got) distinct.insert(camera.get());
    EXPECT_EQ(distinct.size(), 2u);
}

// Live streams (the video panes) log in through the directory, one login per stream: two streams
// of one camera have their own sessions, closing one leaves the other and the directory's shared
// login alone, and a refused login keeps nothing.
TEST_F(CameraDirectoryTest, LiveStreamsLogInPerStreamThroughTheDirectory) {
    ServeNet(1);
    velmora::sim::CameraServer& server = netCams_->Server(0);
    OrvexXPlayCalls calls;
    LiveStream first(calls, directory_->Streams());
    LiveStream second(calls, directory_->Streams());
    LoginInfo info{};
    std::snprintf(info.address, sizeof info.address, "%s", server.config().address.c_str());
    info.port = static_cast<uint16_t>(server.Port());
    std::snprintf(info.user, sizeof info.user, "admin");
    std::snprintf(info.password, sizeof info.password, "wrong");
    EXPECT_EQ(first.Open(info, ORVEX_STREAM_MAIN, nullptr), ORVEX_ERR_AUTH);
    EXPECT_EQ(directory_->Streams().OpenCount(), 0u);
    EXPECT_EQ(first.Camera(), nullptr);

    std::snprintf(info.password, sizeof info.password, "pelno");
    ASSERT_EQ(first.Open(info, ORVEX_STREAM_MAIN, nullptr), 0);
    ASSERT_EQ(second.Open(info, ORVEX_STREAM_MAIN, nullptr), 0);
    std::shared_ptr<NetCamera> shared;
    std::string what;
    ASSERT_EQ(OpenNet(0, "pelno", shared, what), 0) << what;
    std::shared_ptr<NetCamera> a = first.Camera(), b = second.Camera();
    ASSERT_TRUE(a && b);
    EXPECT_NE(a->session(), b->session());
    EXPECT_NE(a->session(), shared->session());
    EXPECT_EQ(directory_->Streams().OpenCount(), 2u);
    EXPECT_STREQ(first.Record().address, server.config().address.c_str());

    EXPECT_TRUE(first.Close());
    EXPECT_EQ(directory_->Streams().OpenCount(), 1u);
    VideoParam rec{};
    EXPECT_LT(a->ReadVideoParams(rec), 0);  // its login ended: the held copy fails, safely
    EXPECT_EQ(b->ReadVideoParams(rec), 0);
    EXPECT_EQ(shared->ReadVideoParams(rec), 0);
    EXPECT_EQ(second.EndedReason(), 0);
    second.Close();
    EXPECT_EQ(directory_->Streams().OpenCount(), 0u);
    EXPECT_EQ(shared->ReadVideoParams(rec), 0);
}

// A camera that answers at once sends its key frame before the stream's decoder port exists:
// what comes before the port is kept and decoded first, so the first picture does not wait for
// the next key frame. More than the stream may hold before its port is dropped whole, and the
// stream then starts at a key frame.
TEST_F(CameraDirectoryTest, WhatArrivesBeforeTheDecoderPortIsDecodedFirst) {
    sim::stream::GeneratorConfig config;
    config.width = 160;
    config.height = 96;
    sim::stream::StreamGenerator generator;
    ASSERT_EQ(generator.Open(config), 0);
    std::vector<sim::stream::AccessUnit> units(3);
    for (auto& unit : units) ASSERT_EQ(generator.EncodeNext(&unit), 0);
    ASSERT_TRUE(units[0].keyframe);

    // Its real play answers with the key frame (and what follows) before it returns.
    struct InstantCamera : OrvexXPlayCalls {
        const std::vector<sim::stream::AccessUnit>* units = nullptr;
        size_t early = 0;
        int StartRealPlay(int, int, ORVEX_RealDataCallback cb, void* user) override {
            for (size_t i = 0; i < early; ++i)
                cb(7, (*units)[i].data.data(), static_cast<int>((*units)[i].data.size()), 0, user);
            return 7;
        }
        int StopRealPlay(int) override { return 0; }
        int RealPlayState(int) override { return 0; }
    } backend;
    directory_ = std::make_unique<CameraDirectory>(std::make_unique<SimHidBackend>(dir_));
    LiveStream stream(backend, directory_->Streams());
    // Plays `sent`, the first `early` units before the port exists; returns the pictures decoded
    // once the port has taken the `fed` units it should get.
    auto decoded = [&](const std::vector<sim::stream::AccessUnit>& sent, size_t early, size_t fed) {
        backend.units = &sent;
        backend.early = early;
        EXPECT_EQ(stream.Play(std::make_shared<NetCamera>(1, "127.0.0.1", 1), ORVEX_STREAM_MAIN, nullptr), 0);
        for (size_t i = early; i < sent.size(); ++i)
            LiveStream::OnRealData(7, sent[i].data.data(), static_cast<int>(sent[i].data.size()), 0,
                                   const_cast<LiveStreamRecord*>(&stream.Record()));
        XStreamStats stats{};
        for (int tries = 0; tries < 500; ++tries) {
            EXPECT_EQ(X_GetStreamStats(stream.DecoderPort(), &stats), 0);
            if (stats.access_units >= fed && stats.frames_decoded + stats.skipped_units >= fed) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        EXPECT_EQ(stats.chunks_in, fed);
        stream.Close();
        return stats.frames_decoded;
    };
    EXPECT_EQ(decoded(units, 2, 3), 3u);
    EXPECT_EQ(decoded(units, 0, 3), 3u);

    // An oversized start (a key frame too big to hold) is dropped whole: the port gets only what
    // follows it, and waits for the next key frame.
    std::vector<sim::stream::AccessUnit> big(2);
    big[0].data.assign(LiveStreamRecord::kMaxEarlyBytes + 1, 0);
    big[1] = units[1];
    EXPECT_EQ(decoded(big, 1, 1), 0u);
}

}  // namespace
