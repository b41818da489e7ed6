#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/codepage.h"
#include "platform/zeb_log.h"
#include "transport/usb/cusb_device.h"
#include "transport/usb/fake_usb_camera.h"
#include "transport/usb/sim_hid_backend.h"

using namespace velmora::platform;
using namespace velmora::transport;
using namespace velmora::protocol;

using namespace std::chrono_literals;
using velmora::testing::FakeResponse;
using velmora::testing::FastTiming;
using velmora::testing::OpenHost;
using velmora::testing::FakeUsbCamera;
using velmora::testing::MakeReplyReport;
using velmora::testing::MakeReplyReports;
using velmora::testing::TempDir;

namespace {

int32_t HandleAt(const CUSBDevice& host, int index) {
    UsbDeviceEntry e{};
    EXPECT_TRUE(host.GetDevice(index, e));
    return e.handle;
}

// The camera's answer to `cmd` (replies carry the request's command id).
FakeResponse Reply(uint32_t cmd, int reportLength, int32_t status, const std::string& data) {
    FakeResponse r;
    r.reports = MakeReplyReports(reportLength, cmd, status, data);
    return r;
}

class CUSBDeviceTest : public ::testing::Test {
protected:
    void SetUp() override {
        cam_ = std::make_unique<FakeUsbCamera>(dir_.path(), "cam0");
        host_ = OpenHost(dir_.path());
        ASSERT_EQ(host_->DeviceOpen(), 1);
        handle_ = HandleAt(*host_, 0);
    }
    TempDir dir_;
    std::unique_ptr<FakeUsbCamera> cam_;
    std::unique_ptr<CUSBDevice> host_;
    int32_t handle_ = 0;
};

}  // namespace

TEST_F(CUSBDeviceTest, RequestsAreSplitIntoReportsOfTheDeviceLength) {
    EXPECT_EQ(host_->ReportLength(handle_), 65);

    // No data: one report, payload length 0, last flag 1.
    EXPECT_EQ(host_->Transfer(handle_, 40001086, nullptr, 0, nullptr, 0, nullptr, 5), 0);
    auto s = cam_->stats();
    ASSERT_EQ(s.reports, 1);
    EXPECT_EQ(s.payloadLengths[0], 0);
    EXPECT_EQ(s.lastFlags[0], 1);
    EXPECT_EQ(s.packetSizes[0], 65);
    EXPECT_EQ(s.lastCommand, 40001086u);

    // 52 bytes fit one report; 53 take two, the second with 1 byte.
    std::string d52(52, 'a'), d53(53, 'b');
    EXPECT_EQ(host_->Transfer(handle_, 40001090, d52.data(), 52, nullptr, 0, nullptr, 5), 0);
    EXPECT_EQ(host_->Transfer(handle_, 40001090, d53.data(), 53, nullptr, 0, nullptr, 5), 0);
    s = cam_->stats();
    ASSERT_EQ(s.reports, 4);
    EXPECT_EQ(s.payloadLengths[1], 52);
    EXPECT_EQ(s.lastFlags[1], 1);
    EXPECT_EQ(s.payloadLengths[2], 52);
    EXPECT_EQ(s.lastFlags[2], 0);
    EXPECT_EQ(s.payloadLengths[3], 1);
    EXPECT_EQ(s.lastFlags[3], 1);
    EXPECT_EQ(std::string(s.lastRequest.begin(), s.lastRequest.end()), d53);
}

TEST_F(CUSBDeviceTest, FirmwareBlockOfOneMebibyteIs20165Reports) {
    std::vector<uint8_t> block(1048576);
    for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<uint8_t>(i * 7 + (i >> 8));
    char reply[1024] = {};
    int received = -1;
    cam_->SetHandler([](uint32_t cmd, const std::vector<uint8_t>&) { return Reply(cmd, 65, 0, "{\"nResult\":0}"); });
    EXPECT_EQ(host_->Transfer(handle_, 3004, block.data(), static_cast<int>(block.size()), reply, sizeof reply,
                              &received, 20),
              0);
    auto s = cam_->stats();
    ASSERT_EQ(s.reports, 20165);
    for (int i = 0; i < 20164; ++i) ASSERT_EQ(s.payloadLengths[i], 52) << i;
    EXPECT_EQ(s.payloadLengths[20164], 48);
    EXPECT_EQ(s.lastFlags[20164], 1);
    EXPECT_EQ(s.lastFlags[20163], 0);
    EXPECT_EQ(s.lastRequest, block);
    EXPECT_STREQ(reply, "{\"nResult\":0}");
    EXPECT_EQ(received, 13);
}

