#pragma once

#include <QDialog>

#include <optional>

#include "camera/camera.h"
#include "camera/verified_apply.h"
#include "ui/params/param_actions.h"
#include "protocol/profile.h"

class QLabel;
class QPushButton;
class QTableWidget;

namespace velmora::ui {

// "对比配置文件": the members in which a camera differs from a profile file (parameter file or
// JSON profile), in a table of 参数 / 相机 / 文件, and a verified apply of the file ("应用") whose
// result per member fills a fourth column 结果. Borrows the camera, which must outlive the dialog.
// Thread-bound: the user-interface thread; every camera exchange is synchronous on it, like the
// parameter pages'.
class CompareProfileDlg : public QDialog {
    Q_OBJECT
public:
    static constexpr int kTableId = 1601;
    static constexpr int kApplyId = 1602;
    static constexpr int kCloseId = 1603;

    CompareProfileDlg(camera::Camera& camera, QWidget* parent = nullptr);

    // Asks for the file (the path picker in file mode), loads it and compares. False when the user
    // cancelled, the file was refused or the camera could not be read (a message said why): then
    // the dialog is not to be shown.
    bool ChooseAndCompare(const PathPrompt& prompt);
    // The same with a known path.
    bool Compare(const QString& path);
    // Runs the verified apply and shows each member's result.
    void Apply();

    QTableWidget* table() const { return table_; }
    QPushButton* applyButton() const { return apply_; }
    const camera::ApplyReport& report() const { return report_; }

private:
    void ShowDifferences(const std::vector<protocol::ProfileDifference>& diffs);

    camera::Camera& camera_;
    protocol::Profile profile_;
    camera::ApplyReport report_;
    QLabel* summary_ = nullptr;
    QTableWidget* table_ = nullptr;
    QPushButton* apply_ = nullptr;
    QPushButton* close_ = nullptr;
};

}  // namespace velmora::ui
