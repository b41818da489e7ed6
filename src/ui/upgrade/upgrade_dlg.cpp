#include "ui/upgrade/upgrade_dlg.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <mutex>

#include <QCheckBox>
#include <QCloseEvent>
#include <QFile>
#include <QFileDialog>
#include <QHeaderView>
#include <QLabel>
#include <QListWidget>
#include <QMetaObject>
#include <QPainter>
#include <QPushButton>
#include <QStyledItemDelegate>
#include <QTableWidget>
#include <QThread>
#include <QTimer>

#include "platform/display_text.h"
#include "platform/user_messages.h"
#include "ui/common/dialog_units.h"
#include "ui/common/ui_text.h"

namespace velmora::ui {

// Shared between the window and every observer call waiting for its thread.
struct UpgradeDlgWaits {
    struct Call {
        std::function<void()> apply;
        bool done = false;
    };
    std::mutex mu;  // guards everything below
    std::condition_variable cv;
    std::deque<std::shared_ptr<Call>> queue;  // changes waiting for the window's thread
    bool closing = false;  // the window is closing: waits end and new calls return at once
};

namespace {

using namespace upgrade_ids;
namespace col = upgrade_columns;

constexpr int kPercentRole = Qt::UserRole;
constexpr int kStateRole = Qt::UserRole + 1;

// Draws the "状态" cell: while the camera receives or writes a package, a progress bar filled to
// the last percentage the camera reported, with the row's text on top of it.
class StateDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override {
        bool hasPercent = false;
        const int percent = index.data(kPercentRole).toInt(&hasPercent);
        const auto state = static_cast<upgrade::UpgradeRowState>(index.data(kStateRole).toInt());
        const bool active = state == upgrade::UpgradeRowState::Sending || state == upgrade::UpgradeRowState::Flashing;
        if (!hasPercent || percent < 0 || !active) {
            QStyledItemDelegate::paint(painter, option, index);
            return;
        }
        QStyleOptionViewItem opt(option);
        initStyleOption(&opt, index);
        const QString text = opt.text;
        opt.text.clear();
        const QWidget* widget = opt.widget;
        QStyle* style = widget ? widget->style() : nullptr;
        if (style) style->drawControl(QStyle::CE_ItemViewItem, &opt, painter, widget);

        painter->save();
        const QRect bar = opt.rect.adjusted(2, 2, -3, -3);
        painter->setPen(QColor(0xBC, 0xBC, 0xBC));
        painter->setBrush(QColor(0xF2, 0xF2, 0xF2));
        painter->drawRect(bar);
        const int filled = (bar.width() - 1) * std::min(percent, 100) / 100;
        if (filled > 0) {
            painter->fillRect(QRect(bar.left() + 1, bar.top() + 1, filled, bar.height() - 1), QColor(0x8E, 0xD8, 0x8E));
        }
        painter->setPen(QColor(Qt::black));
        const QRect textRect = opt.rect.adjusted(5, 0, -4, 0);
        painter->drawText(textRect, Qt::AlignLeft | Qt::AlignVCenter,
                          opt.fontMetrics.elidedText(text, Qt::ElideRight, textRect.width()));
        painter->restore();
    }
};

// 10-point 微软雅黑 with the CJK faces found on Linux desktops after it.
QFont StatusFont() {
    QFont font;
    font.setFamilies(QStringList{QStringLiteral("微软雅黑"), QStringLiteral("Microsoft YaHei"),
                                 QStringLiteral("Noto Sans CJK SC"), QStringLiteral("WenQuanYi Micro Hei")});
    font.setPointSize(10);
    return font;
}

QString FromUtf8(const std::string& text) { return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())); }

}  // namespace

const QString CUpgradeDlg::kStartText = QStringLiteral(QT_TRANSLATE_NOOP("velmora", "开始升级"));
const QString CUpgradeDlg::kStopText = QStringLiteral(QT_TRANSLATE_NOOP("velmora", "停止升级"));

