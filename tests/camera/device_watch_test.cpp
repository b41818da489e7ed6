// Cameras plugged and unplugged while the camera directory watches the simulator's folder: each
// arrival and departure is announced once, a replugged camera gets its object back, a camera that
// never answers is listed with its error, and the folder watcher debounces a camera that appears
// in steps.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "camera/camera_directory.h"
#include "integration/recording_messages.h"
#include "integration/sim_usb_cameras.h"
#include "platform/unique_fd.h"
#include "platform/user_messages.h"
#include "transport/usb/device_watcher.h"
#include "transport/usb/hid_framing.h"

using namespace velmora::platform;
using namespace velmora::transport;
using namespace velmora::camera;

namespace fs = std::filesystem;
using namespace velmora;
using namespace velmora::protocol;
using namespace std::chrono_literals;

namespace {

constexpr auto kSettle = 60ms;

// Collects what a watcher or the directory reports, for a test thread to wait on.
template <typename Event>
class Heard {
public:
    void Add(const Event& e) {
        std::lock_guard lock(mu_);
        events_.push_back(e);
        cv_.notify_all();
    }
    // Waits until `count` events have come (false after 5 s) and returns a copy of them.
    bool WaitFor(size_t count, std::vector<Event>& out) {
        std::unique_lock lock(mu_);
        const bool ok = cv_.wait_for(lock, 5s, [&] { return events_.size() >= count; });
        out = events_;
        return ok;
    }
    size_t Count() {
        std::lock_guard lock(mu_);
        return events_.size();
    }

private:
    std::mutex mu_;
    std::condition_variable cv_;
    std::vector<Event> events_;
};

class DeviceWatchTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/velmora-watch-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        SetUserMessages(&messages_);
    }
    void TearDown() override {
        directory_.reset();
        if (server_) server_->Stop();
        SetUserMessages(nullptr);
        fs::remove_all(dir_);
    }

    // Plugs `count` cameras at once (one simulator serves the folder).
    void Plug(int count) {
        std::vector<sim::UsbCameraConfig> cams;
        for (int n = 1; n <= count; ++n) cams.push_back(testsim::NumberedUsbCamera(n));
        server_ = std::make_unique<sim::UsbServer>(dir_, std::move(cams));
        std::string error;
        ASSERT_EQ(server_->Start(&error), 0) << error;
    }

    void Watch() {
        directory_ = std::make_unique<CameraDirectory>(std::make_unique<SimHidBackend>(dir_));
        CUSBDevice::Timing t = directory_->Usb().GetTiming();
        t.replyPhase = 300ms;
        t.requestPhase = 300ms;
        directory_->Usb().SetTiming(t);
        ASSERT_EQ(directory_->StartWatching([this](const UsbArrival& e) { heard_.Add(e); },
                                            MakeSimFolderWatcher(dir_, kSettle)),
                  0);
    }

    std::string dir_;
    velmora::testing::RecordingMessages messages_;
    std::unique_ptr<sim::UsbServer> server_;
    std::unique_ptr<CameraDirectory> directory_;
    Heard<UsbArrival> heard_;
};

TEST_F(DeviceWatchTest, ArrivalsDeparturesAndAReplugFollowTheSerial) {
    Watch();
    Plug(2);  // two cameras at once
    std::vector<UsbArrival> events;
    ASSERT_TRUE(heard_.WaitFor(2, events));
    std::set<std::string> serials;
    for (const UsbArrival& e : events) {
        EXPECT_TRUE(e.arrived);
        EXPECT_EQ(e.result, 0);
        serials.insert(e.listing.key);
    }
    ASSERT_EQ(serials.size(), 2u);
    EXPECT_EQ(directory_->UsbCameras().size(), 2u);
    const std::string key = events[0].listing.key;
    auto camera = directory_->UsbCameraByKey(key);
    ASSERT_NE(camera, nullptr);
    VideoParam rec{};
    EXPECT_EQ(camera->ReadVideoParams(rec), 0);
    EXPECT_EQ(std::string(camera->Identity().serial), key);  // the arrival's identity is kept with the camera

    server_->Stop();  // both unplugged
    ASSERT_TRUE(heard_.WaitFor(4, events));
    EXPECT_FALSE(events[2].arrived);
    EXPECT_FALSE(events[3].arrived);
    EXPECT_TRUE(directory_->UsbCameras().empty());
    EXPECT_EQ(camera->ReadVideoParams(rec), kUsbInvalidHandle);

    std::string error;
    ASSERT_EQ(server_->Start(&error), 0) << error;  // the same cameras come back
    ASSERT_TRUE(heard_.WaitFor(6, events));
    EXPECT_TRUE(events[4].arrived && events[5].arrived);
    EXPECT_EQ(directory_->UsbCameraByKey(key), camera);
    EXPECT_EQ(camera->ReadVideoParams(rec), 0);

    std::this_thread::sleep_for(kSettle * 4);
    EXPECT_EQ(heard_.Count(), 6u);  // each change announced once
    directory_->StopWatching();
}

