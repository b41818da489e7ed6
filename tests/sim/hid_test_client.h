#pragma once

// A tiny host for the simulator's USB sockets, written independently of the program's transport
// so that a framing mistake in one cannot hide in the other.

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace simtest {

struct Reply {
    int error = 0;  // 0 ok; -1 connection closed or failed; -2 time-out
    int32_t status = 0;
    std::string body;
    int reports = 0;
    bool badMagic = false;
    std::vector<uint16_t> chunkSizes;
};

class HidClient {
public:
    explicit HidClient(size_t reportLength = 65) : len_(reportLength) {}
    ~HidClient() { Close(); }
    HidClient(const HidClient&) = delete;
    HidClient& operator=(const HidClient&) = delete;

    bool Connect(const std::string& path) {
        Close();
        fd_ = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
        if (fd_ < 0 || connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
            Close();
            return false;
        }
        return true;
    }
    void Close() {
        if (fd_ >= 0) close(fd_);
        fd_ = -1;
    }
    int fd() const { return fd_; }

    // Sends one raw packet as it is.
    bool SendRaw(const std::vector<uint8_t>& packet) {
        return send(fd_, packet.data(), packet.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(packet.size());
    }

    // Request reports: id 0, "FDTH", command, chunk length, last flag, payload.
    bool SendRequest(uint32_t command, std::string_view data) {
        const size_t room = len_ - 13;
        size_t off = 0;
        do {
            const size_t n = std::min(room, data.size() - off);
            std::vector<uint8_t> r(std::max<size_t>(len_, 17), 0);
            const uint8_t magic[4] = {'F', 'D', 'T', 'H'};
            std::copy(magic, magic + 4, r.begin() + 1);
            Put(&r[5], command, 4);
            Put(&r[9], n, 2);
            Put(&r[11], off + n == data.size() ? 1 : 0, 2);
            if (n) std::memcpy(&r[13], data.data() + off, n);
            r.resize(len_);
            if (!SendRaw(r)) return false;
            off += n;
        } while (off < data.size());
        return true;
    }

    // Reads reply reports until the last flag, a wrong magic, or the time-out.
    Reply ReadReply(int timeoutMs = 3000) {
        Reply rep;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        std::vector<uint8_t> r(len_ + 16);
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  deadline - std::chrono::steady_clock::now()).count();
            pollfd p{fd_, POLLIN, 0};
            if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0) {
                rep.error = -2;
                return rep;
            }
            const ssize_t n = recv(fd_, r.data(), r.size(), 0);
            if (n <= 0) {
                rep.error = -1;
                return rep;
            }
            ++rep.reports;
            if (static_cast<size_t>(n) != len_ || std::memcmp(&r[1], "FDTH", 4) != 0) {
                rep.badMagic = true;
                return rep;
            }
            const uint16_t chunk = static_cast<uint16_t>(Get(&r[9], 2));
            rep.chunkSizes.push_back(chunk);
            rep.status = static_cast<int32_t>(Get(&r[13], 4));
            if (chunk > len_ - 17) {
                rep.error = -3;
                return rep;
            }
            rep.body.append(reinterpret_cast<const char*>(&r[17]), chunk);
            if (Get(&r[11], 2) == 1) return rep;
        }
    }

    Reply Exchange(uint32_t command, std::string_view data, int timeoutMs = 3000) {
        if (!SendRequest(command, data)) {
            Reply rep;
            rep.error = -1;
            return rep;
        }
        return ReadReply(timeoutMs);
    }
    // JSON requests travel with their terminating zero byte.
    Reply Json(uint32_t command, std::string_view text, int timeoutMs = 3000) {
        std::string withZero(text);
        withZero.push_back('\0');
        return Exchange(command, withZero, timeoutMs);
    }

private:
    static void Put(uint8_t* p, uint64_t v, int bytes) {
        for (int i = 0; i < bytes; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
    }
    static uint64_t Get(const uint8_t* p, int bytes) {
        uint64_t v = 0;
        for (int i = 0; i < bytes; ++i) v |= static_cast<uint64_t>(p[i]) << (8 * i);
        return v;
    }

    size_t len_;
    int fd_ = -1;
};

}  // namespace simtest
