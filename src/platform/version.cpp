#include "platform/version.h"

namespace velmora {

std::string VersionText() {
    std::string text = VersionNumber();
    if (const std::string commit = VersionCommit(); !commit.empty()) text += " (git " + commit + ")";
    return text;
}

std::string VersionLine(std::string_view program) { return std::string(program) + " " + VersionText() + "\n"; }

}  // namespace velmora
