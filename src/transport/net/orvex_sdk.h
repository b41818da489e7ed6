#pragma once

// Client side of Velmora's network camera protocol (see docs/network-protocol.md).
//
// Plain functions in the manner of a vendor SDK: every call returns an int, 0 or more on success
// and a negative ORVEX_ERR_* code on failure; the code of the last failure on the calling thread is
// also kept for ORVEX_GetLastError.
//
// Thread-safe: any thread may call any function; several sessions may log in, stream and exchange
// texts at the same time. Each session owns one TCP connection and one receive thread, on which the
// real-play callbacks of that session run.

#include <cstddef>
#include <cstdint>

// Result codes (ORVEX_ERR_*), data and stream selectors and the default port travel on the wire
// too: they live with the wire codecs.
#include "wire/wire_codes.h"

namespace velmora::transport {

// ---------------------------------------------------------------------------------------------
// Login record, passed by value. 63 bytes, no padding. Texts are NUL-terminated and cut to fit.
// ---------------------------------------------------------------------------------------------
#pragma pack(push, 1)
struct LoginInfo {
    char address[20];   // IPv4 text, e.g. "127.0.0.2"
    uint16_t port;      // TCP port, 36666 for cameras
    char user[17];      // user name
    char password[24];  // password; used only as the HMAC key, never sent
};
#pragma pack(pop)
static_assert(sizeof(LoginInfo) == 63, "LoginInfo is a 63-byte record");
static_assert(offsetof(LoginInfo, address) == 0);
static_assert(offsetof(LoginInfo, port) == 20);
static_assert(offsetof(LoginInfo, user) == 22);
static_assert(offsetof(LoginInfo, password) == 39);

// What ORVEX_Login writes into its 288-byte output area (when the pointer is not null).
// Texts are the camera's, NUL-terminated and cut to fit.
struct LoginDeviceInfo {
    char deviceName[64];
    char serial[64];
    char firmware[64];
    char model[64];
    int32_t protocolVersion;  // version of the protocol the camera speaks
    int32_t maxStreams;       // real-play streams the camera allows per session
    uint8_t reserved[24];
};
static_assert(sizeof(LoginDeviceInfo) == 288, "the login output area is 288 bytes");

// Real-play callback: real-play handle, pointer to one access unit, its length in bytes, data type
// (ORVEX_DATA_H264), user value given to ORVEX_StartRealPlay. Runs on the session's receive
// thread; the data is valid only during the call. Keep it short (queue the data and return):
// while it runs, the session receives nothing else. For the same reason ORVEX_SendRobotText and
// ORVEX_StartRealPlay on the callback's own session fail at once with ORVEX_ERR_INVALID_ARG when
// called from it; stopping streams and logging out work.
typedef void (*ORVEX_RealDataCallback)(int realHandle, const unsigned char* data, int length,
                                       int dataType, void* user);

// Prepares the library. The argument is reserved (pass 0). Calling it again is harmless.
int ORVEX_Init(int reserved);

// Connects to info.address:info.port, runs the challenge-response login and returns a session
// handle (0 or more, never reused within the process) or a negative code (ORVEX_ERR_AUTH for a
// wrong user name or password). `deviceInfo`, when not null, must point to at least 288 bytes and
// receives a LoginDeviceInfo. The four trailing arguments are reserved (pass 0).
int ORVEX_Login(LoginInfo info, void* deviceInfo, int reserved1, int reserved2, int reserved3,
                int reserved4);

// Code of the last failure of an ORVEX_ call on the calling thread (0 if none yet).
int ORVEX_GetLastError();

// Opens a stream of the session (selector 0: main stream). Returns a real-play handle or a
// negative code. From then on `callback` receives the stream's access units on the session's
// receive thread, possibly before this function has returned. `reserved` is ignored (pass 0).
int ORVEX_StartRealPlay(int session, int reserved, int streamSelector, ORVEX_RealDataCallback callback,
                        void* user);

// Sends one request text and waits for its reply.
//   text, textLength: the request; textLength counts the terminating zero (strlen + 1); the text
//                     sent is the bytes before the first zero.
//   reply:            the caller's buffer; *replyLength holds its usable capacity on entry.
//   On success (result 0) the reply text and a zero byte are written to reply, and *replyLength
//   receives the text's length without the zero. A reply that needs more than *replyLength bytes
//   including its zero gives ORVEX_ERR_BUFFER_TOO_SMALL. Whenever the capacity is at least 1 the
//   buffer ends in a zero byte, on failure too (reply[0] = 0, *replyLength = 0); nothing is ever
//   written at or beyond reply[*replyLength] as passed in.
int ORVEX_SendRobotText(int session, const char* text, int textLength, char* reply, int* replyLength);

// Ends a stream. When it returns, no callback for this handle is running or will run (unless it
// is called from that very callback, in which case the callback in progress is the last one).
int ORVEX_StopRealPlay(int realHandle);

// Ends a session: stops its streams as ORVEX_StopRealPlay does, says goodbye to the camera and
// closes the connection. The handle becomes invalid.
int ORVEX_LogOut(int session);

// Ends every open session and releases the library. ORVEX_Init may be called again afterwards.
int ORVEX_Cleanup();

// ---------------------------------------------------------------------------------------------
// Velmora extensions beyond the vendor set (the snapshot, tests and tools use them).
// ---------------------------------------------------------------------------------------------

// Time-outs in milliseconds for new and existing sessions; a value of 0 or less keeps the current
// one. connect: TCP connect and the whole login (default 5000); request: each text request and
// stream start (default 5000); idle: a session that hears nothing from the camera for this long
// (pings are sent after a third of it) is ended as disconnected (default 15000).
int ORVEX_SetTimeouts(int connectMs, int requestMs, int idleMs);

// Number of sessions currently open (for tests and diagnostics).
int ORVEX_GetSessionCount();

// State of a real-play stream, so a caller waiting for data learns at once that none will come:
//   0                          the stream runs (or is still starting);
//   the camera's reason (< 0)  the camera ended the stream with a StreamEnd frame (a StreamEnd
//                              without a negative reason gives ORVEX_ERR_STREAM_UNAVAILABLE);
//   the session's reason (< 0) the session died (ORVEX_ERR_DISCONNECTED when the camera went away
//                              or fell silent, ORVEX_ERR_PROTOCOL for garbage, ...) or is being
//                              logged out (ORVEX_ERR_INVALID_HANDLE);
//   ORVEX_ERR_INVALID_HANDLE   no such real-play handle (never started, or stopped);
//   ORVEX_ERR_NOT_INIT         the library is not initialised.
// Only the last two count as failures of the call (ORVEX_GetLastError). The callback is not told
// of the end; a caller that waits for data polls this (it is cheap: two short locks).
int ORVEX_GetRealPlayState(int realHandle);

// Writes the IPv4 text of the camera a session is logged in to ("127.0.0.2") and a zero into
// `address`, which holds `capacity` bytes (16 always suffice). Returns the text's length,
// ORVEX_ERR_INVALID_HANDLE, ORVEX_ERR_INVALID_ARG (null or capacity < 1) or
// ORVEX_ERR_BUFFER_TOO_SMALL (then `address` holds "").
int ORVEX_GetSessionAddress(int session, char* address, int capacity);

}  // namespace velmora::transport
