#pragma once

#include <string>

#include "cli/camera_target.h"

namespace velmora::cli {

// A network camera reached through a login session. Logs out when destroyed. Thread-bound.
class NetTarget final : public CameraTarget {
public:
    NetTarget(std::string address, std::string user, std::string password);
    ~NetTarget() override;
    NetTarget(const NetTarget&) = delete;
    NetTarget& operator=(const NetTarget&) = delete;

    int Open(std::string& what) override;
    int Info(std::vector<std::pair<std::string, std::string>>& out) override;
    int ReadVideoParams(VideoParam& rec) override;
    int SetVideoParamField(const std::string& fieldText) override;
    int WriteVideoParams(const VideoParam& rec) override;
    int RestoreDefaults() override;
    int ReadAbilityList(AbilityList& list) override;
    int GetFocusNear() override;
    int GetFrameRate() override;
    bool LabelsAreCp936() const override { return true; }

    // Logs in (if not yet), decodes the first complete picture of the main stream and saves it
    // as PNG. Waits at most `timeoutMs` for the picture.
    int Snapshot(const std::string& pngPath, int timeoutMs, std::string& what);

private:
    std::string address_, user_, password_;
    int session_ = -1;
    std::vector<std::pair<std::string, std::string>> identity_;
};

// Runs the LAN search for about `waitMs` and returns the addresses found, in the order found.
std::vector<std::string> SearchCameras(int waitMs);

}  // namespace velmora::cli
