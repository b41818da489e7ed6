#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "protocol/ability_list.h"
#include "protocol/video_param.h"

// One camera as every front end sees it (the windows, velmora-cli, the tests): the JSON camera
// operations over one transport. UsbCamera (usb_camera.h) runs them through CUSBDevice,
// NetCamera (net_camera.h) through a logged-in network session. Request texts, codes and
// messages come from here, so the front ends cannot disagree.
//
// Results: 0 or more for success, a negative code for failure. Failures that the program shows
// to the user go through UserMessages (platform/user_messages.h) in the order the operations
// have always shown them; each operation says which.
//
// Synchronous: the calling thread waits for the reply or the transport's time-out. A Camera
// borrows its transport (the device list or the session) and must not outlive it. The
// CameraDirectory (camera_directory.h) hands out one shared object per camera, so several front
// ends and threads may call one object: exchanges on one camera are serialised by its transport,
// and LastExchangeResult is the last exchange of any caller.
namespace velmora::camera {

// Identity texts as (name, value) pairs in display order, UTF-8.
using CameraIdentity = std::vector<std::pair<std::string, std::string>>;

class Camera {
public:
    virtual ~Camera() = default;

    virtual bool IsNetwork() const = 0;

    // Reads the whole parameter record; `rec` is written only on success.
    virtual int ReadVideoParams(protocol::VideoParam& rec) = 0;
    // Gives one member of the record (or the laser range, FindSendableField) the value `value`
    // with one set-one-field request. The caller keeps the value within the field
    // (FieldValueFits) where it wants the camera to store it unchanged. A refusal (the
    // transport's code, or a negative nResult in the reply) is shown as "返回错误码: %d".
    virtual int SetField(const protocol::VideoParamField& field, int32_t value) = 0;
    // Sets the whole record (45 members); result and message as SetVideoParamField.
    virtual int WriteVideoParams(const protocol::VideoParam& rec) = 0;
    // Restores the factory defaults; result and message as SetVideoParamField. Read the
    // parameters again afterwards.
    virtual int RestoreDefaults() = 0;
    // The near focus limit, or -10 for an unusable reply; a failed exchange is shown and returned.
    virtual int GetFocusNear() = 0;
    // Frames per second of the main stream (USB: stream parameters; network: video output mode);
    // 0 when the camera names no usable rate.
    virtual int GetFrameRate() = 0;
    // Rebuilds `list` from the camera's ability list; the old list stays on every failure.
    virtual int ReadAbilityList(protocol::AbilityList& list) = 0;
    // Ability labels are CP936 on the network and UTF-8 over USB.
    virtual bool LabelsAreCp936() const = 0;
    // The camera's identity texts.
    virtual int ReadIdentity(CameraIdentity& out) = 0;
    // Sends pan/tilt or preset request texts (BuildPtzRequest, BuildPresetRequest) in order, as
    // one gesture (a button release sends "Stop" then "ZoomStop"); replies are not examined.
    // 0 when the camera has no valid handle (nothing is sent); otherwise the first negative
    // result (the rest are still sent), or the last result.
    virtual int SendPtzTexts(const std::vector<std::string>& texts) = 0;
    int SendPtzText(const std::string& text) { return SendPtzTexts({text}); }

    // The transport's result of the last exchange (Transfer or the session's text request), 0
    // before any. Some operations answer a failed exchange with a fixed -1 or 0, as the windows
    // expect; a tool that wants the real cause reads it here.
    int LastExchangeResult() const { return lastExchange_; }

protected:
    std::atomic<int> lastExchange_{0};
};

// Shows a negative result as "返回错误码: %d" (the program's message for a failed exchange or a
// refusal) and returns it unchanged.
int ShowFailure(int result);

// The whole-record set text of `rec` into `text`: 0, or kRequestNotBuilt (shown) when it cannot be
// built, so that an empty text never reaches a camera and passes for an import.
int WholeRecordText(const protocol::VideoParam& rec, std::string& text);

// Runs `send` on each text in order: the first negative result, or the last result.
template <typename Send>
int SendEach(const std::vector<std::string>& texts, Send&& send) {
    int result = 0;
    int failure = 0;
    for (const std::string& text : texts) {
        result = send(text);
        if (result < 0 && failure == 0) failure = result;
    }
    return failure != 0 ? failure : result;
}

}  // namespace velmora::camera
