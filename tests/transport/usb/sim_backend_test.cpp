#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "transport/usb/cusb_device.h"

#include <gtest/gtest.h>

#include "transport/usb/fake_usb_camera.h"
#include "transport/usb/sim_hid_backend.h"

using namespace velmora::transport;

using namespace velmora;
using velmora::testing::FakeUsbCamera;
using velmora::testing::TempDir;

namespace {

int Parse(const std::string& text, HidDeviceDescriptor& d) { return ParseSimDeviceDescription(text.data(), text.size(), d); }

void WriteFile(const std::string& path, const std::string& text) {
    FILE* f = std::fopen(path.c_str(), "w");
    std::fputs(text.c_str(), f);
    std::fclose(f);
}

}  // namespace

TEST(SimDescription, ParsesAndValidates) {
    HidDeviceDescriptor d;
    ASSERT_EQ(Parse(R"({"vendor_id":5891,"product_id":4660,"output_report_length":65,"input_report_length":65})", d), 0);
    EXPECT_EQ(d.vendorId, 0x1703);
    EXPECT_EQ(d.productId, 0x1234);
    EXPECT_EQ(d.outputReportLength, 65);
    EXPECT_EQ(d.inputReportLength, 65);

    ASSERT_EQ(Parse(R"({"vendor_id":1,"product_id":2,"output_report_length":33})", d), 0);
    EXPECT_EQ(d.inputReportLength, 33);  // defaults to the output length

    const char* bad[] = {
        "",
        "not json",
        "[1,2,3]",
        R"({"product_id":2,"output_report_length":65})",
        R"({"vendor_id":65536,"product_id":2,"output_report_length":65})",
        R"({"vendor_id":-1,"product_id":2,"output_report_length":65})",
        R"({"vendor_id":1.5,"product_id":2,"output_report_length":65})",
        R"({"vendor_id":"1","product_id":2,"output_report_length":65})",
        R"({"vendor_id":1,"product_id":2,"output_report_length":13})",
        R"({"vendor_id":1,"product_id":2,"output_report_length":1e12})",
        R"({"vendor_id":1,"product_id":2,"output_report_length":65,"input_report_length":0})",
    };
    for (const char* text : bad) EXPECT_EQ(Parse(text, d), -1) << text;
}

TEST(SimBackend, EnumeratesInNameOrderAndSkipsBrokenEntries) {
    TempDir dir;
    FakeUsbCamera b(dir.path(), "cam-b", 0x1703, 2);
    FakeUsbCamera a(dir.path(), "cam-a", 0x1703, 1, 33);
    WriteFile(dir.path() + "/orphan.json", R"({"vendor_id":1,"product_id":2,"output_report_length":65})");
    FakeUsbCamera broken(dir.path(), "cam-c");
    WriteFile(dir.path() + "/cam-c.json", "{broken");

    SimHidBackend backend(dir.path());
    auto list = backend.Enumerate();
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].path, dir.path() + "/cam-a.sock");
    EXPECT_EQ(list[0].outputReportLength, 33);
    EXPECT_EQ(list[1].path, dir.path() + "/cam-b.sock");
    EXPECT_EQ(list[1].productId, 2);

    EXPECT_TRUE(SimHidBackend(dir.path() + "/missing").Enumerate().empty());
    HidDeviceDescriptor gone = list[0];
    gone.path = dir.path() + "/nothing.sock";
    EXPECT_EQ(backend.Open(gone), nullptr);
    gone.path = std::string(200, 'x');
    EXPECT_EQ(backend.Open(gone), nullptr);
}

class SeqpacketPair : public ::testing::Test {
protected:
    void SetUp() override {
        int sv[2];
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, sv), 0);
        conn_ = MakeSeqpacketConnection(sv[0]);
        peer_ = sv[1];
    }
    void TearDown() override {
        if (peer_ >= 0) ::close(peer_);
    }
    std::unique_ptr<HidConnection> conn_;
    int peer_ = -1;
};

TEST_F(SeqpacketPair, OneReportPerPacketAndOversizedReportsAreFlagged) {
    uint8_t out[65] = {0, 1, 2};
    EXPECT_EQ(conn_->Write(out, sizeof out), 65);
    uint8_t got[128];
    EXPECT_EQ(::recv(peer_, got, sizeof got, 0), 65);

    uint8_t big[100] = {};
    ASSERT_EQ(::send(peer_, big, sizeof big, 0), 100);
    uint8_t in[65];
    EXPECT_EQ(conn_->Read(in, sizeof in), kHidOversized);
    ASSERT_EQ(::send(peer_, big, 20, 0), 20);
    EXPECT_EQ(conn_->Read(in, sizeof in), 20);

    ::close(peer_);
    peer_ = -1;
    EXPECT_EQ(conn_->Read(in, sizeof in), kHidDisconnected);
    EXPECT_EQ(conn_->Write(out, sizeof out), kHidDisconnected);
}

