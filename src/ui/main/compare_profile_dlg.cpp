#include "ui/main/compare_profile_dlg.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>

#include "platform/user_messages.h"

namespace velmora::ui {
namespace {

enum Column { kMember, kCamera, kFile, kResult };

QTableWidgetItem* Cell(const QString& text) {
    auto* item = new QTableWidgetItem(text);
    item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
    return item;
}

QString Number(const std::optional<int32_t>& v) { return v ? QString::number(*v) : QStringLiteral("-"); }

}  // namespace

CompareProfileDlg::CompareProfileDlg(camera::Camera& camera, QWidget* parent) : QDialog(parent), camera_(camera) {
    setWindowTitle(tr("对比配置文件"));
    summary_ = new QLabel(this);
    table_ = new QTableWidget(0, 3, this);
    table_->setObjectName(QString::number(kTableId));
    table_->setAccessibleName(tr("不同的参数"));
    table_->setHorizontalHeaderLabels({tr("参数"), tr("相机"), tr("文件")});
    table_->verticalHeader()->hide();
    table_->horizontalHeader()->setStretchLastSection(true);
    table_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    summary_->setBuddy(table_);
    apply_ = new QPushButton(tr("应用"), this);
    apply_->setObjectName(QString::number(kApplyId));
    apply_->setAccessibleName(apply_->text());
    close_ = new QPushButton(tr("关闭"), this);
    close_->setObjectName(QString::number(kCloseId));
    close_->setAccessibleName(close_->text());
    connect(apply_, &QPushButton::clicked, this, [this] { Apply(); });
    connect(close_, &QPushButton::clicked, this, &QDialog::accept);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(apply_);
    buttons->addWidget(close_);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(summary_);
    layout->addWidget(table_);
    layout->addLayout(buttons);
    resize(480, 360);
}

bool CompareProfileDlg::ChooseAndCompare(const PathPrompt& prompt) {
    const std::optional<QString> path = prompt(parentWidget(), false);
    return path && Compare(*path);
}

bool CompareProfileDlg::Compare(const QString& path) {
    protocol::ProfileError error;
    if (protocol::LoadProfile(path.toStdString(), profile_, &error) != 0) {
        platform::Messages().Information(tr("配置文件无法使用: %1").arg(QString::fromStdString(error.message)).toStdString());
        return false;
    }
    protocol::VideoParam rec;
    const int r = camera_.ReadVideoParams(rec);
    if (r != 0) {
        platform::Messages().Information(tr("获取参数出错： %1").arg(r).toStdString());
        return false;
    }
    const std::vector<protocol::ProfileDifference> diffs = protocol::DiffRecordProfile(rec, profile_);
    summary_->setText(tr("%1 个参数不同（文件含 %2 个参数）：").arg(diffs.size()).arg(profile_.values.size()));
    ShowDifferences(diffs);
    apply_->setEnabled(!diffs.empty());
    return true;
}

void CompareProfileDlg::ShowDifferences(const std::vector<protocol::ProfileDifference>& diffs) {
    table_->setRowCount(static_cast<int>(diffs.size()));
    for (int row = 0; row < table_->rowCount(); ++row) {
        const protocol::ProfileDifference& d = diffs[static_cast<size_t>(row)];
        table_->setItem(row, kMember, Cell(QString::fromLatin1(d.field->member)));
        table_->setItem(row, kCamera, Cell(Number(d.left)));
        table_->setItem(row, kFile, Cell(Number(d.right)));
    }
}

void CompareProfileDlg::Apply() {
    camera::VerifiedApply(camera_, profile_, report_);
    if (report_.readResult != 0) {
        platform::Messages().Information(tr("获取参数出错： %1").arg(report_.readResult).toStdString());
        return;
    }
    table_->setColumnCount(4);
    table_->setHorizontalHeaderLabels({tr("参数"), tr("相机"), tr("文件"), tr("结果")});
    table_->setRowCount(static_cast<int>(report_.members.size()));
    for (int row = 0; row < table_->rowCount(); ++row) {
        const camera::ApplyMember& m = report_.members[static_cast<size_t>(row)];
        QString result;
        switch (m.outcome) {
        case camera::ApplyOutcome::Confirmed: result = tr("已确认"); break;
        case camera::ApplyOutcome::Adjusted: result = tr("相机保留 %1").arg(*m.after); break;
        case camera::ApplyOutcome::Refused: result = tr("被拒绝，错误码 %1").arg(m.code); break;
        case camera::ApplyOutcome::Skipped: result = tr("已跳过（相机不提供）"); break;
        case camera::ApplyOutcome::Unverified: result = tr("未能读回"); break;
        }
        table_->setItem(row, kMember, Cell(QString::fromLatin1(m.field->member)));
        table_->setItem(row, kCamera, Cell(Number(m.after ? m.after : std::optional<int32_t>(m.before))));
        table_->setItem(row, kFile, Cell(QString::number(m.wanted)));
        table_->setItem(row, kResult, Cell(result));
    }
    summary_->setText(tr("已确认 %1，已调整 %2，被拒绝 %3，已跳过 %4：")
                          .arg(report_.Count(camera::ApplyOutcome::Confirmed))
                          .arg(report_.Count(camera::ApplyOutcome::Adjusted))
                          .arg(report_.Count(camera::ApplyOutcome::Refused))
                          .arg(report_.Count(camera::ApplyOutcome::Skipped)));
    apply_->setEnabled(report_.result != 0);
}

}  // namespace velmora::ui