TEST_F(CUSBDeviceTest, ReplyIsReassembledAndStatusComesFromTheLastReport) {
    cam_->SetHandler([](uint32_t cmd, const std::vector<uint8_t>&) {
        FakeResponse r;
        r.reports.push_back(MakeReplyReport(65, cmd, 1, std::string(48, 'x'), false));
        r.reports.push_back(MakeReplyReport(65, cmd, 7, std::string(10, 'y'), true));
        return r;
    });
    char reply[3072];
    std::memset(reply, 0x55, sizeof reply);
    int received = 0;
    const char req[] = "{\"ReqGetVideoParam\":{}}";
    EXPECT_EQ(host_->Transfer(handle_, 40001089, req, sizeof req, reply, sizeof reply, &received, 5), 7);
    EXPECT_EQ(received, 58);
    EXPECT_EQ(std::string(reply, 58), std::string(48, 'x') + std::string(10, 'y'));
    EXPECT_EQ(reply[58], 0);

    // A set request without reply buffer: only the status matters.
    cam_->SetHandler([](uint32_t cmd, const std::vector<uint8_t>&) { return Reply(cmd, 65, 0, "whatever"); });
    EXPECT_EQ(host_->Transfer(handle_, 40001090, req, sizeof req, nullptr, 0, nullptr, 5), 0);
    cam_->SetHandler([](uint32_t cmd, const std::vector<uint8_t>&) { return Reply(cmd, 65, -21, ""); });
    EXPECT_EQ(host_->Transfer(handle_, 40001090, req, sizeof req, nullptr, 0, nullptr, 5), -21);
}

TEST_F(CUSBDeviceTest, BadRepliesEndTheReplyPhaseWithNegativeCodes) {
    char reply[3072] = {};
    // Wrong magic after a good report: -310 at once (the final report is never waited for).
    cam_->SetHandler([](uint32_t cmd, const std::vector<uint8_t>&) {
        FakeResponse r;
        r.reports.push_back(MakeReplyReport(65, cmd, 0, "ok", false));
        r.reports.push_back(MakeReplyReport(65, cmd, 0, "bad", false, 0x11223344));
        return r;
    });
    EXPECT_EQ(host_->Transfer(handle_, 40001089, "x", 2, reply, sizeof reply, nullptr, 5),
              velmora::transport::kUsbBadReply);

    // A payload length the report cannot hold: -310.
    cam_->SetHandler([](uint32_t cmd, const std::vector<uint8_t>&) {
        FakeResponse r;
        auto rep = MakeReplyReport(65, cmd, 0, "", true);
        rep[9] = 0xFF;
        rep[10] = 0xFF;
        r.reports.push_back(rep);
        return r;
    });
    EXPECT_EQ(host_->Transfer(handle_, 40001089, "x", 2, reply, sizeof reply, nullptr, 5),
              velmora::transport::kUsbBadReply);

    // A packet longer than the report length: -310, nothing beyond the report is read.
    cam_->SetHandler([](uint32_t cmd, const std::vector<uint8_t>&) {
        FakeResponse r;
        r.reports.push_back(MakeReplyReport(200, cmd, 0, "long", true));
        return r;
    });
    EXPECT_EQ(host_->Transfer(handle_, 40001089, "x", 2, reply, sizeof reply, nullptr, 5),
              velmora::transport::kUsbBadReply);
}

