#include "sim/hid_framing.h"

#include <algorithm>

namespace velmora::sim {

RequestAssembler::RequestAssembler(size_t reportLength, size_t maxRequestBytes)
    : reportLength_(reportLength), maxRequestBytes_(maxRequestBytes) {}

void RequestAssembler::Restart() {
    inRequest_ = false;
    overflow_ = false;
    complete_ = false;
    command_ = 0;
    payload_.clear();
}

RequestAssembler::Event RequestAssembler::Feed(const uint8_t* packet, size_t size) {
    if (complete_) Restart();  // the previous request has been taken
    error_.clear();
    auto refuse = [this](std::string why) {
        Restart();
        error_ = std::move(why);
        return Event::Malformed;
    };
    if (size != reportLength_) {
        return refuse("report of " + std::to_string(size) + " bytes, expected " + std::to_string(reportLength_));
    }
    if (packet[0] != 0) return refuse("report id " + std::to_string(packet[0]) + ", expected 0");
    if (GetLe32(packet + 1) != kHidMagic) return refuse("bad magic");
    const uint32_t command = GetLe32(packet + 5);
    const size_t length = GetLe16(packet + 9);
    const uint16_t last = GetLe16(packet + 11);
    if (length > reportLength_ - kRequestHeaderOffset) {
        return refuse("payload length " + std::to_string(length) + " exceeds the report");
    }
    if (last > 1) return refuse("last-report flag " + std::to_string(last));

    if (inRequest_ && command != command_) {
        // A new command before the previous request ended: the host gave up on the old one.
        Restart();
        error_ = "unfinished request dropped";
    }
    if (!inRequest_) {
        inRequest_ = true;
        command_ = command;
    }
    if (!overflow_) {
        if (payload_.size() + length > maxRequestBytes_) {
            overflow_ = true;
            payload_.clear();
            payload_.shrink_to_fit();
        } else {
            payload_.insert(payload_.end(), packet + kRequestHeaderOffset, packet + kRequestHeaderOffset + length);
        }
    }
    if (last != 1) return Event::Incomplete;
    complete_ = true;
    if (overflow_) {
        error_ = "request exceeds " + std::to_string(maxRequestBytes_) + " bytes";
        return Event::Oversized;
    }
    return Event::Complete;
}

std::vector<uint8_t> BuildReplyReports(uint32_t command, int32_t status, std::string_view body,
                                       size_t reportLength, const ReplyFraming& framing) {
    const size_t room = reportLength - kReplyHeaderOffset;
    const size_t chunk = (framing.chunk == 0 || framing.chunk > room) ? room : framing.chunk;
    const size_t reports = body.empty() ? 1 : (body.size() + chunk - 1) / chunk;
    std::vector<uint8_t> out(reports * reportLength, 0);
    size_t offset = 0;
    for (size_t i = 0; i < reports; ++i) {
        uint8_t* r = out.data() + i * reportLength;
        const size_t n = std::min(chunk, body.size() - offset);
        const bool bad = framing.badMagicFrom != 0 && i + 1 >= framing.badMagicFrom;
        PutLe32(r + 1, bad ? 0x58544446u /* "FDTX" */ : kHidMagic);
        PutLe32(r + 5, command);
        PutLe16(r + 9, static_cast<uint16_t>(n));
        PutLe16(r + 11, i + 1 == reports ? 1 : 0);
        PutLe32(r + 13, static_cast<uint32_t>(status));
        std::copy_n(body.data() + offset, n, r + kReplyHeaderOffset);
        offset += n;
    }
    return out;
}

std::vector<uint8_t> BuildBusyNotice(size_t reportLength) {
    return BuildReplyReports(kBusyNoticeCommand, kBusyStatus, {}, reportLength);
}

}  // namespace velmora::sim
