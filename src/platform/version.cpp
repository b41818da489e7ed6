#include "platform/version.h"

namespace velmora::platform {

std::string VersionText() {
    std::string text = VersionNumber();
    if (const std::string commit = VersionCommit(); !commit.empty()) text += " (git " + commit + ")";
    return text;
}

std::string VersionLine(std::string_view program) { return std::string(program) + " " + VersionText() + "\n"; }

// The texts are a program name, digits and dots, and hexadecimal digits with "-modified": nothing
// that needs escaping in JSON.
std::string VersionJson(std::string_view program) {
    return "{\"program\": \"" + std::string(program) + "\", \"version\": \"" + VersionNumber() + "\", \"commit\": \"" +
           VersionCommit() + "\"}\n";
}

}  // namespace velmora::platform
