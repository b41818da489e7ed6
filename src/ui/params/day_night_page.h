#pragma once

#include "ui/params/param_page.h"

// The day/night page: how the camera switches between day and night operation, two combo boxes
// that send their index unchanged. No record fills it (the record's night-mode bytes are read
// but not shown: its rows have no record offset), and it takes no part in the ability list.
// Thread-bound: the user-interface thread.
namespace velmora::ui {

namespace day_night_ids {
inline constexpr int kTemplate = 269;
inline constexpr int kModeCombo = 1481;
inline constexpr int kSensitivityCombo = 1482;
}  // namespace day_night_ids

const PageSpec& DayNightPageSpec();

class DayNightTab : public ParamPage {
    Q_OBJECT

public:
    explicit DayNightTab(QWidget* parent = nullptr);
};

}  // namespace velmora::ui
