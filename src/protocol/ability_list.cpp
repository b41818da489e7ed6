#include "protocol/ability_list.h"

#include <cstring>
#include <limits>
#include <string>

#include "platform/codepage.h"
#include "platform/text.h"
#include "protocol/json_util.h"
#include "protocol/replies.h"

namespace velmora::protocol {

using platform::CopyUtf8Field;
using namespace detail;  // the JSON helpers the reply parsers share

namespace {

// Network labels longer than this (after conversion to CP936) are left empty.
constexpr size_t kNetworkLabelMaxBytes = 30;

const char* StringMember(const cJSON* object, const char* name) {
    const cJSON* item = Member(object, name);
    if (item == nullptr || !cJSON_IsString(item)) return nullptr;
    return item->valuestring;
}

void FillLabel(AbilityOption& option, const cJSON* member, AbilityShape shape) {
    if (!cJSON_IsString(member) || member->valuestring == nullptr) return;  // label stays empty
    const char* text = member->valuestring;
    if (shape == AbilityShape::Usb) {
        CopyUtf8Field(option.label, sizeof option.label, text);
        return;
    }
    std::string cp936;
    if (!platform::Utf8ToCp936(text, cp936)) return;  // not convertible: empty label
    if (cp936.size() > kNetworkLabelMaxBytes) return;
    std::memcpy(option.label, cp936.data(), cp936.size());
    option.label[cp936.size()] = '\0';
}

// Builds one item from an element of Image; false when the element is skipped.
bool BuildItem(const cJSON* element, AbilityShape shape, AbilityItem& item) {
    const char* key = StringMember(element, "Key");
    if (key == nullptr) return false;
    std::optional<int32_t> display = MemberInt(element, "Display");
    if (!display) return false;

    CopyUtf8Field(item.key, sizeof item.key, key);
    item.display = static_cast<uint8_t>(static_cast<uint32_t>(*display) & 0xFFu);
    if (item.display == 0) return true;
    if (item.display == 2) {
        if (const char* rule = StringMember(element, "DisplayRule")) CopyUtf8Field(item.displayRule, sizeof item.displayRule, rule);
        return true;
    }

    const cJSON* zh = Member(element, "zh");
    if (const char* title = StringMember(zh, "Title")) CopyUtf8Field(item.title, sizeof item.title, title);
    const cJSON* choices = shape == AbilityShape::Network ? Member(Member(zh, "Value"), "Options") : Member(zh, "Options");
    if (choices == nullptr || !cJSON_IsObject(choices)) return true;  // no choices: the page keeps its own
    for (const cJSON* member = choices->child; member != nullptr; member = member->next) {
        AbilityOption option;
        option.value = AbilityOptionValueFromName(member->string);
        FillLabel(option, member, shape);
        item.options.push_back(option);
    }
    return true;
}

}  // namespace

const AbilityItem* AbilityList::Find(std::string_view key) const {
    for (const AbilityItem& item : items_) {
        if (platform::EqualsIgnoreCase(std::string_view(item.key, strnlen(item.key, sizeof item.key)), key))
            return &item;
    }
    return nullptr;
}

int32_t AbilityOptionValueFromName(const char* name) {
    if (name == nullptr) return 0;
    bool negative = false;
    if (*name == '-' || *name == '+') {
        negative = *name == '-';
        ++name;
    }
    int64_t value = 0;
    for (; *name >= '0' && *name <= '9'; ++name) {
        value = value * 10 + (*name - '0');
        if (value > static_cast<int64_t>(std::numeric_limits<int32_t>::max()) + 1) break;
    }
    if (negative) value = -value;
    if (value > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
    if (value < std::numeric_limits<int32_t>::min()) return std::numeric_limits<int32_t>::min();
    return static_cast<int32_t>(value);
}

int ParseAbilityListReply(const char* text, AbilityShape shape, int transportResult, AbilityList& list) {
    JsonPtr root = ParseObject(text);
    if (!root) return kReplyNotParsed;  // the old list stays
    ReplyHead head = ReadReplyHead(root.get());
    if (!head.result) return kReplyIncomplete;
    if (*head.result < 0) return *head.result;
    const cJSON* image = Member(head.content, "Image");
    if (image == nullptr || !cJSON_IsArray(image)) return kReplyIncomplete;

    // Build the new list aside and swap it in: nothing of the old list survives a rebuild.
    AbilityList rebuilt;
    for (const cJSON* element = image->child; element != nullptr; element = element->next) {
        if (!cJSON_IsObject(element)) continue;
        AbilityItem item;
        if (BuildItem(element, shape, item)) rebuilt.Append(std::move(item));
    }
    list.Swap(rebuilt);
    return transportResult;
}

}  // namespace velmora::protocol
