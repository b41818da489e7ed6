#include "app/app_options.h"

#include <arpa/inet.h>

#include <algorithm>
#include <string_view>

namespace velmora::app {
namespace {

// The items of a comma-separated list; an empty item is kept, so that "1,,2" is refused.
std::vector<std::string> SplitCommas(const std::string& text) {
    std::vector<std::string> items;
    size_t at = 0;
    for (size_t comma; (comma = text.find(',', at)) != std::string::npos; at = comma + 1)
        items.push_back(text.substr(at, comma - at));
    items.push_back(text.substr(at));
    return items;
}

bool ParsePosition(const std::string& item, int* out) {
    if (item.empty() || item.size() > 3 ||
        !std::all_of(item.begin(), item.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return false;
    *out = std::stoi(item);
    return *out >= 1 && *out <= kMaxOpenUsb;
}

bool IsIPv4(const std::string& item) {
    in_addr parsed{};
    return !item.empty() && item.size() < 16 && ::inet_pton(AF_INET, item.c_str(), &parsed) == 1;
}

std::string ParseUsbList(const std::string& value, std::vector<int>* out) {
    for (const std::string& item : SplitCommas(value)) {
        int position = 0;
        if (!ParsePosition(item, &position))
            return "--open-usb: '" + item + "' is not a position in the USB device list (1 to " +
                   std::to_string(kMaxOpenUsb) + ")";
        if (std::find(out->begin(), out->end(), position) != out->end())
            return "--open-usb: position " + item + " is given twice";
        out->push_back(position);
    }
    return {};
}

std::string ParseIpList(const std::string& value, std::vector<std::string>* out) {
    for (const std::string& item : SplitCommas(value)) {
        if (!IsIPv4(item)) return "--open-ip: '" + item + "' is not a dotted IPv4 address";
        if (std::find(out->begin(), out->end(), item) != out->end()) return "--open-ip: " + item + " is given twice";
        out->push_back(item);
    }
    if (out->size() > static_cast<size_t>(kMaxOpenIp))
        return "--open-ip: at most " + std::to_string(kMaxOpenIp) + " addresses, one per video pane";
    return {};
}

}  // namespace

AppOptions ParseAppOptions(int argc, char** argv, std::string* error) {
    AppOptions o;
    std::string why;
    std::vector<std::string> seen;
    for (int i = 1; i < argc && why.empty(); ++i) {
        std::string arg = argv[i] != nullptr ? argv[i] : "";
        if (arg == "--help" || arg == "-h") {
            o.help = true;
            continue;
        }
        if (arg == "--version") {
            o.version = true;
            continue;
        }
        std::string name = arg, value;
        bool hasValue = false;
        if (size_t eq = arg.find('='); arg.starts_with("--") && eq != std::string::npos) {
            name = arg.substr(0, eq);
            value = arg.substr(eq + 1);
            hasValue = true;
        }
        if (name != "--home" && name != "--open-usb" && name != "--open-ip" && name != "--screenshot" &&
            name != "--lang") {
            why = arg.starts_with("-") ? "unknown option '" + arg + "'" : "unexpected argument '" + arg + "'";
            break;
        }
        if (std::find(seen.begin(), seen.end(), name) != seen.end()) {
            why = name + " is given twice";
            break;
        }
        seen.push_back(name);
        if (!hasValue) {
            // "--home --help" is a forgotten value, not a folder named "--help".
            if (i + 1 >= argc || argv[i + 1] == nullptr || std::string_view(argv[i + 1]).starts_with("--")) {
                why = name + " needs a value";
                break;
            }
            value = argv[++i];
        }
        if (name == "--home" || name == "--screenshot") {
            if (value.empty())
                why = name + " needs a folder";
            else
                (name == "--home" ? o.home : o.screenshotDir) = value;
        } else if (name == "--lang") {
            if (value == "en" || value == "zh")
                o.lang = value;
            else
                why = "--lang: '" + value + "' is not a language of the windows (en or zh)";
        } else if (name == "--open-usb") {
            why = ParseUsbList(value, &o.openUsb);
        } else {
            why = ParseIpList(value, &o.openIp);
        }
    }
    if (!why.empty()) {
        o.ok = false;
        if (error != nullptr) *error = why;
    }
    return o;
}

std::string AppUsage(const std::string& placesText) {
    return "Usage: velmora [--home DIR] [--open-usb N[,N...]] [--open-ip ADDR[,ADDR...]] [--screenshot DIR]\n"
           "               [--lang en|zh]\n"
           "       velmora --help | --version\n"
           "\n"
           "Tunes and maintains video cameras on the LAN and on USB.\n"
           "\n"
           "  --home DIR              keep toolscfg.ini and the log folder APP_LOG/ in DIR (created if missing)\n"
           "  --open-usb N[,N...]     open the USB cameras at these positions of the device list (from 1)\n"
           "  --open-ip ADDR[,...]    in network mode, open the cameras at these IPv4 addresses in the\n"
           "                          video panes (at most four)\n"
           "  --screenshot DIR        once the cameras are open, save pictures of the window in both\n"
           "                          modes into DIR and end\n"
           "  --lang en|zh            the windows' language: English or Chinese (default: Chinese under a\n"
           "                          Chinese, C or POSIX locale, otherwise English)\n"
           "  -h, --help              show this text and end\n"
           "  --version               show the version and end\n"
           "\n"
           "Without --home, the home folder is the program's own folder when it is writable and not an\n"
           "installed program's (a portable copy), otherwise ${XDG_CONFIG_HOME:-$HOME/.config}/velmora/.\n"
           "The log goes to APP_LOG/ in the home folder, or for an installed program to\n"
           "${XDG_STATE_HOME:-$HOME/.local/state}/velmora/.\n"
           "\n" + placesText;
}

}  // namespace velmora::app