TEST_F(CUSBDeviceTest, OversizedReplyGivesMinus307WithoutOverrun) {
    cam_->SetHandler([](uint32_t cmd, const std::vector<uint8_t>&) { return Reply(cmd, 65, 0, std::string(300, 'r')); });
    auto reply = std::make_unique<char[]>(100);  // exact size: ASan reports any write past it
    int received = 0;
    EXPECT_EQ(host_->Transfer(handle_, 40001119, "q", 2, reply.get(), 100, &received, 5),
              velmora::transport::kUsbReplyTooLong);
    EXPECT_EQ(received, 96);  // two chunks of 48; the third would leave no room for the zero
    EXPECT_EQ(reply[96], 0);
    // The exchange stayed in step: the next one is answered normally.
    cam_->SetHandler([](uint32_t cmd, const std::vector<uint8_t>&) { return Reply(cmd, 65, 0, "fine"); });
    EXPECT_EQ(host_->Transfer(handle_, 40001119, "q", 2, reply.get(), 100, &received, 5), 0);
    EXPECT_STREQ(reply.get(), "fine");
}

TEST_F(CUSBDeviceTest, TimeOutsEndPromptlyWithMinus302) {
    CUSBDevice::Timing t = FastTiming();
    t.replyPhase = 100ms;
    t.requestPhase = 100ms;
    host_->SetTiming(t);

    // Reply phase: the camera never answers.
    cam_->SetHandler([](uint32_t, const std::vector<uint8_t>&) { return FakeResponse{}; });
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(host_->Transfer(handle_, 40001089, "x", 2, nullptr, 0, nullptr, 5), velmora::transport::kUsbTimeout);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);

    // Request phase: the camera stops taking reports, so the writer blocks.
    cam_->SetReading(false);
    std::vector<uint8_t> big(100000, 1);
    start = std::chrono::steady_clock::now();
    EXPECT_EQ(host_->Transfer(handle_, 3004, big.data(), static_cast<int>(big.size()), nullptr, 0, nullptr, 20),
              velmora::transport::kUsbTimeout);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);

    // A zero request time-out also times out rather than waiting for ever.
    t.requestPhase = std::chrono::milliseconds(-1);
    host_->SetTiming(t);
    EXPECT_EQ(host_->Transfer(handle_, 3004, big.data(), static_cast<int>(big.size()), nullptr, 0, nullptr, 0),
              velmora::transport::kUsbTimeout);
}

TEST_F(CUSBDeviceTest, UnpluggedDeviceFailsWithoutHanging) {
    // Gone while the request is written.
    cam_->UnplugAfterReports(3);
    std::vector<uint8_t> big(100000, 2);
    auto start = std::chrono::steady_clock::now();
    int r = host_->Transfer(handle_, 3004, big.data(), static_cast<int>(big.size()), nullptr, 0, nullptr, 20);
    EXPECT_EQ(r, velmora::transport::kUsbWriteFailed);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
    // Later exchanges on the dead connection fail the same way.
    EXPECT_EQ(host_->Transfer(handle_, 1, nullptr, 0, nullptr, 0, nullptr, 5), velmora::transport::kUsbWriteFailed);
}

TEST_F(CUSBDeviceTest, UnplugDuringTheReplyGivesMinus41) {
    cam_->SetHandler([](uint32_t cmd, const std::vector<uint8_t>&) {
        FakeResponse r;
        r.reports.push_back(MakeReplyReport(65, cmd, 0, "partial", false));
        r.unplug = true;
        return r;
    });
    char reply[512] = {};
    EXPECT_EQ(host_->Transfer(handle_, 40001089, "x", 2, reply, sizeof reply, nullptr, 5),
              velmora::transport::kUsbReadFailed);
}

