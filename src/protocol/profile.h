#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/video_param.h"

// Parameter profiles: a named set of parameter values, whole or partial, and diffs between a
// record and a profile or between two profiles.
//
// A profile comes from either file kind:
//  - the 8191-byte parameter file: every member `get` prints (the 7167 scene-mode copy is not a
//    member of its own), and the raw record, so that a whole-record set can send it unchanged;
//  - a JSON profile: {"format": "velmora-profile", "version": 1, "model": "...",
//    "members": {"Luminance": 50, ...}}: members keyed by the names `get` prints (any case, any
//    order, any subset), values whole numbers that fit the member as it is sent (0..255,
//    BExpCPS -128..127, the three 4-byte members the int32 range). "model", "serial" and "date"
//    are optional texts; other top-level members are ignored, so later versions can add some.
// Values are kept as they are sent (ReadFieldForSend): BExpCPS byte 251 is -5.
//
// Plain values and pure functions; thread-safe on distinct objects.
namespace velmora::protocol {

inline constexpr const char kProfileFormat[] = "velmora-profile";
inline constexpr int kProfileVersion = 1;
// A JSON profile larger than this is refused unread (a whole profile is about 1.5 KiB).
inline constexpr size_t kProfileMaxBytes = 1024 * 1024;

inline constexpr int kProfileNotJson = -340;        // the text is not JSON (line and column said)
inline constexpr int kProfileBadFormat = -341;      // not an object, wrong format or version, no members
inline constexpr int kProfileUnknownMember = -342;  // a member the record does not have
inline constexpr int kProfileBadValue = -343;       // not a whole number, or it does not fit the member
inline constexpr int kProfileDuplicate = -344;      // a member given twice (names compare without case)

struct ProfileValue {
    const VideoParamField* field = nullptr;  // from VideoParamFields()
    int32_t value = 0;                        // as sent
};

struct Profile {
    std::string model;   // optional in JSON; empty for a parameter file
    std::string serial;  // optional, informative (export writes it)
    std::string date;    // optional, informative
    // True when read from a parameter file: `record` then holds the file's bytes and `values`
    // every member.
    bool whole = false;
    VideoParam record;
    std::vector<ProfileValue> values;  // record order, each member at most once

    // The value for `field`, or nothing when the profile does not hold it.
    std::optional<int32_t> Find(const VideoParamField& field) const;
};

// Where and why a profile was refused. `line` and `column` (from 1) are set for text that is
// not JSON; `member` names the member at fault when there is one, `suggestion` the nearest
// member name for an unknown one.
struct ProfileError {
    int code = 0;
    int line = 0;
    int column = 0;
    std::string member;
    std::string suggestion;
    std::string message;  // one line, English, ready to print after the file name
};

// The members a profile can hold: VideoParamFields() without the second eSceneMode copy, in
// record order (the members `get` prints).
const std::vector<const VideoParamField*>& ProfileFields();

// The member name closest to a misspelt one (edit distance, case ignored), or empty when none is
// close enough to be a likely typo.
std::string NearestVideoParamMember(std::string_view name);

// Reads a JSON profile. On failure `out` is untouched and `error` (may be null) says why.
// Returns 0 or one of the kProfile* codes.
int ParseProfileJson(std::string_view text, Profile& out, ProfileError* error);

// A profile holding every member of `rec` (whole = true).
Profile ProfileFromRecord(const VideoParam& rec);

// Reads a profile file: a name ending in ".json" (any case) is a JSON profile; any other file
// of exactly 8191 bytes is a parameter file; any other size is read as a JSON profile when it
// starts with '{' (after blanks), and refused with kParamFileSizeMismatch otherwise. A FIFO,
// device or folder is refused without waiting on it. Returns 0, a kProfile* code, a parameter-
// file code (-320..-322) or a file code (atomic_file.h); `error` says why.
int LoadProfile(const std::string& path, Profile& out, ProfileError* error);

// The JSON profile text of a whole record: members in record order, one per line, with the
// model, serial and date given (empty ones are left out). Ends in a newline.
std::string ProfileJsonText(const VideoParam& rec, std::string_view model, std::string_view serial,
                            std::string_view date);

// One member that differs. A side that does not hold the member is empty (profile against
// profile only).
struct ProfileDifference {
    const VideoParamField* field = nullptr;
    std::optional<int32_t> left;
    std::optional<int32_t> right;
};

// The members the profile holds whose value differs from the record's (left: record, right:
// profile), in record order.
std::vector<ProfileDifference> DiffRecordProfile(const VideoParam& rec, const Profile& profile);

// The members that differ between two profiles, in record order: held by both with different
// values, or held by only one of them.
std::vector<ProfileDifference> DiffProfiles(const Profile& left, const Profile& right);

}  // namespace velmora::protocol
