#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "sim/usb_server.h"

// The simulator's control channel: a stream socket <usb-dir>/.camsim.ctl on which another program
// (a test, a script, `velmora-camsim ctl DIR COMMAND`) changes the running simulator, one command
// per line, one reply line each ("ok ..." or "error ..."):
//
//   list                        every camera: name:plugged|unplugged:serial, space-separated
//   add [NAME] [KEY=VALUE...]   a new camera, plugged in at once; keys serial, model, name,
//                               bios, build_date, or a parameter member for its start value
//   unplug NAME / plug NAME     the camera goes away (state kept) / comes back
//   remove NAME                 the camera goes away for good
//   set NAME MEMBER VALUE       a parameter changes on the camera itself, as when another
//                               program or the camera's own menu changed it (no fault applies,
//                               no exchange is counted)
//   get NAME MEMBER             a parameter's value
//   count NAME                  exchanges, parameter reads and sets the camera has received
//   help                        the command list
namespace velmora::sim {

// Makes the configuration of a camera added at run time: `number` counts every camera of the run
// from 1 (its default identity), `name` is its name.
using NewCameraConfig = std::function<UsbCameraConfig(int number, const std::string& name)>;

inline constexpr const char kControlSocketName[] = ".camsim.ctl";
// A command line longer than this is refused (and its connection closed).
inline constexpr size_t kMaxControlLine = 1024;

// Carries out one command line on `usb` and returns the reply line (without its newline).
std::string RunControlLine(UsbServer& usb, std::string_view line, const NewCameraConfig& newCamera);

// Serves the control socket on its own thread. Thread-safe: Start/Stop from one thread; Stop
// wakes and joins the thread and removes the socket. Must be stopped before the UsbServer goes.
class ControlServer {
public:
    ControlServer(UsbServer& usb, NewCameraConfig newCamera);
    ~ControlServer();
    ControlServer(const ControlServer&) = delete;
    ControlServer& operator=(const ControlServer&) = delete;

    // Listens on `path`, replacing a stale socket there. 0, or -1 with `error`.
    int Start(const std::string& path, std::string* error);
    void Stop();

private:
    void Run();

    UsbServer& usb_;
    NewCameraConfig newCamera_;
    std::string path_;
    int listenFd_ = -1;
    int wakeFd_ = -1;
    std::thread thread_;
};

// Sends one command line to the simulator serving `dir` and gives its reply line. 0 when the
// reply is "ok ...", 1 when it is "error ...", -1 with `reply` saying why when the simulator
// could not be reached.
int SendControlLine(const std::string& dir, const std::string& line, std::string* reply);

}  // namespace velmora::sim
