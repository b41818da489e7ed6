// The camera operations of both transports refuse to send a request they could not build.
#include <cjson/cJSON.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "integration/recording_messages.h"
#include "protocol/requests.h"
#include "camera/net_camera.h"
#include "transport/usb/sim_hid_backend.h"
#include "camera/usb_camera.h"

using namespace velmora::protocol;
using namespace velmora::transport;
using namespace velmora::camera;

using namespace velmora;
using namespace velmora::platform;

namespace {

void* NoMemory(size_t) { return nullptr; }

// While it lives, every cJSON allocation fails.
struct OutOfMemory {
    OutOfMemory() {
        cJSON_Hooks hooks{&NoMemory, &std::free};
        cJSON_InitHooks(&hooks);
    }
    ~OutOfMemory() { cJSON_InitHooks(nullptr); }
};

}  // namespace

TEST(CameraOps, AWholeRecordThatCannotBeBuiltIsNotSentOnEitherTransport) {
    velmora::testing::RecordingMessages messages;
    SetUserMessages(&messages);
    CUSBDevice usb(std::make_unique<SimHidBackend>(std::filesystem::temp_directory_path().string()));
    VideoParam rec;
    int usbResult, netResult;
    {
        OutOfMemory oom;
        usbResult = UsbCamera(usb, 12345).WriteVideoParams(rec);  // would be -304 if it were sent
        netResult = NetCamera(12345, "", 0).WriteVideoParams(rec);
    }
    SetUserMessages(nullptr);
    EXPECT_EQ(usbResult, kRequestNotBuilt);
    EXPECT_EQ(netResult, kRequestNotBuilt);
    EXPECT_EQ(messages.shown, std::vector<std::string>(2, "返回错误码: -312"));
}
