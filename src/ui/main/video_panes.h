#pragma once

#include <array>
#include <memory>

#include <QObject>
#include <QPointer>
#include <QRect>
#include <QString>

#include "camera/live_stream.h"
#include "transport/net/orvex_sdk.h"
#include "ui/main/video_pane.h"

class QPainter;
class QTimer;
class QWidget;

// The four live video panes of the main window in network mode: a live stream (camera/live_stream.h)
// and a window per pane, which pane receives the next camera, opening and closing a pane and the
// pane borders. The streams do the login, the real play and the decoding; a pane window only
// paints the pictures its stream gives it. Thread-bound to the user-interface thread.
namespace velmora::ui {

// Rectangles of the four panes in a client area of clientW x clientH beside a PTZ pane of width
// ptzWidth: x0 = ptzWidth + 5, y0 = 2, w = clientW - x0 - 10, h = clientH - y0 - 10. Layout 1:
// pane 0 is (x0, y0, w, h). Otherwise w2 = w / 2, h2 = h / 2 (truncating) and pane i sits at
// x0 + (i % 2) * (w2 + 5), y0 + (i / 2) * (h2 + 5), w2 x h2. `count` is the number of panes
// shown (1 or 4); rects beyond it are empty.
struct PaneGeometry {
    std::array<QRect, 4> rects;
    int count = 0;
};
PaneGeometry PaneRects(int layout, int clientW, int clientH, int ptzWidth);

// Draws the closed outline one pixel outside each of the first `count` rects with 2-pixel pens,
// red (255, 0, 0) for rect `highlighted` and black for the others; restores the painter's pen.
void DrawPaneBorders(QPainter& painter, const QRect* rects, int count, int highlighted);

// Number of panes of a layout. The menu sets only 1 ("1*1") or 2 ("2*2"); a value other than 1
// read from a hand-edited configuration file counts as four panes everywhere (geometry, borders,
// the search for a free pane, closing the panes of the layout), so no pane can be running unseen.
int PaneCount(int layout);

// The pane that receives the next camera: the current one if it is free; otherwise the first free
// pane of the layout, counting from 0; if all of them are busy, the current one again.
int ChoosePane(int current, const bool busy[4], int layout);

class VideoPanes : public QObject {
    Q_OBJECT

public:
    // Creates the four pane widgets as hidden children of `client` (Place() positions and shows
    // them). `backend` must outlive this object. The owner connects each widget's clicked() to
    // SelectVideoPane.
    explicit VideoPanes(QWidget* client, PaneBackend& backend = DefaultPaneBackend(),
                        QObject* parent = nullptr);
    // Closes all four panes.
    ~VideoPanes() override;

    // Pane i's window (null for an index outside 0..3, or once the client destroyed it) and
    // record (an index outside 0..3 gives pane 0's).
    VideoPaneWidget* Widget(int i) const;
    const ui::VideoPane& Pane(int i) const;
    int CurrentPane() const { return current_; }
    int Layout() const { return layout_; }
    // Stores the layout; running panes are not closed; a change returns an enlarged pane to its place.
    // Call Place() afterwards.
    void SetLayout(int layout) {
        if (layout != layout_) enlarged_ = -1;
        layout_ = layout;
    }

    // Enlarges pane i of the layout to the whole video area (the others hidden), or, when it is
    // the enlarged one, returns it to its place; the layout stays. Call Place() afterwards.
    void ToggleEnlarged(int i);
    int EnlargedPane() const { return enlarged_; }

    // Moves the panes of the layout into place (with repainting) and shows them; hides the rest.
    void Place(int clientW, int clientH, int ptzWidth);
    void HideAll();

    // Shows the camera's stream `streamSelector` in a pane (the pane chosen by ChoosePane, closed
    // first) through the pane's LiveStream::Open, whose messages tell failures; the pane is
    // selected when it plays. Returns 0 when the pane plays, else the negative code of the failed
    // call.
    int OpenNetworkDevice(const transport::LoginInfo& info, int streamSelector);
    // The same in pane i (closed first), whatever it holds: "重新连接".
    int OpenInPane(int i, const transport::LoginInfo& info, int streamSelector);

    // Whether pane i's stream ended or its connection broke (its last picture is greyed with
    // "连接已断开"). Nothing reconnects on its own; closing or opening the pane clears it.
    bool Lost(int i) const;
    // Looks at every playing pane's stream once; the timer does this every `ms` (default 500).
    void CheckStreams();
    void SetCheckInterval(int ms);

    // Releases the pane's decoder port, real play and session, in this order; address and port
    // are kept. The pane then shows black.
    void CloseVideoPane(int i);
    // The panes of the current layout, or all four.
    void ClosePanesOfLayout();
    void CloseAll();

    // Makes pane i current and emits selected() with its session, address and port, and
    // bordersChanged(). An index outside 0..3 is ignored.
    void SelectVideoPane(int i);

    // DrawPaneBorders for the panes of the current layout, at their window rectangles in the
    // client's coordinates, the current pane highlighted.
    void DrawBorders(QPainter& painter) const;

    // Pane i's live stream (an index outside 0..3 gives pane 0's).
    const camera::LiveStream& Stream(int i) const;

    // Pictures of pane i: decoded, handed to the pane, painted, and those replaced by a newer one
    // before they were shown (by the decoder or in the pane). Zeros for an empty pane.
    struct Counters {
        uint64_t decoded = 0;
        uint64_t received = 0;
        uint64_t painted = 0;
        uint64_t superseded = 0;  // decoder + pane
        uint64_t dropped = 0;     // input chunks dropped because decoding fell behind
        uint64_t fromBands = 0;   // pictures scaled from rows halved while they were decoded
    };
    Counters PaneCounters(int i) const;

signals:
    void selected(int session, QString address, int port);
    void bordersChanged();
    // Pane i's stream ended or broke, with the library's reason (logged already).
    void lost(int i, int reason);

private:
    PaneBackend& backend_;
    std::array<std::unique_ptr<camera::LiveStream>, 4> streams_;
    std::array<QPointer<VideoPaneWidget>, 4> widgets_;
    int current_ = 0;
    int layout_ = 2;
    int enlarged_ = -1;
    std::array<bool, 4> lost_{};
    QTimer* checkTimer_ = nullptr;
};

}  // namespace velmora::ui
