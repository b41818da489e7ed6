#include <cstring>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "transport/usb/fake_usb_camera.h"
#include "transport/usb/hid_framing.h"

using namespace velmora::transport;

using namespace velmora;
using velmora::testing::MakeReplyReport;
using velmora::testing::Report;

namespace {

bool Feed(ReplyAssembler& a, const Report& r) { return a.Feed(r.data(), r.size()); }

}  // namespace

TEST(RequestFraming, HeaderLayoutAndReportCounts) {
    uint8_t report[65] = {};
    const uint8_t chunk[3] = {'a', 'b', 'c'};
    EncodeRequestReport(report, 65, 40001090, chunk, 3, true);
    EXPECT_EQ(report[0], 0);
    EXPECT_EQ(0, std::memcmp(report + 1, "FDTH", 4));
    uint32_t cmd;
    std::memcpy(&cmd, report + 5, 4);
    EXPECT_EQ(cmd, 40001090u);
    EXPECT_EQ(report[9], 3);
    EXPECT_EQ(report[10], 0);
    EXPECT_EQ(report[11], 1);
    EXPECT_EQ(report[12], 0);
    EXPECT_EQ(0, std::memcmp(report + 13, "abc", 3));

    EXPECT_EQ(RequestReportCount(0, 65), 1);
    EXPECT_EQ(RequestReportCount(52, 65), 1);
    EXPECT_EQ(RequestReportCount(53, 65), 2);
    EXPECT_EQ(RequestReportCount(1048576, 65), 20165);
    EXPECT_EQ(RequestReportCount(10, 13), -1);  // no room for a payload
}

TEST(ReplyAssembly, TwoChunksGiveDataZeroAndLastStatus) {
    char reply[3072];
    std::memset(reply, 'x', sizeof reply);
    int received = -1;
    ReplyAssembler a(reply, sizeof reply, &received, 65);
    EXPECT_EQ(received, 0);
    EXPECT_FALSE(Feed(a, MakeReplyReport(65, 1, 7, std::string(48, 'A'), false)));
    EXPECT_TRUE(Feed(a, MakeReplyReport(65, 1, 3, std::string(10, 'B'), true)));
    EXPECT_EQ(a.Result(), 3);
    EXPECT_EQ(received, 58);
    EXPECT_EQ(std::string(reply, 58), std::string(48, 'A') + std::string(10, 'B'));
    EXPECT_EQ(reply[58], 0);
}

TEST(ReplyAssembly, WrongMagicEndsAtOnceEvenAfterGoodReports) {
    char reply[256] = {};
    ReplyAssembler a(reply, sizeof reply, nullptr, 65);
    EXPECT_FALSE(Feed(a, MakeReplyReport(65, 1, 0, "good", false)));
    EXPECT_TRUE(Feed(a, MakeReplyReport(65, 1, 0, "bad", false, 0x12345678)));
    EXPECT_EQ(a.Result(), kUsbBadReply);
    // Further input changes nothing.
    EXPECT_TRUE(Feed(a, MakeReplyReport(65, 1, 0, "", true)));
    EXPECT_EQ(a.Result(), kUsbBadReply);
}

TEST(ReplyAssembly, NoReplyBufferTakesStatus) {
    ReplyAssembler a(nullptr, 0, nullptr, 65);
    EXPECT_TRUE(Feed(a, MakeReplyReport(65, 1, 0, "ignored payload", true)));
    EXPECT_EQ(a.Result(), 0);
    ReplyAssembler b(nullptr, 0, nullptr, 65);
    EXPECT_TRUE(Feed(b, MakeReplyReport(65, 1, -12, "", true)));
    EXPECT_EQ(b.Result(), -12);
}

// A chunk that does not fit makes the reply incomplete: later chunks that would fit are not
// appended behind the hole, and the result stays -307 through the final report.
TEST(ReplyAssembly, OverflowIsStickyAndNeverOverruns) {
    auto reply = std::make_unique<char[]>(50);  // exact size: ASan sees any overrun
    int received = 0;
    ReplyAssembler a(reply.get(), 50, &received, 65);
    EXPECT_FALSE(Feed(a, MakeReplyReport(65, 1, 0, std::string(48, 'A'), false)));
    EXPECT_FALSE(Feed(a, MakeReplyReport(65, 1, 0, std::string(10, 'B'), false)));
    EXPECT_EQ(a.Result(), kUsbReplyTooLong);
    EXPECT_FALSE(Feed(a, MakeReplyReport(65, 1, 0, "C", false)));    // would fit: 49 < 50
    EXPECT_TRUE(Feed(a, MakeReplyReport(65, 1, 0, "", true)));       // status 0 does not clear it
    EXPECT_EQ(a.Result(), kUsbReplyTooLong);
    EXPECT_EQ(received, 48);
    EXPECT_EQ(reply[48], 0);

    // Exactly capacity - 1 bytes fit, capacity bytes do not (room for the zero byte).
    char small[11];
    ReplyAssembler b(small, 11, nullptr, 65);
    EXPECT_TRUE(Feed(b, MakeReplyReport(65, 1, 5, std::string(10, 'z'), true)));
    EXPECT_EQ(b.Result(), 5);
    EXPECT_EQ(small[10], 0);
    ReplyAssembler c(small, 10, nullptr, 65);
    EXPECT_TRUE(Feed(c, MakeReplyReport(65, 1, 5, std::string(10, 'z'), true)));
    EXPECT_EQ(c.Result(), kUsbReplyTooLong);
}

TEST(ReplyAssembly, MalformedReportsAreRefused) {
    char reply[256] = {};
    {  // payload length beyond report length - 17
        Report r = MakeReplyReport(65, 1, 0, "", true);
        r[9] = 49;
        ReplyAssembler a(reply, sizeof reply, nullptr, 65);
        EXPECT_TRUE(Feed(a, r));
        EXPECT_EQ(a.Result(), kUsbBadReply);
    }
    {  // exactly report length - 17 is fine
        ReplyAssembler a(reply, sizeof reply, nullptr, 65);
        EXPECT_TRUE(Feed(a, MakeReplyReport(65, 1, 0, std::string(48, 'q'), true)));
        EXPECT_EQ(a.Result(), 0);
    }
    {  // shorter than the reply header
        Report r = MakeReplyReport(65, 1, 0, "", true);
        ReplyAssembler a(reply, sizeof reply, nullptr, 65);
        EXPECT_TRUE(a.Feed(r.data(), 16));
        EXPECT_EQ(a.Result(), kUsbBadReply);
    }
    {  // a short report whose payload length runs past the bytes received
        Report r = MakeReplyReport(65, 1, 0, std::string(20, 'p'), true);
        ReplyAssembler a(reply, sizeof reply, nullptr, 65);
        EXPECT_TRUE(a.Feed(r.data(), 30));
        EXPECT_EQ(a.Result(), kUsbBadReply);
    }
    {  // a buffer given with capacity 0 holds nothing
        char one[1] = {'x'};
        ReplyAssembler a(one, 0, nullptr, 65);
        EXPECT_TRUE(Feed(a, MakeReplyReport(65, 1, 0, "a", true)));
        EXPECT_EQ(a.Result(), kUsbReplyTooLong);
        EXPECT_EQ(one[0], 'x');
    }
}
