// The ability rules and the shared shutter table (exact keys, the "ssc8836" rule, option labels
// from either transport, "1/%d" texts, loading and filtering), then the exposure page with a
// recording host and a fake clock: record -> controls where the mapping
// is not identity (signed compensation, iris 254, metering v-1, the shutter table and its
// frame-rate filter, out-of-range loads), controls -> requests, the two mode rules with and
// without their ability flags, the ability list (options replace items, empty list -> built-in
// items, exact keys, the shared shutter table) and the page's look.
#include <cstring>

#include <QApplication>
#include <QComboBox>
#include <QFocusEvent>
#include <QLabel>
#include <QLineEdit>
#include <QSlider>
#include <gtest/gtest.h>

#include "platform/codepage.h"
#include "protocol/video_param.h"
#include "ui/params/ability_rules.h"
#include "ui/params/exposure_page.h"
#include "ui/recording_host.h"
#include "ui/params/shutter_table.h"
#include "ui_test_support.h"

using namespace velmora::platform;
using namespace velmora::protocol;

namespace velmora::ui {
namespace {

using namespace exposure_ids;
using Sent = std::vector<std::string>;

AbilityItem Item(const char* key, uint8_t display = 1, const char* rule = "",
                 std::initializer_list<std::pair<const char*, int32_t>> options = {}) {
    AbilityItem item;
    std::strncpy(item.key, key, sizeof item.key - 1);
    item.display = display;
    std::strncpy(item.displayRule, rule, sizeof item.displayRule - 1);
    for (const auto& [label, value] : options) {
        AbilityOption option;
        std::strncpy(option.label, label, sizeof option.label - 1);
        option.value = value;
        item.options.push_back(option);
    }
    return item;
}

void AddOption(AbilityItem& item, const char* label, int32_t value) {
    AbilityOption option;
    std::strncpy(option.label, label, sizeof option.label - 1);
    option.value = value;
    item.options.push_back(option);
}

QStringList Items(QComboBox* box) {
    QStringList items;
    for (int i = 0; i < box->count(); ++i) items.append(box->itemText(i));
    return items;
}

struct Record {
    VideoParam rec;
    uint8_t& At(int offset) { return rec.bytes[kExposureSlice + offset]; }
    void Shutter(int32_t value) {
        for (int i = 0; i < 4; ++i) At(6 + i) = static_cast<uint8_t>(static_cast<uint32_t>(value) >> (8 * i));
    }
};

class ExposurePageTest : public ::testing::Test {
protected:
    // The shutter table is process-wide: every test starts from it as the program starts.
    ExposurePageTest() {
        ShutterTable::Shared().Reset();
        page.SetHost(&host, false);
    }
    ~ExposurePageTest() override { ShutterTable::Shared().Reset(); }

    void Fill(Record& record) {
        page.FillFromRecord(std::span<const uint8_t>(record.rec.bytes).subspan(kExposureSlice));
    }
    // The user picks `index` in the box: the box shows it, then reports the activation.
    void Choose(int comboId, int index) {
        QComboBox* box = page.Combo(comboId);
        box->setCurrentIndex(index);
        emit box->activated(index);
    }
    void ChooseText(int comboId, const char* text) {
        const int index = page.Combo(comboId)->findText(QString::fromUtf8(text));
        ASSERT_GE(index, 0) << text;
        Choose(comboId, index);
    }
    // Whether each of the groups the exposure-mode rule manages is enabled, label included.
    bool RowEnabled(int controlId) {
        const bool label = page.Label(controlId)->isEnabled();
        QWidget* control = page.Slider(controlId) ? static_cast<QWidget*>(page.Slider(controlId))
                                                  : page.Combo(controlId);
        EXPECT_EQ(control->isEnabled(), label) << controlId;
        if (QLineEdit* edit = page.Edit(controlId)) {
            EXPECT_EQ(edit->isEnabled(), label) << controlId;
        }
        return label;
    }
    std::vector<bool> ModeGroups() {
        return {RowEnabled(kShutterCombo),   RowEnabled(kGainSlider),
                RowEnabled(kGainLimitSlider), RowEnabled(kIrisCombo),
                RowEnabled(kCompensationSlider), RowEnabled(kBacklightCombo),
                RowEnabled(kAntiFlickerCombo)};
    }

