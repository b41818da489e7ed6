#include "ui/params/param_page.h"

#include <QComboBox>
#include <QFocusEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QSlider>
#include <QTimer>

#include <algorithm>

#include "platform/display_text.h"
#include "platform/user_messages.h"
#include "protocol/requests.h"
#include "ui/params/ability_rules.h"
#include "ui/common/dialog_units.h"
#include "ui/common/ui_text.h"

namespace velmora::ui {

namespace {

constexpr const char* kSetFailed = "设置失败！";
constexpr const char* kEnterInteger = "请输入一个整数。";

bool IsEnterKey(int key) { return key == Qt::Key_Return || key == Qt::Key_Enter; }

// The accessible name of a shown label: its text without the colon.
QString NameOf(const QString& label) {
    const QByteArray utf8 = label.toUtf8();
    const std::string_view name = AccessibleNameOf(std::string_view(utf8.constData(), utf8.size()));
    return QString::fromUtf8(name.data(), static_cast<qsizetype>(name.size()));
}

// A translated label longer than the place the page gives it is drawn in a smaller font (down to
// 6 points) rather than cut; the Chinese labels fit and keep the page's font.
void ShrinkToFit(QLabel* label) {
    QFont font = label->font();
    while (font.pointSizeF() > 6.0 && QFontMetrics(font).horizontalAdvance(label->text()) > label->width()) {
        font.setPointSizeF(font.pointSizeF() - 0.5);
    }
    if (font != label->font()) label->setFont(font);
}

}  // namespace

ParamPage::ParamPage(const PageSpec& table, QWidget* parent) : QWidget(parent), table_(table) {
    setObjectName(QString::fromUtf8(table.title));
    setAccessibleName(UiText(table.title));
    // The page takes the focus when Enter commits an edit box.
    setFocusPolicy(Qt::ClickFocus);
    scheduler_ = [this](uint32_t ms, std::function<void()> fn) {
        QTimer::singleShot(static_cast<int>(ms), this, std::move(fn));
    };
    BuildWidgets();
    ShowPage();
}

ParamPage::~ParamPage() = default;

void ParamPage::BuildWidgets() {
    const DialogBaseUnits base = BaseUnitsOf(font());
    const QSize size = ToPixels(DuRect{0, 0, table_.widthDu, table_.heightDu}, base).size();
    resize(size);
    setMinimumSize(size);

    title_ = new QLabel(UiText(table_.title), this);
    title_->setObjectName(QStringLiteral("title"));
    title_->setFont(PageTitleFont());
    title_->setGeometry(ToPixels(table_.titleRect, base));
    title_->setVisible(false);

    rows_.reserve(table_.rows.size());
    for (size_t i = 0; i < table_.rows.size(); ++i) {
        const PageRow& row = table_.rows[i];
        RowState state;
        state.row = &row;
        state.field = ui::RowField(table_, row);
        const QString shown = UiText(row.label);
        const QString name = NameOf(shown);
        state.label = new QLabel(shown, this);
        state.label->setGeometry(ToPixels(row.labelRect, base));
        state.label->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
        ShrinkToFit(state.label);
        QWidget* control = nullptr;
        if (row.kind == RowKind::SliderWithEdit) {
            state.slider = new QSlider(Qt::Horizontal, this);
            state.slider->setRange(row.minimum, row.maximum);
            state.slider->setTickPosition(QSlider::NoTicks);
            state.slider->setGeometry(ToPixels(row.controlRect, base));
            state.slider->setAccessibleName(name);
            state.edit = new QLineEdit(this);
            state.edit->setGeometry(ToPixels(row.editRect, base));
            state.edit->setAccessibleName(name);
            state.edit->installEventFilter(this);
            control = state.slider;
            connect(state.slider, &QSlider::sliderMoved, this,
                    [this, i](int position) { OnSliderMoved(i, position); });
            connect(state.slider, &QSlider::sliderReleased, this, [this, i] { OnSliderReleased(i); });
            connect(state.slider, &QSlider::valueChanged, this, [this, i] { OnSliderValueChanged(i); });
        } else {
            state.combo = new QComboBox(this);
            for (const char* item : row.items) state.combo->addItem(UiText(item));
            state.combo->setGeometry(ToPixels(row.controlRect, base));
            state.combo->setAccessibleName(name);
            control = state.combo;
            connect(state.combo, &QComboBox::activated, this,
                    [this, i](int index) { OnComboActivated(i, index); });
        }
        control->setObjectName(QString::number(row.controlId));
        if (state.edit) state.edit->setObjectName(QString::number(row.editId));
        if (row.labelId != 0) state.label->setObjectName(QString::number(row.labelId));
        state.label->setBuddy(control);
        if (row.hidden) {
            state.label->setHidden(true);
            control->setHidden(true);
            if (state.edit) state.edit->setHidden(true);
        }
        rows_.push_back(state);
    }
}

void ParamPage::SetHost(PageHost* host, bool hostedByMainWindow) {
    host_ = host;
    hostedByMainWindow_ = hostedByMainWindow;
    title_->setVisible(hostedByMainWindow);
}

void ParamPage::SetStepScheduler(StepScheduler scheduler) { scheduler_ = std::move(scheduler); }

ParamPage::RowState* ParamPage::RowOf(int controlId) {
    for (RowState& state : rows_) {
        if (state.row->controlId == controlId) return &state;
    }
    return nullptr;
}

const ParamPage::RowState* ParamPage::RowOf(int controlId) const {
    return const_cast<ParamPage*>(this)->RowOf(controlId);
}

int ParamPage::Value(int controlId) const {
    const RowState* state = RowOf(controlId);
    return state ? state->value : 0;
}

QSlider* ParamPage::Slider(int controlId) const {
    const RowState* state = RowOf(controlId);
    return state ? state->slider : nullptr;
}

QLineEdit* ParamPage::Edit(int controlId) const {
    const RowState* state = RowOf(controlId);
    return state ? state->edit : nullptr;
}

QComboBox* ParamPage::Combo(int controlId) const {
    const RowState* state = RowOf(controlId);
    return state ? state->combo : nullptr;
}

QLabel* ParamPage::Label(int controlId) const {
    const RowState* state = RowOf(controlId);
    return state ? state->label : nullptr;
}

SliderKey ParamPage::KeyOf(const RowState& state) const {
    return SliderKey{table_.templateId, state.row->controlId};
}

void ParamPage::SetSliderQuietly(RowState& state, int position) {
    settingControls_ = true;
    state.slider->setValue(position);  // the slider keeps the position within its range
    settingControls_ = false;
}

int ParamPage::SendField(const protocol::VideoParamField& field, int value) {
    if (!host_) return 0;
    const bool wasBusy = busy_;
    busy_ = true;
    const int result = host_->SetVideoParamField(field, value);
    if (result < 0) platform::Messages().Information(kSetFailed);
    busy_ = wasBusy;
    return result;
}

bool ParamPage::ReadPage() { return ReadPageFor(nullptr); }

bool ParamPage::ReadPageFor(const RowState* committing) {
    for (RowState& state : rows_) {
        if (state.combo) {
            state.value = state.combo->currentIndex();
            continue;
        }
        const QByteArray text = state.edit->text().toUtf8();
        const auto parsed = ParseEditInteger(std::string_view(text.constData(), text.size()));
        // Another box's bad text is that box's business: it complains when it is left; here it
        // keeps its last value.
        if (!parsed && committing != nullptr && committing != &state) continue;
        if (!parsed) {
            const bool wasBusy = busy_;
            busy_ = true;
            platform::Messages().Information(kEnterInteger);
            state.edit->setFocus(Qt::OtherFocusReason);
            state.edit->selectAll();
            busy_ = wasBusy;
            return false;
        }
        state.value = *parsed;
    }
    return true;
}

void ParamPage::ShowPage() {
    settingControls_ = true;
    for (RowState& state : rows_) {
        if (state.edit) {
            state.edit->setText(QString::number(state.value));
        } else if (state.combo) {
            const bool inList = state.value >= 0 && state.value < state.combo->count();
            state.combo->setCurrentIndex(inList ? state.value : -1);
        }
    }
    settingControls_ = false;
}

void ParamPage::ShowNoRecord() {
    settingControls_ = true;
    for (RowState& state : rows_) {
        ++state.stepGeneration;  // a held-back step of the camera that went is void
        state.stepPending = false;
        if (state.slider) {
            state.value = SliderValueOf(*state.row, state.row->minimum);
            state.slider->setValue(state.row->minimum);
            state.edit->clear();
        } else {
            state.value = -1;
            state.combo->setCurrentIndex(-1);
        }
    }
    settingControls_ = false;
}

void ParamPage::FillFromRecord(std::span<const uint8_t> slice) {
    for (RowState& state : rows_) {
        ++state.stepGeneration;  // a held-back step from before the fill is void
        state.stepPending = false;
        const auto value = RecordValue(state.row->controlId, slice);
        if (!value) continue;
        if (state.slider) {
            state.value = *value;
            SetSliderQuietly(state, SliderPositionOf(*state.row, *value));
        } else {
            state.value = ComboValueToIndexOf(*state.row, *value);
        }
    }
    ShowPage();
    AfterFill(slice);
}

int ParamPage::SendRow(const RowState& state, int value) {
    // Every row's member is in the field table (checked over all pages by the row-table test);
    // a row without a field sends nothing rather than a member the camera does not know.
    return state.field ? SendField(*state.field, value) : 0;
}

std::optional<int32_t> ParamPage::RecordValue(int controlId, std::span<const uint8_t> slice) const {
    const RowState* state = RowOf(controlId);
    if (state == nullptr || state->field == nullptr) return std::nullopt;
    return ReadRowValue(*state->field, table_.sliceOffset, slice);
}

void ParamPage::RunModeRule(std::string_view, int) {}
void ParamPage::ApplyAbility() {}
void ParamPage::AfterFill(std::span<const uint8_t>) {}
void ParamPage::AfterComboSent(const PageRow&, int) {}

int ParamPage::ComboIndexToValueOf(const PageRow& row, int index) const {
    return ComboIndexToValue(row, index);
}

int ParamPage::ComboValueToIndexOf(const PageRow& row, int value) const {
    return ComboValueToIndex(row, value);
}

int ParamPage::SliderPositionOf(const PageRow&, int value) const { return value; }
int ParamPage::SliderValueOf(const PageRow&, int position) const { return position; }
int ParamPage::EditCommitValue(const PageRow&, int value) const { return value; }
void ParamPage::BeforeComboSend(const PageRow&) {}

const protocol::AbilityList& ParamPage::Abilities() const {
    static const protocol::AbilityList kNone;
    return host_ ? host_->Abilities() : kNone;
}

void ParamPage::SetValue(int controlId, int value) {
    if (RowState* state = RowOf(controlId)) state->value = value;
}

void ParamPage::SetRowEnabled(int controlId, bool enabled) {
    RowState* state = RowOf(controlId);
    if (!state) return;
    state->label->setEnabled(enabled);
    if (state->slider) state->slider->setEnabled(enabled);
    if (state->edit) state->edit->setEnabled(enabled);
    if (state->combo) state->combo->setEnabled(enabled);
}

void ParamPage::SetRowVisible(int controlId, bool visible) {
    RowState* state = RowOf(controlId);
    if (!state) return;
    state->label->setHidden(!visible);
    if (state->slider) state->slider->setHidden(!visible);
    if (state->edit) state->edit->setHidden(!visible);
    if (state->combo) state->combo->setHidden(!visible);
}

void ParamPage::ResetAbilityRows() {
    if (Abilities().empty()) return;  // nothing read: the rows stay as they are
    for (const RowState& state : rows_) SetRowVisible(state.row->controlId, !state.row->hidden);
}

void ParamPage::SetComboTexts(RowState& state, const QStringList& texts) {
    settingControls_ = true;
    state.combo->clear();
    state.combo->addItems(texts);
    const bool inList = state.value >= 0 && state.value < state.combo->count();
    state.combo->setCurrentIndex(inList ? state.value : -1);
    settingControls_ = false;
}

void ParamPage::ReplaceComboItems(int controlId, std::span<const char* const> items) {
    RowState* state = RowOf(controlId);
    if (!state || !state->combo) return;
    QStringList texts;
    for (const char* item : items) texts.append(UiText(item));
    SetComboTexts(*state, texts);
}

void ParamPage::ReplaceComboItems(int controlId, const std::vector<std::string>& items) {
    RowState* state = RowOf(controlId);
    if (!state || !state->combo) return;
    QStringList texts;
    // A camera's own option texts are mostly the given Chinese ones: shown translated when known.
    for (const std::string& item : items) texts.append(UiText(item.c_str()));
    SetComboTexts(*state, texts);
}

void ParamPage::ReplaceComboItemsFromOptions(int controlId, const protocol::AbilityItem& item,
                                             size_t maxCount) {
    std::vector<std::string> labels;
    for (const protocol::AbilityOption& option : item.options) {
        if (labels.size() >= maxCount) break;
        labels.push_back(platform::EscapeForDisplay(AbilityLabelUtf8(option)));  // a camera's text: controls escaped
    }
    ReplaceComboItems(controlId, labels);
}

void ParamPage::StoreShowSend(RowState& state, int value) {
    state.value = value;
    ShowPage();
    SendRow(state, value);
}

void ParamPage::OnSliderMoved(size_t index, int position) {
    RowState& state = rows_[index];
    if (settingControls_ || position == SliderPositionOf(*state.row, state.value)) return;
    SliderThrottle& throttle = SliderThrottle::Shared();
    const uint32_t now = throttle.Now();
    if (throttle.WaitBeforeSend(KeyOf(state), now) > 0) return;
    StoreShowSend(state, SliderValueOf(*state.row, position));
    throttle.MarkSent(KeyOf(state), now);
}

void ParamPage::OnSliderReleased(size_t index) {
    RowState& state = rows_[index];
    const int position = state.slider->sliderPosition();
    if (position != SliderPositionOf(*state.row, state.value)) {
        StoreShowSend(state, SliderValueOf(*state.row, position));
    }
}

void ParamPage::OnSliderValueChanged(size_t index) {
    RowState& state = rows_[index];
    // Drags are handled by the move and release notifications.
    if (settingControls_ || state.slider->isSliderDown()) return;
    OnSliderStep(index, state.stepGeneration);
}

void ParamPage::OnSliderStep(size_t index, uint32_t generation) {
    RowState& state = rows_[index];
    if (generation != state.stepGeneration) return;
    const int position = state.slider->value();
    if (position == SliderPositionOf(*state.row, state.value)) return;
    SliderThrottle& throttle = SliderThrottle::Shared();
    const uint32_t now = throttle.Now();
    const uint32_t wait = throttle.WaitBeforeSend(KeyOf(state), now);
    if (wait == 0) {
        state.stepPending = false;
        StoreShowSend(state, SliderValueOf(*state.row, position));
        throttle.MarkSent(KeyOf(state), now);
        return;
    }
    if (state.stepPending) return;  // one deferred send carries every step held back
    state.stepPending = true;
    scheduler_(wait, [this, index, generation] {
        if (index >= rows_.size() || generation != rows_[index].stepGeneration) return;
        rows_[index].stepPending = false;
        OnSliderStep(index, generation);
    });
}

void ParamPage::OnEditLeft(size_t index) {
    RowState& state = rows_[index];
    const bool wasBusy = busy_;
    busy_ = true;
    ReadPageFor(&state);
    const int read = state.value;
    // A value beyond the control's range would reach the camera cut to its byte (300 as 44, -5
    // as 251) while the slider showed the end of its range: it is clamped to the range first.
    const int low = SliderValueOf(*state.row, state.row->minimum);
    const int high = SliderValueOf(*state.row, state.row->maximum);
    const int typed = std::clamp(read, std::min(low, high), std::max(low, high));
    state.value = EditCommitValue(*state.row, typed);
    SetSliderQuietly(state, SliderPositionOf(*state.row, state.value));
    SendRow(state, state.value);
    if (state.value != read) ShowPage();  // the box shows the value sent
    busy_ = wasBusy;
}

void ParamPage::OnComboActivated(size_t index, int comboIndex) {
    RowState& state = rows_[index];
    BeforeComboSend(*state.row);
    ReadPageFor(&state);
    state.value = comboIndex;
    const int result = SendRow(state, ComboIndexToValueOf(*state.row, comboIndex));
    AfterComboSent(*state.row, result);
}

bool ParamPage::eventFilter(QObject* watched, QEvent* event) {
    for (size_t i = 0; i < rows_.size(); ++i) {
        if (rows_[i].edit != watched) continue;
        if (event->type() == QEvent::FocusOut) {
            const auto* focus = static_cast<QFocusEvent*>(event);
            // A popup (the edit box's own context menu) and focus moves made while the page is
            // sending or asking are not the user leaving the box.
            if (!busy_ && focus->reason() != Qt::PopupFocusReason) OnEditLeft(i);
        } else if (event->type() == QEvent::KeyPress) {
            const int key = static_cast<QKeyEvent*>(event)->key();
            if (IsEnterKey(key)) {
                // Commit once, then give the focus to the page without a second commit.
                OnEditLeft(i);
                const bool wasBusy = busy_;
                busy_ = true;
                setFocus(Qt::OtherFocusReason);
                busy_ = wasBusy;
                return true;
            }
            if (key == Qt::Key_Escape) return true;
        }
        break;
    }
    return QWidget::eventFilter(watched, event);
}

void ParamPage::keyPressEvent(QKeyEvent* event) {
    if (IsEnterKey(event->key())) {
        setFocus(Qt::OtherFocusReason);
        event->accept();
        return;
    }
    if (event->key() == Qt::Key_Escape) {
        event->accept();
        return;
    }
    QWidget::keyPressEvent(event);
}

}  // namespace velmora::ui
