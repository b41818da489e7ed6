#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <span>
#include <string_view>
#include <vector>

#include <QWidget>

#include "ui/params/page_host.h"
#include "ui/params/page_table.h"
#include "ui/params/slider_throttle.h"

#include <QStringList>

class QComboBox;
class QLabel;
class QLineEdit;
class QSlider;

// One parameter page built from its table (page_table.h): a label, a slider with its edit box or
// a combo box per row, and the title label. Every change the user makes is sent at once through
// the host as one member; filling from a record sends nothing.
//
// How user actions map to sends:
//  - dragging a slider (sliderMoved): throttled, at most one send per 500 ms per slider, shared
//    by every page of the process; a held-back position is neither stored nor sent;
//  - releasing a dragged slider (sliderReleased): sends the position unless it is already the
//    page's value; no throttle;
//  - keyboard, wheel and page-click steps (valueChanged while not dragged): throttled like moves,
//    and a held-back step is sent when its 500 ms window ends, so the camera ends at the value
//    shown;
//  - leaving an edit box (focus out, or Enter): reads the page, moves the slider, sends the typed
//    number without range check;
//  - choosing in a combo box (activated, never a programmatic selection): sends the mapped value.
// Enter and Esc never reach the hosting dialog. Page kinds add their special rules by
// overriding the hooks.
// Thread-bound: the user-interface thread.
namespace velmora::ui {

class ParamPage : public QWidget {
    Q_OBJECT

public:
    // The title label's control id in every page template.
    static constexpr int kTitleLabelId = 1509;

    explicit ParamPage(const PageSpec& table, QWidget* parent = nullptr);
    ~ParamPage() override;

    const PageSpec& Table() const { return table_; }

    // Binds the page to its host; the title label shows only in the main window (the dialog's
    // tab names the page instead).
    void SetHost(PageHost* host, bool hostedByMainWindow);
    PageHost* Host() const { return host_; }
    bool HostedByMainWindow() const { return hostedByMainWindow_; }

    // Sets every control and value from the page's slice of the record (the slice runs to the
    // end of the record), shows the page, then runs the page's rules.
    void FillFromRecord(std::span<const uint8_t> slice);

    // Hands one member and its value to the host and shows "设置失败！" when the result is
    // negative. Returns the host's result (0 without a host).
    int SendField(const protocol::VideoParamField& field, int value);

    // The record's value of the row whose control is `controlId`, read from the page's slice
    // (as FillFromRecord reads it); nullopt for an unknown row or a slice that does not hold it.
    std::optional<int32_t> RecordValue(int controlId, std::span<const uint8_t> slice) const;

    // Parses every edit box into its value and stores every combo selection. On text that is not
    // an integer, shows "请输入一个整数。", keeps that value, returns the focus to the box and
    // returns false (later rows are not read).
    bool ReadPage();
    // Writes every value back: edit boxes as decimal text, combo boxes as their selection.
    void ShowPage();
    // Shows the record of no camera: empty edit boxes, no combo selection, sliders at the start
    // of their range, and no held-back step; sends nothing. The next fill shows values again.
    void ShowNoRecord();

    // A page rule by name; names the page does not own do nothing.
    virtual void RunModeRule(std::string_view name, int value);

    // Adapts the page to the host's ability list (read when the camera was opened): hides rows,
    // sets rule flags, replaces combo items or loads value tables. Pages without abilities do
    // nothing; ability_rules.h has the matching rules.
    virtual void ApplyAbility();

    // The page's value of the row whose slider or combo box has `controlId` (0 when unknown).
    int Value(int controlId) const;

    QLabel* TitleLabel() const { return title_; }
    QSlider* Slider(int controlId) const;
    QLineEdit* Edit(int controlId) const;  // the edit box of the slider `controlId`
    QComboBox* Combo(int controlId) const;
    QLabel* Label(int controlId) const;

