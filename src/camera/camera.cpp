#include "camera/camera.h"

#include "platform/user_messages.h"
#include "protocol/requests.h"

namespace velmora {

int ShowFailure(int result) {
    if (result < 0) Messages().Information(Format("返回错误码: %d", result));
    return result;
}

int WholeRecordText(const VideoParam& rec, std::string& text) {
    text = BuildWriteVideoParamsRequest(rec);
    // An empty text must not reach the camera and pass for an import.
    return text.empty() ? ShowFailure(kRequestNotBuilt) : 0;
}

}  // namespace velmora
