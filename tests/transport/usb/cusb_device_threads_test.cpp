#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "platform/zeb_log.h"

#include "transport/usb/cusb_device.h"
#include "transport/usb/fake_usb_camera.h"
#include "transport/usb/sim_hid_backend.h"

using namespace velmora::platform;
using namespace velmora::transport;

using namespace std::chrono_literals;
using velmora::transport::HidConnection;
using velmora::transport::HidDeviceDescriptor;
using velmora::testing::FakeResponse;
using velmora::testing::FastTiming;
using velmora::testing::OpenHost;
using velmora::testing::FakeUsbCamera;
using velmora::testing::MakeReplyReport;
using velmora::testing::MakeReplyReports;
using velmora::testing::Report;
using velmora::testing::TempDir;

namespace {

// In-memory device: writes succeed until `failWriteAt` (1-based), reads hand out queued reports
// and otherwise block until Cancel/Close. `waiting` holds reports already there before the
// request (what DiscardPending finds), `replies` those that come once it is written.
struct ScriptedState {
    std::mutex mu;
    std::condition_variable cv;
    std::deque<Report> waiting;
    std::deque<Report> replies;
    int writes = 0;
    int failWriteAt = 0;
    std::chrono::milliseconds writeDelay{0};
};

class ScriptedConnection : public HidConnection {
public:
    explicit ScriptedConnection(std::shared_ptr<ScriptedState> s) : s_(std::move(s)) {}
    int Write(const uint8_t*, size_t length) override {
        std::unique_lock lock(s_->mu);
        if (stopped()) return velmora::transport::kHidCancelled;
        if (s_->writeDelay.count()) s_->cv.wait_for(lock, s_->writeDelay, [this] { return stopped(); });
        ++s_->writes;
        if (s_->writes == s_->failWriteAt) return velmora::transport::kHidIoError;
        return static_cast<int>(length);
    }
    int Read(uint8_t* buffer, size_t capacity) override {
        std::unique_lock lock(s_->mu);
        s_->cv.wait(lock, [this] { return stopped() || !s_->replies.empty(); });
        if (stopped()) return velmora::transport::kHidCancelled;
        Report r = std::move(s_->replies.front());
        s_->replies.pop_front();
        size_t n = std::min(capacity, r.size());
        std::copy(r.begin(), r.begin() + static_cast<long>(n), buffer);
        return static_cast<int>(n);
    }
    int DiscardPending(size_t, const velmora::transport::HidReportVisitor& seen) override {
        std::lock_guard lock(s_->mu);
        int n = static_cast<int>(s_->waiting.size());
        for (const Report& r : s_->waiting) seen(r.data(), r.size());
        s_->waiting.clear();
        return n;
    }
    void Cancel() override { Set(cancelled_, true); }
    void Rearm() override { Set(cancelled_, false); }
    void Close() override { Set(closed_, true); }

private:
    bool stopped() const { return cancelled_ || closed_; }
    void Set(bool& flag, bool v) {
        std::lock_guard lock(s_->mu);
        flag = v;
        s_->cv.notify_all();
    }
    std::shared_ptr<ScriptedState> s_;
    bool cancelled_ = false;
    bool closed_ = false;
};

class ScriptedBackend : public velmora::transport::HidBackend {
public:
    std::vector<HidDeviceDescriptor> devices;
    std::shared_ptr<ScriptedState> state = std::make_shared<ScriptedState>();
    std::vector<HidDeviceDescriptor> Enumerate() override { return devices; }
    std::unique_ptr<HidConnection> Open(const HidDeviceDescriptor&) override {
        return std::make_unique<ScriptedConnection>(state);
    }
};

HidDeviceDescriptor Scripted(const std::string& path, int reportLength) {
    HidDeviceDescriptor d;
    d.path = path;
    d.vendorId = 0x1703;
    d.outputReportLength = d.inputReportLength = reportLength;
    return d;
}

}  // namespace

