#pragma once

namespace velmora::protocol {

// Identity texts a USB camera reports for command 40001117 (top-level members, no Content).
// All fields zero-terminated; the caller zero-fills the record.
struct UsbDeviceInfo {
    char DeviceName[33];
    char ProductModel[33];
    char Serial[33];
    char BuildDate[16];
    char BiosVersion[8];
};

// Parses the device-information reply: DeviceName, ProductModel and Serial (at most 32 bytes
// each), BuildDate (at most 15) when present, BiosVersion as "%x.%02x" of its low 16 bits
// (0x0102 gives "1.02"). Texts are UTF-8 as the camera sends them and are cut at a character
// boundary; members that are missing or of the wrong type leave their field as it was.
// Returns 0, -310 when the text is not a JSON object, or the negative Content.nResult of a
// refusal (in both cases `info` is untouched).
// Pure function; thread-safe.
int ParseDeviceInfoReply(const char* text, UsbDeviceInfo& info);

}  // namespace velmora::protocol
