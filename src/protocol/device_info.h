#pragma once

// Identity texts a USB camera reports for command 40001117 (top-level members, no Content).
// All fields zero-terminated; the caller zero-fills the record.
struct UsbDeviceInfo {
    char DeviceName[33];
    char ProductModel[33];
    char Serial[33];
    char BuildDate[16];
    char BiosVersion[8];
};

// Parses the device-information reply: DeviceName, ProductModel and Serial (at most 32 characters
// each), BuildDate (at most 15) when present, BiosVersion as "%x.%02x" of its low 16 bits.
// Returns 0, or -310 when the text is not JSON.
int ParseDeviceInfoReply(const char* text, UsbDeviceInfo& info);
