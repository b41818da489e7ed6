#include "protocol/video_param.h"

#include <array>
#include <cmath>
#include <cstdint>
#include <limits>

#include "platform/byte_order.h"
#include "platform/text.h"

namespace velmora::protocol {

namespace {

// Columns: member, offset, width, signedness, whether a read reply may omit it, and the member's
// place in the whole-record set (-1: never sent).
constexpr VideoParamField U8(const char* member, uint16_t offset, int8_t sendOrder, bool optional = false) {
    return VideoParamField{member, offset, 1, false, optional, sendOrder};
}
constexpr VideoParamField S8(const char* member, uint16_t offset, int8_t sendOrder) {
    return VideoParamField{member, offset, 1, true, false, sendOrder};
}
constexpr VideoParamField S32(const char* member, uint16_t offset, int8_t sendOrder) {
    return VideoParamField{member, offset, 4, true, false, sendOrder};
}
constexpr bool kOptional = true;

// Record order. Gaps between the fields are part of the file format and stay as they are. The
// camera simulator keeps a table of its own on purpose (src/sim/camera_model.cpp).
constexpr std::array kFields{
    // Picture
    U8("Luminance", 0, 0), U8("Contrast", 1, 1), U8("Saturation", 2, 2), U8("ucHue", 3, 3),
    U8("Hue", 4, 4),  // carries sharpness
    // Exposure
    U8("eExposureMode", 1024, 5), U8("ucAEWeightLevel", 1025, -1), S8("BExpCPS", 1026, 6),
    U8("ucManualGain", 1027, 10), U8("ucAutoGainLimit", 1028, 9), U8("ucManualIris", 1029, 8),
    S32("uiMShutterSpeed", 1030, 7), U8("eWDMode", 1034, 13), U8("ucWDRStrength", 1035, 14),
    U8("bBacklightCompensation", 1036, 11), U8("ucAntiFlicker", 1037, 12),
    // White balance
    U8("eWBMode", 2048, 15), U8("uAwbTolerance", 2049, 16, kOptional), U8("ucRGGain", 2050, 18),
    U8("ucBGGain", 2051, 19), S32("u32CTNum", 2052, 17), U8("u8RgainTuning", 2056, 20),
    U8("u8GgainTuning", 2057, 21), U8("u8BgainTuning", 2058, 22),
    // Focus (3077, the laser-range slot, has no member)
    U8("ucFocusMode", 3072, 23), U8("ucAFScene", 3073, 24), U8("ucAFArea", 3074, 25),
    U8("ucFocusDistanceMin", 3075, 26), U8("ucAFSen", 3076, 27),
    // Day/night
    U8("eNightMode", 4097, 28), U8("ucNightDayChnSensity", 4098, 29),
    // Enhancement
    U8("uc2DNR", 5121, 30), U8("uc3DNR", 5122, 31), U8("uDpSlope", 5123, 32), U8("ucDefogMode", 5124, 33),
    U8("ucDelFogClass", 5125, 34), U8("ucGammaVal", 5126, 35), U8("u32AIAe", 5127, 37), U8("u32AIFocus", 5128, 36),
    U8("ucCamCorrection", 5129, 38, kOptional),
    // Video
    U8("bHorzInvert", 6143, 39), U8("bVertInvert", 6144, 40), U8("ucRotation", 6145, 41), U8("eSceneMode", 6146, 42),
    // Others (the second eSceneMode copy is filled from the same reply member and never sent)
    U8("eSceneMode", 7167, -1), U8("ucDigitalZoom", 7168, 44), S32("u32Lut", 7169, 43),
};

constexpr size_t CountSent() {
    size_t n = 0;
    for (const VideoParamField& f : kFields) n += f.sendOrder >= 0;
    return n;
}
static_assert(CountSent() == kWholeRecordMemberCount);

// The sent fields in the order of the whole-record set; each place is taken exactly once.
constexpr std::array<const VideoParamField*, kWholeRecordMemberCount> BuildSendOrder() {
    std::array<const VideoParamField*, kWholeRecordMemberCount> order{};
    for (const VideoParamField& f : kFields) {
        if (f.sendOrder < 0) continue;
        if (static_cast<size_t>(f.sendOrder) >= order.size() || order[static_cast<size_t>(f.sendOrder)] != nullptr)
            throw "send order out of range or taken twice";  // fails the constant evaluation
        order[static_cast<size_t>(f.sendOrder)] = &f;
    }
    return order;
}
constexpr auto kSendOrder = BuildSendOrder();

static_assert(kFields.back().offset + kFields.back().width <= kVideoParamSize);

}  // namespace

std::span<const VideoParamField> VideoParamFields() { return kFields; }

std::span<const VideoParamField* const> WholeRecordFields() { return kSendOrder; }

bool FieldValueFits(const VideoParamField& field, int64_t value) {
    if (field.width == 4) return value >= INT32_MIN && value <= INT32_MAX;
    return field.isSigned ? value >= INT8_MIN && value <= INT8_MAX : value >= 0 && value <= UINT8_MAX;
}

const VideoParamField* FindVideoParamField(std::string_view member) {
    for (const VideoParamField& field : kFields) {
        if (platform::EqualsIgnoreCase(field.member, member)) return &field;
    }
    return nullptr;
}

const VideoParamField kFocusLaserRangeField{"nMaxValDistance", kFocusLaserRangeOffset, 1, false, true, -1};

const VideoParamField* FindSendableField(std::string_view member) {
    if (const VideoParamField* field = FindVideoParamField(member)) return field;
    if (platform::EqualsIgnoreCase(kFocusLaserRangeField.member, member)) return &kFocusLaserRangeField;
    return nullptr;
}

int32_t TruncateToInt32(double number) {
    if (std::isnan(number)) return 0;
    if (number >= static_cast<double>(std::numeric_limits<int32_t>::max())) return std::numeric_limits<int32_t>::max();
    if (number <= static_cast<double>(std::numeric_limits<int32_t>::min())) return std::numeric_limits<int32_t>::min();
    return static_cast<int32_t>(number);  // truncates toward zero
}

int32_t ReadInt32LE(const VideoParam& rec, size_t offset) {
    return static_cast<int32_t>(platform::GetLe32(rec.bytes + offset));
}

void WriteInt32LE(VideoParam& rec, size_t offset, int32_t value) {
    platform::PutLe32(rec.bytes + offset, static_cast<uint32_t>(value));
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

}  // namespace velmora::protocol
