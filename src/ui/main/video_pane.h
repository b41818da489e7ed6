#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include <QImage>
#include <QWidget>

#include "camera/live_stream.h"
#include "platform/decoder/frame_sink.h"

// One live video pane of the main window: the record of the handles a pane holds, the calls a
// pane makes into the network library and the decoder, and the widget that shows the pictures.
namespace velmora::ui {

namespace video_ids {
// Control ids of the pane windows "video0" to "video3".
inline constexpr int kPane[4] = {1445, 1453, 1454, 1455};
}  // namespace video_ids

// The handles of one pane: the record of its live stream.
using VideoPane = camera::LiveStreamRecord;

// The calls a pane's live stream makes (camera::LiveBackend) and the logins it plays over
// (camera::StreamLogins); tests derive recorders from it.
class PaneBackend : public virtual camera::LiveBackend, public virtual camera::StreamLogins {};

// A backend over the real network library and decoder that logs in through `logins` (the main
// window's camera directory), which must outlive it.
std::unique_ptr<PaneBackend> MakePaneBackend(camera::StreamLogins& logins);

// The process-wide backend over the real network library and decoder, with logins of its own.
PaneBackend& DefaultPaneBackend();

// A pane window: black, showing the latest picture of its decoder port scaled into it with the
// picture's aspect ratio kept (centred, black bars at the sides or at top and bottom).
//
// It is the port's FrameSink. TargetSizeFor, FrameBuffer and OnFrame run on the decoder's
// presenting thread: TargetSizeFor asks for the picture fitted into the widget, rounded down to
// even sizes (the scaler's fast path), so the one scaling of each picture is done there and not on
// the user-interface thread; FrameBuffer lends the back buffer of three (written by the presenting
// thread, latest complete picture, picture on screen) so the scaler writes straight into the image
// that is painted; OnFrame makes it the latest picture under a mutex and posts one update to the
// user-interface thread only if none is pending, so the event queue never fills with stale
// pictures. A picture not yet painted when a newer one arrives is counted as superseded. A caller
// that hands its own pixels to OnFrame (and asks TargetSize, which learns the picture's size from
// a picture taken unscaled) gets them copied. Everything else is thread-bound to the user-interface
// thread. The widget must be detached from its port (X_PlayEx(port, nullptr) or X_VideoClose)
// before it is destroyed; the owner of the port does this, and a widget still attached when it is
// destroyed detaches itself through the port recorded with SetAttachment.
//
// Its objectName and accessible name are "video0" to "video3". A left click emits clicked(); other
// buttons are left to the parent (the main window's context menu).
class VideoPaneWidget : public QWidget, public platform::FrameSink {
    Q_OBJECT

public:
    VideoPaneWidget(int index, QWidget* parent = nullptr);
    ~VideoPaneWidget() override;

    int Index() const { return index_; }
    int ControlId() const { return video_ids::kPane[index_]; }

    // Pictures handed over by the decoder, and those that reached the screen.
    uint64_t PicturesReceived() const { return received_.load(); }
    uint64_t PicturesPainted() const { return painted_.load(); }
    // Pictures received and then replaced by a newer one before they were painted.
    uint64_t PicturesSuperseded() const { return superseded_.load(); }
    bool HasPicture() const { return hasPicture_.load(); }

    // Forgets the picture (the pane shows black) and the source size; for a pane being closed,
    // once its port no longer calls the widget. The disconnected mark goes with it.
    void ClearPicture();

    // The stream of the pane ended or its connection broke: the last picture is greyed and
    // "连接已断开" is written over it (false: shown normally again).
    void SetDisconnected(bool disconnected);
    bool Disconnected() const { return disconnected_; }
    // The latest picture the pane has (as scaled for the pane); null when it has none.
    QImage Picture();

    // The port the widget is attached to as its sink, recorded so that a widget destroyed while
    // still attached detaches itself first (port -1: none).
    void SetAttachment(PaneBackend* backend, int port);

    // The rectangle a picture of `picture` size takes in a `box`: as large as fits with the aspect
    // ratio kept, centred. Empty when either size is empty.
    static QRect FitRect(QSize picture, QSize box);
    // FitRect's size rounded down to even width and height (sides of 1 stay 1).
    static QSize EvenFit(QSize picture, QSize box);

    // FrameSink, on the presenting thread.
    void OnFrame(const uint8_t* pixels, int width, int height, int stride) override;
    void TargetSize(int* w, int* h) override;
    void TargetSizeFor(int sourceWidth, int sourceHeight, int* w, int* h) override;
    uint8_t* FrameBuffer(int w, int h, int* stride) override;

signals:
    void clicked();
    // A left double-click (the main window enlarges the pane and back).
    void doubleClicked();

protected:
    void paintEvent(QPaintEvent* e) override;
    void resizeEvent(QResizeEvent* e) override;
    void mousePressEvent(QMouseEvent* e) override;
    void mouseDoubleClickEvent(QMouseEvent* e) override;

private:
    // Queued by OnFrame, at most one at a time: repaints when a picture is waiting.
    Q_INVOKABLE void PictureArrived();
    // Where a picture of `picture` size already scaled to the pane is drawn (centred, as is);
    // empty for a picture of another size, which is scaled into FitRect when painted.
    QRect ScaledPictureRect(QSize picture) const;

    const int index_;
    PaneBackend* backend_ = nullptr;
    int port_ = -1;
    // The widget's size, written on the user-interface thread, read by TargetSize.
    std::atomic<int> boxWidth_{0};
    std::atomic<int> boxHeight_{0};

    std::mutex mu_;  // guards the members down to hasNew_
    // Size of the decoded pictures, learnt from a picture asked for at its own size: the decoder
    // tells the sink only the size it delivers, so from time to time (and at the start) a picture
    // is taken unscaled to see whether the camera's size has changed.
    QSize sourceSize_;
    bool askedNative_ = false;
    int sinceProbe_ = 0;
    QImage writing_;       // lent to the presenting thread by FrameBuffer
    QImage pending_;       // latest picture, not yet painted
    bool hasNew_ = false;  // pending_ holds a picture newer than shown_

    QImage shown_;  // user-interface thread only
    bool disconnected_ = false;  // user-interface thread only
    std::atomic<bool> updatePosted_{false};
    std::atomic<bool> hasPicture_{false};
    std::atomic<uint64_t> received_{0};
    std::atomic<uint64_t> painted_{0};
    std::atomic<uint64_t> superseded_{0};
};

}  // namespace velmora::ui
