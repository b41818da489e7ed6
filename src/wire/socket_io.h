#pragma once

// Small POSIX socket helpers with deadlines, shared by the client library and the camera side.
// Every function works on non-blocking descriptors and never waits past its deadline.
// Thread-safe free functions (callers serialise writes to one descriptor themselves).

#include <sys/uio.h>

#include <cstddef>
#include <cstdint>

namespace velmora::wire {

// Milliseconds of a monotonic clock.
int64_t NowMs();

// Parses dotted IPv4 text (at most `maxLength` bytes, stops at a zero byte) into network order.
bool ParseIPv4(const char* text, size_t maxLength, uint32_t& networkOrder);

// Connects a non-blocking TCP socket to address:port within timeoutMs. On success returns 0 and
// the descriptor (non-blocking, TCP_NODELAY, close-on-exec); otherwise a negative ORVEX_ERR_*
// code (CONNECT when refused or unreachable, TIMEOUT when the time ran out).
int ConnectTcp(uint32_t addressNetworkOrder, uint16_t port, int timeoutMs, int& fdOut);

// Sends every byte of the vectors before deadlineMs (a NowMs value). 0, ORVEX_ERR_TIMEOUT or
// ORVEX_ERR_DISCONNECTED. Never raises SIGPIPE.
int SendAll(int fd, const iovec* vectors, int count, int64_t deadlineMs);
int SendAll(int fd, const void* data, size_t length, int64_t deadlineMs);

// Waits up to timeoutMs for data and reads what is there. Returns the number of bytes (> 0),
// 0 when nothing arrived in time, ORVEX_ERR_DISCONNECTED on end of stream or error.
long RecvSome(int fd, uint8_t* buffer, size_t capacity, int timeoutMs);

void SetNonBlocking(int fd);
void CloseFd(int& fd);

}  // namespace velmora::wire