CUpgradeDlg::PackageChooser CUpgradeDlg::SystemPackageChooser() {
    return [](QWidget* parent) -> std::optional<QStringList> {
        const QStringList paths = QFileDialog::getOpenFileNames(parent, QString(), QString(), QStringLiteral("DAT(*.dat)"));
        if (paths.isEmpty()) return std::nullopt;
        return paths;
    };
}

CUpgradeDlg::CUpgradeDlg(transport::CUSBDevice& usb, std::vector<transport::UsbDeviceEntry> devices, QWidget* parent,
                         camera::CameraDirectory* cameras)
    : QDialog(parent),
      devices_(std::move(devices)),
      chooser_(SystemPackageChooser()),
      waits_(std::make_shared<UpgradeDlgWaits>()) {
    setWindowTitle(tr("升级"));
    setObjectName(QString::number(kTemplate));
    setModal(true);
    BuildControls();
    // The session only builds its rows here; its threads start with the buttons.
    session_ = std::make_unique<upgrade::UpgradeSession>(usb, devices_, static_cast<UpgradeObserver*>(this));
    session_->SetCameraDirectory(cameras);
    for (int i = 0; i < session_->RowCount(); ++i) AppendRow(i, session_->Row(i));
    NumberRowsLikeTheTree(usb);
}

void CUpgradeDlg::NumberRowsLikeTheTree(const transport::CUSBDevice& usb) {
    // The tree and `list` count every device node, also one that cannot be opened: a camera keeps
    // that number here. A camera the nodes no longer show keeps its row number.
    const std::vector<transport::UsbNodeState> nodes = usb.GetNodes();
    const bool wasApplying = applying_;
    applying_ = true;
    for (int row = 0; row < list_->rowCount() && row < static_cast<int>(devices_.size()); ++row) {
        for (size_t n = 0; n < nodes.size(); ++n) {
            if (nodes[n].handle == 0 || nodes[n].handle != devices_[static_cast<size_t>(row)].handle) continue;
            list_->item(row, col::kNumber)->setText(QString::number(n + 1));
        }
    }
    applying_ = wasApplying;
}

CUpgradeDlg::~CUpgradeDlg() { Shutdown(); }

