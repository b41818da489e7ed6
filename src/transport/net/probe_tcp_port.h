#pragma once

namespace velmora::transport {

// Reachability probe of a TCP port: opens a non-blocking TCP socket and connects to
// address:port. Returns 1 when the connection succeeds at once, or becomes writable within
// `timeoutSeconds` with socket error 0; -1 otherwise (unparsable address, refused, time-out).
// The socket is closed in every case. Thread-safe.
int ProbeTcpPort(const char* address, int port, int timeoutSeconds);

// The same with a time-out in milliseconds (tools and tests).
int ProbeTcpPortMs(const char* address, int port, int timeoutMs);

}  // namespace velmora::transport
