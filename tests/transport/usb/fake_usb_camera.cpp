#include "transport/usb/fake_usb_camera.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

using namespace velmora::transport;

namespace velmora::testing {
namespace {

void Put16(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
void Put32(uint8_t* p, uint32_t v) {
    Put16(p, v);
    Put16(p + 2, v >> 16);
}
uint32_t Get16(const uint8_t* p) { return p[0] | (p[1] << 8); }
uint32_t Get32(const uint8_t* p) { return Get16(p) | (Get16(p + 2) << 16); }

}  // namespace

Report MakeReplyReport(int reportLength, uint32_t command, int32_t status, const std::string& payload, bool last,
                       uint32_t magic) {
    Report r(static_cast<size_t>(reportLength), 0);
    Put32(&r[1], magic);
    Put32(&r[5], command);
    Put16(&r[9], static_cast<uint32_t>(payload.size()));
    Put16(&r[11], last ? 1 : 0);
    Put32(&r[13], static_cast<uint32_t>(status));
    std::memcpy(&r[17], payload.data(), std::min(payload.size(), r.size() - 17));
    return r;
}

std::vector<Report> MakeReplyReports(int reportLength, uint32_t command, int32_t status, const std::string& data) {
    std::vector<Report> out;
    size_t per = static_cast<size_t>(reportLength - 17);
    size_t off = 0;
    do {
        size_t n = std::min(per, data.size() - off);
        out.push_back(MakeReplyReport(reportLength, command, status, data.substr(off, n), off + n == data.size()));
        off += n;
    } while (off < data.size());
    return out;
}

TempDir::TempDir() {
    char tmpl[] = "/tmp/velmora-usb-XXXXXX";
    if (!mkdtemp(tmpl)) throw std::runtime_error("mkdtemp");
    path_ = tmpl;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

FakeUsbCamera::FakeUsbCamera(const std::string& dir, const std::string& name, uint16_t vendorId, uint16_t productId,
                             int reportLength)
    : reportLength_(reportLength) {
    std::string sock = dir + "/" + name + ".sock";
    listenFd_ = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", sock.c_str());
    if (listenFd_ < 0 || ::bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(listenFd_, 4) != 0 || ::pipe(wake_) != 0)
        throw std::runtime_error("fake camera socket");
    FILE* f = std::fopen((dir + "/" + name + ".json").c_str(), "w");
    std::fprintf(f,
                 "{\"vendor_id\": %u, \"product_id\": %u, \"output_report_length\": %d, \"input_report_length\": %d}\n",
                 vendorId, productId, reportLength, reportLength);
    std::fclose(f);
    server_ = std::thread([this] { Serve(); });
}

FakeUsbCamera::~FakeUsbCamera() {
    char c = 'q';
    ssize_t r = ::write(wake_[1], &c, 1);
    (void)r;
    server_.join();
    ::close(listenFd_);
    ::close(wake_[0]);
    ::close(wake_[1]);
}

void FakeUsbCamera::SetHandler(Handler handler) {
    std::lock_guard lock(mu_);
    handler_ = std::move(handler);
}

FakeUsbCamera::Stats FakeUsbCamera::stats() const {
    std::lock_guard lock(mu_);
    return stats_;
}

void FakeUsbCamera::Serve() {
    std::vector<int> conns;
    std::vector<uint8_t> buf(static_cast<size_t>(reportLength_) + 64);
    for (;;) {
        const bool reading = reading_.load();
        std::vector<pollfd> fds = {{wake_[0], POLLIN, 0}, {listenFd_, POLLIN, 0}};
        for (int c : conns) fds.push_back({c, short(reading ? POLLIN : 0), 0});
        int r = ::poll(fds.data(), fds.size(), reading ? -1 : 10);
        if (r < 0 && errno == EINTR) continue;
        if (fds[0].revents) break;
        if (fds[1].revents & POLLIN) {
            int c = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (c < 0) continue;
            if (busy_.load()) {
                SendReport(c, MakeReplyReport(reportLength_, 0, -42, "", true));
                ::close(c);
                std::lock_guard lock(mu_);
                ++stats_.refused;
                continue;
            }
            if (!shared_.load()) {
                for (int old : conns) ::close(old);
                conns.clear();
            }
            conns.push_back(c);
            if (!shared_.load()) {
                std::lock_guard lock(mu_);
                pending_.clear();
                requestFrom_ = -1;
            }
            continue;
        }
        for (size_t i = 0; i < conns.size() && i + 2 < fds.size(); ++i) {
            if (conns[i] < 0 || !fds[i + 2].revents) continue;
            ssize_t n = ::recv(conns[i], buf.data(), buf.size(), MSG_DONTWAIT);
            if (n <= 0) {
                if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
                    ::close(conns[i]);
                    conns[i] = -1;
                }
                continue;
            }
            HandlePacket(conns, i, buf.data(), static_cast<size_t>(n));
        }
        std::erase(conns, -1);
    }
    for (int c : conns) ::close(c);
}

bool FakeUsbCamera::SendReport(int conn, const Report& r) {
    for (;;) {
        if (::send(conn, r.data(), r.size(), MSG_NOSIGNAL | MSG_DONTWAIT) >= 0) return true;
        if (errno != EAGAIN && errno != EINTR) return false;
        // The host is not reading; wait for room, but give up when the camera is being destroyed.
        pollfd fds[2] = {{conn, POLLOUT, 0}, {wake_[0], POLLIN, 0}};
        ::poll(fds, 2, -1);
        if (fds[1].revents) return false;
    }
}

bool FakeUsbCamera::WaitOrQuit(std::chrono::milliseconds delay) {
    pollfd p{wake_[0], POLLIN, 0};
    return ::poll(&p, 1, static_cast<int>(delay.count())) == 0;
}

void FakeUsbCamera::HandlePacket(std::vector<int>& conns, size_t from, const uint8_t* p, size_t n) {
    FakeResponse response;
    bool complete = false;
    {
        std::lock_guard lock(mu_);
        ++stats_.reports;
        if (stats_.packetSizes.size() < 100000) stats_.packetSizes.push_back(static_cast<int>(n));
        if (n < 13) return;
        uint32_t len = Get16(p + 9), last = Get16(p + 11);
        if (stats_.payloadLengths.size() < 100000) {
            stats_.payloadLengths.push_back(static_cast<uint16_t>(len));
            stats_.lastFlags.push_back(static_cast<uint16_t>(last));
        }
        if (requestFrom_ >= 0 && requestFrom_ != conns[from]) ++stats_.interleaved;
        requestFrom_ = last == 1 ? -1 : conns[from];
        if (13 + len <= n) pending_.insert(pending_.end(), p + 13, p + 13 + len);
        int unplugAt = unplugAfter_.load();
        if (unplugAt > 0 && stats_.reports >= unplugAt) {
            ::close(conns[from]);
            conns[from] = -1;
            return;
        }
        if (last == 1) {
            complete = true;
            ++stats_.requests;
            stats_.lastCommand = Get32(p + 5);
            stats_.lastRequest = pending_;
            if (handler_) {
                response = handler_(stats_.lastCommand, pending_);
            } else {
                response.reports = MakeReplyReports(reportLength_, stats_.lastCommand, 0, "");
            }
            pending_.clear();
        }
    }
    if (!complete) return;
    if (response.delay.count() > 0 && !WaitOrQuit(response.delay)) return;
    bool sent = true;
    for (const Report& r : response.reports) {
        // hidraw hands a report to every open handle before any reader wakes, so the others get
        // it first: by the time the requester has read it, they have it too.
        if (shared_.load()) {
            for (int other : conns) {
                if (other >= 0 && other != conns[from]) ::send(other, r.data(), r.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            }
        }
        if (!SendReport(conns[from], r)) {
            sent = false;
            break;
        }
    }
    if (sent) {
        std::lock_guard lock(mu_);
        ++stats_.repliesSent;
    }
    if (response.unplug) {
        ::close(conns[from]);
        conns[from] = -1;
    }
}

}  // namespace velmora::testing
