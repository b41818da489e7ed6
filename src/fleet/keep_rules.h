#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/profile.h"

// The rules of `velmora-cli keep`: which profile each camera is kept at. A rules file is a JSON
// object mapping a selector to a profile file, e.g.
//   {"serial:K01": "k1.json", "model:VX-300": "line3.json", "*": "site.json"}
// Selectors: "serial:SN" (one camera), "model:MODEL" (every camera of a model), "*" (every
// camera). The most specific rule wins: serial, then model, then "*". Profile paths are relative
// to the folder of the rules file (absolute ones stay as they are). A camera no rule matches is
// left alone.
//
// Plain values and pure functions apart from LoadKeepRules, which reads files; thread-safe on
// distinct objects.
namespace velmora::fleet {

// A rules file larger than this is refused unread.
inline constexpr size_t kKeepRulesMaxBytes = 1024 * 1024;
// The rules file (or a profile it names) was refused; the message says where and why.
inline constexpr int kKeepRulesRefused = -360;

struct KeepRule {
    enum class Kind { Serial, Model, Any };
    Kind kind = Kind::Any;
    std::string match;          // the serial or the model ("" for "*")
    std::string selector;       // as written: "serial:K01", "model:VX-300", "*"
    std::string file;           // the profile file as written in the rules
    std::string path;           // the profile file as opened (relative to the rules file's folder)
    protocol::Profile profile;  // loaded by LoadKeepRules
};

struct KeepRules {
    std::vector<KeepRule> rules;  // in the order they were written

    // The rule for a camera with this serial and model: the serial's, else the model's, else
    // "*"; null when none matches. Empty serials and models match no serial or model rule.
    const KeepRule* Find(std::string_view serial, std::string_view model) const;
};

// Reads the rules text (no profile is loaded; `path` of each rule is `file` joined to
// `baseDir`). Refused with kKeepRulesRefused and a one-line `error`: not JSON (line and column),
// not an object, no rule, a selector that is not serial:SN / model:MODEL / *, an empty serial or
// model, a selector given twice, a value that is not a non-empty file name.
int ParseKeepRules(std::string_view text, const std::string& baseDir, KeepRules& out, std::string* error);

// Reads the rules file at `path` and loads every profile it names. 0, or kKeepRulesRefused with
// `error` naming the file (and for a profile, the rule and the profile's own reason).
int LoadKeepRules(const std::string& path, KeepRules& out, std::string* error);

}  // namespace velmora::fleet
