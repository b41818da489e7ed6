#include "protocol/profile.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <strings.h>

#include "platform/atomic_file.h"
#include "platform/json_text.h"
#include "protocol/json_util.h"
#include "protocol/param_file.h"

namespace velmora::protocol {
namespace {

using protocol::detail::JsonPtr;

size_t EditDistanceIgnoringCase(std::string_view a, std::string_view b) {
    std::vector<size_t> row(b.size() + 1);
    for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        size_t diagonal = row[0];
        row[0] = i;
        for (size_t j = 1; j <= b.size(); ++j) {
            const bool same = std::tolower(static_cast<unsigned char>(a[i - 1])) ==
                              std::tolower(static_cast<unsigned char>(b[j - 1]));
            const size_t next = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (same ? 0 : 1)});
            diagonal = row[j];
            row[j] = next;
        }
    }
    return row[b.size()];
}

int Refuse(ProfileError* error, int code, std::string message, std::string member = {}) {
    if (error != nullptr) {
        *error = ProfileError{};
        error->code = code;
        error->member = std::move(member);
        error->message = std::move(message);
    }
    return code;
}

bool EndsWithIgnoreCase(std::string_view s, std::string_view suffix) {
    return s.size() >= suffix.size() &&
           strncasecmp(s.data() + s.size() - suffix.size(), suffix.data(), suffix.size()) == 0;
}

// An optional top-level text member; false when present and not a text.
bool OptionalText(const cJSON* root, const char* name, std::string& out) {
    const cJSON* item = protocol::detail::Member(root, name);
    if (item == nullptr || cJSON_IsNull(item)) return true;
    if (!cJSON_IsString(item)) return false;
    out = item->valuestring;
    return true;
}

}  // namespace

std::optional<int32_t> Profile::Find(const VideoParamField& field) const {
    for (const ProfileValue& v : values)
        if (v.field == &field) return v.value;
    return std::nullopt;
}

const std::vector<const VideoParamField*>& ProfileFields() {
    static const std::vector<const VideoParamField*> fields = [] {
        std::vector<const VideoParamField*> out;
        for (const VideoParamField& f : VideoParamFields())
            if (FindVideoParamField(f.member) == &f) out.push_back(&f);
        return out;
    }();
    return fields;
}

std::string NearestVideoParamMember(std::string_view name) {
    std::string best;
    size_t bestDistance = std::max<size_t>(3, name.size() / 3) + 1;
    for (const VideoParamField* f : ProfileFields()) {
        const size_t d = EditDistanceIgnoringCase(name, f->member);
        if (d < bestDistance) {
            bestDistance = d;
            best = f->member;
        }
    }
    return best;
}

int ParseProfileJson(std::string_view text, Profile& out, ProfileError* error) {
    int line = 0, column = 0;
    JsonPtr root = protocol::detail::ParseDocument(text, line, column);
    if (!root) {
        const int code = Refuse(error, kProfileNotJson,
                                "not JSON at line " + std::to_string(line) + ", column " + std::to_string(column));
        if (error != nullptr) {
            error->line = line;
            error->column = column;
        }
        return code;
    }
    if (!cJSON_IsObject(root.get())) return Refuse(error, kProfileBadFormat, "a profile is a JSON object");
    const cJSON* format = protocol::detail::Member(root.get(), "format");
    if (!cJSON_IsString(format) || std::string_view(format->valuestring) != kProfileFormat)
        return Refuse(error, kProfileBadFormat, std::string("\"format\" must be \"") + kProfileFormat + "\"");
    const cJSON* version = protocol::detail::Member(root.get(), "version");
    if (!cJSON_IsNumber(version) || version->valuedouble != kProfileVersion)
        return Refuse(error, kProfileBadFormat,
                      "\"version\" must be " + std::to_string(kProfileVersion) + " (this program reads version 1)");
    Profile p;
    if (!OptionalText(root.get(), "model", p.model) || !OptionalText(root.get(), "serial", p.serial) ||
        !OptionalText(root.get(), "date", p.date))
        return Refuse(error, kProfileBadFormat, "\"model\", \"serial\" and \"date\" must be texts");
    const cJSON* members = protocol::detail::Member(root.get(), "members");
    if (!cJSON_IsObject(members)) return Refuse(error, kProfileBadFormat, "\"members\" must be an object");

    for (const cJSON* m = members->child; m != nullptr; m = m->next) {
        const std::string name = m->string != nullptr ? m->string : "";
        const VideoParamField* field = FindVideoParamField(name);
        if (field == nullptr) {
            const std::string nearest = NearestVideoParamMember(name);
            const int code = Refuse(error, kProfileUnknownMember,
                                    "there is no parameter " + platform::JsonString(name) +
                                        (nearest.empty() ? "" : "; did you mean " + nearest + "?"),
                                    name);
            if (error != nullptr) error->suggestion = nearest;
            return code;
        }
        if (p.Find(*field)) return Refuse(error, kProfileDuplicate, std::string(field->member) + " is given twice", name);
        const double v = m->valuedouble;
        const bool whole = cJSON_IsNumber(m) && std::isfinite(v) && std::trunc(v) == v && std::fabs(v) < 1e18;
        if (!whole || !FieldValueFits(*field, static_cast<int64_t>(v))) {
            const char* range = field->width == 4 ? "-2147483648..2147483647" : field->isSigned ? "-128..127" : "0..255";
            return Refuse(error, kProfileBadValue,
                          std::string(field->member) + " takes a whole number " + range, field->member);
        }
        p.values.push_back({field, static_cast<int32_t>(v)});
    }
    std::sort(p.values.begin(), p.values.end(),
              [](const ProfileValue& a, const ProfileValue& b) { return a.field->offset < b.field->offset; });
    out = std::move(p);
    return 0;
}

