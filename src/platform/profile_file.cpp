#include "platform/profile_file.h"

#include <unistd.h>

#include <cstdlib>

#include "platform/atomic_file.h"
#include "platform/text.h"

namespace velmora::platform {
namespace {

std::string_view Trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
    return s;
}

// Every line of the file, without line ends; `readAll` (may be null) tells whether the file was
// read whole. A FIFO or a device named as the configuration file is refused, never waited on.
std::vector<std::string> ReadLines(const std::string& path, bool* readAll) {
    constexpr size_t kMaxBytes = 4u << 20;
    std::vector<std::string> lines;
    std::string text;
    const bool ok = ReadRegularFile(path, kMaxBytes, text, nullptr) == 0;
    if (readAll) *readAll = ok;
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(at, end - at);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(std::move(line));
        at = end + 1;
    }
    return lines;
}

// A section header "[name]" gives name; anything else gives nullopt-like empty with false.
bool SectionName(std::string_view line, std::string_view* name) {
    line = Trim(line);
    if (line.size() < 2 || line.front() != '[') return false;
    size_t close = line.find(']');
    if (close == std::string_view::npos) return false;
    *name = Trim(line.substr(1, close - 1));
    return true;
}

bool KeyValue(std::string_view line, std::string_view* key, std::string_view* value) {
    std::string_view t = Trim(line);
    if (t.empty() || t.front() == ';' || t.front() == '#') return false;
    size_t eq = t.find('=');
    if (eq == std::string_view::npos) return false;
    *key = Trim(t.substr(0, eq));
    *value = Trim(t.substr(eq + 1));
    return true;
}

}  // namespace

bool ProfileFile::Exists() const { return access(path_.c_str(), R_OK) == 0; }

std::vector<std::pair<std::string, std::string>> ProfileFile::GetSection(std::string_view section) const {
    std::vector<std::pair<std::string, std::string>> out;
    bool inSection = false;
    for (const std::string& line : ReadLines(path_, nullptr)) {
        std::string_view name, key, value;
        if (SectionName(line, &name)) {
            inSection = EqualsIgnoreCase(name, section);
            continue;
        }
        if (inSection && KeyValue(line, &key, &value)) out.emplace_back(std::string(key), std::string(value));
    }
    return out;
}

std::string ProfileFile::GetString(std::string_view section, std::string_view key, std::string_view def) const {
    for (auto& [k, v] : GetSection(section)) {
        if (!EqualsIgnoreCase(k, key)) continue;
        // One pair of enclosing quotes is dropped, as the Windows calls do: Password="pel no".
        if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
            return v.substr(1, v.size() - 2);
        return v;
    }
    return std::string(def);
}

int ProfileFile::GetInt(std::string_view section, std::string_view key, int def) const {
    std::string v = GetString(section, key, "\x01");
    if (v == "\x01") return def;
    return static_cast<int>(std::strtol(v.c_str(), nullptr, 10));
}

namespace {

// Sets [section] key = value in the lines of a file: replaces the key's line, or adds the key
// after the last key of the section, or adds the section at the end.
void SetEntry(std::vector<std::string>& lines, std::string_view section, std::string_view key, std::string_view value) {
    const std::string entry = std::string(key) + "=" + std::string(value);

    int sectionAt = -1, lastKeyAt = -1, keyAt = -1;
    bool inSection = false;
    for (size_t i = 0; i < lines.size(); ++i) {
        std::string_view name, k, v;
        if (SectionName(lines[i], &name)) {
            if (inSection) break;  // end of our section
            inSection = EqualsIgnoreCase(name, section);
            if (inSection) sectionAt = static_cast<int>(i), lastKeyAt = static_cast<int>(i);
            continue;
        }
        if (inSection && KeyValue(lines[i], &k, &v)) {
            lastKeyAt = static_cast<int>(i);
            if (EqualsIgnoreCase(k, key)) { keyAt = static_cast<int>(i); break; }
        }
    }
    if (keyAt >= 0) {
        lines[static_cast<size_t>(keyAt)] = entry;
    } else if (sectionAt >= 0) {
        lines.insert(lines.begin() + lastKeyAt + 1, entry);
    } else {
        lines.push_back("[" + std::string(section) + "]");
        lines.push_back(entry);
    }
}

}  // namespace

bool ProfileFile::WriteString(std::string_view section, std::string_view key, std::string_view value,
                              std::string* error) {
    return WriteStrings({ProfileEntry{std::string(section), std::string(key), std::string(value)}}, error);
}

bool ProfileFile::WriteStrings(const std::vector<ProfileEntry>& entries, std::string* error) {
    // Checked before reading: opening a FIFO for reading would block.
    if (CheckReplaceableFile(path_, error) != 0) return false;
    bool readAll = false;
    std::vector<std::string> lines = ReadLines(path_, &readAll);
    // A file that exists but cannot be read would be replaced by the new keys alone.
    if (!readAll && ::access(path_.c_str(), F_OK) == 0) {
        if (error != nullptr) *error = "it exists but cannot be read, and writing it would lose its other lines";
        return false;
    }
    for (const ProfileEntry& e : entries) SetEntry(lines, e.section, e.key, e.value);

    std::string text;
    for (const std::string& l : lines) text += l + "\r\n";
    return WriteFileAtomically(path_, text, error) == 0;
}

}  // namespace velmora::platform
