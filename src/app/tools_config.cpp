#include "app/tools_config.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "platform/codepage.h"
#include "platform/text.h"
#include "platform/unique_fd.h"

namespace velmora {
namespace {

// Text values are read into 32-byte fields, so at most 31 bytes of them count.
constexpr size_t kMaxTextBytes = kConfigTextSize - 1;

// Whether the file can be opened for reading as a regular file. A FIFO or a device named as the
// configuration file counts as missing (opened without blocking, never read).
bool CanOpen(const std::string& path) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
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
    CopyCp936Field(config.userName, sizeof config.userName,
                   file_.GetString("LOGIN_INFO", "Username", kDefaultUserName));
    CopyCp936Field(config.password, sizeof config.password,
                   file_.GetString("LOGIN_INFO", "Password", kDefaultPassword));

    // SRC1, SRC2, ... until the first missing or empty key; a later key after a gap is not read.
    const auto vid = file_.GetSection("VID");
    int count = 0;
    while (count < kMaxConfigVendorIds) {
        const std::string key = "SRC" + std::to_string(count + 1);
        std::string value;
        for (const auto& [k, v] : vid) {
            if (EqualsIgnoreCase(k, key)) {
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
    ProfileFile file(file_.Path());
    return file.WriteStrings({{"WIN_SIZE", "Width", std::to_string(config.width)},
                              {"WIN_SIZE", "Height", std::to_string(config.height)},
                              {"SEARCH_MODE", "Mode", std::to_string(config.searchMode)},
                              {"WINS_MODE", "Mode", std::to_string(config.layout)}},
                             error);
}

int ReadLogLevel(const ProfileFile& file) {
    const std::string value = file.GetString("LOG", "Level", "5");
    if (value.empty() || value[0] < '0' || value[0] > '9') return 0;
    return value[0] - '0';
}

std::string ReadSearchTargets(const ProfileFile& file) { return file.GetString("SEARCH", "Targets", ""); }

}  // namespace velmora