TEST_F(DeviceWatchTest, ACameraThatNeverAnswersIsListedWithItsError) {
    Watch();
    // A socket that takes connections but never replies, with a usable description.
    UniqueFd listener(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    const std::string sock = dir_ + "/mute.sock";
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", sock.c_str());
    ASSERT_EQ(::bind(listener.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(::listen(listener.get(), 4), 0);
    std::ofstream(dir_ + "/mute.json")
        << R"({"vendor_id": 5891, "product_id": 4660, "output_report_length": 65, "input_report_length": 65})";
    std::vector<UsbArrival> events;
    ASSERT_TRUE(heard_.WaitFor(1, events));
    EXPECT_TRUE(events[0].arrived);
    EXPECT_LT(events[0].result, 0);
    EXPECT_EQ(events[0].listing.path, sock);
    EXPECT_EQ(events[0].listing.key, "path:" + sock);
}

TEST_F(DeviceWatchTest, ACameraRebootingWithinTheSettleTimeIsFoundAgainByItsSerial) {
    std::vector<sim::UsbCameraConfig> cams{testsim::NumberedUsbCamera(1)};
    cams[0].rebootMs = 0;  // back before the watcher's settle time is over
    server_ = std::make_unique<sim::UsbServer>(dir_, std::move(cams));
    std::string error;
    ASSERT_EQ(server_->Start(&error), 0) << error;
    Watch();
    std::vector<UsbArrival> events;
    ASSERT_TRUE(heard_.WaitFor(1, events));
    const UsbListing before = events[0].listing;
    const uint64_t mark = directory_->UsbArrivalCount();

    std::atomic<bool> stop{false};
    UsbListing found;
    // Nothing came yet: the wait ends at its deadline.
    EXPECT_EQ(directory_->WaitForUsbArrival(before.key, "", mark, std::chrono::steady_clock::now() + 50ms, stop, found),
              CameraDirectory::ArrivalWait::TimedOut);

    int received = 0;
    ASSERT_EQ(directory_->Usb().Transfer(before.entry.handle, 40001086, nullptr, 0, nullptr, 0, &received, 5), 0);
    directory_->Usb().CloseDevice(before.entry.handle);
    ASSERT_EQ(directory_->WaitForUsbArrival(before.key, "", mark, std::chrono::steady_clock::now() + 5s, stop, found),
              CameraDirectory::ArrivalWait::Arrived);
    EXPECT_EQ(found.key, before.key);
    EXPECT_NE(found.entry.handle, before.entry.handle);
    UsbDeviceEntry entry{};
    EXPECT_EQ(directory_->Usb().IdentifyDevice(found.entry.handle, entry), 0);
    EXPECT_EQ(server_->Model(0).RebootCount(), 1);
    ASSERT_TRUE(heard_.WaitFor(3, events));  // it left and came back, both announced
    EXPECT_FALSE(events[1].arrived);
    EXPECT_TRUE(events[2].arrived);

    // A waiter for a camera that never comes is released by its stop flag at once.
    std::thread stopper([&] {
        std::this_thread::sleep_for(50ms);
        stop.store(true);
        directory_->WakeUsbWaiters();
    });
    EXPECT_EQ(directory_->WaitForUsbArrival("nobody", "", directory_->UsbArrivalCount(),
                                            std::chrono::steady_clock::now() + 60s, stop, found),
              CameraDirectory::ArrivalWait::Stopped);
    stopper.join();
}

TEST(SimFolderWatcherTest, ACameraAppearingInStepsIsAnnouncedOnceAndOnlyWhenWhole) {
    char tmpl[] = "/tmp/velmora-watch-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const std::string dir = tmpl;
    Heard<DeviceChange> heard;
    auto watcher = MakeSimFolderWatcher(dir, kSettle);
    ASSERT_EQ(watcher->Start([&](const DeviceChange& c) { heard.Add(c); }), 0);

    // A description alone is no camera; with its socket it is one, announced once.
    std::ofstream(dir + "/cam.json") << "{}";
    std::this_thread::sleep_for(kSettle * 3);
    EXPECT_EQ(heard.Count(), 0u);
    UniqueFd sock(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s/cam.sock", dir.c_str());
    ASSERT_EQ(::bind(sock.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    std::ofstream(dir + "/cam.json") << R"({"vendor_id": 5891})";  // rewritten in the same breath
    std::vector<DeviceChange> changes;
    ASSERT_TRUE(heard.WaitFor(1, changes));
    EXPECT_EQ(changes[0].kind, DeviceChange::Kind::Arrived);
    EXPECT_EQ(changes[0].path, dir + "/cam.sock");

    // Gone in two steps, announced once; a stop is prompt and final.
    fs::remove(dir + "/cam.sock");
    fs::remove(dir + "/cam.json");
    ASSERT_TRUE(heard.WaitFor(2, changes));
    EXPECT_EQ(changes[1].kind, DeviceChange::Kind::Left);
    watcher->Stop();
    std::this_thread::sleep_for(kSettle * 2);
    EXPECT_EQ(heard.Count(), 2u);
    fs::remove_all(dir);
}

}  // namespace
