#include "platform/atomic_file.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "platform/unique_fd.h"

namespace velmora::platform {
namespace {

using Fd = UniqueFd;

int Fail(std::string* error, int code, std::string text) {
    if (error != nullptr) *error = std::move(text);
    return code;
}

std::string ErrnoText(int err) { return std::strerror(err); }

std::string FolderOf(const std::string& path) {
    size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

std::string BaseOf(const std::string& path) {
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

const char* KindOf(mode_t mode) {
    if (S_ISDIR(mode)) return "a directory";
    if (S_ISFIFO(mode)) return "a FIFO (named pipe)";
    if (S_ISCHR(mode)) return "a character device";
    if (S_ISBLK(mode)) return "a block device";
    if (S_ISSOCK(mode)) return "a socket";
    if (S_ISLNK(mode)) return "a symbolic link";
    return "a special file";
}

// What is to be replaced: the regular file `path` leads to (the path itself, or where its
// symbolic links end), whether it exists, and its status when it does.
struct Target {
    std::string path;
    bool exists = false;
    struct stat st {};
};

// A file the user made read-only is kept: renaming a new file over it would pass over that wish
// (the folder's permission is all a rename needs). Also as root, whom access() lets write.
int RefuseReadOnly(const Target& target, std::string* error) {
    const bool noWriteBits = (target.st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0;
    if (noWriteBits || (::access(target.path.c_str(), W_OK) != 0 && errno == EACCES))
        return Fail(error, kAtomicFileRefused, "it is read-only, so it is not replaced");
    return 0;
}

int ResolveTarget(const std::string& path, Target* target, std::string* error) {
    if (path.empty()) return Fail(error, kAtomicFileBadPath, "no file name given");
    if (path.back() == '/') return Fail(error, kAtomicFileBadPath, "the name ends in '/', it names a folder");
    target->path = path;
    struct stat lst {};
    if (::lstat(path.c_str(), &lst) != 0) {
        if (errno == ENOENT) return 0;  // a new file; a missing folder shows when the file is created
        return Fail(error, kAtomicFileCreateFailed, "cannot examine it: " + ErrnoText(errno));
    }
    if (S_ISREG(lst.st_mode)) {
        target->exists = true;
        target->st = lst;
        return RefuseReadOnly(*target, error);
    }
    if (!S_ISLNK(lst.st_mode))
        return Fail(error, kAtomicFileRefused, std::string("it is ") + KindOf(lst.st_mode) + ", only a regular file is replaced");

    // A symbolic link: the file it leads to is replaced and the link stays, so a user's link
    // keeps pointing at the file they know. A link to anything but a regular file is refused
    // (/dev/stdout, a link to a device), and so is a dangling one: it could point anywhere.
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        if (errno == ENOENT) return Fail(error, kAtomicFileRefused, "it is a symbolic link to a missing file");
        return Fail(error, kAtomicFileRefused, "cannot follow its symbolic link: " + ErrnoText(errno));
    }
    if (!S_ISREG(st.st_mode))
        return Fail(error, kAtomicFileRefused,
                    std::string("it is a symbolic link to ") + KindOf(st.st_mode) + ", only a regular file is replaced");
    char* resolved = ::realpath(path.c_str(), nullptr);
    if (resolved == nullptr) return Fail(error, kAtomicFileRefused, "cannot follow its symbolic link: " + ErrnoText(errno));
    target->path = resolved;
    std::free(resolved);
    // realpath resolved every link, so this names the file itself; check it once more in case
    // the link changed meanwhile.
    if (::lstat(target->path.c_str(), &target->st) != 0 || !S_ISREG(target->st.st_mode))
        return Fail(error, kAtomicFileRefused, "its symbolic link changed while it was examined");
    target->exists = true;
    return RefuseReadOnly(*target, error);
}

// Random letters and digits for a temporary name. The kernel's generator; should it be
// unavailable, a mix of clock, process id and a counter still gives a name no one can plant in
// advance reliably, and O_EXCL refuses a planted one anyway.
void RandomName(char* out, size_t n) {
    static constexpr char kChars[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    unsigned char bytes[32];
    if (n > sizeof(bytes)) n = sizeof(bytes);
    if (::getrandom(bytes, n, GRND_NONBLOCK) != static_cast<ssize_t>(n)) {
        static std::atomic<uint64_t> counter{0};
        struct timespec ts {};
        ::clock_gettime(CLOCK_REALTIME, &ts);
        uint64_t x = static_cast<uint64_t>(ts.tv_nsec) ^ (static_cast<uint64_t>(ts.tv_sec) << 30) ^
                     (static_cast<uint64_t>(::getpid()) << 16) ^ (counter.fetch_add(1) * 0x9E3779B97F4A7C15ull);
        for (size_t i = 0; i < n; ++i) {
            x ^= x >> 33;
            x *= 0xff51afd7ed558ccdull;
            x ^= x >> 29;
            bytes[i] = static_cast<unsigned char>(x);
        }
    }
    for (size_t i = 0; i < n; ++i) out[i] = kChars[bytes[i] % (sizeof(kChars) - 1)];
}

// Creates ".<name>.<12 random characters>" beside `target` exclusively: O_EXCL refuses any
// existing entry, a symbolic link included, so the file opened is always a new one.
int CreateTemp(const std::string& target, mode_t mode, std::string* tempPath, std::string* error) {
    const std::string folder = FolderOf(target);
    std::string base = BaseOf(target);
    // Keep the temporary name within NAME_MAX; cut at a character boundary of UTF-8 names.
    if (base.size() > 100) {
        size_t cut = 100;
        while (cut > 0 && (static_cast<unsigned char>(base[cut]) & 0xC0) == 0x80) --cut;
        base.resize(cut);
    }
    const std::string prefix = (folder == "/" ? "/" : folder + "/") + "." + base + ".";
    int err = EEXIST;
    for (int attempt = 0; attempt < 100 && err == EEXIST; ++attempt) {
        char random[12];
        RandomName(random, sizeof(random));
        std::string candidate = prefix + std::string(random, sizeof(random));
        int fd = ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, mode);
        if (fd >= 0) {
            *tempPath = std::move(candidate);
            return fd;
        }
        err = errno;
        if (err == EINTR) err = EEXIST;  // try again with another name
    }
    if (error != nullptr) *error = "cannot create a temporary file in " + folder + ": " + ErrnoText(err);
    return -1;
}

bool WriteAll(int fd, const uint8_t* src, size_t size) {
    size_t done = 0;
    while (done < size) {
        size_t chunk = size - done;
        if (chunk > (1u << 30)) chunk = 1u << 30;
        ssize_t n = ::write(fd, src + done, chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) {  // no progress and no reason: do not spin
            errno = EIO;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

// Gives the new file what the old one had: owner and group where allowed (root keeps a user's
// file theirs; a member keeps the file's group), and the permission bits without set-user-id,
// set-group-id and sticky, which must not carry over to a data file. chown before chmod: chown
// may clear mode bits.
bool CopyAttributes(int fd, const struct stat& old) {
    if (old.st_uid != ::geteuid() || old.st_gid != ::getegid()) {
        if (::fchown(fd, old.st_uid, old.st_gid) != 0) (void)!::fchown(fd, static_cast<uid_t>(-1), old.st_gid);
    }
    return ::fchmod(fd, old.st_mode & 0777) == 0;
}

}  // namespace

int CheckReplaceableFile(const std::string& path, std::string* error) {
    Target target;
    return ResolveTarget(path, &target, error);
}

int WriteFileAtomically(const std::string& path, std::span<const uint8_t> data, std::string* error) {
    Target target;
    int r = ResolveTarget(path, &target, error);
    if (r != 0) return r;

    // A new file is created with 0666 so that the umask (and a default ACL of the folder) applies
    // as if the file had been created directly; a replacement starts private and takes the old
    // file's bits below.
    std::string tempPath;
    Fd fd(CreateTemp(target.path, target.exists ? 0600 : 0666, &tempPath, error));
    if (fd.get() < 0) return kAtomicFileCreateFailed;

    // Each step runs only when the previous one succeeded; `what` names the first that failed.
    std::string what;
    auto step = [&what](bool ok, const char* text) {
        if (what.empty() && !ok) {
            const int err = errno;  // before any string is built
            what = std::string(text) + ": " + ErrnoText(err);
        }
    };
    if (target.exists) step(CopyAttributes(fd.get(), target.st), "setting its permissions failed");
    if (what.empty()) step(WriteAll(fd.get(), data.data(), data.size()), "writing failed");
    if (what.empty()) step(::fsync(fd.get()) == 0, "flushing to disk failed");
    if (what.empty()) step(fd.Close(), "closing failed");
    if (what.empty()) step(::rename(tempPath.c_str(), target.path.c_str()) == 0, "replacing it failed");
    if (!what.empty()) {
        fd.Close();
        ::unlink(tempPath.c_str());
        return Fail(error, kAtomicFileWriteFailed, what);
    }
    // Make the rename itself durable; the file is complete either way, so this is best effort.
    Fd dir(::open(FolderOf(target.path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.get() >= 0) ::fsync(dir.get());
    return 0;
}

int WriteFileAtomically(const std::string& path, std::string_view data, std::string* error) {
    return WriteFileAtomically(path, std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(data.data()), data.size()),
                               error);
}

void IgnoreFileSizeSignal() {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    ::sigaction(SIGXFSZ, &ignore, nullptr);
}

int ReadRegularFile(const std::string& path, size_t maxBytes, std::string& out, std::string* error,
                    long long* size) {
    if (size != nullptr) *size = -1;
    // O_NONBLOCK: a FIFO or a device named by mistake cannot block the open; it is refused below.
    Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (fd.get() < 0) return Fail(error, kAtomicFileCreateFailed, "cannot open it: " + ErrnoText(errno));
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) return Fail(error, kAtomicFileCreateFailed, "cannot examine it: " + ErrnoText(errno));
    if (!S_ISREG(st.st_mode))
        return Fail(error, kAtomicFileRefused, std::string("it is ") + KindOf(st.st_mode) + ", not a regular file");
    if (size != nullptr) *size = static_cast<long long>(st.st_size);
    if (st.st_size < 0 || static_cast<unsigned long long>(st.st_size) > maxBytes)
        return Fail(error, kFileTooLarge,
                    "it holds " + std::to_string(st.st_size) + " bytes, at most " + std::to_string(maxBytes) + " are read");
    std::string text(static_cast<size_t>(st.st_size), '\0');
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::read(fd.get(), text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return Fail(error, kAtomicFileWriteFailed, "reading failed: " + ErrnoText(errno));
        if (n == 0) return Fail(error, kAtomicFileWriteFailed, "it became shorter while it was read");
        done += static_cast<size_t>(n);
    }
    out = std::move(text);
    return 0;
}

}  // namespace velmora::platform
