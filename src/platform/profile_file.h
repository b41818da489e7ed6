#pragma once

#include <string>
#include <string_view>
#include <vector>

// A Windows-style profile (INI) file with the semantics the program relies on: section and key
// names compare case-insensitively, a missing key gives the caller's default, numbers are read
// from their leading digits, and a write replaces one value while keeping every other line of
// the file as it was. Values are stored as raw bytes (CP936 text in practice).
// Thread-bound: one object per thread; every call re-reads the file, as the Windows calls did,
// so two objects on the same path see each other's writes.
namespace velmora::platform {

// One value for ProfileFile::WriteStrings.
struct ProfileEntry {
    std::string section;
    std::string key;
    std::string value;
};

class ProfileFile {
public:
    explicit ProfileFile(std::string path) : path_(std::move(path)) {}

    const std::string& Path() const { return path_; }
    bool Exists() const;

    // The value of [section] key, or `def` when the file, section or key is missing.
    // Surrounding blanks of the value are removed, as the Windows calls do.
    std::string GetString(std::string_view section, std::string_view key, std::string_view def) const;
    // Leading optional sign and decimal digits of the value; no digits gives 0; missing gives def.
    int GetInt(std::string_view section, std::string_view key, int def) const;
    // Every key of a section in file order (empty when the section is missing).
    std::vector<std::pair<std::string, std::string>> GetSection(std::string_view section) const;

    // Sets [section] key = value, creating the file, section or key when missing; returns false
    // when the file cannot be written, with the reason in `error` (may be null). The file is
    // replaced atomically (WriteFileAtomically): a failure leaves it as it was, and a path that
    // is not a regular file (a FIFO, a device, a folder) is refused before it is read.
    bool WriteString(std::string_view section, std::string_view key, std::string_view value,
                     std::string* error = nullptr);
    // Sets several values in one replacement of the file, in the order given and with the rules of
    // WriteString: either every value is written or, on failure, the file is left as it was.
    bool WriteStrings(const std::vector<ProfileEntry>& entries, std::string* error = nullptr);

private:
    std::string path_;
};

}  // namespace velmora::platform
