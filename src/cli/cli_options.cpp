#include "cli/cli_options.h"


#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "camera/net_session.h"
#include "platform/atomic_file.h"

namespace velmora::cli {
namespace {

constexpr size_t kMaxExtraVendorIds = 9;  // CUSBDevice::SetVendorFilter keeps this many after 0x1703

bool ParseInt(const std::string& s, long min, long max, long* out) {
    if (s.empty()) return false;
    errno = 0;
    char* end = nullptr;
    long v = std::strtol(s.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || v < min || v > max) return false;
    *out = v;
    return true;
}

bool ParseHex16(std::string s, uint16_t* out) {
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) s = s.substr(2);
    if (s.empty() || s.size() > 4) return false;
    // Digits only: strtoul would also take a sign or leading blanks, and "-1" would wrap to 0xffff.
    uint16_t v = 0;
    for (char c : s) {
        if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
        int digit = std::isdigit(static_cast<unsigned char>(c)) ? c - '0' : std::tolower(static_cast<unsigned char>(c)) - 'a' + 10;
        v = static_cast<uint16_t>(v * 16 + digit);
    }
    *out = v;
    return true;
}

// The first line of a small regular file (a FIFO or a device is refused rather than waited on).
bool ReadPasswordFile(const std::string& path, std::string& password, std::string& error) {
    constexpr size_t kMaxBytes = 4096;
    std::string text, why;
    if (platform::ReadRegularFile(path, kMaxBytes, text, &why) != 0) {
        error = "cannot read the password file " + path + ": " + why;
        return false;
    }
    password = text.substr(0, text.find('\n'));
    if (!password.empty() && password.back() == '\r') password.pop_back();
    // The login takes a C string: a NUL would cut the password to the bytes before it.
    if (password.find('\0') != std::string::npos) {
        error = "the password file " + path + " holds a NUL byte in its first line";
        return false;
    }
    return true;
}

}  // namespace

bool ResolveCredentials(CliOptions& o, const char* envPassword, std::string& error) {
    if (!o.passwordFile.empty()) {
        if (!ReadPasswordFile(o.passwordFile, o.password, error)) return false;
    } else if (!o.passwordGiven && envPassword != nullptr) {
        o.password = envPassword;
    }
    if (o.user.size() > camera::kMaxLoginUserBytes) {
        error = "the user name has " + std::to_string(o.user.size()) + " bytes; a login holds at most " +
                std::to_string(camera::kMaxLoginUserBytes);
        return false;
    }
    if (o.password.size() > camera::kMaxLoginPasswordBytes) {
        error = "the password has " + std::to_string(o.password.size()) + " bytes; a login holds at most " +
                std::to_string(camera::kMaxLoginPasswordBytes) + " (a longer one is never cut)";
        return false;
    }
    return true;
}

const char* UsageText() {
    return "usage: velmora-cli [OPTIONS] COMMAND [ARGS...]\n"
           "options (before the command):\n"
           "  --device N        USB camera N, counted from 1 in list order (default 1)\n"
           "  --all             every USB camera\n"
           "  --serial SN       the USB camera with serial number SN\n"
           "                    (--device, --serial and --ip may be repeated: a set of cameras)\n"
           "  --serial-file F   the USB cameras whose serials file F lists, one per line; or\n"
           "                    the failed cameras of an upgrade report (upgrade --report)\n"
           "  --jobs N          cameras of a set worked on at once (default: all, at most 16)\n"
           "  --vid HEX         also search USB vendor id HEX (repeatable; 0x1703 always)\n"
           "  --ip ADDR         network camera at ADDR instead of a USB camera\n"
           "  --user NAME       network login name (default admin)\n"
           "  --password PASS   network login password (default pelno)\n"
           "  --password-file F network login password: the first line of file F\n"
           "                    (without either, VELMORA_PASSWORD is used when set)\n"
           "  --home DIR        read toolscfg.ini in DIR, as velmora --home DIR does\n"
           "  -h, --help        show this text and end\n"
           "  --version         show the version and end (with --json as a JSON object)\n"
           "  --json            output as JSON (one document, or one object per line)\n"
           "  --lang en|zh      language of the upgrade and reboot lines (default: Chinese under a\n"
           "                    Chinese, C or POSIX locale, otherwise English)\n"
           "commands:\n"
           "  list                      USB cameras: index, name, model, serial, BIOS, build date\n"
           "  search                    addresses of network cameras found by the LAN search\n"
           "  info                      identity of the camera\n"
           "  get                       every parameter as name=value, in record order\n"
           "  set NAME=VALUE...         set parameters one by one, in order\n"
           "  export FILE               read the camera and save its 8191-byte parameter file\n"
           "  import FILE               send a parameter file to the camera\n"
           "  defaults                  restore the camera's factory defaults\n"
           "  abilities                 the camera's ability list\n"
           "  focus-near                the near focus limit\n"
           "  frame-rate                the stream frame rate\n"
           "  snapshot FILE.png         save one picture of a network camera's main stream\n"
           "  upgrade [OPTIONS] PACKAGE...\n"
           "                            send firmware packages, in order, and follow the writing\n"
           "                            (with --all every camera in parallel; Ctrl-C stops):\n"
           "      --jobs N              cameras upgraded at once (default: all, at most 16)\n"
           "      --timeout S           time limit of one camera's whole run, in seconds\n"
           "      --reboot              then reboot, wait for the camera, check its version\n"
           "      --reconnect-timeout S wait this long for a rebooted camera (default 60)\n"
           "      --expect-version V    the version it must report (default: higher than before)\n"
           "      --expect-build-date D the build date it must report\n"
           "      --report FILE.json    write the result of every camera to FILE.json\n"
           "  reboot                    reboot the camera (with --all every camera)\n"
           "  diff PROFILE [PROFILE]    members that differ: camera and profile, or two files\n"
           "                            (status 3 when something differs)\n"
           "  apply PROFILE             send the members that differ, read back, check each\n"
           "                            (status 3 when some were adjusted or skipped)\n"
           "  export FILE.json          read the camera and save a JSON profile\n"
           "  keep [--interval S] RULES keep USB cameras at the profiles of RULES (JSON: \"serial:SN\",\n"
           "                            \"model:MODEL\" or \"*\" to a profile file), checked on arrival\n"
           "                            and every S seconds (default 30) until stopped; SIGHUP\n"
           "                            reads RULES again\n";
}