    test::RecordingMessages messages;
    test::FakeClock clock;
    RecordingHost host;
    ExposureTab page;
};

TEST_F(ExposurePageTest, RecordFillsControlsThroughTheMappingsWithoutSending) {
    page.FillShutterList(30);
    // Metering 0 lies below the list, 1/25 is filtered out at 30 frames per second, gain 0 and
    // WDR level 150 lie outside their sliders.
    Record record;
    for (auto [at, byte] : {std::pair{0, 1}, {1, 0}, {2, 0xF6}, {3, 0}, {5, 254}, {11, 150}, {13, 2}}) {
        record.At(at) = static_cast<uint8_t>(byte);
    }
    record.Shutter(7);
    Fill(record);
    EXPECT_EQ(page.Combo(kModeCombo)->currentText(), "手动");
    EXPECT_EQ(page.Value(kMeteringCombo), -1);
    EXPECT_EQ(page.Edit(kCompensationSlider)->text(), "-10");
    EXPECT_EQ(page.Slider(kCompensationSlider)->value(), -10);
    EXPECT_EQ(page.Slider(kGainSlider)->value(), 1);
    EXPECT_EQ(page.Combo(kIrisCombo)->currentText(), "关闭");
    EXPECT_EQ(page.Combo(kShutterCombo)->currentIndex(), -1);
    EXPECT_EQ(page.Edit(kWdrLevelSlider)->text(), "150");
    EXPECT_EQ(page.Slider(kWdrLevelSlider)->value(), 100);
    EXPECT_EQ(page.Combo(kAntiFlickerCombo)->currentText(), "60Hz");
    EXPECT_TRUE(host.sent.empty());

    // Shutter value in no entry: the first item; a known one: its text; iris v: index v + 1;
    // metering v: index v - 1; compensation at the slider's ends.
    record.Shutter(99);
    record.At(5) = 3;
    record.At(1) = 4;
    Fill(record);
    EXPECT_EQ(page.Combo(kShutterCombo)->currentText(), "1/30");
    EXPECT_EQ(page.Combo(kIrisCombo)->currentText(), "F2.8");
    EXPECT_EQ(page.Combo(kMeteringCombo)->currentText(), "底部");
    record.Shutter(30);
    record.At(5) = 11;  // index 12: beyond the twelve items
    record.At(2) = 0x80;
    Fill(record);
    EXPECT_EQ(page.Combo(kShutterCombo)->currentText(), "1/50");
    EXPECT_EQ(page.Combo(kIrisCombo)->currentIndex(), -1);
    EXPECT_EQ(page.Edit(kCompensationSlider)->text(), "-128");
    EXPECT_EQ(page.Slider(kCompensationSlider)->value(), -50);
    EXPECT_TRUE(host.sent.empty());
}

TEST_F(ExposurePageTest, ChoicesSendTheMappedValues) {
    page.FillShutterList(30);
    ASSERT_EQ(page.Combo(kShutterCombo)->count(), 21);
    ChooseText(kShutterCombo, "1/50");
    ChooseText(kShutterCombo, "1/4000");
    ChooseText(kIrisCombo, "F2.8");
    ChooseText(kIrisCombo, "关闭");
    ChooseText(kMeteringCombo, "底部");
    ChooseText(kMeteringCombo, "全局");
    ChooseText(kAntiFlickerCombo, "50Hz");
    // The signed compensation is clamped to the slider's range like every typed value.
    page.Edit(kCompensationSlider)->setText("-60");
    QFocusEvent out(QEvent::FocusOut, Qt::TabFocusReason);
    QApplication::sendEvent(page.Edit(kCompensationSlider), &out);
    EXPECT_EQ(host.sent, (Sent{"\"uiMShutterSpeed\":30", "\"uiMShutterSpeed\":25",
                               "\"ucManualIris\":3", "\"ucManualIris\":254",
                               "\"ucAEWeightLevel\":4", "\"ucAEWeightLevel\":1",
                               "\"ucAntiFlicker\":1", "\"BExpCPS\":-50"}));
    EXPECT_EQ(page.Slider(kCompensationSlider)->value(), -50);
}

TEST_F(ExposurePageTest, ExposureModeRuleWithAndWithoutTheAbilityFlags) {
    using G = std::vector<bool>;
    // shutter, gain, gain limit, iris, compensation, backlight, anti-flicker
    const G withFlags[4] = {{false, false, true, false, true, true, true},
                            {true, true, false, true, false, false, false},
                            {true, false, true, false, false, true, true},
                            {false, false, true, true, false, true, true}};
    for (int mode = 0; mode < 4; ++mode) {
        page.RunModeRule("exp_mode", mode);
        G expected = withFlags[mode];
        expected[5] = expected[6] = true;  // without the flags both rows are left as they are
        EXPECT_EQ(ModeGroups(), expected) << mode;
    }

    host.abilities.Append(Item("bBacklightCompensation", 2, "ssc8836"));
    host.abilities.Append(Item("ucAntiFlicker", 2, "ssc8836"));
    page.ApplyAbility();
    ASSERT_TRUE(page.BacklightRuleFlag());
    ASSERT_TRUE(page.AntiFlickerRuleFlag());
    for (int mode = 0; mode < 4; ++mode) {
        page.RunModeRule("exp_mode", mode);
        EXPECT_EQ(ModeGroups(), withFlags[mode]) << mode;
    }
    // Any other mode, and rules the page does not own, change nothing; rules never hide.
    page.RunModeRule("exp_mode", 1);
    page.RunModeRule("exp_mode", 4);
    page.RunModeRule("exp_mode", -1);
    page.RunModeRule("wb_mode", 0);
    EXPECT_EQ(ModeGroups(), withFlags[1]);
    EXPECT_FALSE(page.Combo(kAntiFlickerCombo)->isVisibleTo(&page));

    // The flags stay set for the page's life, also after an empty ability list.
    host.abilities.Clear();
    page.ApplyAbility();
    EXPECT_TRUE(page.BacklightRuleFlag());
    EXPECT_TRUE(page.AntiFlickerRuleFlag());

    // The fill runs the rule with the record's mode.
    Record record;
    record.At(0) = 2;
    Fill(record);
    EXPECT_EQ(ModeGroups(), withFlags[2]);
    // Another Display or a key in other case sets no flag on a fresh page.
    ExposureTab other;
    other.SetHost(&host, true);
    host.abilities.Append(Item("ucAntiFlicker", 1, "ssc8836"));
    host.abilities.Append(Item("bbacklightcompensation", 2, "ssc8836"));
    other.ApplyAbility();
    EXPECT_FALSE(other.BacklightRuleFlag() || other.AntiFlickerRuleFlag());
}

TEST_F(ExposurePageTest, ModeAndWdrChoicesRunTheirRulesOnlyWhenTheSetReturnsZero) {
    Record record;  // auto, WDR off
    Fill(record);
    EXPECT_FALSE(RowEnabled(kWdrLevelSlider));
    EXPECT_FALSE(RowEnabled(kGainSlider));

    host.setResult = -5;
    ChooseText(kModeCombo, "手动");
    ChooseText(kWdrCombo, "打开");
    EXPECT_EQ(messages.shown, (std::vector<std::string>{"设置失败！", "设置失败！"}));
    EXPECT_FALSE(RowEnabled(kGainSlider));
    EXPECT_FALSE(RowEnabled(kWdrLevelSlider));
    EXPECT_EQ(page.Combo(kModeCombo)->currentText(), "手动");  // the box keeps the choice

    host.setResult = 1;  // a positive result is not exactly 0 either
    ChooseText(kModeCombo, "手动");
    EXPECT_FALSE(RowEnabled(kGainSlider));

    host.setResult = 0;
    ChooseText(kModeCombo, "手动");
    ChooseText(kWdrCombo, "打开");
    EXPECT_TRUE(RowEnabled(kGainSlider));
    EXPECT_FALSE(RowEnabled(kGainLimitSlider));
    EXPECT_TRUE(RowEnabled(kWdrLevelSlider));
    ChooseText(kWdrCombo, "关闭");
    EXPECT_FALSE(RowEnabled(kWdrLevelSlider));
    // The WDR level follows the record's WDR byte on a fill, whatever its value.
    record.At(10) = 7;
    Fill(record);
    EXPECT_TRUE(RowEnabled(kWdrLevelSlider));
    EXPECT_EQ(page.Combo(kWdrCombo)->currentIndex(), -1);
}

TEST_F(ExposurePageTest, AbilityListReplacesIrisItemsAndLoadsTheSharedShutterTable) {
    // Options replace the template's iris items; the index mapping stays.
    host.abilities.Append(Item("ucManualIris", 1, "", {{"关", 0}, {"F1.0", 0}, {"F1.4", 0}}));
    host.abilities.Append(Item("uiMShutterSpeed", 1, "",
                               {{"1/15", 40}, {"1/30", 41}, {"1/120", 42}, {"slow", 43}}));
    page.ApplyAbility();
    EXPECT_EQ(Items(page.Combo(kIrisCombo)), (QStringList{"关", "F1.0", "F1.4"}));
    ChooseText(kIrisCombo, "F1.4");
    EXPECT_EQ(host.sent.back(), "\"ucManualIris\":1");

    // The loaded table is the process's: a page of the other host lists it too. "slow" does
    // not parse and keeps its slot's old denominator (no earlier load here: 0, filtered out).
    ExposureTab other;
    RecordingHost otherHost;
    other.SetHost(&otherHost, true);
    other.FillShutterList(25);
    EXPECT_EQ(Items(other.Combo(kShutterCombo)), (QStringList{"1/30", "1/120"}));
    page.FillShutterList(25);
    ChooseText(kShutterCombo, "1/120");
    EXPECT_EQ(host.sent.back(), "\"uiMShutterSpeed\":42");
    Record record;
    record.Shutter(41);
    Fill(record);
    EXPECT_EQ(page.Combo(kShutterCombo)->currentText(), "1/30");
    record.Shutter(30);  // a built-in value, unknown to this camera: the first item
    Fill(record);
    EXPECT_EQ(page.Combo(kShutterCombo)->currentIndex(), 0);

    // An iris item without options empties the box; the key must match exactly.
    host.abilities.Clear();
    host.abilities.Append(Item("UCMANUALIRIS", 1, "", {{"x", 1}}));
    host.abilities.Append(Item("ucManualIris"));
    page.ApplyAbility();
    EXPECT_EQ(page.Combo(kIrisCombo)->count(), 0);
    // A list without the members leaves the items; the shutter table is the built-in one again.
    host.abilities.Clear();
    host.abilities.Append(Item("eWBMode", 1, "", {{"自动", 1}}));
    page.ApplyAbility();
    page.FillShutterList(30);
    EXPECT_EQ(page.Combo(kIrisCombo)->count(), 0);
    EXPECT_EQ(page.Combo(kShutterCombo)->count(), 21);
    // An empty list loads the built-in iris items.
    host.abilities.Clear();
    page.ApplyAbility();
    EXPECT_EQ(page.Combo(kIrisCombo)->count(), 12);
    EXPECT_EQ(page.Combo(kIrisCombo)->itemText(11), "F9.6");
    EXPECT_EQ(page.Combo(kIrisCombo)->currentText(), "F1.5");  // the page value, index 1, again
}

TEST_F(ExposurePageTest, LooksAndNames) {
    EXPECT_EQ(page.objectName(), "曝光参数");
    EXPECT_EQ(page.accessibleName(), "曝光参数");
    page.SetHost(&host, true);
    EXPECT_EQ(page.TitleLabel()->text(), "曝光参数");
    EXPECT_TRUE(page.TitleLabel()->isVisibleTo(&page));

    const std::pair<int, const char*> names[] = {
        {kModeCombo, "曝光模式"},     {kCompensationSlider, "曝光补偿值"},
        {kShutterCombo, "快门速度"},  {kIrisCombo, "光圈"},
        {kGainSlider, "增益"},        {kGainLimitSlider, "增益限制"},
        {kMeteringCombo, "曝光区域"}, {kWdrCombo, "宽动态"},
        {kWdrLevelSlider, "宽动态等级"}, {kBacklightCombo, "背光补偿"},
        {kAntiFlickerCombo, "防闪烁"}};
    const QRect area = page.rect();
    for (const auto& [id, name] : names) {
        QWidget* control = page.Slider(id) ? static_cast<QWidget*>(page.Slider(id)) : page.Combo(id);
        ASSERT_NE(control, nullptr) << name;
        EXPECT_EQ(control->accessibleName(), QString::fromUtf8(name));
        EXPECT_EQ(control->objectName(), QString::number(id));
        EXPECT_EQ(page.Label(id)->buddy(), control);
        EXPECT_TRUE(area.contains(control->geometry())) << name;
        EXPECT_TRUE(area.contains(page.Label(id)->geometry())) << name;
        EXPECT_LE(page.Label(id)->sizeHint().width(), page.Label(id)->width()) << name;
        EXPECT_LE(page.Label(id)->geometry().right(), control->geometry().left()) << name;
        if (QLineEdit* edit = page.Edit(id)) {
            EXPECT_EQ(edit->accessibleName(), QString::fromUtf8(name));
            EXPECT_TRUE(area.contains(edit->geometry())) << name;
            EXPECT_LE(control->geometry().right(), edit->geometry().left()) << name;
        }
    }
    // Rules find labels by id; anti-flicker is hidden; the shutter box starts empty.
    EXPECT_EQ(page.findChild<QLabel*>(QString::number(kAntiFlickerLabel)), page.Label(kAntiFlickerCombo));
    EXPECT_FALSE(page.Label(kAntiFlickerCombo)->isVisibleTo(&page));
    EXPECT_FALSE(page.Combo(kAntiFlickerCombo)->isVisibleTo(&page));
    EXPECT_TRUE(page.Combo(kBacklightCombo)->isVisibleTo(&page));
    EXPECT_EQ(page.Combo(kShutterCombo)->count(), 0);
}

TEST(AbilityRulesTest, KeysMatchExactlyAndTheRuleNeedsDisplayTwo) {
    const AbilityItem iris = Item("ucManualIris");
    EXPECT_TRUE(AbilityKeyIs(iris, "ucManualIris"));
    EXPECT_FALSE(AbilityKeyIs(iris, "ucmanualiris"));
    EXPECT_FALSE(AbilityKeyIs(iris, "ucManualIri"));

    // A key filling its whole field without a terminator is still read within the field.
    AbilityItem full;
    std::memset(full.key, 'k', sizeof full.key);
    EXPECT_TRUE(AbilityKeyIs(full, std::string(sizeof full.key, 'k')));

    EXPECT_TRUE(HasSsc8836Rule(Item("bBacklightCompensation", 2, "ssc8836")));
    EXPECT_FALSE(HasSsc8836Rule(Item("bBacklightCompensation", 1, "ssc8836")));
    EXPECT_FALSE(HasSsc8836Rule(Item("bBacklightCompensation", 2, "SSC8836")));
}

TEST(AbilityRulesTest, OptionLabelsFromEitherTransportBecomeUtf8) {
    AbilityOption option;
    std::strcpy(option.label, "F2.8");
    EXPECT_EQ(AbilityLabelUtf8(option), "F2.8");
    std::strcpy(option.label, "关闭");  // read over USB: the camera's UTF-8
    EXPECT_EQ(AbilityLabelUtf8(option), "关闭");
    const std::string cp936 = Utf8ToCp936("全局");  // read over the network
    ASSERT_FALSE(cp936.empty());
    std::strcpy(option.label, cp936.c_str());
    EXPECT_EQ(AbilityLabelUtf8(option), "全局");
    // Bytes valid in neither encoding are kept rather than dropped.
    std::strcpy(option.label, "a\xFF");
    EXPECT_EQ(AbilityLabelUtf8(option), "a\xFF");
    // A label without its terminator ends at the field.
    std::memset(option.label, 'x', sizeof option.label);
    EXPECT_EQ(AbilityLabelUtf8(option), std::string(sizeof option.label, 'x'));

    EXPECT_TRUE(IsValidUtf8("F1.5 \xE2\x82\xAC \xF0\x9F\x98\x80"));
    for (const char* bad : {"\xC0\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xE5\x85", "\xE5\x41\x41"}) {
        EXPECT_FALSE(IsValidUtf8(bad)) << bad;  // overlong, surrogate, too high, cut, no continuation
    }
}

TEST(AbilityRulesTest, ShutterTextsAreScannedLikeTheFormat) {
    EXPECT_EQ(ParseShutterText("1/50"), 50);
    EXPECT_EQ(ParseShutterText("1/ 60"), 60);
    EXPECT_EQ(ParseShutterText("1/250s"), 250);  // trailing text is ignored
    EXPECT_EQ(ParseShutterText("1/-5"), -5);
    EXPECT_EQ(ParseShutterText("1/2147483647"), 2147483647);
    for (const char* bad : {"1/2147483648", "1/99999999999999999999999", "1/", "1/x", " 1/50", "2/50"}) {
        EXPECT_EQ(ParseShutterText(bad), std::nullopt) << bad;
    }
    EXPECT_EQ(ShutterText(-5), "1/-5");
}

TEST(ShutterTableTest, BuiltInTableFilteredByFrameRateAndLoadedOptions) {
    ShutterTable table;
    ASSERT_EQ(ShutterTable::BuiltIn().size(), 22u);
    const auto texts = table.Texts(30);
    ASSERT_EQ(texts.size(), 21u);
    EXPECT_EQ(texts.front(), "1/30");
    EXPECT_EQ(texts.back(), "1/4000");
    EXPECT_EQ(table.Texts(0).size(), 22u);
    EXPECT_EQ(table.Texts(5000).size(), 0u);

    // The values do not follow the denominators.
    EXPECT_EQ(table.ValueForText("1/50"), 30);
    EXPECT_EQ(table.ValueForText("1/140"), 31);
    EXPECT_EQ(table.ValueForText("1/33"), 7);  // unknown: the first entry's value
    EXPECT_EQ(table.ValueForText(""), 7);
    ASSERT_NE(table.EntryForValue(32), nullptr);
    EXPECT_EQ(table.EntryForValue(32)->denominator, 160);
    EXPECT_EQ(table.EntryForValue(99), nullptr);

    AbilityItem item = Item("uiMShutterSpeed");
    AddOption(item, "1/10", 100);
    AddOption(item, "1/20", 101);
    AddOption(item, "1/20", 102);  // a repeated text sends the first entry's value
    table.LoadOptions(item);
    ASSERT_EQ(table.Active().size(), 3u);
    EXPECT_EQ(table.Texts(15), (std::vector<std::string>{"1/20", "1/20"}));
    EXPECT_EQ(table.ValueForText("1/20"), 101);
    EXPECT_EQ(table.ValueForText("1/50"), 100);
    EXPECT_EQ(table.EntryForValue(30), nullptr);  // the built-in values are gone

    // A label that does not parse keeps the denominator its slot held before.
    AbilityItem second = Item("uiMShutterSpeed");
    AddOption(second, "1/10", 1);
    AddOption(second, "fast", 2);
    table.LoadOptions(second);
    ASSERT_EQ(table.Active().size(), 2u);
    EXPECT_EQ(table.Active()[1].denominator, 20);
    EXPECT_EQ(table.Active()[1].value, 2);

    AbilityItem many = Item("uiMShutterSpeed");
    for (int i = 1; i <= 45; ++i) AddOption(many, ShutterText(i * 10).c_str(), i);
    table.LoadOptions(many);
    EXPECT_EQ(table.Active().size(), ShutterTable::kCapacity);
    EXPECT_EQ(table.Active().back().denominator, 400);

    // No options, or a cleared table: the built-in table is active again.
    table.LoadOptions(Item("uiMShutterSpeed"));
    EXPECT_EQ(table.Active().size(), 22u);
    table.LoadOptions(many);
    table.Clear();
    EXPECT_EQ(table.ValueForText("1/50"), 30);
}

}  // namespace
}  // namespace velmora::ui
