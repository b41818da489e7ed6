#include "protocol/param_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <span>

#include "platform/atomic_file.h"

namespace {

// Closes a descriptor on every path out of a function.
class Fd {
public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

bool ReadAll(int fd, uint8_t* dst, size_t size) {
    size_t done = 0;
    while (done < size) {
        ssize_t n = ::read(fd, dst + done, size - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

int LoadParamFile(const std::string& path, VideoParam& out, long long* foundSize) {
    if (foundSize != nullptr) *foundSize = -1;
    // O_NONBLOCK so that a FIFO named by mistake cannot block the open; it is refused below.
    Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (fd.get() < 0) return kParamFileOpenFailed;
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return kParamFileOpenFailed;
    if (foundSize != nullptr) *foundSize = static_cast<long long>(st.st_size);
    if (st.st_size != static_cast<off_t>(kVideoParamSize)) return kParamFileSizeMismatch;

    VideoParam loaded;
    if (!ReadAll(fd.get(), loaded.bytes, kVideoParamSize)) return kParamFileReadFailed;
    out = loaded;
    return 0;
}

int SaveParamFile(const std::string& path, const VideoParam& rec, std::string* error) {
    int r = velmora::WriteFileAtomically(path, std::span<const uint8_t>(rec.bytes, kVideoParamSize), error);
    switch (r) {
        case 0:
            return 0;
        case velmora::kAtomicFileBadPath:
        case velmora::kAtomicFileCreateFailed:
            return kParamFileOpenFailed;
        default:
            return kParamFileWriteFailed;
    }
}
