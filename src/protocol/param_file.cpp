#include "protocol/param_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <vector>

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
    // Closes now and reports whether the close succeeded (a failed close can mean lost data).
    bool Close() {
        int fd = fd_;
        fd_ = -1;
        return fd < 0 || ::close(fd) == 0;
    }

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

bool WriteAll(int fd, const uint8_t* src, size_t size) {
    size_t done = 0;
    while (done < size) {
        ssize_t n = ::write(fd, src + done, size - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// The process umask without changing it (umask() itself would race with other threads).
mode_t CurrentUmask() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("Umask:", 0) == 0) return static_cast<mode_t>(std::strtoul(line.c_str() + 6, nullptr, 8));
    }
    return 022;
}

std::string FolderOf(const std::string& path) {
    size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
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

int SaveParamFile(const std::string& path, const VideoParam& rec) {
    if (path.empty()) return kParamFileOpenFailed;
    size_t slash = path.find_last_of('/');
    std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    std::string tmpl = FolderOf(path) + "/." + base + ".XXXXXX";
    std::vector<char> tmpPath(tmpl.begin(), tmpl.end());
    tmpPath.push_back('\0');
    Fd fd(::mkostemp(tmpPath.data(), O_CLOEXEC));
    if (fd.get() < 0) return kParamFileOpenFailed;

    // An existing file keeps its permissions; a new one gets what creating it directly would
    // have given (mkostemp creates 0600).
    struct stat st {};
    mode_t mode = (::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) ? (st.st_mode & 07777)
                                                                           : (0666 & ~CurrentUmask());
    bool ok = ::fchmod(fd.get(), mode) == 0 && WriteAll(fd.get(), rec.bytes, kVideoParamSize) &&
              ::fsync(fd.get()) == 0;
    ok = fd.Close() && ok;
    if (ok) ok = ::rename(tmpPath.data(), path.c_str()) == 0;
    if (!ok) {
        ::unlink(tmpPath.data());
        return kParamFileWriteFailed;
    }
    // Make the rename itself durable; the file is complete either way, so this is best effort.
    Fd dir(::open(FolderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.get() >= 0) ::fsync(dir.get());
    return 0;
}