void CUpgradeDlg::BuildControls() {
    const DialogBaseUnits base = BaseUnitsOf(font());
    // The template's size is where the window starts and the least it can be.
    startSize_ = ToPixels(DuRect{0, 0, 408, 211}, base).size();
    resize(startSize_);
    setMinimumSize(startSize_);
    setSizeGripEnabled(true);
    const QFont statusFont = StatusFont();

    list_ = new QTableWidget(0, col::kCount, this);
    list_->setObjectName(QString::number(kDeviceList));
    list_->setAccessibleName(tr("设备列表"));
    list_->setGeometry(ToPixels(DuRect{7, 7, 394, 122}, base));
    list_->setHorizontalHeaderLabels({tr("序号"), tr("状态"), QStringLiteral("PID"),
                                      tr("设备名称"), tr("型号"), tr("序列号"),
                                      tr("机芯版本"), tr("编译时间")});
    list_->horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    list_->horizontalHeader()->setMinimumSectionSize(0);
    list_->horizontalHeader()->setHighlightSections(false);
    list_->verticalHeader()->setVisible(false);
    list_->verticalHeader()->setDefaultSectionSize(QFontMetrics(font()).height() + 6);
    list_->setShowGrid(true);
    list_->setSelectionBehavior(QAbstractItemView::SelectRows);
    list_->setSelectionMode(QAbstractItemView::SingleSelection);
    list_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    list_->setWordWrap(false);
    list_->setItemDelegateForColumn(col::kState, new StateDelegate(list_));
    SetColumnWidths();
    // The zero-width PID column is hidden, so no drag can widen it instead of its neighbour.
    list_->horizontalHeader()->setSectionResizeMode(col::kPid, QHeaderView::Fixed);
    list_->setColumnHidden(col::kPid, true);
    connect(list_->horizontalHeader(), &QHeaderView::sectionResized, this, [this](int column, int, int) {
        if (column != col::kState) FitStateColumn();
    });
    connect(list_, &QTableWidget::cellChanged, this, [this](int row, int column) { OnItemChanged(row, column); });

    status_ = new QLabel(this);
    status_->setObjectName(QString::number(kStatusLine));
    status_->setFont(statusFont);
    status_->setGeometry(ToPixels(DuRect{7, 133, 394, 11}, base));
    status_->setBuddy(list_);

    note_ = new QLabel(tr("PS:如果设备被拔出，请重新刷新列表."), this);
    note_->setObjectName(QString::number(kNote));
    note_->setFont(statusFont);
    note_->setGeometry(ToPixels(DuRect{7, 145, 394, 11}, base));
    note_->setBuddy(list_);

    packages_ = new QListWidget(this);
    packages_->setObjectName(QString::number(kPackageList));
    packages_->setAccessibleName(tr("升级包"));
    packages_->setSelectionMode(QAbstractItemView::SingleSelection);
    packages_->setSortingEnabled(false);
    packages_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    packages_->setGeometry(ToPixels(DuRect{7, 158, 300, 36}, base));

    hint_ = new QLabel(tr("支持一次选择多个升级包。"), this);
    hint_->setObjectName(QString::number(kHint));
    hint_->setGeometry(ToPixels(DuRect{7, 197, 140, 10}, base));
    hint_->setBuddy(packages_);

    // Under the package list, beside the hint: off by default, so a start does what it always did.
    verify_ = new QCheckBox(tr("完成后重启并校验版本"), this);
    verify_->setObjectName(QStringLiteral("verifyAfterUpgrade"));
    verify_->setAccessibleName(verify_->text());
    verify_->setGeometry(ToPixels(DuRect{150, 196, 157, 12}, base));

    const auto button = [&](int id, const QString& text, int y) {
        auto* b = new QPushButton(text, this);
        b->setObjectName(QString::number(id));
        b->setAccessibleName(text);
        b->setAutoDefault(false);
        b->setGeometry(ToPixels(DuRect{318, y, 83, 14}, base));
        return b;
    };
    browse_ = button(kBrowseButton, tr("浏览"), 158);
    startStop_ = button(kStartStopButton, UiText(kStartText), 176);
    reboot_ = button(kRebootButton, tr("重启设备"), 194);
    connect(browse_, &QPushButton::clicked, this, [this] { Browse(); });
    connect(startStop_, &QPushButton::clicked, this, [this] { StartOrStop(); });
    connect(reboot_, &QPushButton::clicked, this, [this] { Reboot(); });

    timer_ = new QTimer(this);
    timer_->setObjectName(QString::number(kTimer));
    timer_->setInterval(1000);
    connect(timer_, &QTimer::timeout, this, [this] { TimerTick(); });
    startDelay_ = new QTimer(this);
    startDelay_->setSingleShot(true);
    startDelay_->setInterval(1000);
    connect(startDelay_, &QTimer::timeout, this, [this] { timer_->start(); });

    for (QWidget* w : {static_cast<QWidget*>(list_), static_cast<QWidget*>(status_), static_cast<QWidget*>(note_),
                       static_cast<QWidget*>(packages_)}) {
        anchored_.push_back({w, w->geometry(), true, false});
    }
    anchored_.push_back({hint_, hint_->geometry(), false, false});
    for (QPushButton* b : {browse_, startStop_, reboot_}) anchored_.push_back({b, b->geometry(), false, true});
}

