#pragma once

#include <cstdint>

#include "protocol/ability_list.h"
#include "protocol/video_param.h"

// What a parameter page asks of the window that hosts it. Two windows host pages: the
// image-parameter dialog (network camera) and the main window (USB camera); tests use
// RecordingHost. The page never talks to a camera itself.
// Thread-bound: every call comes from the user-interface thread.
namespace velmora::ui {

class PageHost {
public:
    virtual ~PageHost() = default;

    // Gives one member the value `value` with the set-one-field request (Camera::SetField).
    // Negative on failure (the host has already shown its own message); the main window
    // returns 0 without sending while no USB camera is current.
    virtual int SetVideoParamField(const protocol::VideoParamField& field, int32_t value) = 0;

    // The camera's near focus limit (0 or more) or a negative failure code.
    virtual int GetFocusNear() = 0;

    // The host's ability list, read when the camera was opened.
    virtual const protocol::AbilityList& Abilities() const = 0;

    // Asks the host to read the whole record again and refill its pages. The host must run the
    // refresh later (a queued call), after the page's handler has returned.
    virtual void RequestRefresh() = 0;
};

}  // namespace velmora::ui
