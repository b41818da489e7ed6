#pragma once

#include "ui/params/param_page.h"

// The others page: the scene preset (same member and values as the video page's scene, other
// texts), the digital zoom and the picture style, three combo boxes. The style box holds "关闭"
// and "风格1" to "风格278", added after the page was first shown, so it starts without a
// selection; the style value is the item's index. A scene choice here asks for no refresh.
// Thread-bound: the user-interface thread.
namespace velmora::ui {

namespace others_ids {
inline constexpr int kTemplate = 275;
inline constexpr int kSceneCombo = 1487;
inline constexpr int kZoomCombo = 1488;
inline constexpr int kStyleCombo = 1489;
inline constexpr int kStyleCount = 279;  // "关闭" and 278 numbered styles
}  // namespace others_ids

const PageSpec& OthersPageSpec();

class OthersTab : public ParamPage {
    Q_OBJECT

public:
    explicit OthersTab(QWidget* parent = nullptr);
};

}  // namespace velmora::ui