void CUpgradeDlg::resizeEvent(QResizeEvent* event) {
    QDialog::resizeEvent(event);
    const int dx = std::max(0, width() - startSize_.width());
    const int dy = std::max(0, height() - startSize_.height());
    for (const Anchored& a : anchored_) {
        QRect r = a.start;
        if (a.widget == list_) {
            r.setSize(r.size() + QSize(dx, dy));  // the list takes all the height gained
        } else {
            r.translate(a.moves ? dx : 0, dy);
            if (a.grows) r.setWidth(r.width() + dx);
        }
        a.widget->setGeometry(r);
    }
    FitStateColumn();
}

void CUpgradeDlg::FitStateColumn() {
    if (fitting_ || list_ == nullptr) return;
    fitting_ = true;
    int others = 0;
    for (int c = 0; c < col::kCount; ++c)
        if (c != col::kState) others += list_->columnWidth(c);
    const int client = list_->width() - 2 * list_->frameWidth();
    list_->setColumnWidth(col::kState, std::max(stateStartWidth_, client - others - spareWidth_));
    fitting_ = false;
}

void CUpgradeDlg::SetColumnWidths() {
    // Fractions of the client width (the list without its frame), whole pixels cut down.
    const int client = list_->width() - 2 * list_->frameWidth();
    const int widths[col::kCount] = {client / 12, client / 6, 0, client / 6, client / 8, client / 4, client / 10, client / 10};
    for (int c = 0; c < col::kCount; ++c) list_->setColumnWidth(c, widths[c]);
    int sum = 0;
    for (int w : widths) sum += w;
    spareWidth_ = client - sum;
    stateStartWidth_ = widths[col::kState];
}

void CUpgradeDlg::AppendRow(int index, const upgrade::UpgradeRow& row) {
    const bool wasApplying = applying_;
    applying_ = true;
    list_->insertRow(index);
    const auto cell = [&](int column, const QString& text) {
        auto* item = new QTableWidgetItem(text);
        item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
        list_->setItem(index, column, item);
        return item;
    };
    QTableWidgetItem* number = cell(col::kNumber, QString::number(index + 1));
    number->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable);
    cell(col::kState, QString());
    cell(col::kPid, QString());
    // Camera texts with controls, bidirectional marks and broken UTF-8 escaped as \xNN.
    cell(col::kName, FromUtf8(platform::EscapeForDisplay(row.name)));
    cell(col::kModel, FromUtf8(platform::EscapeForDisplay(row.model)));
    cell(col::kSerial, FromUtf8(platform::EscapeForDisplay(row.serial)));
    cell(col::kBiosVersion, FromUtf8(platform::EscapeForDisplay(row.biosVersion)));
    cell(col::kBuildDate, FromUtf8(platform::EscapeForDisplay(row.buildDate)));
    applying_ = wasApplying;
    ShowRow(index, row);
}

void CUpgradeDlg::ShowRow(int index, const upgrade::UpgradeRow& row) {
    if (index < 0 || index >= list_->rowCount()) return;
    const bool wasApplying = applying_;
    applying_ = true;
    QTableWidgetItem* number = list_->item(index, col::kNumber);
    number->setCheckState(row.checked ? Qt::Checked : Qt::Unchecked);
    QTableWidgetItem* state = list_->item(index, col::kState);
    state->setText(CoreText(row.text));
    state->setData(kPercentRole, row.percent);
    state->setData(kStateRole, static_cast<int>(row.state));
    state->setToolTip(state->text());
    // A camera checked after its reboot shows the version it now runs.
    if (!row.versionAfter.empty())
        list_->item(index, col::kBiosVersion)->setText(FromUtf8(platform::EscapeForDisplay(row.versionAfter)));
    applying_ = wasApplying;
    if (verifyRun_) ShowVerifyCounts();
}

void CUpgradeDlg::OnItemChanged(int row, int column) {
    if (applying_ || column != col::kNumber) return;
    const QTableWidgetItem* item = list_->item(row, column);
    if (item) session_->SetChecked(row, item->checkState() == Qt::Checked);
}