TEST_F(SeqpacketPair, CancelWakesABlockedReadAndRearmClearsIt) {
    uint8_t in[65];
    int result = 0;
    std::thread reader([&] { result = conn_->Read(in, sizeof in); });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    conn_->Cancel();
    reader.join();
    EXPECT_EQ(result, kHidCancelled);
    EXPECT_EQ(conn_->Read(in, sizeof in), kHidCancelled);  // stays cancelled until re-armed

    conn_->Rearm();
    uint8_t pkt[65] = {9};
    ASSERT_EQ(::send(peer_, pkt, sizeof pkt, 0), 65);
    EXPECT_EQ(conn_->Read(in, sizeof in), 65);
    EXPECT_EQ(in[0], 9);
}

TEST_F(SeqpacketPair, CloseWakesABlockedWriteForGood) {
    // Fill the peer's queue so the next write blocks.
    uint8_t out[65] = {};
    int written = 0;
    std::thread writer([&] {
        while (conn_->Write(out, sizeof out) == 65) ++written;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    conn_->Close();
    writer.join();
    EXPECT_GT(written, 0);
    conn_->Rearm();  // does not undo Close
    EXPECT_EQ(conn_->Write(out, sizeof out), kHidCancelled);
}

TEST_F(SeqpacketPair, DiscardDropsWhatWaitsAndRepliesOutliveAClosedPeer) {
    std::vector<size_t> seen;
    auto note = [&seen](const uint8_t*, size_t n) { seen.push_back(n); };
    EXPECT_EQ(conn_->DiscardPending(65, note), 0);  // nothing waits: returns at once
    uint8_t pkt[65] = {7};
    for (int i = 0; i < 3; ++i) ASSERT_EQ(::send(peer_, pkt, static_cast<size_t>(20 + i), 0), 20 + i);
    EXPECT_EQ(conn_->DiscardPending(65, note), 3);
    EXPECT_EQ(seen, (std::vector<size_t>{20, 21, 22}));

    // The peer answers and closes while our report lies unread there: the answer still arrives.
    uint8_t out[65] = {}, in[65];
    ASSERT_EQ(conn_->Write(out, sizeof out), 65);
    ASSERT_EQ(::send(peer_, pkt, sizeof pkt, 0), 65);
    ::close(peer_);
    peer_ = -1;
    EXPECT_EQ(conn_->Read(in, sizeof in), 65);
    EXPECT_EQ(in[0], 7);
    EXPECT_EQ(conn_->Read(in, sizeof in), kHidDisconnected);
}

TEST(SimBackend, ConnectGivesUpOnAListenerThatNeverAccepts) {
    TempDir dir;
    FakeUsbCamera good(dir.path(), "b-good");
    // "a-stuck" listens with a backlog of 0, already full, and never accepts.
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s/a-stuck.sock", dir.path().c_str());
    int listener = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(::listen(listener, 0), 0);
    WriteFile(dir.path() + "/a-stuck.json", R"({"vendor_id":5891,"product_id":1,"output_report_length":65})");
    std::vector<int> held;
    int c;
    while (::connect(c = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0),
                     reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0)
        held.push_back(c);
    ::close(c);

    CUSBDevice host(std::make_unique<SimHidBackend>(dir.path(), std::chrono::milliseconds(200)));
    host.SetVendorFilter(0, nullptr);
    std::atomic<int> opened{-1};
    std::thread t([&] { opened = host.DeviceOpen(); });
    for (int i = 0; i < 1000 && opened < 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_GE(opened.load(), 0) << "connect did not give up";
    while (opened < 0) {  // release a connect that would otherwise wait for ever
        if ((c = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC)) >= 0) held.push_back(c);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    t.join();
    EXPECT_EQ(opened.load(), 1);  // the stuck device is skipped, the good one opened
    for (int fd : held) ::close(fd);
    ::close(listener);
}

TEST(DefaultBackend, FollowsTheSimulatorVariable) {
    TempDir dir;
    FakeUsbCamera cam(dir.path(), "cam");
    ASSERT_EQ(::setenv("VELMORA_USB_SIM", dir.path().c_str(), 1), 0);
    auto sim = MakeDefaultHidBackend();
    auto list = sim->Enumerate();
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].path, dir.path() + "/cam.sock");
    EXPECT_NE(sim->Open(list[0]), nullptr);

    // Not a directory: the real HID bus, whatever it holds here (usually nothing).
    ASSERT_EQ(::setenv("VELMORA_USB_SIM", (dir.path() + "/cam.json").c_str(), 1), 0);
    auto real = MakeDefaultHidBackend();
    for (const auto& d : real->Enumerate()) EXPECT_EQ(d.path.find(dir.path()), std::string::npos);
    ::unsetenv("VELMORA_USB_SIM");
}
