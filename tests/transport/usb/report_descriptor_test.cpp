#include <cstdio>
#include <filesystem>
#include <vector>

#include <gtest/gtest.h>

#include "transport/usb/fake_usb_camera.h"
#include "transport/usb/hid_report_descriptor.h"
#include "transport/usb/hidapi_backend.h"

using namespace velmora::transport;

using namespace velmora;

namespace {

// A vendor-defined device with one 64-byte input and one 64-byte output report, no report ids:
// what the cameras use.
const std::vector<uint8_t> kCameraDescriptor = {
    0x06, 0x00, 0xFF,  // Usage Page (vendor)
    0x09, 0x01,        // Usage
    0xA1, 0x01,        // Collection (application)
    0x15, 0x00,        //   Logical Minimum 0
    0x26, 0xFF, 0x00,  //   Logical Maximum 255
    0x75, 0x08,        //   Report Size 8
    0x95, 0x40,        //   Report Count 64
    0x09, 0x01,        //   Usage
    0x81, 0x02,        //   Input
    0x95, 0x40,        //   Report Count 64
    0x09, 0x01,        //   Usage
    0x91, 0x02,        //   Output
    0xC0,              // End Collection
};

HidReportLengths Parse(const std::vector<uint8_t>& d, int expect = 0) {
    HidReportLengths out;
    EXPECT_EQ(ParseHidReportDescriptor(d.data(), d.size(), out), expect);
    return out;
}

}  // namespace

TEST(ReportDescriptor, CameraDescriptorGives65Bytes) {
    HidReportLengths l = Parse(kCameraDescriptor);
    EXPECT_EQ(l.outputReportLength, 65);
    EXPECT_EQ(l.inputReportLength, 65);
    EXPECT_EQ(l.featureReportLength, 0);
    EXPECT_FALSE(l.numberedReports);
}

TEST(ReportDescriptor, NumberedReportsTakeTheLargestPerKind) {
    const std::vector<uint8_t> d = {
        0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01,
        0x85, 0x01, 0x75, 0x08, 0x95, 0x08, 0x91, 0x02,  // id 1: 8-byte output
        0x85, 0x02, 0x95, 0x20, 0x91, 0x02,              // id 2: 32-byte output
        0x75, 0x01, 0x95, 0x03, 0x91, 0x02,              // id 2: + 3 bits -> 33 bytes
        0x85, 0x03, 0x75, 0x10, 0x95, 0x04, 0x81, 0x02,  // id 3: 8-byte input
        0x96, 0x00, 0x01, 0x75, 0x08, 0xB1, 0x02,        // id 3: 256-byte feature (2-byte count)
        0xC0,
    };
    HidReportLengths l = Parse(d);
    EXPECT_EQ(l.outputReportLength, 34);  // 32 bytes + 3 bits -> 33, plus the id byte
    EXPECT_EQ(l.inputReportLength, 9);
    EXPECT_EQ(l.featureReportLength, 257);
    EXPECT_TRUE(l.numberedReports);
}

TEST(ReportDescriptor, PushPopAndLongItems) {
    const std::vector<uint8_t> d = {
        0x75, 0x08, 0x95, 0x10,  // size 8, count 16
        0xA4,                    // Push
        0x95, 0x02,              // count 2
        0x91, 0x02,              // Output: 2 bytes
        0xB4,                    // Pop: count 16 again
        0xFE, 0x02, 0x10, 0xAA, 0xBB,  // long item, skipped
        0x91, 0x02,              // Output: 16 bytes
    };
    EXPECT_EQ(Parse(d).outputReportLength, 19);
}

TEST(ReportDescriptor, MalformedDescriptorsAreRefused) {
    EXPECT_EQ(Parse({0x75}, -1).outputReportLength, 0);     // truncated short item
    Parse({0x27, 0x01, 0x02}, -1);                          // 4-byte item cut short
    Parse({0xFE, 0x05, 0x10, 0x00}, -1);                    // truncated long item
    Parse({0xB4}, -1);                                      // Pop without Push
    Parse({0x85, 0x00}, -1);                                // report id 0 is reserved
    // Absurd sizes are refused rather than overflowing.
    Parse({0x77, 0xFF, 0xFF, 0xFF, 0xFF, 0x97, 0xFF, 0xFF, 0xFF, 0xFF, 0x91, 0x02}, -1);
    std::vector<uint8_t> deep(40, 0xA4);
    Parse(deep, -1);
    // Empty: nothing to report, not an error.
    HidReportLengths l;
    EXPECT_EQ(ParseHidReportDescriptor(nullptr, 0, l), 0);
    EXPECT_EQ(l.outputReportLength, 0);
}

TEST(ReportDescriptor, ReadsTheHidrawSysfsFile) {
    velmora::testing::TempDir root;
    std::filesystem::create_directories(root.path() + "/hidraw7/device");
    FILE* f = std::fopen((root.path() + "/hidraw7/device/report_descriptor").c_str(), "wb");
    std::fwrite(kCameraDescriptor.data(), 1, kCameraDescriptor.size(), f);
    std::fclose(f);

    HidDeviceDescriptor dev;
    EXPECT_EQ(ReadHidrawReportLengths("/dev/hidraw7", dev, root.path()), 0);
    EXPECT_EQ(dev.outputReportLength, 65);
    EXPECT_EQ(dev.inputReportLength, 65);
    HidDeviceDescriptor missing;
    EXPECT_EQ(ReadHidrawReportLengths("/dev/hidraw8", missing, root.path()), -1);
    EXPECT_EQ(missing.outputReportLength, 0);
    EXPECT_EQ(ReadHidrawReportLengths("/dev/..", missing, root.path()), -1);
}