TEST_F(CUSBDeviceTest, BadArgumentsAndInvalidHandles) {
    EXPECT_EQ(host_->Transfer(-1, 1, nullptr, 0, nullptr, 0, nullptr, 5), velmora::transport::kUsbInvalidHandle);
    EXPECT_EQ(host_->Transfer(0, 1, nullptr, 0, nullptr, 0, nullptr, 5), velmora::transport::kUsbInvalidHandle);
    EXPECT_EQ(host_->Transfer(handle_ + 1000, 1, nullptr, 0, nullptr, 0, nullptr, 5),
              velmora::transport::kUsbInvalidHandle);
    EXPECT_EQ(host_->Transfer(handle_, 1, nullptr, 5, nullptr, 0, nullptr, 5), velmora::transport::kUsbWriteFailed);
    EXPECT_EQ(host_->Transfer(handle_, 1, "x", -1, nullptr, 0, nullptr, 5), velmora::transport::kUsbWriteFailed);
    EXPECT_EQ(cam_->stats().reports, 0);
    EXPECT_EQ(host_->ReportLength(-1), velmora::transport::kUsbInvalidHandle);
}

TEST(CUSBDevice, ClosedHandlesGiveMinus304AndNeverReachAnotherDevice) {
    TempDir dir;
    FakeUsbCamera a(dir.path(), "a"), b(dir.path(), "b");
    auto host = OpenHost(dir.path());
    ASSERT_EQ(host->DeviceOpen(), 2);
    int32_t ha = HandleAt(*host, 0), hb = HandleAt(*host, 1);
    EXPECT_GT(ha, 0);
    EXPECT_NE(ha, hb);

    EXPECT_EQ(host->CloseDevice(ha), 0);
    EXPECT_EQ(host->CloseDevice(ha), velmora::transport::kUsbInvalidHandle);
    EXPECT_EQ(host->GetDeviceCount(), 2);  // the entry stays, its handle is dead
    EXPECT_EQ(host->Transfer(ha, 1, "x", 2, nullptr, 0, nullptr, 5), velmora::transport::kUsbInvalidHandle);
    EXPECT_EQ(host->Transfer(hb, 1, "x", 2, nullptr, 0, nullptr, 5), 0);
    EXPECT_EQ(a.stats().reports, 0);
    EXPECT_EQ(b.stats().reports, 1);

    // After a refresh the same devices come back under new ids; the old ones stay dead.
    EXPECT_EQ(host->RefreshDevices(), 2);
    int32_t na = HandleAt(*host, 0), nb = HandleAt(*host, 1);
    for (int32_t old : {ha, hb}) {
        EXPECT_NE(na, old);
        EXPECT_NE(nb, old);
        EXPECT_EQ(host->Transfer(old, 1, "x", 2, nullptr, 0, nullptr, 5), velmora::transport::kUsbInvalidHandle);
    }
    host->CloseAll();
    EXPECT_EQ(host->GetDeviceCount(), 0);
    EXPECT_EQ(host->Transfer(na, 1, "x", 2, nullptr, 0, nullptr, 5), velmora::transport::kUsbInvalidHandle);
}

TEST(CUSBDevice, VendorFilterKeeps1703AndTheFirstNineIds) {
    auto host = std::make_unique<CUSBDevice>(std::make_unique<velmora::transport::SimHidBackend>("/nonexistent"));
    EXPECT_EQ(host->VendorCount(), 0);
    uint16_t ids[12];
    for (int i = 0; i < 12; ++i) ids[i] = static_cast<uint16_t>(0x2000 + i);
    EXPECT_EQ(host->SetVendorFilter(12, ids), 1);
    EXPECT_EQ(host->VendorCount(), 10);
    EXPECT_EQ(host->VendorId(0), 0x1703);
    for (int i = 1; i < 10; ++i) EXPECT_EQ(host->VendorId(i), 0x2000 + i - 1);
    EXPECT_EQ(host->VendorId(10), 0);
    EXPECT_EQ(host->SetVendorFilter(-3, ids), 1);
    EXPECT_EQ(host->VendorCount(), 1);
    EXPECT_EQ(host->VendorId(1), 0);

    // Only devices whose vendor is in the filter are opened.
    TempDir dir;
    FakeUsbCamera own(dir.path(), "1-own", 0x1703), ninth(dir.path(), "2-ninth", 0x2008),
        tenth(dir.path(), "3-tenth", 0x2009), other(dir.path(), "4-other", 0x046d);
    auto filtered = OpenHost(dir.path());
    filtered->SetVendorFilter(12, ids);
    EXPECT_EQ(filtered->DeviceOpen(), 2);
    EXPECT_EQ(filtered->Transfer(HandleAt(*filtered, 1), 1, nullptr, 0, nullptr, 0, nullptr, 5), 0);
    EXPECT_EQ(ninth.stats().reports, 1);

    // Without a filter nothing matches.
    CUSBDevice unfiltered(std::make_unique<velmora::transport::SimHidBackend>(dir.path()));
    EXPECT_EQ(unfiltered.DeviceOpen(), 0);
}

