#pragma once

#include "ui/params/param_page.h"

// The video page: horizontal mirror, vertical flip, the scene preset and the (hidden) portrait
// rotation, four combo boxes. The scene items carry the values 1, 3, 4 and 5 (2 is skipped) and
// the portrait "on" item carries 3. A scene choice asks the host to read and show the whole
// record again, whatever the set's result, because the camera changes other values with it.
// Thread-bound: the user-interface thread.
namespace velmora::ui {

namespace video_ids {
inline constexpr int kTemplate = 273;
inline constexpr int kHorzMirrorCombo = 1486;
inline constexpr int kVertFlipCombo = 1487;
inline constexpr int kPortraitCombo = 1488;
inline constexpr int kSceneCombo = 1489;
}  // namespace video_ids

const PageSpec& VideoPageSpec();

// The scene mapping shared by the video and the others pages: index 0 is the value 1, index k
// (k >= 1) the value k + 2; the value 1 is index 0 and any other value v the index v - 2.
int SceneIndexToValue(int index);
int SceneValueToIndex(int value);

class VideoTab : public ParamPage {
    Q_OBJECT

public:
    explicit VideoTab(QWidget* parent = nullptr);

protected:
    void AfterComboSent(const PageRow& row, int result) override;
};

}  // namespace velmora::ui
