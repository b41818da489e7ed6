#pragma once

#include <string>
#include <string_view>

// The version of Velmora, set once in the top CMakeLists.txt, and the git commit of the checkout it
// was built from. Plain constants: safe from any thread.
namespace velmora::platform {

// "1.0.0".
const char* VersionNumber();
// The abbreviated commit ("1a2b3c4d5e6f", with "-modified" when the tree had uncommitted changes);
// empty when the program was not built from a git checkout.
const char* VersionCommit();

// "1.0.0 (git 1a2b3c4d5e6f)", or "1.0.0" without a commit.
std::string VersionText();

// The --version output of every program: "<program> <VersionText()>\n".
std::string VersionLine(std::string_view program);

// The same for scripts, one JSON object and a line feed:
// {"program": "velmora-cli", "version": "1.0.0", "commit": "1a2b3c4d5e6f"} (commit "" without one).
std::string VersionJson(std::string_view program);

}  // namespace velmora::platform
