#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Command-line surface of velmora-cli. Options stand before the command:
//   velmora-cli [--device N | --all | --serial SN | --ip ADDR [--user U] [--password P | --password-file F]]
//               [--vid HEX]... [--home DIR] COMMAND [ARGS...]
//   velmora-cli --help | --version [--json]
namespace velmora::cli {

struct CliOptions {
    int device = 1;                 // USB camera index, from 1, in the transport's order
    bool deviceGiven = false;
    bool all = false;               // every USB camera (upgrade and reboot only)
    std::string serial;             // USB camera chosen by serial number
    bool serialGiven = false;
    std::vector<uint16_t> vids;     // extra USB vendor ids (0x1703 is always searched)
    std::string ip;                 // network camera address (dotted IPv4)
    bool ipGiven = false;
    std::string user = "admin";
    std::string password = "pelno";
    bool passwordGiven = false;     // --password
    std::string passwordFile;       // --password-file
    std::vector<int> devices;       // every --device, in order (a set when more than one)
    std::vector<std::string> serials;  // every --serial
    std::vector<std::string> ips;      // every --ip
    std::string serialFile;            // --serial-file: the serials are read into `serials` later
    int jobs = 0;                   // --jobs: cameras worked on at once (0: the default)
    std::string home;               // --home DIR: the folder of toolscfg.ini, as velmora's --home
    bool json = false;              // --json: the output as JSON (docs/cli.md; --version too)
    std::string lang;               // --lang en|zh: the upgrade and reboot lines' language
    std::string command;            // "help" and "version" for --help and --version
    std::vector<std::string> args;
};

// Parses argv; on a usage error returns false and describes it in `error`.
bool ParseCliOptions(int argc, const char* const* argv, CliOptions& out, std::string& error);

// Settles the password of a network command: --password, else the first line of
// --password-file, else the environment variable VELMORA_PASSWORD (`envPassword`, null when
// unset), else the default. Then checks that user name and password fit the login record.
// false with `error` on a usage error (unreadable file, too long).
bool ResolveCredentials(CliOptions& opts, const char* envPassword, std::string& error);

// The usage text printed for --help and usage errors.
const char* UsageText();

}  // namespace velmora::cli