Profile ProfileFromRecord(const VideoParam& rec) {
    Profile p;
    p.whole = true;
    p.record = rec;
    for (const VideoParamField* f : ProfileFields()) p.values.push_back({f, ReadFieldForSend(rec, *f)});
    return p;
}

int LoadProfile(const std::string& path, Profile& out, ProfileError* error) {
    std::string data;
    std::string why;
    long long size = -1;
    int r = platform::ReadRegularFile(path, kProfileMaxBytes, data, &why, &size);
    if (r != 0) return Refuse(error, r, why.empty() ? "cannot be read" : why);
    const bool json = EndsWithIgnoreCase(path, ".json");
    if (!json && data.size() == kVideoParamSize) {
        VideoParam rec;
        std::copy(data.begin(), data.end(), rec.bytes);
        out = ProfileFromRecord(rec);
        return 0;
    }
    const size_t first = data.find_first_not_of(" \t\r\n");
    const bool looksJson = first != std::string::npos && (data[first] == '{' || data.compare(first, 3, "\xEF\xBB\xBF") == 0);
    if (!json && !looksJson)
        return Refuse(error, kParamFileSizeMismatch,
                      "holds " + std::to_string(data.size()) + " bytes: neither a parameter file (" +
                          std::to_string(kVideoParamSize) + " bytes) nor a JSON profile");
    return ParseProfileJson(data, out, error);
}

std::string ProfileJsonText(const VideoParam& rec, std::string_view model, std::string_view serial,
                            std::string_view date) {
    std::string out = "{\n  \"format\": ";
    platform::AppendJsonString(out, kProfileFormat);
    out += ",\n  \"version\": " + std::to_string(kProfileVersion) + ",\n";
    const auto text = [&](const char* key, std::string_view value) {
        if (value.empty()) return;
        out += "  \"";
        out += key;
        out += "\": ";
        platform::AppendJsonString(out, value);
        out += ",\n";
    };
    text("model", model);
    text("serial", serial);
    text("date", date);
    out += "  \"members\": {\n";
    const auto& fields = ProfileFields();
    for (size_t i = 0; i < fields.size(); ++i) {
        out += "    \"";
        out += fields[i]->member;
        out += "\": " + std::to_string(ReadFieldForSend(rec, *fields[i]));
        out += i + 1 < fields.size() ? ",\n" : "\n";
    }
    out += "  }\n}\n";
    return out;
}

std::vector<ProfileDifference> DiffRecordProfile(const VideoParam& rec, const Profile& profile) {
    std::vector<ProfileDifference> out;
    for (const ProfileValue& v : profile.values) {
        const int32_t current = ReadFieldForSend(rec, *v.field);
        if (current != v.value) out.push_back({v.field, current, v.value});
    }
    return out;
}

std::vector<ProfileDifference> DiffProfiles(const Profile& left, const Profile& right) {
    std::vector<ProfileDifference> out;
    for (const VideoParamField* f : ProfileFields()) {
        const std::optional<int32_t> a = left.Find(*f);
        const std::optional<int32_t> b = right.Find(*f);
        if (a != b) out.push_back({f, a, b});
    }
    return out;
}

}  // namespace velmora::protocol
