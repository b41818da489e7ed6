#include "ui/params/day_night_page.h"

#include <array>

#include "ui/params/row_layout.h"

namespace velmora::ui {

namespace {

using namespace day_night_ids;
using layout::ComboRow;

constexpr std::array<const char*, 3> kModes{QT_TRANSLATE_NOOP("velmora", "白天"), QT_TRANSLATE_NOOP("velmora", "夜晚"), QT_TRANSLATE_NOOP("velmora", "自动")};
constexpr std::array<const char*, 3> kSensitivities{QT_TRANSLATE_NOOP("velmora", "低"), QT_TRANSLATE_NOOP("velmora", "中"), QT_TRANSLATE_NOOP("velmora", "高")};

constexpr int kLabelWidth = 66;
constexpr int kComboWidth = 80;

constexpr std::array<PageRow, 2> kRows{
    ComboRow(0, QT_TRANSLATE_NOOP("velmora", "日夜切换: "), kModeCombo, "eNightMode", kModes, kLabelWidth, kComboWidth),
    ComboRow(1, QT_TRANSLATE_NOOP("velmora", "日夜切换灵敏度: "), kSensitivityCombo, "ucNightDayChnSensity", kSensitivities,
             kLabelWidth, kComboWidth),
};

constexpr PageSpec kSpec{kTemplate, QT_TRANSLATE_NOOP("velmora", "日夜切换"), 184, 63, DuRect{7, 4, 120, 18}, kRows};

}  // namespace

const PageSpec& DayNightPageSpec() { return kSpec; }

DayNightTab::DayNightTab(QWidget* parent) : ParamPage(kSpec, parent) {}

}  // namespace velmora::ui
