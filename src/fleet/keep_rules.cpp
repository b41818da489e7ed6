#include "fleet/keep_rules.h"

#include "platform/atomic_file.h"
#include "protocol/json_util.h"

namespace velmora::fleet {
namespace {

int Refuse(std::string* error, std::string why) {
    if (error) *error = std::move(why);
    return kKeepRulesRefused;
}

std::string Quoted(std::string_view text) { return "\"" + std::string(text) + "\""; }

std::string Join(const std::string& dir, const std::string& file) {
    if (file.front() == '/' || dir.empty()) return file;
    return dir.back() == '/' ? dir + file : dir + "/" + file;
}

}  // namespace

const KeepRule* KeepRules::Find(std::string_view serial, std::string_view model) const {
    const KeepRule* byModel = nullptr;
    const KeepRule* any = nullptr;
    for (const KeepRule& r : rules) {
        switch (r.kind) {
        case KeepRule::Kind::Serial:
            if (!serial.empty() && r.match == serial) return &r;
            break;
        case KeepRule::Kind::Model:
            if (!model.empty() && r.match == model && !byModel) byModel = &r;
            break;
        case KeepRule::Kind::Any:
            any = &r;
            break;
        }
    }
    return byModel ? byModel : any;
}

int ParseKeepRules(std::string_view text, const std::string& baseDir, KeepRules& out, std::string* error) {
    int line = 0, column = 0;
    protocol::detail::JsonPtr root = protocol::detail::ParseDocument(text, line, column);
    if (!root) return Refuse(error, "not JSON at line " + std::to_string(line) + ", column " + std::to_string(column));
    if (!cJSON_IsObject(root.get()))
        return Refuse(error, "the rules are a JSON object mapping \"serial:SN\", \"model:MODEL\" or \"*\" to a profile file");
    KeepRules rules;
    for (const cJSON* item = root->child; item != nullptr; item = item->next) {
        const std::string_view selector = item->string ? item->string : "";
        KeepRule rule;
        rule.selector = std::string(selector);
        if (selector == "*") {
            rule.kind = KeepRule::Kind::Any;
        } else if (selector.substr(0, 7) == "serial:") {
            rule.kind = KeepRule::Kind::Serial;
            rule.match = std::string(selector.substr(7));
        } else if (selector.substr(0, 6) == "model:") {
            rule.kind = KeepRule::Kind::Model;
            rule.match = std::string(selector.substr(6));
        } else {
            return Refuse(error, "rule " + Quoted(selector) + ": a rule is \"serial:SN\", \"model:MODEL\" or \"*\"");
        }
        if (rule.kind != KeepRule::Kind::Any && rule.match.empty())
            return Refuse(error, "rule " + Quoted(selector) + " names no " +
                                     (rule.kind == KeepRule::Kind::Serial ? "serial" : "model"));
        // A NUL inside a selector would make two different texts look alike.
        if (rule.selector.find('\0') != std::string::npos)
            return Refuse(error, "rule " + Quoted(selector) + " holds a NUL character");
        for (const KeepRule& earlier : rules.rules)
            if (earlier.selector == rule.selector)
                return Refuse(error, "rule " + Quoted(selector) + " is given twice");
        if (!cJSON_IsString(item) || item->valuestring == nullptr || item->valuestring[0] == '\0')
            return Refuse(error, "rule " + Quoted(selector) + ": the value must be a profile file name");
        rule.file = item->valuestring;
        rule.path = Join(baseDir, rule.file);
        rules.rules.push_back(std::move(rule));
    }
    if (rules.rules.empty()) return Refuse(error, "the rules hold no rule: nothing would be kept");
    out = std::move(rules);
    return 0;
}

int LoadKeepRules(const std::string& path, KeepRules& out, std::string* error) {
    std::string text, why;
    if (platform::ReadRegularFile(path, kKeepRulesMaxBytes, text, &why) != 0) return Refuse(error, path + ": " + why);
    const size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "" : path.substr(0, slash + 1);
    KeepRules rules;
    if (ParseKeepRules(text, dir, rules, &why) != 0) return Refuse(error, path + ": " + why);
    for (KeepRule& rule : rules.rules) {
        protocol::ProfileError pe;
        if (protocol::LoadProfile(rule.path, rule.profile, &pe) != 0)
            return Refuse(error, path + ": rule " + Quoted(rule.selector) + ": " + rule.path + ": " + pe.message);
    }
    out = std::move(rules);
    return 0;
}

}  // namespace velmora::fleet
