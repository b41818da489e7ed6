#include "transport/usb/hid_framing.h"

#include <cstring>

#include "platform/byte_order.h"

namespace velmora::transport {

void EncodeRequestReport(uint8_t* report, int reportLength, uint32_t command, const uint8_t* chunk,
                         int chunkLength, bool last) {
    (void)reportLength;
    report[0] = 0;
    platform::PutLe32(report + 1, kUsbMagic);
    platform::PutLe32(report + 5, command);
    platform::PutLe16(report + 9, static_cast<uint16_t>(chunkLength));
    platform::PutLe16(report + 11, last ? 1 : 0);
    if (chunkLength > 0) std::memcpy(report + kRequestPayloadOffset, chunk, static_cast<size_t>(chunkLength));
}

bool PeekReplyHeader(const uint8_t* report, size_t length, ReplyHeader& out) {
    if (!report || length < static_cast<size_t>(kReplyPayloadOffset) || platform::GetLe32(report + 1) != kUsbMagic)
        return false;
    out.command = platform::GetLe32(report + 5);
    out.payloadLength = static_cast<int>(platform::GetLe16(report + 9));
    out.last = platform::GetLe16(report + 11) == 1;
    out.status = static_cast<int32_t>(platform::GetLe32(report + 13));
    return true;
}

bool IsBusyNotice(const ReplyHeader& header) { return header.command == 0 && header.status == kUsbDeviceBusy; }

int64_t RequestReportCount(int64_t dataLength, int reportLength) {
    int64_t per = reportLength - kRequestPayloadOffset;
    if (per <= 0) return -1;
    if (dataLength <= 0) return 1;
    return (dataLength + per - 1) / per;
}

ReplyAssembler::ReplyAssembler(char* reply, int capacity, int* received, int reportLength)
    : reply_(reply), capacity_(capacity < 0 ? 0 : capacity), received_(received), reportLength_(reportLength) {
    if (received_) *received_ = 0;
    // An empty reply still reads as an empty text.
    if (reply_ && capacity_ > 0) reply_[0] = 0;
}

bool ReplyAssembler::Feed(const uint8_t* report, size_t length) {
    if (finished_) return true;
    if (length < static_cast<size_t>(kReplyPayloadOffset) || platform::GetLe32(report + 1) != kUsbMagic) {
        result_ = kUsbBadReply;
        finished_ = true;
        return true;
    }
    const int payload = static_cast<int>(platform::GetLe16(report + 9));
    const bool last = platform::GetLe16(report + 11) == 1;
    const int status = static_cast<int32_t>(platform::GetLe32(report + 13));

    // A payload length the report cannot hold is a malformed report: stop rather than copy
    // whatever lies behind it.
    const int64_t room = static_cast<int64_t>(length) - kReplyPayloadOffset;
    if (payload > reportLength_ - kReplyPayloadOffset || payload > room) {
        result_ = kUsbBadReply;
        finished_ = true;
        return true;
    }

    if (payload > 0 && reply_) {
        if (!overflowed_ && static_cast<int64_t>(total_) + payload < capacity_) {
            std::memcpy(reply_ + total_, report + kReplyPayloadOffset, static_cast<size_t>(payload));
            total_ += payload;
            reply_[total_] = 0;
            if (received_) *received_ = total_;
            result_ = status;
        } else {
            // Once a chunk is lost the reply has a hole; later chunks are not appended either.
            overflowed_ = true;
            result_ = kUsbReplyTooLong;
        }
    } else if (!overflowed_) {
        result_ = status;
    }

    if (last) finished_ = true;
    return finished_;
}

}  // namespace velmora::transport