bool ParseCliOptions(int argc, const char* const* argv, CliOptions& out, std::string& error) {
    out = CliOptions{};
    int i = 1;
    auto value = [&](const char* name, std::string* v) {
        if (i + 1 >= argc) {
            error = std::string(name) + " needs a value";
            return false;
        }
        *v = argv[++i];
        return true;
    };
    for (; i < argc; ++i) {
        std::string_view a = argv[i];
        if (a.empty() || a[0] != '-' || a == "-") break;  // the command
        std::string v;
        if (a == "--help" || a == "-h") {
            out.command = "help";
            return true;
        } else if (a == "--version") {
            out.command = "version";
        } else if (a == "--json") {
            out.json = true;
        } else if (a == "--lang") {
            if (!value("--lang", &out.lang)) return false;
            if (out.lang != "en" && out.lang != "zh") {
                error = "--lang needs en or zh, not '" + out.lang + "'";
                return false;
            }
        } else if (a == "--home") {
            if (!value("--home", &out.home)) return false;
            if (out.home.empty()) {
                error = "--home needs a folder";
                return false;
            }
        } else if (a == "--device") {
            long n = 0;
            if (!value("--device", &v)) return false;
            if (!ParseInt(v, 1, 1000000, &n)) {
                error = "--device needs a camera number from 1, not '" + v + "'";
                return false;
            }
            if (!out.deviceGiven) out.device = static_cast<int>(n);
            out.devices.push_back(static_cast<int>(n));
            out.deviceGiven = true;
        } else if (a == "--jobs") {
            long n = 0;
            if (!value("--jobs", &v)) return false;
            if (!ParseInt(v, 1, 64, &n)) {
                error = "--jobs needs a number of cameras 1..64, not '" + v + "'";
                return false;
            }
            out.jobs = static_cast<int>(n);
        } else if (a == "--all") {
            out.all = true;
        } else if (a == "--serial") {
            if (!value("--serial", &v)) return false;
            if (v.empty()) {
                error = "--serial needs a serial number";
                return false;
            }
            if (!out.serialGiven) out.serial = v;
            out.serials.push_back(v);
            out.serialGiven = true;
        } else if (a == "--serial-file") {
            if (!value("--serial-file", &out.serialFile)) return false;
            if (out.serialFile.empty()) {
                error = "--serial-file needs a file name";
                return false;
            }
        } else if (a == "--vid") {
            uint16_t vid = 0;
            if (!value("--vid", &v)) return false;
            if (!ParseHex16(v, &vid)) {
                error = "--vid needs a hexadecimal vendor id such as 1703, not '" + v + "'";
                return false;
            }
            if (out.vids.size() >= kMaxExtraVendorIds) {
                // The device search keeps 0x1703 and nine more; a tenth would be dropped in silence.
                error = "--vid is given more than " + std::to_string(kMaxExtraVendorIds) +
                        " times; the search takes at most " + std::to_string(kMaxExtraVendorIds) + " vendor ids besides 1703";
                return false;
            }
            out.vids.push_back(vid);
        } else if (a == "--ip") {
            if (!value("--ip", &v)) return false;
            if (!camera::IsDottedIPv4(v)) {
                error = "--ip needs a dotted IPv4 address such as 127.0.0.2, not '" + v + "'";
                return false;
            }
            if (!out.ipGiven) out.ip = v;
            out.ips.push_back(v);
            out.ipGiven = true;
        } else if (a == "--user") {
            if (!value("--user", &out.user)) return false;
        } else if (a == "--password") {
            if (!value("--password", &out.password)) return false;
            out.passwordGiven = true;
        } else if (a == "--password-file") {
            if (!value("--password-file", &out.passwordFile)) return false;
            if (out.passwordFile.empty()) {
                error = "--password-file needs a file name";
                return false;
            }
        } else {
            error = "unknown option '" + std::string(a) + "'";
            return false;
        }
    }
    if (out.command == "version") {
        if (i < argc) {
            error = "--version takes no command";
            return false;
        }
        return true;
    }
    if (i >= argc) {
        error = "no command given";
        return false;
    }
    const int cameraChoices = int(out.deviceGiven) + int(out.all) + int(out.serialGiven) + int(out.ipGiven) +
                              int(!out.serialFile.empty());
    if (cameraChoices > 1) {
        error = "--device, --all, --serial, --serial-file and --ip cannot be used together";
        return false;
    }
    if (out.passwordGiven && !out.passwordFile.empty()) {
        error = "--password and --password-file cannot be used together";
        return false;
    }
    out.command = argv[i++];
    for (; i < argc; ++i) out.args.emplace_back(argv[i]);
    return true;
}

}  // namespace velmora::cli
