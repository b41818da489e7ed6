#include "app/tools_config.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/codepage.h"
#include "platform/text.h"
#include "platform/unique_fd.h"

namespace velmora::app {
namespace {

// Text values are read into 32-byte fields, so at most 31 bytes of them count.
constexpr size_t kMaxTextBytes = kConfigTextSize - 1;

// Whether the file can be opened for reading as a regular file. A FIFO or a device named as the
// configuration file counts as missing (opened without blocking, never read).
bool CanOpen(const std::string& path) {
    platform::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (fd.get() < 0) return false;
    struct stat st {};
    return ::fstat(fd.get(), &st) == 0 && S_ISREG(st.st_mode);
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

uint16_t ParseVendorId(const std::string& text) {
    size_t at = 0;
    if (text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) at = 2;
    uint32_t value = 0;  // wraps on long inputs; only the low 16 bits are kept anyway
    for (; at < text.size() && HexDigit(text[at]) >= 0; ++at)
        value = value * 16 + static_cast<uint32_t>(HexDigit(text[at]));
    return static_cast<uint16_t>(value & 0xFFFF);
}

int ToolsConfigFile::Load(ToolsConfig& config) const {
    std::memset(&config, 0, sizeof config);
    if (!CanOpen(file_.Path())) return 0;

    config.width = file_.GetInt("WIN_SIZE", "Width", -1);
    config.height = file_.GetInt("WIN_SIZE", "Height", -1);
    config.searchMode = file_.GetInt("SEARCH_MODE", "Mode", 0);
    config.layout = file_.GetInt("WINS_MODE", "Mode", 1);
    platform::CopyCp936Field(config.userName, sizeof config.userName,
                   file_.GetString("LOGIN_INFO", "Username", kDefaultUserName));
    platform::CopyCp936Field(config.password, sizeof config.password,
                   file_.GetString("LOGIN_INFO", "Password", kDefaultPassword));

    // SRC1, SRC2, ... until the first missing or empty key; a later key after a gap is not read.
    const auto vid = file_.GetSection("VID");
    int count = 0;
    while (count < kMaxConfigVendorIds) {
        const std::string key = "SRC" + std::to_string(count + 1);
        std::string value;
        for (const auto& [k, v] : vid) {
            if (platform::EqualsIgnoreCase(k, key)) {
                value = v.substr(0, kMaxTextBytes);
                break;
            }
        }
        if (value.empty()) break;
        config.vendorIds[count++] = ParseVendorId(value);
    }
    config.vendorIdCount = count;
    return 1;
}

bool ToolsConfigFile::Save(const ToolsConfig& config, std::string* error) const {
    // One replacement of the file: a failure never leaves some of the four values written.
    platform::ProfileFile file(file_.Path());
    SecureIfHoldsPassword();  // the replacement keeps the permissions of the file it replaces
    return file.WriteStrings({{"WIN_SIZE", "Width", std::to_string(config.width)},
                              {"WIN_SIZE", "Height", std::to_string(config.height)},
                              {"SEARCH_MODE", "Mode", std::to_string(config.searchMode)},
                              {"WINS_MODE", "Mode", std::to_string(config.layout)}},
                             error);
}

bool ToolsConfigFile::SaveLogin(const std::string& user, const std::string& password, std::string* error) const {
    // A missing file is created readable by its owner only, before the password is in it; an
    // existing one is narrowed first, and the replacement keeps its permissions.
    platform::UniqueFd created(
        ::open(file_.Path().c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600));
    const int createErrno = errno;
    if (created.get() < 0 && !file_.Exists()) {
        if (error) *error = std::string("cannot create it: ") + std::strerror(createErrno);
        return false;
    }
    if (created.get() < 0 && ::chmod(file_.Path().c_str(), 0600) != 0) {
        if (error) *error = std::string("cannot make it private (mode 0600): ") + std::strerror(errno);
        return false;
    }
    const auto stored = [](const std::string& text) {
        std::string cp936;
        return platform::Utf8ToCp936(text, cp936) ? cp936 : text;
    };
    platform::ProfileFile file(file_.Path());
    if (!file.WriteStrings({{"LOGIN_INFO", "Username", stored(user)}, {"LOGIN_INFO", "Password", stored(password)}},
                           error))
        return false;
    return SecureIfHoldsPassword() == 0;
}

bool ToolsConfigFile::HoldsPassword() const {
    // A value no file holds by chance tells a missing key from an empty one.
    static constexpr const char kMissing[] = "\x01missing\x01";
    return CanOpen(file_.Path()) && file_.GetString("LOGIN_INFO", "Password", kMissing) != kMissing;
}

int ToolsConfigFile::SecureIfHoldsPassword() const {
    if (!HoldsPassword()) return 0;
    struct stat st {};
    if (::stat(file_.Path().c_str(), &st) != 0) return -errno;
    if ((st.st_mode & 0777) == 0600) return 0;
    return ::chmod(file_.Path().c_str(), 0600) == 0 ? 0 : -errno;
}

std::string ToolsConfigFile::PermissionWarning() const {
    struct stat st {};
    if (!HoldsPassword() || ::stat(file_.Path().c_str(), &st) != 0 || (st.st_mode & 077) == 0) return {};
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    return file_.Path() + " holds a password and has mode " + mode +
           ": others than its owner may read it (chmod 600 to keep it private)";
}

std::vector<std::string> ToolsConfigFile::Devices() const {
    std::vector<std::string> devices;
    if (!CanOpen(file_.Path())) return devices;
    for (int i = 1;; ++i) {
        const std::string value = file_.GetString("DEVICES", "Device" + std::to_string(i), "");
        if (value.empty()) break;
        devices.push_back(value);
    }
    return devices;
}

bool ToolsConfigFile::AddDevice(const std::string& entry, std::string* error) const {
    const std::vector<std::string> devices = Devices();
    for (const std::string& known : devices)
        if (known == entry) return true;
    SecureIfHoldsPassword();
    platform::ProfileFile file(file_.Path());
    return file.WriteString("DEVICES", "Device" + std::to_string(devices.size() + 1), entry, error);
}

int ReadLogLevel(const platform::ProfileFile& file) {
    const std::string value = file.GetString("LOG", "Level", "5");
    if (value.empty() || value[0] < '0' || value[0] > '9') return 0;
    return value[0] - '0';
}

std::string ReadSearchTargets(const platform::ProfileFile& file) { return file.GetString("SEARCH", "Targets", ""); }

}  // namespace velmora::app
