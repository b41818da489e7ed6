#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/profile_file.h"

// The program's configuration file toolscfg.ini: window size, discovery mode, video layout, the
// login used for network cameras, extra USB vendor ids and the log level. It is read once at start
// and the window size, mode and layout are written back when the main window closes.
namespace velmora::app {

inline constexpr int kMaxConfigVendorIds = 10;
inline constexpr int kConfigTextSize = 32;  // user name and password fields, terminator included

// What the configuration file holds; zero-filled before each load.
struct ToolsConfig {
    int32_t width;                            // outer window width; 0 or less: not stored
    int32_t height;                           // outer window height; same rule
    uint16_t vendorIds[kMaxConfigVendorIds];  // extra USB vendor ids
    int32_t vendorIdCount;                    // valid entries of vendorIds, 0 to 10
    int32_t searchMode;                       // 0 network mode, anything else USB mode
    int32_t layout;                           // 1 one video pane, 2 four panes
    char userName[kConfigTextSize];           // CP936, NUL-terminated
    char password[kConfigTextSize];           // CP936, NUL-terminated
};

// The values the main window starts with when the file cannot be read.
inline constexpr int32_t kDefaultSearchMode = 1;
inline constexpr int32_t kDefaultLayout = 2;
inline constexpr const char* kDefaultUserName = "admin";
inline constexpr const char* kDefaultPassword = "pelno";

// Loads and saves the configuration file at one path. Thread-bound, like ProfileFile.
class ToolsConfigFile {
public:
    explicit ToolsConfigFile(std::string path) : file_(std::move(path)) {}

    const std::string& Path() const { return file_.Path(); }

    // Zero-fills `config`; when the file can be opened as a regular file, reads every value with
    // the file's defaults (missing width/height -1, mode 0, layout 1, "admin", "pelno") and the
    // vendor ids [VID] SRC1, SRC2, ... up to the first missing or empty key, at most ten, and
    // returns 1. Returns 0, leaving the record zero-filled, when the file cannot be opened.
    int Load(ToolsConfig& config) const;

    // Writes WIN_SIZE/Width, WIN_SIZE/Height, SEARCH_MODE/Mode and WINS_MODE/Mode as decimal
    // numbers in one atomic replacement of the file, creating it when missing and keeping every
    // other line. On failure (reason in `error`, may be null) the file is left as it was.
    bool Save(const ToolsConfig& config, std::string* error = nullptr) const;

    // Writes LOGIN_INFO/Username and LOGIN_INFO/Password ("记住密码"; UTF-8 text is stored in
    // CP936 where it converts). A file that holds a password is readable by its owner only:
    // it is made mode 0600 before it is written (a missing one is created so), and after.
    bool SaveLogin(const std::string& user, const std::string& password, std::string* error = nullptr) const;
    // Whether the file holds LOGIN_INFO/Password.
    bool HoldsPassword() const;
    // Makes a file that holds a password mode 0600 (a symbolic link's target). 0, or -errno.
    int SecureIfHoldsPassword() const;
    // A warning for the log when the file holds a password and others than its owner may read or
    // write it (wider than 0600); empty otherwise.
    std::string PermissionWarning() const;

    // Cameras added by hand ("添加设备..."): [DEVICES] Device1, Device2, ... as "a.b.c.d:port", in
    // order up to the first missing key. AddDevice appends one (an entry already listed is not
    // added twice).
    std::vector<std::string> Devices() const;
    bool AddDevice(const std::string& entry, std::string* error = nullptr) const;

private:
    platform::ProfileFile file_;
};

// [LOG] Level, default "5": only its first character counts; a digit gives its value, anything
// else (or an empty value) 0. "12" gives 1.
int ReadLogLevel(const platform::ProfileFile& file);

// [SEARCH] Targets: where the LAN search sends its probes (empty: the search's own default).
std::string ReadSearchTargets(const platform::ProfileFile& file);

// The value of one [VID] entry: an optional "0x" or "0X", then hexadecimal digits up to the first
// other character; no digits give 0. The low 16 bits of the number.
uint16_t ParseVendorId(const std::string& text);

}  // namespace velmora::app