QPushButton* CUpgradeDlg::Button(int controlId) const {
    switch (controlId) {
        case kBrowseButton: return browse_;
        case kStartStopButton: return startStop_;
        case kRebootButton: return reboot_;
        default: return nullptr;
    }
}

QStringList CUpgradeDlg::StateTexts() const {
    QStringList texts;
    for (int r = 0; r < list_->rowCount(); ++r) texts << list_->item(r, col::kState)->text();
    return texts;
}

void CUpgradeDlg::Browse() {
    if (!browse_->isEnabled() || !chooser_) return;
    const std::optional<QStringList> chosen = chooser_(this);
    if (!chosen) return;
    packages_->clear();
    std::vector<std::string> paths;
    for (const QString& path : *chosen) {
        packages_->addItem(path);
        paths.push_back(QFile::encodeName(path).toStdString());
    }
    session_->SetPackagePaths(std::move(paths));
}

void CUpgradeDlg::ShowStartStopText(const QString& text) {
    // The accessible name follows the caption: a screen reader says what a click will do.
    startStop_->setText(UiText(text));
    startStop_->setAccessibleName(startStop_->text());
}

void CUpgradeDlg::StartOrStop() {
    if (!startStop_->isEnabled()) return;
    if (startStop_->text() != UiText(kStartText)) {
        session_->RequestStop();  // the caption comes back on a later tick
        return;
    }
    upgrade::UpgradeOptions options = session_->Options();
    options.verify = verify_->isChecked();
    session_->SetOptions(options);
    // A failed load has shown its message; the window stays idle.
    const int started = session_->Start();
    if (started == upgrade::kUpgradeCannotVerify) {
        platform::Messages().Information(tr("无法跟踪设备重新上线，不能重启校验版本。").toStdString());
        return;
    }
    if (started < 0) return;
    verifyRun_ = options.verify;
    if (verifyRun_) ShowVerifyCounts();
    ShowStartStopText(kStopText);
    verify_->setEnabled(false);
    browse_->setEnabled(false);
    reboot_->setEnabled(false);
    // The first tick comes a second after the period would start, without blocking the window.
    timer_->stop();
    startDelay_->start();
}

void CUpgradeDlg::TimerTick() {
    // Running means a worker still runs or a camera still receives data, so a slow camera
    // between two packages cannot give its row a second worker or see its packages reloaded.
    if (session_->Busy()) return;
    ShowStartStopText(kStartText);
    if (!session_->AnySendingOrFlashing()) {
        SetIdleButtons(true);
        timer_->stop();
    }
}

void CUpgradeDlg::Reboot() {
    if (!reboot_->isEnabled()) return;
    SetIdleButtons(false);
    // The reboot removes rows as it goes: no check mark may change under it.
    list_->setEnabled(false);
    // Refused while workers run: nothing was started, so the buttons come back at once.
    if (session_->StartReboot() < 0) {
        SetIdleButtons(true);
        list_->setEnabled(true);
    }
}

void CUpgradeDlg::ShowVerifyCounts() {
    int verified = 0, failed = 0;
    for (int r = 0; r < list_->rowCount(); ++r) {
        const auto state = static_cast<upgrade::UpgradeRowState>(list_->item(r, col::kState)->data(kStateRole).toInt());
        verified += state == upgrade::UpgradeRowState::Verified;
        failed += state == upgrade::UpgradeRowState::Failed;
    }
    status_->setText(tr("已校验 %1 台，失败 %2 台").arg(verified).arg(failed));
}

void CUpgradeDlg::SetIdleButtons(bool enabled) {
    verify_->setEnabled(enabled);
    browse_->setEnabled(enabled);
    startStop_->setEnabled(enabled);
    reboot_->setEnabled(enabled);
}