// A failed request stays failed even when the device's reply (status 0) is still drained.
TEST(CUSBDeviceThreads, FailedRequestIsNotTurnedIntoSuccessByALateReply) {
    auto backend = std::make_unique<ScriptedBackend>();
    backend->devices.push_back(Scripted("s0", 65));
    auto state = backend->state;
    CUSBDevice host(std::move(backend));
    host.SetVendorFilter(0, nullptr);
    host.SetTiming(FastTiming());
    ASSERT_EQ(host.DeviceOpen(), 1);
    UsbDeviceEntry e{};
    host.GetDevice(0, e);

    {
        std::lock_guard lock(state->mu);
        state->failWriteAt = 2;
        state->replies.push_back(MakeReplyReport(65, 3004, 0, "", true));
    }
    std::string data(200, 'd');
    EXPECT_EQ(host.Transfer(e.handle, 3004, data.data(), 200, nullptr, 0, nullptr, 5),
              velmora::transport::kUsbWriteFailed);
    EXPECT_TRUE(state->replies.empty());  // the late reply was drained

    // A request phase that times out between two writes (not blocked in I/O) is still stopped
    // and joined, and its -302 stands against the reply that follows.
    CUSBDevice::Timing t = FastTiming();
    t.requestPhase = 50ms;
    host.SetTiming(t);
    {
        std::lock_guard lock(state->mu);
        state->failWriteAt = 0;
        state->writeDelay = 20ms;
        state->replies.push_back(MakeReplyReport(65, 3004, 0, "", true));
    }
    EXPECT_EQ(host.Transfer(e.handle, 3004, data.data(), 200, nullptr, 0, nullptr, 5), velmora::transport::kUsbTimeout);
}

TEST(CUSBDeviceThreads, DevicesWithUnusableReportLengthsAreSkipped) {
    auto backend = std::make_unique<ScriptedBackend>();
    backend->devices.push_back(Scripted("tiny", 13));
    backend->devices.push_back(Scripted("unknown", 0));
    backend->devices.push_back(Scripted("huge", 1 << 20));
    backend->devices.push_back(Scripted("fine", 18));
    CUSBDevice host(std::move(backend));
    host.SetVendorFilter(0, nullptr);
    EXPECT_EQ(host.DeviceOpen(), 1);
    UsbDeviceEntry e{};
    ASSERT_TRUE(host.GetDevice(0, e));
    EXPECT_EQ(host.ReportLength(e.handle), 18);
}

TEST(CUSBDeviceThreads, TransfersOnTwoDevicesRunAtOnce) {
    TempDir dir;
    FakeUsbCamera a(dir.path(), "a", 0x1703, 1, 65), b(dir.path(), "b", 0x1703, 2, 33);
    auto echo = [](int len) {
        return [len](uint32_t cmd, const std::vector<uint8_t>& req) {
            FakeResponse r;
            r.reports = MakeReplyReports(len, cmd, static_cast<int32_t>(req.size()), std::string(req.begin(), req.end()));
            return r;
        };
    };
    a.SetHandler(echo(65));
    b.SetHandler(echo(33));
    auto host = OpenHost(dir.path());
    ASSERT_EQ(host->DeviceOpen(), 2);
    auto list = host->GetDevices();

    std::atomic<int> failures{0};
    auto worker = [&](int32_t handle, char fill) {
        for (int i = 0; i < 40; ++i) {
            std::string req(static_cast<size_t>(1 + i * 37), fill);
            char reply[2048];
            int received = 0;
            int r = host->Transfer(handle, 40001119, req.data(), static_cast<int>(req.size()), reply, sizeof reply,
                                   &received, 5);
            if (r != static_cast<int>(req.size()) || std::string(reply, static_cast<size_t>(received)) != req) ++failures;
        }
    };
    std::thread ta(worker, list[0].handle, 'a'), tb(worker, list[1].handle, 'b');
    ta.join();
    tb.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(a.stats().requests, 40);
    EXPECT_EQ(b.stats().requests, 40);
}

