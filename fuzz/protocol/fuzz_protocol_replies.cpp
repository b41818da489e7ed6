// Feeds arbitrary bytes, as a NUL-terminated reply text, to every reply parser.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "protocol/ability_list.h"
#include "protocol/replies.h"
#include "protocol/requests.h"

using namespace velmora::protocol;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);  // adds the terminator

    VideoParam rec;
    VideoParam before = rec;
    int r = ParseVideoParamsReply(text.c_str(), rec);
    if (r != 0 && std::memcmp(rec.bytes, before.bytes, kVideoParamSize) != 0) __builtin_trap();
    if (r == 0) (void)BuildWriteVideoParamsRequest(rec);

    (void)ParseFocusNear(text.c_str());
    (void)ParseFrameRateReply(text.c_str());
    (void)ParseVoModeReply(text.c_str());
    if (SetReplyResult(text.c_str(), 0) > 0) std::abort();  // a reply can only turn success into a refusal
    (void)FrameRateFromVoModeName(text.c_str());

    UsbDeviceInfo info{};
    (void)ParseDeviceInfoReply(text.c_str(), info);
    if (info.DeviceName[sizeof info.DeviceName - 1] != '\0' || info.BuildDate[sizeof info.BuildDate - 1] != '\0' ||
        info.BiosVersion[sizeof info.BiosVersion - 1] != '\0')
        __builtin_trap();

    for (AbilityShape shape : {AbilityShape::Network, AbilityShape::Usb}) {
        AbilityList list;
        (void)ParseAbilityListReply(text.c_str(), shape, 0, list);
        for (size_t i = 0; i < list.size(); ++i) {
            const AbilityItem& item = list[i];
            if (item.key[sizeof item.key - 1] || item.title[sizeof item.title - 1] ||
                item.displayRule[sizeof item.displayRule - 1])
                __builtin_trap();
            for (const AbilityOption& o : item.options)
                if (o.label[sizeof o.label - 1]) __builtin_trap();
        }
    }
    return 0;
}
