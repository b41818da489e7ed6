#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Command-line surface of velmora-cli. Options stand before the command:
//   velmora-cli [--device N | --ip ADDR [--user U] [--password P]] [--vid HEX]... COMMAND [ARGS...]
namespace velmora::cli {

struct CliOptions {
    int device = 1;                 // USB camera index, from 1, in the transport's order
    bool deviceGiven = false;
    std::vector<uint16_t> vids;     // extra USB vendor ids (0x1703 is always searched)
    std::string ip;                 // network camera address; empty = USB
    std::string user = "admin";
    std::string password = "pelno";
    std::string command;
    std::vector<std::string> args;
};

// Parses argv; on a usage error returns false and describes it in `error`.
bool ParseCliOptions(int argc, const char* const* argv, CliOptions& out, std::string& error);

// The usage text printed for --help and usage errors.
const char* UsageText();

}  // namespace velmora::cli
