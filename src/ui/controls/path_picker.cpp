#include "ui/controls/path_picker.h"

#include <QFileDialog>
#include <QLineEdit>
#include <QPushButton>

#include "ui/common/dialog_units.h"

namespace velmora::ui {

PathChoosers SystemPathChoosers() {
    PathChoosers choosers;
    // The chooser's caption says what the picker's path is for.
    auto caption = [](QWidget* parent) {
        const auto* picker = qobject_cast<const PathPicker*>(parent);
        return picker ? picker->BrowseCaption() : QString();
    };
    choosers.chooseFolder = [caption](QWidget* parent) {
        return QFileDialog::getExistingDirectory(parent, caption(parent));
    };
    choosers.chooseFile = [caption](QWidget* parent, const QString& filters) {
        return QFileDialog::getOpenFileName(parent, caption(parent), QString(), filters);
    };
    return choosers;
}

const QString& PathPicker::FileFilters() {
    static const QString filters = QStringLiteral("DAT(*.dat);;ALLSUPORTFILE(*.*)");
    return filters;
}

PathPicker::PathPicker(QWidget* parent, PathChoosers choosers)
    : QDialog(parent), choosers_(std::move(choosers)) {
    setWindowTitle(tr("请选择路径"));
    setObjectName(QStringLiteral("请选择路径"));
    const DialogBaseUnits base = BaseUnitsOf(font());
    setFixedSize(ToPixels(DuRect{0, 0, 263, 51}, base).size());

    edit_ = new QLineEdit(this);
    edit_->setObjectName(QString::number(kPathEditId));
    edit_->setAccessibleName(tr("路径"));
    edit_->setGeometry(ToPixels(DuRect{7, 7, 192, 14}, base));

    browse_ = new QPushButton(tr("浏览"), this);
    browse_->setObjectName(QString::number(kBrowseId));
    browse_->setAutoDefault(false);
    browse_->setGeometry(ToPixels(DuRect{206, 7, 50, 14}, base));

    ok_ = new QPushButton(tr("确定"), this);
    ok_->setDefault(true);
    ok_->setGeometry(ToPixels(DuRect{149, 30, 50, 14}, base));

    cancel_ = new QPushButton(tr("取消"), this);
    cancel_->setAutoDefault(false);
    cancel_->setGeometry(ToPixels(DuRect{206, 30, 50, 14}, base));

    connect(browse_, &QPushButton::clicked, this, [this] { Browse(); });
    connect(ok_, &QPushButton::clicked, this, &PathPicker::accept);
    connect(cancel_, &QPushButton::clicked, this, &PathPicker::reject);
}

void PathPicker::Browse() {
    QString path;
    if (folderMode_) {
        QString folder = choosers_.chooseFolder ? choosers_.chooseFolder(this) : QString();
        if (folder.isNull()) folder = QStringLiteral(".");
        // The separator is appended even when the folder already ends with one (the root),
        // which gives "//video_params.dat": still the same file on POSIX.
        path = folder + QLatin1Char('/') + QLatin1String(kParamFileName);
    } else {
        path = choosers_.chooseFile ? choosers_.chooseFile(this, FileFilters()) : QString();
        if (path.isNull()) path = QString();
    }
    edit_->setText(path);
}

QString PathPicker::BrowseCaption() const {
    if (!browseCaption_.isEmpty()) return browseCaption_;
    return folderMode_ ? tr("选择导出配置的文件夹") : tr("选择要导入的配置文件");
}

void PathPicker::accept() {
    path_ = edit_->text();
    QDialog::accept();
}

}  // namespace velmora::ui
