#pragma once

#include <cstddef>
#include <cstdint>

// Framing of requests and replies inside HID reports, and the result codes of a USB exchange.
//
// Request report: [0] report id 0, [1..4] magic "FDTH", [5..8] command id, [9..10] payload length,
// [11..12] last flag (1 on the final report), [13..] payload.
// Reply report:   [0] report id, [1..4] magic, [5..8] command id, [9..10] payload length,
// [11..12] last flag, [13..16] signed status, [17..] payload. All fields little-endian.

namespace velmora::transport {

constexpr uint32_t kUsbMagic = 0x48544446;  // "FDTH" read as a little-endian number
constexpr int kRequestHeaderOffset = 1;
constexpr int kRequestPayloadOffset = 13;
constexpr int kReplyPayloadOffset = 17;
// The smallest report that can carry a reply header and one payload byte.
constexpr int kMinReportLength = 18;
// Reports beyond this are refused (hidraw itself stops at 16 KiB).
constexpr int kMaxReportLength = 65536;

// Results of Transfer and GetDeviceInfo besides the camera's own status.
constexpr int kUsbInvalidHandle = -304;   // -1, 0, closed or unknown handle
constexpr int kUsbTimeout = -302;         // a phase did not end within its time
constexpr int kUsbWaitFailed = -308;      // a phase thread could not be started or waited for
constexpr int kUsbWriteFailed = -40;      // writing a request report failed (or bad arguments)
constexpr int kUsbReadFailed = -41;       // reading a reply report failed: device gone
constexpr int kUsbBadReply = -310;        // wrong magic, malformed reply report, unparsable reply
constexpr int kUsbReplyTooLong = -307;    // a reply chunk did not fit into the reply buffer
// The device refused the connection: all its connections are taken. It says so with one reply
// report of command id 0, payload length 0, last flag 1 and this status, then closes.
constexpr int kUsbDeviceBusy = -42;

// Fills `report` (reportLength bytes, zero-filled by the caller once per request) with the
// request header and `chunk` of `chunkLength` bytes. Requires reportLength >= kMinReportLength and
// chunkLength <= reportLength - kRequestPayloadOffset.
void EncodeRequestReport(uint8_t* report, int reportLength, uint32_t command, const uint8_t* chunk,
                         int chunkLength, bool last);

// Header fields of a reply report.
struct ReplyHeader {
    uint32_t command = 0;
    int payloadLength = 0;
    bool last = false;
    int32_t status = 0;
};

// Reads the header of a reply report (report id byte first). False when the report is shorter
// than the reply header or does not start with the magic; ReplyAssembler refuses such a report.
bool PeekReplyHeader(const uint8_t* report, size_t length, ReplyHeader& out);

// True for the device's notice that it refused the connection (command id 0, status -42).
bool IsBusyNotice(const ReplyHeader& header);

// Number of reports a request of `dataLength` bytes takes (1 for an empty request).
int64_t RequestReportCount(int64_t dataLength, int reportLength);

// Reassembles the reply reports of one exchange into the caller's reply buffer.
// Never writes past the buffer; after any append the data is followed by a zero byte.
// Rules: a wrong magic or a malformed report (shorter than the reply header, or a payload length
// beyond report length - 17 or beyond the bytes received) ends the reply with -310. A chunk that
// does not fit (total + length must stay below the capacity) makes the reply incomplete: it and
// every later chunk are dropped and the result stays -307 until the final report. Otherwise the
// result is the status of the latest report.
// Thread-bound: one instance per reply phase.
class ReplyAssembler {
public:
    // `reply` may be null (then only the status matters); `received` may be null.
    ReplyAssembler(char* reply, int capacity, int* received, int reportLength);

    // Feeds one report as read (report id byte first). Returns true when the reply phase is over
    // (final report seen, or an error that ends it).
    bool Feed(const uint8_t* report, size_t length);

    int Result() const { return result_; }
    int Total() const { return total_; }
    bool Finished() const { return finished_; }

private:
    char* reply_;
    int capacity_;
    int* received_;
    int reportLength_;
    int total_ = 0;
    int result_ = 0;
    bool overflowed_ = false;
    bool finished_ = false;
};

}  // namespace velmora::transport