TEST(CUSBDevice, EachDeviceUsesItsOwnReportLength) {
    TempDir dir;
    FakeUsbCamera wide(dir.path(), "a-wide", 0x1703, 1, 65), narrow(dir.path(), "b-narrow", 0x1703, 2, 33);
    wide.SetHandler([](uint32_t cmd, const std::vector<uint8_t>&) { return Reply(cmd, 65, 1, std::string(100, 'w')); });
    narrow.SetHandler([](uint32_t cmd, const std::vector<uint8_t>&) { return Reply(cmd, 33, 2, std::string(100, 'n')); });
    auto host = OpenHost(dir.path());
    ASSERT_EQ(host->DeviceOpen(), 2);
    int32_t hw = HandleAt(*host, 0), hn = HandleAt(*host, 1);
    EXPECT_EQ(host->ReportLength(hw), 65);
    EXPECT_EQ(host->ReportLength(hn), 33);

    std::string req(100, 'q');
    char reply[512];
    int received = 0;
    EXPECT_EQ(host->Transfer(hw, 40001119, req.data(), 100, reply, sizeof reply, &received, 5), 1);
    EXPECT_EQ(std::string(reply, received), std::string(100, 'w'));
    EXPECT_EQ(host->Transfer(hn, 40001119, req.data(), 100, reply, sizeof reply, &received, 5), 2);
    EXPECT_EQ(std::string(reply, received), std::string(100, 'n'));

    auto sw = wide.stats(), sn = narrow.stats();
    EXPECT_EQ(sw.reports, 2);  // 52 + 48
    EXPECT_EQ(sn.reports, 5);  // 4 x 20 + 20
    for (int size : sn.packetSizes) EXPECT_EQ(size, 33);
    EXPECT_EQ(sn.lastRequest, std::vector<uint8_t>(req.begin(), req.end()));
}

TEST(CUSBDevice, RefreshReadsIdentityTexts) {
    TempDir dir;
    FakeUsbCamera good(dir.path(), "a"), silent(dir.path(), "b"), garbage(dir.path(), "c");
    good.SetHandler([](uint32_t cmd, const std::vector<uint8_t>& req) {
        EXPECT_EQ(cmd, kHidCmdDeviceInfo);
        EXPECT_TRUE(req.empty());
        return Reply(cmd, 65, 0,
                     R"({"DeviceName":"前门摄像机","ProductModel":"VM-2000-PRO-ULTRA-LONG-MODEL-NAME-XYZ",)"
                     R"("Serial":"SN0001","BuildDate":"2024-05-06","BiosVersion":258})");
    });
    silent.SetHandler([](uint32_t cmd, const std::vector<uint8_t>&) { return Reply(cmd, 65, -5, ""); });
    garbage.SetHandler([](uint32_t cmd, const std::vector<uint8_t>&) { return Reply(cmd, 65, 0, "not json"); });

    auto host = OpenHost(dir.path());
    EXPECT_EQ(host->RefreshDevices(), 3);
    auto list = host->GetDevices();
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(std::string(list[0].name), velmora::platform::Utf8ToCp936("前门摄像机"));
    EXPECT_EQ(std::string(list[0].productModel), std::string("VM-2000-PRO-ULTRA-LONG-MODEL-NAME-XYZ").substr(0, 31));
    EXPECT_STREQ(list[0].serial, "SN0001");
    EXPECT_STREQ(list[0].buildDate, "2024-05-06");
    EXPECT_STREQ(list[0].biosVersion, "1.02");
    for (int i : {1, 2}) {  // failed queries keep empty texts and stay in the list
        EXPECT_GT(list[i].handle, 0);
        EXPECT_STREQ(list[i].name, "");
        EXPECT_STREQ(list[i].serial, "");
    }
    UsbDeviceInfo info{};
    EXPECT_EQ(host->GetDeviceInfo(list[1].handle, info), -5);
    EXPECT_EQ(host->GetDeviceInfo(list[2].handle, info), velmora::transport::kUsbBadReply);

    UsbDeviceEntry e{};
    EXPECT_FALSE(host->GetDevice(3, e));
    EXPECT_FALSE(host->GetDevice(-1, e));
    TempDir empty;
    auto none = OpenHost(empty.path());
    EXPECT_EQ(none->RefreshDevices(), 0);
}