TEST(CUSBDeviceThreads, ExchangesOnOneDeviceAreSerialised) {
    TempDir dir;
    FakeUsbCamera cam(dir.path(), "a");
    cam.SetHandler([](uint32_t cmd, const std::vector<uint8_t>& req) {
        FakeResponse r;
        r.reports = MakeReplyReports(65, cmd, 0, std::string(req.begin(), req.end()));
        return r;
    });
    auto host = OpenHost(dir.path());
    ASSERT_EQ(host->DeviceOpen(), 1);
    int32_t h = host->GetDevices()[0].handle;
    std::atomic<int> failures{0};
    auto worker = [&](char fill) {
        for (int i = 0; i < 30; ++i) {
            std::string req(200, fill);
            char reply[512];
            int received = 0;
            int r = host->Transfer(h, 40001119, req.data(), 200, reply, sizeof reply, &received, 5);
            if (r != 0 || std::string(reply, static_cast<size_t>(received)) != req) ++failures;
        }
    };
    std::thread t1(worker, 'x'), t2(worker, 'y');
    t1.join();
    t2.join();
    EXPECT_EQ(failures.load(), 0);
}

TEST(CUSBDeviceThreads, CloseAllWakesAnExchangeWaitingForItsReply) {
    TempDir dir;
    FakeUsbCamera cam(dir.path(), "a");
    cam.SetHandler([](uint32_t, const std::vector<uint8_t>&) { return FakeResponse{}; });  // never answers
    auto host = OpenHost(dir.path());
    ASSERT_EQ(host->DeviceOpen(), 1);
    int32_t h = host->GetDevices()[0].handle;

    int result = 0;
    auto start = std::chrono::steady_clock::now();
    std::thread t([&] { result = host->Transfer(h, 40001089, "x", 2, nullptr, 0, nullptr, 5); });
    std::this_thread::sleep_for(50ms);
    host->CloseAll();
    t.join();
    EXPECT_EQ(result, velmora::transport::kUsbReadFailed);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
}

