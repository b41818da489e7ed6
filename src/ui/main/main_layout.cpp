#include "ui/main/main_layout.h"

#include <algorithm>

namespace velmora::ui {

MainLayoutRects ComputeMainLayout(const MainLayoutSizes& s) {
    const int w = s.client.width();
    const int h = s.client.height();
    MainLayoutRects r;
    // The PTZ pane keeps its size with its bottom-left corner on the client's; the tree fills the
    // column above it.
    r.ptz = QRect(QPoint(0, h - s.ptz.height()), s.ptz);
    r.tree = QRect(0, 0, s.ptz.width(), h - s.ptz.height());
    if (!s.usbMode) return r;

    constexpr int g = 10;
    // Bottom-right corner: the instruction text, and above it the four buttons from right to
    // left: restore defaults, refresh, export (after a double gap), import.
    r.instruction = QRect(QPoint(w - s.instruction.width(), h - s.instruction.height() - g), s.instruction);
    const int buttonTop = r.instruction.top() - (s.restore.height() + g);
    r.restore = QRect(QPoint(w - s.restore.width() - g, buttonTop), s.restore);
    r.refresh = QRect(QPoint(r.restore.left() - (s.refresh.width() + g), buttonTop), s.refresh);
    r.exportButton = QRect(QPoint(r.refresh.left() - (s.exportButton.width() + 2 * g), buttonTop), s.exportButton);
    r.importButton = QRect(QPoint(r.exportButton.left() - (s.importButton.width() + g), buttonTop), s.importButton);

    // First column: picture, white balance, enhancement; second column beside the picture page:
    // exposure, focus, video.
    const int x1 = s.ptz.width() + 10;
    r.picture = QRect(QPoint(x1, 10), s.picture);
    r.whiteBalance = QRect(QPoint(x1, s.picture.height() + 10), s.whiteBalance);
    r.enhance = QRect(QPoint(x1, s.picture.height() + 10 + s.whiteBalance.height()), s.enhance);
    const int x2 = x1 + s.picture.width();
    r.exposure = QRect(QPoint(x2, 10), s.exposure);
    r.focus = QRect(QPoint(x2, 10 + s.exposure.height()), s.focus);
    r.video = QRect(QPoint(x2, 10 + s.exposure.height() + s.focus.height()), s.video);
    return r;
}

QSize UsbModeClientSize(const MainLayoutSizes& s) {
    constexpr int g = 10;
    const int secondColumnWidth = std::max({s.exposure.width(), s.focus.width(), s.video.width()});
    const int width = s.ptz.width() + g + s.picture.width() + secondColumnWidth + g;
    const int columns = std::max(s.picture.height() + s.whiteBalance.height() + s.enhance.height(),
                                 s.exposure.height() + s.focus.height() + s.video.height());
    const int height = g + columns + g + s.restore.height() + g + s.instruction.height() + g;
    return {width, std::max(height, s.ptz.height() * 2)};
}

UsbScrollGeometry UsbScrollLayout(const MainLayoutSizes& s, int bar) {
    UsbScrollGeometry g;
    const int left = s.ptz.width();
    g.area = QRect(left, 0, std::max(0, s.client.width() - left), s.client.height());
    const QSize needed = UsbModeClientSize(s) - QSize(left, 0);
    bool vertical = needed.height() > g.area.height();
    const bool horizontal = needed.width() > g.area.width() - (vertical ? bar : 0);
    if (horizontal) vertical = needed.height() > g.area.height() - bar;
    g.content = QSize(std::max(needed.width(), g.area.width() - (vertical ? bar : 0)),
                      std::max(needed.height(), g.area.height() - (horizontal ? bar : 0)));
    return g;
}

QSize ClampWindowSize(QSize size, QSize available, QSize minimum) {
    auto clampSide = [](int value, int low, int high) {
        if (high > 0) value = std::min(value, std::max(high, low));
        return std::max(value, low);
    };
    const QSize high = available.isEmpty() ? QSize() : available;
    return {clampSide(size.width(), minimum.width(), high.width()),
            clampSide(size.height(), minimum.height(), high.height())};
}

}  // namespace velmora::ui