    // Runs `fn` after `ms` milliseconds on this thread; the page uses it for held-back steps.
    // Tests replace it to run the call when they choose.
    using StepScheduler = std::function<void(uint32_t ms, std::function<void()> fn)>;
    void SetStepScheduler(StepScheduler scheduler);

protected:
    // Hooks for the special rules of a page kind.
    virtual void AfterFill(std::span<const uint8_t> slice);
    virtual void AfterComboSent(const PageRow& row, int result);
    // The value a combo row sends for `index`, and the index a record value selects; the
    // defaults are the row's table mappings. Pages whose mapping depends on the box's current
    // items (the shutter speeds) override them.
    virtual int ComboIndexToValueOf(const PageRow& row, int index) const;
    virtual int ComboValueToIndexOf(const PageRow& row, int value) const;
    // The slider position that shows a page value and the page value a position stands for;
    // identity by default. A page whose slider shows its value scaled (the colour temperature
    // in hundreds of kelvin) overrides both; moves and releases compare the position with
    // SliderPositionOf(value) and send SliderValueOf(position).
    virtual int SliderPositionOf(const PageRow& row, int value) const;
    virtual int SliderValueOf(const PageRow& row, int position) const;
    // The value that leaving an edit box commits, from the number read from the box; identity by
    // default. When it differs, the page is shown again so the box shows what was sent.
    virtual int EditCommitValue(const PageRow& row, int value) const;
    // Runs when the user chose in a combo box, before the page is read: the page values are
    // still those in force before the choice.
    virtual void BeforeComboSend(const PageRow& row);

    // The host's ability list; an empty list without a host.
    const protocol::AbilityList& Abilities() const;

    // Sets the page value of a row without sending (show the page to make it visible).
    void SetValue(int controlId, int value);
    // Enables or disables a row's label, control and edit box (mode rules never hide).
    void SetRowEnabled(int controlId, bool enabled);
    // Shows or hides a row's label, control and edit box.
    void SetRowVisible(int controlId, bool visible);
    // When the host's ability list was read (is not empty): every row shown or hidden as its
    // table starts it, so rows the previous camera's list hid (or showed) do not carry over to
    // the next camera. Enabled states and rule flags are the mode rules' and stay.
    void ResetAbilityRows();
    // Replaces a combo box's items (UTF-8 texts) and selects the page value again when it is
    // inside the new list; nothing is selected otherwise. Sends nothing.
    void ReplaceComboItems(int controlId, std::span<const char* const> items);
    void ReplaceComboItems(int controlId, const std::vector<std::string>& items);
    // The same with an ability item's option labels in list order, at most `maxCount`.
    void ReplaceComboItemsFromOptions(int controlId, const protocol::AbilityItem& item,
                                      size_t maxCount = SIZE_MAX);

    void keyPressEvent(QKeyEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    struct RowState {
        const PageRow* row = nullptr;
        const protocol::VideoParamField* field = nullptr;  // RowField of the row
        QLabel* label = nullptr;
        QSlider* slider = nullptr;
        QLineEdit* edit = nullptr;
        QComboBox* combo = nullptr;
        int value = 0;
        bool stepPending = false;
        uint32_t stepGeneration = 0;
    };

    void BuildWidgets();
    void SetComboTexts(RowState& state, const QStringList& texts);
    RowState* RowOf(int controlId);
    const RowState* RowOf(int controlId) const;
    SliderKey KeyOf(const RowState& state) const;
    void SetSliderQuietly(RowState& state, int position);
    void StoreShowSend(RowState& state, int value);
    int SendRow(const RowState& state, int value);

    void OnSliderMoved(size_t index, int position);
    void OnSliderReleased(size_t index);
    void OnSliderValueChanged(size_t index);
    void OnSliderStep(size_t index, uint32_t generation);
    void OnEditLeft(size_t index);
    void OnComboActivated(size_t index, int comboIndex);
    // ReadPage for a commit of `committing`: only that row's box may complain about its text;
    // other rows with bad text keep their last value. Null: every row may complain.
    bool ReadPageFor(const RowState* committing);

    const PageSpec& table_;
    PageHost* host_ = nullptr;
    bool hostedByMainWindow_ = false;
    QLabel* title_ = nullptr;
    std::vector<RowState> rows_;
    bool settingControls_ = false;  // the page itself is moving controls
    bool busy_ = false;             // inside a send or a commit: focus changes are not user acts
    StepScheduler scheduler_;
};

}  // namespace velmora::ui