void CUpgradeDlg::Shutdown() {
    {
        std::lock_guard<std::mutex> lock(waits_->mu);
        waits_->closing = true;
        waits_->queue.clear();  // their callers return now; a later show starts afresh
    }
    waits_->cv.notify_all();
    if (timer_) timer_->stop();
    if (startDelay_) startDelay_->stop();
    if (closeWait_) {
        closeWait_->stop();
        closeWait_->deleteLater();
        closeWait_ = nullptr;
    }
    if (session_) {
        session_->RequestStop();
        session_->Join();
    }
    // Nothing runs any more: a window shown again starts idle.
    if (startStop_) {
        ShowStartStopText(kStartText);
        SetIdleButtons(true);
    }
    if (list_) list_->setEnabled(true);
}

bool CUpgradeDlg::ReadyToClose() {
    if (!session_ || session_->Idle()) return true;
    // Workers or the reboot still run: they are told to stop, and the window closes once the
    // last one has ended. Meanwhile it stays responsive and keeps showing their rows (a stalled
    // camera may hold its worker for a command's whole time-out).
    session_->RequestStop();
    if (!closeWait_) {
        SetIdleButtons(false);
        list_->setEnabled(false);
        closeWait_ = new QTimer(this);
        connect(closeWait_, &QTimer::timeout, this, [this] {
            if (!session_->Idle()) return;
            closeWait_->stop();
            reject();
        });
        closeWait_->start(50);
    }
    return false;
}

void CUpgradeDlg::reject() {
    if (!ReadyToClose()) return;
    Shutdown();
    QDialog::reject();
}

void CUpgradeDlg::closeEvent(QCloseEvent* event) {
    if (!ReadyToClose()) {
        event->ignore();
        return;
    }
    Shutdown();
    QDialog::closeEvent(event);
}

void CUpgradeDlg::showEvent(QShowEvent* event) {
    // Shown again after a close: every thread was joined, so the calls may wait again.
    {
        std::lock_guard<std::mutex> lock(waits_->mu);
        waits_->closing = false;
    }
    QDialog::showEvent(event);
}

void CUpgradeDlg::RunOnWindowThread(std::function<void()> apply) {
    if (QThread::currentThread() == thread()) {
        apply();
        return;
    }
    const std::shared_ptr<UpgradeDlgWaits> waits = waits_;
    auto call = std::make_shared<UpgradeDlgWaits::Call>();
    call->apply = std::move(apply);
    std::unique_lock<std::mutex> lock(waits->mu);
    if (waits->closing) return;
    waits->queue.push_back(call);
    lock.unlock();
    // A call still queued when the window goes is dropped with it; the closing flag has
    // released this thread by then.
    QMetaObject::invokeMethod(this, "ApplyPending", Qt::QueuedConnection);
    lock.lock();
    waits->cv.wait(lock, [&] { return call->done || waits->closing; });
}

void CUpgradeDlg::ApplyPending() {
    for (;;) {
        std::shared_ptr<UpgradeDlgWaits::Call> call;
        {
            std::lock_guard<std::mutex> lock(waits_->mu);
            if (waits_->queue.empty()) return;
            call = std::move(waits_->queue.front());
            waits_->queue.pop_front();
        }
        call->apply();
        {
            std::lock_guard<std::mutex> lock(waits_->mu);
            call->done = true;
        }
        waits_->cv.notify_all();
    }
}

void CUpgradeDlg::RowChanged(int index, const upgrade::UpgradeRow& row) {
    RunOnWindowThread([this, index, row] { ShowRow(index, row); });
}

void CUpgradeDlg::RowRemoved(int index) {
    RunOnWindowThread([this, index] {
        // The other rows keep their numbers.
        if (index >= 0 && index < list_->rowCount()) list_->removeRow(index);
    });
}

void CUpgradeDlg::StatusText(const std::string& text) {
    RunOnWindowThread([this, text] { status_->setText(CoreText(text)); });
}

void CUpgradeDlg::RebootFinished() {
    RunOnWindowThread([this] {
        SetIdleButtons(true);
        list_->setEnabled(true);
    });
}

}  // namespace velmora::ui
