// Feeds arbitrary bytes, as a NUL-terminated camera reply, to the upgrade reply parser.
#include <cstddef>
#include <cstdint>
#include <string>

#include "upgrade/upgrade_exchange.h"

using namespace velmora::upgrade;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const velmora::upgrade::UpgradeReply reply = velmora::upgrade::ParseUpgradeReply(text.c_str());
    // Values come only from a JSON object.
    if (!reply.json && (reply.hasStatus || reply.hasProgress)) __builtin_trap();
    if (!reply.hasStatus && reply.status != 0) __builtin_trap();
    if (!reply.hasProgress && reply.progress != 0) __builtin_trap();
    return 0;
}
