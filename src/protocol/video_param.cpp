#include "protocol/video_param.h"

#include <strings.h>

#include <array>
#include <cmath>
#include <limits>

namespace {

constexpr VideoParamField U8(const char* member, uint16_t offset, bool optional = false) {
    return VideoParamField{member, offset, 1, false, optional};
}
constexpr VideoParamField S8(const char* member, uint16_t offset) { return VideoParamField{member, offset, 1, true, false}; }
constexpr VideoParamField S32(const char* member, uint16_t offset) {
    return VideoParamField{member, offset, 4, true, false};
}

// Record order. Gaps between the fields are part of the file format and stay as they are.
constexpr std::array kFields{
    // Picture
    U8("Luminance", 0), U8("Contrast", 1), U8("Saturation", 2), U8("ucHue", 3),
    U8("Hue", 4),  // carries sharpness
    // Exposure
    U8("eExposureMode", 1024), U8("ucAEWeightLevel", 1025), S8("BExpCPS", 1026), U8("ucManualGain", 1027),
    U8("ucAutoGainLimit", 1028), U8("ucManualIris", 1029), S32("uiMShutterSpeed", 1030), U8("eWDMode", 1034),
    U8("ucWDRStrength", 1035), U8("bBacklightCompensation", 1036), U8("ucAntiFlicker", 1037),
    // White balance
    U8("eWBMode", 2048), U8("uAwbTolerance", 2049, true), U8("ucRGGain", 2050), U8("ucBGGain", 2051),
    S32("u32CTNum", 2052), U8("u8RgainTuning", 2056), U8("u8GgainTuning", 2057), U8("u8BgainTuning", 2058),
    // Focus (3077, the laser-range slot, has no member)
    U8("ucFocusMode", 3072), U8("ucAFScene", 3073), U8("ucAFArea", 3074), U8("ucFocusDistanceMin", 3075),
    U8("ucAFSen", 3076),
    // Day/night
    U8("eNightMode", 4097), U8("ucNightDayChnSensity", 4098),
    // Enhancement
    U8("uc2DNR", 5121), U8("uc3DNR", 5122), U8("uDpSlope", 5123), U8("ucDefogMode", 5124),
    U8("ucDelFogClass", 5125), U8("ucGammaVal", 5126), U8("u32AIAe", 5127), U8("u32AIFocus", 5128),
    U8("ucCamCorrection", 5129, true),
    // Video
    U8("bHorzInvert", 6143), U8("bVertInvert", 6144), U8("ucRotation", 6145), U8("eSceneMode", 6146),
    // Others
    U8("eSceneMode", 7167), U8("ucDigitalZoom", 7168), S32("u32Lut", 7169),
};

static_assert(kFields.back().offset + kFields.back().width <= kVideoParamSize);

}  // namespace

std::span<const VideoParamField> VideoParamFields() { return kFields; }

const VideoParamField* FindVideoParamField(std::string_view member) {
    for (const VideoParamField& field : kFields) {
        std::string_view name(field.member);
        if (name.size() == member.size() && strncasecmp(name.data(), member.data(), name.size()) == 0) return &field;
    }
    return nullptr;
}

int32_t TruncateToInt32(double number) {
    if (std::isnan(number)) return 0;
    if (number >= static_cast<double>(std::numeric_limits<int32_t>::max())) return std::numeric_limits<int32_t>::max();
    if (number <= static_cast<double>(std::numeric_limits<int32_t>::min())) return std::numeric_limits<int32_t>::min();
    return static_cast<int32_t>(number);  // truncates toward zero
}

int32_t ReadInt32LE(const VideoParam& rec, size_t offset) {
    uint32_t v = static_cast<uint32_t>(rec.bytes[offset]) | (static_cast<uint32_t>(rec.bytes[offset + 1]) << 8) |
                 (static_cast<uint32_t>(rec.bytes[offset + 2]) << 16) |
                 (static_cast<uint32_t>(rec.bytes[offset + 3]) << 24);
    return static_cast<int32_t>(v);
}

void WriteInt32LE(VideoParam& rec, size_t offset, int32_t value) {
    uint32_t v = static_cast<uint32_t>(value);
    rec.bytes[offset] = static_cast<uint8_t>(v);
    rec.bytes[offset + 1] = static_cast<uint8_t>(v >> 8);
    rec.bytes[offset + 2] = static_cast<uint8_t>(v >> 16);
    rec.bytes[offset + 3] = static_cast<uint8_t>(v >> 24);
}

void StoreReplyNumber(VideoParam& rec, const VideoParamField& field, double number) {
    int32_t value = TruncateToInt32(number);
    if (field.width == 4) {
        WriteInt32LE(rec, field.offset, value);
    } else {
        rec.bytes[field.offset] = static_cast<uint8_t>(static_cast<uint32_t>(value) & 0xFFu);
    }
}

int32_t ReadFieldForSend(const VideoParam& rec, const VideoParamField& field) {
    if (field.width == 4) return ReadInt32LE(rec, field.offset);
    uint8_t byte = rec.bytes[field.offset];
    return field.isSigned ? static_cast<int32_t>(static_cast<int8_t>(byte)) : static_cast<int32_t>(byte);
}
