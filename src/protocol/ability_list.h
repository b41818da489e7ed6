#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

namespace velmora::protocol {

// The camera's ability list: which image parameters it offers and with which choices, built
// from the ReqGetAbilityLevel reply. The host window owns one list and rebuilds it whenever it
// opens a camera; the parameter pages read it.
// Thread-bound: a list is used by the thread that owns it; the parser is a pure function.

struct AbilityOption {
    char label[32]{};   // zero-terminated; CP936 on the network, the camera's bytes over USB
    int32_t value = 0;  // the option member's name read as a decimal integer ("50Hz" gives 50)
};

struct AbilityItem {
    char key[64]{};          // JSON member name of the parameter, such as eWBMode
    char title[64]{};        // zh.Title
    uint8_t display = 0;     // low byte of Display: 0 not offered, 2 display rule, else offered
    char displayRule[32]{};  // DisplayRule, filled only when display is 2
    std::vector<AbilityOption> options;  // in reply order

    int32_t OptionCount() const { return static_cast<int32_t>(options.size()); }
};

class AbilityList {
public:
    size_t size() const { return items_.size(); }
    bool empty() const { return items_.empty(); }
    const AbilityItem& operator[](size_t i) const { return items_[i]; }
    AbilityItem& operator[](size_t i) { return items_[i]; }
    auto begin() const { return items_.begin(); }
    auto end() const { return items_.end(); }

    // The first item whose key equals `key` (case-insensitive, like the replies' member
    // lookup); null when none.
    const AbilityItem* Find(std::string_view key) const;

    void Clear() { items_.clear(); }
    void Append(AbilityItem item) { items_.push_back(std::move(item)); }
    void Swap(AbilityList& other) noexcept { items_.swap(other.items_); }

private:
    std::vector<AbilityItem> items_;
};

// Where the two transports' replies differ: the choices object is zh.Value.Options on the
// network and zh.Options over USB; network labels are converted from UTF-8 to CP936 (and left
// empty when longer than 30 bytes), USB labels are copied as they are (at most 31 bytes).
enum class AbilityShape { Network, Usb };

// Applies a ReqGetAbilityLevel reply to `list`:
//  - the text does not parse: kReplyNotParsed (-310), old list kept (it used to count as
//    success, so a tool printed an empty list and a window kept another camera's choices);
//  - a negative nResult: returns it and keeps the old list;
//  - Content, nResult or Content.Image (an array) missing: kReplyIncomplete (-311), old list kept;
//  - otherwise the list is rebuilt from Content.Image (nothing of the old list survives) and
//    `transportResult` is returned.
// Texts longer than their fields are cut; elements that are not objects or lack Key or a numeric
// Display are skipped (docs/protocol.md).
int ParseAbilityListReply(const char* text, AbilityShape shape, int transportResult, AbilityList& list);

// Reads an option member's name as a decimal integer: optional sign, then the leading digits
// ("50Hz" 50, "abc" 0), saturating at the int32 limits.
int32_t AbilityOptionValueFromName(const char* name);

}  // namespace velmora::protocol
