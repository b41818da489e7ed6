#pragma once

#include <algorithm>
#include <string>
#include <vector>

#include "platform/codepage.h"
#include "ui/main/velmora_dlg.h"

namespace velmora::ui {

// A LAN search that reports a fixed list of cameras and sends nothing: tests and benchmarks put
// it in place of the real search. The network library calls stay the real ones.
class ListedLanCameras : public MainSystem {
public:
    explicit ListedLanCameras(std::vector<std::string> list = {}) : addresses(std::move(list)) {}
    int SearchInit() override { return 0; }
    int SearchDeInit() override { return 0; }
    int SetSearchTargets(const char*) override { return 0; }
    int SearchCount() override { return static_cast<int>(addresses.size()); }
    // Fills at most *count records with the addresses and sets *count to the number filled.
    int SearchDevices(transport::BSC_DeviceInfo* records, int* count) override {
        const int n = std::clamp(*count, 0, static_cast<int>(addresses.size()));
        for (int i = 0; i < n; ++i) platform::CopyUtf8Field(records[i].ip, sizeof records[i].ip, addresses[i]);
        *count = n;
        return 0;
    }
    int SearchTargetCount() override { return targets; }
    std::vector<std::string> addresses;
    int targets = 1;  // the addresses the search says it probed
};

}  // namespace velmora::ui
