#include "camera/camera.h"

#include "platform/user_messages.h"
#include "protocol/requests.h"

namespace velmora::camera {

int ShowFailure(int result) {
    if (result < 0) platform::Messages().Information(platform::Format("返回错误码: %d", result));
    return result;
}

int WholeRecordText(const protocol::VideoParam& rec, std::string& text) {
    text = protocol::BuildWriteVideoParamsRequest(rec);
    // An empty text must not reach the camera and pass for an import.
    return text.empty() ? ShowFailure(protocol::kRequestNotBuilt) : 0;
}

}  // namespace velmora::camera