// A device that keeps sending pieces of a reply without end: the reader takes them one after the
// other without waiting in between, and still stops when the devices are closed.
TEST(CUSBDeviceThreads, CloseAllStopsTheReaderOfADeviceThatNeverStopsTalking) {
    TempDir dir;
    FakeUsbCamera cam(dir.path(), "a");
    cam.SetHandler([&cam](uint32_t command, const std::vector<uint8_t>&) {
        FakeResponse r;
        r.reports.assign(200000, MakeReplyReport(cam.reportLength(), command, 0, std::string(40, 'x'), false));
        return r;
    });
    auto host = OpenHost(dir.path());
    ASSERT_EQ(host->DeviceOpen(), 1);
    const int32_t h = host->GetDevices()[0].handle;
    int result = 0;
    std::thread t([&] { result = host->Transfer(h, 40001089, "x", 2, nullptr, 0, nullptr, 5); });
    std::this_thread::sleep_for(200ms);
    const auto start = std::chrono::steady_clock::now();
    host->CloseAll();
    t.join();
    EXPECT_LT(result, 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
}

TEST(CUSBDeviceThreads, RefreshWhileOtherDevicesExchange) {
    TempDir dir;
    FakeUsbCamera a(dir.path(), "a"), b(dir.path(), "b");
    auto host = OpenHost(dir.path());
    ASSERT_EQ(host->DeviceOpen(), 2);
    int32_t h = host->GetDevices()[0].handle;
    std::atomic<bool> stop{false};
    std::atomic<int> bad{0};
    std::thread t([&] {
        while (!stop.load()) {
            int r = host->Transfer(h, 1, "x", 2, nullptr, 0, nullptr, 5);
            // Success until the refresh closes the device, then -304 (or a failure of the
            // exchange that the close interrupted).
            if (r != 0 && r != velmora::transport::kUsbInvalidHandle && r != velmora::transport::kUsbReadFailed &&
                r != velmora::transport::kUsbWriteFailed)
                ++bad;
        }
    });
    for (int i = 0; i < 5; ++i) EXPECT_EQ(host->RefreshDevices(), 2);
    stop = true;
    t.join();
    EXPECT_EQ(bad.load(), 0);
    EXPECT_EQ(host->GetDeviceCount(), 2);
}

TEST(CUSBDeviceThreads, BusyNoticeOutranksAFailedRequest) {
    auto backend = std::make_unique<ScriptedBackend>();
    backend->devices.push_back(Scripted("s0", 65));
    auto state = backend->state;
    CUSBDevice host(std::move(backend));
    host.SetVendorFilter(0, nullptr);
    host.SetTiming(FastTiming());
    // The device had already closed, so the write fails; its notice is still the answer. The
    // camera's own status -42 for the request's command is no notice: the failed write stands.
    for (uint32_t replyCmd : {0u, 40001089u}) {
        int32_t h = 0;
        ASSERT_EQ(host.OpenDeviceAt(0, &h, nullptr), 0);
        {
            std::lock_guard lock(state->mu);
            state->failWriteAt = state->writes + 1;
            state->replies.push_back(MakeReplyReport(65, replyCmd, velmora::transport::kUsbDeviceBusy, "", true));
        }
        EXPECT_EQ(host.Transfer(h, 40001089, "x", 2, nullptr, 0, nullptr, 5),
                  replyCmd == 0 ? velmora::transport::kUsbDeviceBusy : velmora::transport::kUsbWriteFailed);
    }
}

// Like two processes on one hidraw device: every reply reaches both connections.
TEST(CUSBDeviceThreads, TwoHostsOnOneDeviceTakeTurnsWithWholeExchanges) {
    TempDir dir;
    FakeUsbCamera cam(dir.path(), "a");
    cam.SetSharedBus(true);
    cam.SetHandler([](uint32_t cmd, const std::vector<uint8_t>& req) {
        FakeResponse r;
        r.reports = MakeReplyReports(65, cmd, 0, std::string(req.begin(), req.end()));
        return r;
    });
    auto first = OpenHost(dir.path()), second = OpenHost(dir.path());
    ASSERT_EQ(first->DeviceOpen(), 1);
    ASSERT_EQ(second->DeviceOpen(), 1);
    std::atomic<int> failures{0};
    auto worker = [&failures](CUSBDevice& host, char fill) {
        int32_t h = host.GetDevices()[0].handle;
        for (int i = 0; i < 30; ++i) {
            std::string req(200, fill);
            char reply[512];
            int received = 0;
            int r = host.Transfer(h, 40001119, req.data(), 200, reply, sizeof reply, &received, 5);
            if (r != 0 || std::string(reply, static_cast<size_t>(received)) != req) ++failures;
        }
    };
    std::thread t1(worker, std::ref(*first), 'x'), t2(worker, std::ref(*second), 'y');
    t1.join();
    t2.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(cam.stats().interleaved, 0);
    EXPECT_EQ(cam.stats().requests, 60);
}

TEST(CUSBDeviceThreads, DeviceLockedByAnotherProcessGivesMinus302) {
    TempDir dir;
    FakeUsbCamera cam(dir.path(), "a");
    auto host = OpenHost(dir.path());
    ASSERT_EQ(host->DeviceOpen(), 1);
    int32_t h = host->GetDevices()[0].handle;
    int other = ::open((dir.path() + "/a.json").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(other, 0);
    ASSERT_EQ(::flock(other, LOCK_EX), 0);

    CUSBDevice::Timing t = FastTiming();
    t.requestPhase = 100ms;
    host->SetTiming(t);
    AppLog().SetLogLevel(2, 3);
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(host->Transfer(h, 40001089, "x", 2, nullptr, 0, nullptr, 5), velmora::transport::kUsbTimeout);
    std::string err = ::testing::internal::GetCapturedStderr();
    AppLog().SetLogLevel(2, 6);
    EXPECT_NE(err.find(dir.path() + "/a.sock"), std::string::npos) << err;
    EXPECT_EQ(cam.stats().reports, 0);

    // Released: the exchange goes through.
    ::flock(other, LOCK_UN);
    EXPECT_EQ(host->Transfer(h, 40001089, "x", 2, nullptr, 0, nullptr, 5), 0);
    ::close(other);
}
