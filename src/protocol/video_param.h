#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace velmora::protocol {

// The camera's whole image-parameter set as one flat block of bytes. The block is also the
// parameter file's content, so every offset and width below is a file format: fields are not
// aligned, the three 4-byte fields are little-endian signed, every other field is one byte, and
// bytes that no field covers are carried unchanged.
//
// Plain value type; the helpers below are pure functions (thread-safe on distinct records).

constexpr size_t kVideoParamSize = 8191;

struct VideoParam {
    uint8_t bytes[kVideoParamSize]{};
};

// Where each page's slice of the record starts.
constexpr uint16_t kPictureSlice = 0;
constexpr uint16_t kExposureSlice = 1024;
constexpr uint16_t kWhiteBalanceSlice = 2048;
constexpr uint16_t kFocusSlice = 3072;
constexpr uint16_t kDayNightModeOffset = 4097;         // eNightMode, no page slice
constexpr uint16_t kDayNightSensitivityOffset = 4098;  // ucNightDayChnSensity, no page slice
constexpr uint16_t kEnhancementSlice = 5121;
constexpr uint16_t kVideoSlice = 6143;
constexpr uint16_t kOthersSlice = 7167;

// Offsets referred to by name elsewhere.
constexpr uint16_t kAEWeightLevelOffset = 1025;      // read and stored, never sent in a whole-record set
constexpr uint16_t kExpCompensationOffset = 1026;    // BExpCPS, the only signed 1-byte field
constexpr uint16_t kSceneModeOffset = 6146;          // the eSceneMode copy that is sent
constexpr uint16_t kSceneModeCopyOffset = 7167;      // the copy the Others page shows
constexpr uint16_t kFocusLaserRangeOffset = 3077;    // focus page slot no reply member fills; not in the table

// One field of the record. `member` is the camera's JSON member name.
struct VideoParamField {
    const char* member;
    uint16_t offset;
    uint8_t width;    // 1 or 4
    bool isSigned;    // BExpCPS and the 4-byte fields
    bool optional;    // may be missing from a read reply (the byte then keeps its value)
    int8_t sendOrder; // place in the whole-record set; -1 when the field is never sent
};

// Members carried by the whole-record set (ucAEWeightLevel and the 7167 scene-mode copy are not).
inline constexpr size_t kWholeRecordMemberCount = 45;

// Every field that a read reply fills, in record order. eSceneMode appears twice (6146 and
// 7167): a read stores the one reply value at both offsets.
std::span<const VideoParamField> VideoParamFields();

// The fields of the whole-record set in the order they are sent (eSceneMode from 6146).
std::span<const VideoParamField* const> WholeRecordFields();

// True when `value` can be stored in the field as sent: 0..255 for a byte, -128..127 for
// BExpCPS, the int32 range for the 4-byte fields.
bool FieldValueFits(const VideoParamField& field, int64_t value);

// Case-insensitive lookup by member name; the first match in record order (so "eSceneMode"
// gives the 6146 copy). Null when unknown.
const VideoParamField* FindVideoParamField(std::string_view member);

// The focus page's laser range: a member the camera takes in a set-one-field request, shown in
// the focus slice at kFocusLaserRangeOffset, that no read reply fills and no whole-record set
// carries. It is not one of VideoParamFields().
extern const VideoParamField kFocusLaserRangeField;

// Every member a set-one-field request may name: the record's fields (as FindVideoParamField),
// then the laser range. Null when unknown.
const VideoParamField* FindSendableField(std::string_view member);

// Truncates a reply number toward zero to a signed 32-bit value, saturating at the int32 limits
// (NaN gives 0).
int32_t TruncateToInt32(double number);

// Stores a number taken from a reply: truncated toward zero to int32; a 1-byte field keeps the
// low 8 bits (-1 becomes 255, -5 becomes 251), a 4-byte field all 32 bits little-endian.
void StoreReplyNumber(VideoParam& rec, const VideoParamField& field, double number);

// Reads a field the way it is sent: a 1-byte field as 0..255 (BExpCPS as -128..127), a 4-byte
// field as signed int32.
int32_t ReadFieldForSend(const VideoParam& rec, const VideoParamField& field);

// Little-endian 32-bit access at any offset (offset + 4 must not exceed kVideoParamSize).
int32_t ReadInt32LE(const VideoParam& rec, size_t offset);
void WriteInt32LE(VideoParam& rec, size_t offset, int32_t value);

}  // namespace velmora::protocol
