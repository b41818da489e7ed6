#pragma once

// The numbers both ends of the camera protocol share: result codes (also the status values of
// reply frames), the data type of stream frames, stream selectors and the default TCP port. The
// network client (transport/net/orvex_sdk.h) returns these codes; the simulator puts them on the
// wire. See docs/network-protocol.md.

#include <cstdint>

namespace velmora::wire {

// Result codes. Also the status values carried in reply frames on the wire.
enum : int {
    ORVEX_OK = 0,
    ORVEX_ERR_NOT_INIT = -1001,           // ORVEX_Init has not been called (or Cleanup ran)
    ORVEX_ERR_INVALID_ARG = -1002,        // null pointer, bad length, unparsable address ...
    ORVEX_ERR_INVALID_HANDLE = -1003,     // no such session or real-play handle
    ORVEX_ERR_CONNECT = -1004,            // TCP connection to the camera could not be made
    ORVEX_ERR_TIMEOUT = -1005,            // no reply within the request time-out
    ORVEX_ERR_DISCONNECTED = -1006,       // the camera closed the connection or went silent
    ORVEX_ERR_PROTOCOL = -1007,           // malformed or unexpected frame from the peer
    ORVEX_ERR_AUTH = -1008,               // wrong user name or password
    ORVEX_ERR_BUFFER_TOO_SMALL = -1009,   // reply does not fit the caller's capacity
    ORVEX_ERR_TOO_LARGE = -1010,          // request or reply exceeds the protocol's limits
    ORVEX_ERR_REFUSED = -1011,            // the camera refused (login disabled, busy, ...)
    ORVEX_ERR_NO_RESOURCES = -1012,       // too many sessions, streams or pending requests
    ORVEX_ERR_VERSION = -1013,            // the peer speaks another protocol version
    ORVEX_ERR_STREAM_UNAVAILABLE = -1014, // the requested stream does not exist
    ORVEX_ERR_UNSUPPORTED = -1015,        // unknown message type
    ORVEX_ERR_INTERNAL = -1016,           // the camera failed to produce a reply
};

// Data type passed as the fourth callback argument.
enum : int { ORVEX_DATA_H264 = 1 };  // one H.264 access unit in Annex-B form (start codes)

// Stream selectors for ORVEX_StartRealPlay.
enum : int { ORVEX_STREAM_MAIN = 0, ORVEX_STREAM_SUB = 1 };

constexpr uint16_t kOrvexDefaultPort = 36666;

}  // namespace velmora::wire
