// What the upgrade harnesses share: the process's peak resident memory, a package file of
// known bytes, and velmora-camsim serving N cameras in a child process (so the harness's own
// peak memory is the client's alone), and the cameras it serves found with no settle wait.
#pragma once

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "transport/usb/cusb_device.h"
#include "transport/usb/sim_hid_backend.h"

namespace velmora::bench {

inline long PeakKiB() {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("VmHWM:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
    return -1;
}

// `mib` MiB of varied bytes written to `path`; the bytes are returned too.
inline std::vector<uint8_t> WritePackage(const std::string& path, int mib) {
    std::vector<uint8_t> bytes(static_cast<size_t>(mib) * 1048576);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 2654435761u >> 24);
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                static_cast<std::streamsize>(bytes.size()));
    return bytes;
}

// The same bytes written in pieces, so the harness never holds the whole package itself (its
// peak memory then shows what the code under test holds).
inline void StreamPackage(const std::string& path, int mib) {
    std::ofstream out(path, std::ios::binary);
    std::vector<char> piece(1048576);
    for (size_t base = 0; base < static_cast<size_t>(mib) * piece.size(); base += piece.size()) {
        for (size_t i = 0; i < piece.size(); ++i) piece[i] = static_cast<char>((base + i) * 2654435761u >> 24);
        out.write(piece.data(), static_cast<std::streamsize>(piece.size()));
    }
}

// Starts `camsim` with `args` and waits for its "ready"; the child's id, or -1 after saying so on
// stderr.
inline pid_t StartCamsim(const std::string& camsim, std::vector<std::string> args) {
    int ready[2];
    if (pipe(ready) != 0) return -1;
    const pid_t sim = fork();
    if (sim == 0) {
        dup2(ready[1], STDOUT_FILENO);
        args.insert(args.begin(), camsim);
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        execv(camsim.c_str(), argv.data());
        _exit(127);
    }
    close(ready[1]);
    char line[16] = {};
    const bool ok = read(ready[0], line, 6) == 6 && std::strncmp(line, "ready", 5) == 0;
    close(ready[0]);
    if (!ok) {
        kill(sim, SIGTERM);
        waitpid(sim, nullptr, 0);
        std::fprintf(stderr, "simulator did not start (%s)\n", camsim.c_str());
        return -1;
    }
    return sim;
}

// Every camera the simulator serves to `usb`, found with no settle wait after opening and no
// vendor filter; `usb` must outlive the entries' handles.
inline std::vector<transport::UsbDeviceEntry> FindSimulatedCameras(transport::CUSBDevice& usb) {
    transport::CUSBDevice::Timing t = usb.GetTiming();
    t.settleAfterOpen = std::chrono::milliseconds(0);
    usb.SetTiming(t);
    usb.SetVendorFilter(0, nullptr);
    usb.RefreshDevices();
    return usb.GetDevices();
}

inline void StopCamsim(pid_t sim) {
    if (sim <= 0) return;
    kill(sim, SIGTERM);
    waitpid(sim, nullptr, 0);
}

}  // namespace velmora::bench
