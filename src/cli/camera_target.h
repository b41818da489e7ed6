#pragma once

#include <string>
#include <utility>
#include <vector>

#include "protocol/ability_list.h"
#include "protocol/video_param.h"

// One camera as the command-line tool sees it: the program's operations on one transport.
// The USB target runs them through CUSBDevice, the network target through a network session.
// Results follow the program's convention: 0 or more success, negative codes for failure.
// Thread-bound.
namespace velmora::cli {

class CameraTarget {
public:
    virtual ~CameraTarget() = default;

    // Connects (finds and opens, or logs in); on failure fills `what`.
    virtual int Open(std::string& what) = 0;
    // Identity as (name, value) pairs, UTF-8.
    virtual int Info(std::vector<std::pair<std::string, std::string>>& out) = 0;
    virtual int ReadVideoParams(VideoParam& rec) = 0;
    virtual int SetVideoParamField(const std::string& fieldText) = 0;
    virtual int WriteVideoParams(const VideoParam& rec) = 0;
    virtual int RestoreDefaults() = 0;
    virtual int ReadAbilityList(AbilityList& list) = 0;
    virtual int GetFocusNear() = 0;
    virtual int GetFrameRate() = 0;
    // Ability labels are CP936 on the network and UTF-8 over USB; this says which.
    virtual bool LabelsAreCp936() const = 0;
};

}  // namespace velmora::cli
