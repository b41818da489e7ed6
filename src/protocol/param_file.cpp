#include "protocol/param_file.h"

#include <cstring>
#include <span>

#include "platform/atomic_file.h"

namespace velmora::protocol {

int LoadParamFile(const std::string& path, VideoParam& out, long long* foundSize, std::string* error) {
    std::string data;
    long long size = -1;
    int r = platform::ReadRegularFile(path, kVideoParamSize, data, error, &size);
    if (foundSize != nullptr) *foundSize = size;
    if (r == platform::kFileTooLarge || (r == 0 && data.size() != kVideoParamSize)) return kParamFileSizeMismatch;
    if (r == platform::kAtomicFileWriteFailed) return kParamFileReadFailed;
    if (r != 0) return kParamFileOpenFailed;
    std::memcpy(out.bytes, data.data(), kVideoParamSize);
    return 0;
}

int SaveParamFile(const std::string& path, const VideoParam& rec, std::string* error) {
    int r = platform::WriteFileAtomically(path, std::span<const uint8_t>(rec.bytes, kVideoParamSize), error);
    switch (r) {
        case 0:
            return 0;
        case platform::kAtomicFileBadPath:
        case platform::kAtomicFileCreateFailed:
            return kParamFileOpenFailed;
        default:
            return kParamFileWriteFailed;
    }
}

}  // namespace velmora::protocol
