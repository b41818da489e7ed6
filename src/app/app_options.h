#pragma once

#include <string>
#include <vector>

#include "platform/text_language.h"

// The program's command line:
//   velmora [--home DIR] [--open-usb N[,N...]] [--open-ip ADDR[,ADDR...]] [--screenshot DIR] [--lang en|zh]
//           [--help] [--version]
// Each option may be given once, as "--opt VALUE" or "--opt=VALUE".
namespace velmora::app {

inline constexpr int kMaxOpenUsb = 999;  // highest position accepted by --open-usb
inline constexpr int kMaxOpenIp = 4;     // one address per video pane

struct AppOptions {
    bool ok = true;                   // false when the command line was refused (see the error)
    bool help = false;                // --help or -h: print AppUsage and end
    bool version = false;             // --version: print the version line and end
    std::string home;                 // --home DIR; empty when not given
    std::vector<int> openUsb;         // --open-usb: 1-based positions in the USB device list
    std::vector<std::string> openIp;  // --open-ip: dotted IPv4 addresses, opened in network mode
    std::string screenshotDir;        // --screenshot DIR: save pictures of both modes, then end
    std::string lang;                 // --lang: "en" or "zh"; empty: the locale decides (ChooseUiLanguage)
};

// Parses argv[1..argc-1]. On an unknown option, a missing or bad value or an option given twice,
// returns ok = false and puts one line saying what is wrong into `error` (may be null); the
// program prints it with the usage and ends with exit code 2.
AppOptions ParseAppOptions(int argc, char** argv, std::string* error);

// The --help text; `placesText` names the folders in use (PlacesText).
std::string AppUsage(const std::string& placesText);

}  // namespace velmora::app