TEST(CUSBDevice, LogsOpenedDevicesAndWrittenRequests) {
    TempDir dir;
    FakeUsbCamera cam(dir.path(), "cam", 0x1703, 0x1234);
    auto host = OpenHost(dir.path());
    AppLog().SetLogLevel(2, 2);
    ::testing::internal::CaptureStderr();
    host->DeviceOpen();
    int32_t h = HandleAt(*host, 0);
    host->Transfer(h, 40001090, "abc", 4, nullptr, 0, nullptr, 5);
    std::string err = ::testing::internal::GetCapturedStderr();
    AppLog().SetLogLevel(2, 6);
    char expect[256];
    std::snprintf(expect, sizeof expect,
                  " (F=CUSBDevice::DeviceOpen L=99) [0]:handle=%d, vid=0x1703, pid=0x1234, OutputReportByteLength=65", h);
    EXPECT_NE(err.find(expect), std::string::npos) << err;
    std::snprintf(expect, sizeof expect, " (F=WriteThread L=304) handle=%d, cmd=40001090,cmdLen=4, OutputReportByteLength=65",
                  h);
    EXPECT_NE(err.find(expect), std::string::npos) << err;
}

namespace {

// Polls `done` for up to 10 s.
template <class F>
bool Eventually(F done) {
    for (auto until = std::chrono::steady_clock::now() + 10s; std::chrono::steady_clock::now() < until;
         std::this_thread::sleep_for(5ms)) {
        if (done()) return true;
    }
    return done();
}

}  // namespace

TEST_F(CUSBDeviceTest, LateRepliesNeverAnswerTheNextExchange) {
    // The reply of a set that timed out arrives late; the next set, which the camera refuses,
    // must not take it as its answer.
    CUSBDevice::Timing t = FastTiming();
    t.replyPhase = 100ms;
    host_->SetTiming(t);
    cam_->SetHandler([](uint32_t cmd, const std::vector<uint8_t>&) {
        FakeResponse r = Reply(cmd, 65, 0, "");
        r.delay = 400ms;
        return r;
    });
    EXPECT_EQ(host_->Transfer(handle_, 40001090, "a", 2, nullptr, 0, nullptr, 5), velmora::transport::kUsbTimeout);
    ASSERT_TRUE(Eventually([&] { return cam_->stats().repliesSent == 1; }));
    host_->SetTiming(FastTiming());
    cam_->SetHandler([](uint32_t cmd, const std::vector<uint8_t>&) { return Reply(cmd, 65, -5, ""); });
    EXPECT_EQ(host_->Transfer(handle_, 40001090, "b", 2, nullptr, 0, nullptr, 5), -5);

    // A report of another command met during the reply is skipped, not taken into it.
    cam_->SetHandler([](uint32_t cmd, const std::vector<uint8_t>&) {
        FakeResponse r;
        r.reports.push_back(MakeReplyReport(65, cmd, 1, std::string(48, 'x'), false));
        r.reports.push_back(MakeReplyReport(65, cmd + 1, 0, "stray", true));
        r.reports.push_back(MakeReplyReport(65, cmd, -5, "y", true));
        return r;
    });
    char reply[256];
    int received = 0;
    EXPECT_EQ(host_->Transfer(handle_, 40001089, "c", 2, reply, sizeof reply, &received, 5), -5);
    EXPECT_EQ(std::string(reply, static_cast<size_t>(received)), std::string(48, 'x') + "y");
}

