#pragma once

#include <QRect>
#include <QSize>

// Where the main window puts its children, as a pure function of the sizes involved, so that the
// arithmetic can be checked with numbers and the window only applies the result.
//
// Left column: the device tree on top (at 0,0) and the PTZ pane at the bottom-left corner. The
// right-hand side depends on the mode: the video panes in network mode (their rectangles come
// from PaneRects), and in USB mode two columns of parameter pages with the instruction text and
// the four action buttons in the bottom-right corner.
namespace velmora::ui {

struct MainLayoutSizes {
    bool usbMode = true;
    QSize client;        // the client area
    QSize ptz;           // the PTZ pane
    QSize instruction;   // the instruction text 1511
    QSize restore;       // "恢复默认" 1512
    QSize exportButton;  // "导出配置" 1514
    QSize importButton;  // "导入配置" 1516
    QSize refresh;       // "刷新" 1517
    QSize picture, exposure, whiteBalance, enhance, focus, video;
};

struct MainLayoutRects {
    QRect ptz;
    QRect tree;
    // USB mode only (empty rectangles in network mode, where these children are hidden).
    QRect instruction, restore, exportButton, importButton, refresh;
    QRect picture, exposure, whiteBalance, enhance, focus, video;
};

MainLayoutRects ComputeMainLayout(const MainLayoutSizes& sizes);

// The smallest client area in which the USB-mode layout shows every page whole, with the
// buttons and the instruction text below the second column (`client` is not used). The window
// opens at least this large when no size of its own is stored.
QSize UsbModeClientSize(const MainLayoutSizes& sizes);

// USB mode's scroll area: it fills the client area right of the PTZ pane (`area`, in client
// coordinates), and its content (`content`) is as large as the pages need and at least as large as
// the area's viewport, which loses `scrollBarExtent` on a side whose other direction scrolls.
struct UsbScrollGeometry {
    QRect area;
    QSize content;
};
UsbScrollGeometry UsbScrollLayout(const MainLayoutSizes& sizes, int scrollBarExtent);

// The smallest window size the program stores or applies: below it the tree, the PTZ pane and
// the menus no longer fit and the window is hard to find again.
inline constexpr QSize kMinimumWindowSize{480, 360};

// A window size read from or written to the configuration made usable: each side at least
// `minimum` and at most the screen's `available` area (no upper bound when `available` is empty).
// A hand-edited Width=99999999 would otherwise make a window larger than the screen that cannot
// be reached to close it, and Width=1 would be written back for ever.
QSize ClampWindowSize(QSize size, QSize available, QSize minimum = kMinimumWindowSize);

}  // namespace velmora::ui
