#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/ability_list.h"

// The shutter speeds the exposure page offers: each entry a denominator (the shutter time is
// 1/denominator second) and the value the camera uses for it. One table serves the whole process,
// so the exposure pages of both hosts share it and the last camera whose ability list was applied
// decides it. A count of 0 means the built-in table is active.
// Thread-bound: the user-interface thread.
namespace velmora::ui {

struct ShutterEntry {
    int32_t denominator = 0;
    int32_t value = 0;
};

// Parses a shutter text the way "1/%d" is scanned: "1/", optional blanks, an optional sign and
// digits; anything after the digits is ignored. Nullopt when the text does not match or the
// number does not fit 32 bits.
std::optional<int32_t> ParseShutterText(std::string_view text);

// "1/<denominator>".
std::string ShutterText(int32_t denominator);

class ShutterTable {
public:
    static constexpr size_t kCapacity = 40;

    // The process-wide table.
    static ShutterTable& Shared();

    // The built-in table, in its order (the values do not follow the denominators).
    static std::span<const ShutterEntry> BuiltIn();

    // Makes the built-in table active again; the loaded entries stay in their slots.
    void Clear() { count_ = 0; }
    // Forgets every loaded entry too, as the table stands when the program starts (tests).
    void Reset() {
        entries_ = {};
        count_ = 0;
    }

    // Loads the options of a "uiMShutterSpeed" ability item in list order, at most 40: each
    // label parsed as "1/%d" gives the denominator (a label that does not parse leaves the
    // slot's denominator as it was), the option's value the camera's value.
    void LoadOptions(const protocol::AbilityItem& item);

    // The active entries: the loaded ones, or the built-in table while none are loaded.
    std::span<const ShutterEntry> Active() const;

    // The texts of the active entries whose denominator is at least `frameRate`, in table order.
    std::vector<std::string> Texts(int frameRate) const;

    // The value to send for a box item's text: the first active entry with the text's
    // denominator, else the first active entry.
    int32_t ValueForText(std::string_view text) const;

    // The first active entry whose value is `value`.
    const ShutterEntry* EntryForValue(int32_t value) const;

private:
    std::array<ShutterEntry, kCapacity> entries_{};
    size_t count_ = 0;
};

}  // namespace velmora::ui