TEST(CUSBDevice, BusyDeviceAnswersMinus42) {
    TempDir dir;
    FakeUsbCamera cam(dir.path(), "cam");
    cam.SetBusy(true);
    auto host = OpenHost(dir.path());
    ASSERT_EQ(host->DeviceOpen(), 1);  // the connect itself succeeds
    int32_t h = HandleAt(*host, 0);
    ASSERT_TRUE(Eventually([&] { return cam.stats().refused == 1; }));
    EXPECT_EQ(host->Transfer(h, 40001089, "x", 2, nullptr, 0, nullptr, 5), velmora::transport::kUsbDeviceBusy);
    EXPECT_EQ(host->Transfer(h, 40001089, "x", 2, nullptr, 0, nullptr, 5), velmora::transport::kUsbDeviceBusy);

    // Opening just this camera: the notice is seen at once or by the first exchange.
    int32_t one = 0;
    int rc = host->OpenDeviceAt(0, &one, nullptr);
    if (rc == 0) rc = host->Transfer(one, 40001089, "x", 2, nullptr, 0, nullptr, 5);
    EXPECT_EQ(rc, velmora::transport::kUsbDeviceBusy);
    EXPECT_EQ(cam.stats().requests, 0);
}

TEST(CUSBDevice, OpensOneCameraByIndexOrBySerialInListOrder) {
    TempDir dir;
    std::vector<std::unique_ptr<FakeUsbCamera>> cams;
    for (std::string name : {"a", "b", "c", "d"}) {  // "b" is another vendor's device
        cams.push_back(std::make_unique<FakeUsbCamera>(dir.path(), name, name == "b" ? 0x046d : 0x1703));
        cams.back()->SetHandler([name](uint32_t cmd, const std::vector<uint8_t>&) {
            return Reply(cmd, 65, 0, R"({"DeviceName":"cam )" + name + R"(","Serial":"SN-)" + name + "\"}");
        });
    }
    auto queries = [&cams] {
        std::vector<int> n;
        for (auto& c : cams) n.push_back(c->stats().requests);
        return n;
    };
    auto listed = OpenHost(dir.path());
    ASSERT_EQ(listed->RefreshDevices(), 3);
    for (int i = 0; i < 4; ++i) {
        auto host = OpenHost(dir.path());
        auto before = queries();
        int32_t h = 0;
        int matching = 0;
        int rc = host->OpenDeviceAt(i, &h, &matching);
        EXPECT_EQ(matching, 3);
        EXPECT_EQ(queries(), before);  // no identity query, no other camera touched
        if (i == 3) {
            EXPECT_EQ(rc, velmora::transport::kUsbInvalidHandle);
            break;
        }
        ASSERT_EQ(rc, 0);
        EXPECT_STREQ(host->GetDevices().at(0).serial, "");
        UsbDeviceInfo info{};
        ASSERT_EQ(host->GetDeviceInfo(h, info), 0);
        EXPECT_STREQ(info.Serial, listed->GetDevices()[static_cast<size_t>(i)].serial);
    }

    auto host = OpenHost(dir.path());
    auto before = queries();
    int32_t h = 0;
    int matching = 0;
    ASSERT_EQ(host->OpenDeviceBySerial("SN-c", &h, &matching), 0);
    EXPECT_EQ(matching, 3);
    auto after = queries();
    EXPECT_EQ(after[0], before[0] + 1);  // asked, then closed
    EXPECT_EQ(after[3], before[3]);      // never reached
    ASSERT_EQ(host->GetDeviceCount(), 1);
    EXPECT_EQ(host->GetDevices()[0].handle, h);
    EXPECT_STREQ(host->GetDevices()[0].name, "cam c");
    for (const char* miss : {"SN-C", ""})
        EXPECT_EQ(host->OpenDeviceBySerial(miss, &h, nullptr), velmora::transport::kUsbInvalidHandle);
}
