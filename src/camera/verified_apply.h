#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "camera/camera.h"
#include "protocol/profile.h"

// Verified apply: brings a camera to a profile and checks that it took it.
//
//  1. Read the camera's record and its ability list.
//  2. For each member the profile holds whose value differs from the camera's: a member the
//     ability list hides (Display 0) or whose value is not among the choices it offers is
//     skipped, not sent.
//  3. Send the others: one set-one-field request each, in record order. When the profile is a
//     whole parameter file and more than kWholeRecordThreshold members are to be sent, the
//     whole-record set goes instead (one request of ~1.5 KiB rather than dozens): the record
//     sent is the camera's own with the members to send replaced, so skipped members keep the
//     camera's values. ucAEWeightLevel, which that request does not carry, is then sent on its own.
//  4. Read the record back and classify each member sent: confirmed (it holds the profile's
//     value), adjusted (it holds another value: `after` says which), refused (the request
//     failed: `code`), unverified (sent, but the read-back failed).
//
// A refused member does not stop the others. Synchronous on the calling thread; thread-bound like
// the Camera it runs on (one apply per camera at a time; different cameras may run in parallel).
namespace velmora::camera {

// The apply finished but not every member was confirmed (see ApplyReport for which).
inline constexpr int kApplyNotConfirmed = -350;

// More members than this to send from a whole parameter file go as one whole-record set.
inline constexpr size_t kWholeRecordThreshold = 12;

enum class ApplyOutcome { Confirmed, Adjusted, Refused, Skipped, Unverified };

// "confirmed", "adjusted", "refused", "skipped", "unverified".
const char* ApplyOutcomeName(ApplyOutcome outcome);

struct ApplyMember {
    const protocol::VideoParamField* field = nullptr;
    int32_t before = 0;            // the camera's value before the apply
    int32_t wanted = 0;            // the profile's value
    std::optional<int32_t> after;  // read back (absent when not sent or the read-back failed)
    ApplyOutcome outcome = ApplyOutcome::Skipped;
    int code = 0;                  // refused: the request's result
    std::string reason;            // skipped: "hidden by the ability list" / "not among the choices ..."
};

struct ApplyReport {
    int result = 0;               // what VerifiedApply returned
    int readResult = 0;           // the first read (0, or the failure: nothing was sent)
    int abilityResult = 0;        // reading the ability list (on failure nothing is skipped)
    int readBackResult = 0;       // the read after sending
    bool wholeRecord = false;     // the whole-record set was used
    size_t unchanged = 0;         // members the camera already held
    std::vector<ApplyMember> members;  // the members that differed, in record order

    size_t Count(ApplyOutcome outcome) const;
    // True when something was sent that the camera did not take (refused or unverified) or the
    // camera could not be read: a failure, unlike members adjusted or skipped.
    bool Failed() const;
};

// Applies `profile` to `camera` as above. Returns 0 when every member that differed was
// confirmed (also when nothing differed), the first read's failure code (nothing sent), or
// kApplyNotConfirmed. Messages the camera operations show go through UserMessages as usual.
int VerifiedApply(Camera& camera, const protocol::Profile& profile, ApplyReport& report);

}  // namespace velmora::camera
