#include "ui/main/video_panes.h"

#include <cstring>

#include <QPainter>
#include <QPen>
#include <QPointF>
#include <QTimer>
#include <QWidget>

#include "platform/zeb_log.h"
#include "ui/common/wait_off_thread.h"


namespace velmora::ui {

namespace {

bool ValidPane(int i) { return i >= 0 && i < 4; }

}  // namespace

int PaneCount(int layout) { return layout == 1 ? 1 : 4; }

PaneGeometry PaneRects(int layout, int clientW, int clientH, int ptzWidth) {
    PaneGeometry g;
    const int x0 = ptzWidth + 5;
    const int y0 = 2;
    const int w = clientW - x0 - 10;
    const int h = clientH - y0 - 10;
    g.count = PaneCount(layout);
    if (g.count == 1) {
        g.rects[0] = QRect(x0, y0, w, h);
        return g;
    }
    const int w2 = w / 2;  // C++ division truncates toward zero, as the layout wants
    const int h2 = h / 2;
    for (int i = 0; i < 4; ++i)
        g.rects[i] = QRect(x0 + (i % 2) * (w2 + 5), y0 + (i / 2) * (h2 + 5), w2, h2);
    return g;
}

void DrawPaneBorders(QPainter& painter, const QRect* rects, int count, int highlighted) {
    const QPen previous = painter.pen();
    // Mitred joins: square corners, as a rectangle outline should have.
    const QPen red(QColor(255, 0, 0), 2, Qt::SolidLine, Qt::SquareCap, Qt::MiterJoin);
    const QPen black(QColor(0, 0, 0), 2, Qt::SolidLine, Qt::SquareCap, Qt::MiterJoin);
    for (int i = 0; i < count; ++i) {
        const QRect& r = rects[i];
        // Window rectangles end one past their last pixel; the outline runs one pixel beyond
        // that on every side, so the 2-pixel pen lies just outside the pane.
        const int left = r.left() - 1;
        const int top = r.top() - 1;
        const int right = r.left() + r.width() + 1;
        const int bottom = r.top() + r.height() + 1;
        const QPoint outline[5] = {{left, top}, {right, top}, {right, bottom}, {left, bottom}, {left, top}};
        painter.setPen(i == highlighted ? red : black);
        painter.drawPolyline(outline, 5);
    }
    painter.setPen(previous);
}

int ChoosePane(int current, const bool busy[4], int layout) {
    if (!ValidPane(current)) current = 0;
    if (!busy[current]) return current;
    const int n = PaneCount(layout);
    for (int i = 0; i < n; ++i)
        if (!busy[i]) return i;
    return current;
}

VideoPanes::VideoPanes(QWidget* client, PaneBackend& backend, QObject* parent)
    : QObject(parent), backend_(backend) {
    for (int i = 0; i < 4; ++i) {
        streams_[i] = std::make_unique<camera::LiveStream>(backend_, backend_);
        auto* w = new VideoPaneWidget(i, client);
        w->hide();
        widgets_[i] = w;
    }
    // The library does not call back when a stream ends: the panes look every half second.
    checkTimer_ = new QTimer(this);
    connect(checkTimer_, &QTimer::timeout, this, [this] { CheckStreams(); });
    checkTimer_->start(500);
}

void VideoPanes::SetCheckInterval(int ms) {
    if (ms > 0) checkTimer_->start(ms);
    else checkTimer_->stop();
}

bool VideoPanes::Lost(int i) const { return ValidPane(i) && lost_[i]; }

void VideoPanes::CheckStreams() {
    // A pane being opened belongs to the thread of the call waited for: look again later.
    if (CallsWaitedFor() > 0) return;
    for (int i = 0; i < 4; ++i) {
        if (lost_[i] || streams_[i]->Record().realPlay < 0) continue;
        const int reason = streams_[i]->EndedReason();
        // An unknown handle is the library's answer while a pane is being closed, not the camera's.
        if (reason == 0 || reason == wire::ORVEX_ERR_INVALID_HANDLE || reason == wire::ORVEX_ERR_NOT_INIT) continue;
        lost_[i] = true;
        if (widgets_[i]) widgets_[i]->SetDisconnected(true);
        platform::LogLine(3, {}, "pane %d: the stream of %s:%d ended (%d): connection lost", i, Pane(i).address, Pane(i).port,
                reason);
        emit lost(i, reason);
    }
}

void VideoPanes::ToggleEnlarged(int i) {
    if (!ValidPane(i) || i >= PaneCount(layout_)) return;
    enlarged_ = enlarged_ == i ? -1 : i;
}

VideoPanes::~VideoPanes() { CloseAll(); }

VideoPaneWidget* VideoPanes::Widget(int i) const { return ValidPane(i) ? widgets_[i].data() : nullptr; }

const VideoPane& VideoPanes::Pane(int i) const { return Stream(i).Record(); }

const camera::LiveStream& VideoPanes::Stream(int i) const { return *streams_[ValidPane(i) ? i : 0]; }

VideoPanes::Counters VideoPanes::PaneCounters(int i) const {
    Counters c;
    camera::LiveStreamCounters stream;
    if (Stream(i).Counters(&stream)) {
        c.decoded = stream.decoded;
        c.superseded = stream.superseded;
        c.dropped = stream.dropped;
        c.fromBands = stream.fromBands;
    }
    if (const VideoPaneWidget* w = Widget(i)) {
        c.received = w->PicturesReceived();
        c.painted = w->PicturesPainted();
        c.superseded += w->PicturesSuperseded();
    }
    return c;
}

void VideoPanes::Place(int clientW, int clientH, int ptzWidth) {
    PaneGeometry g = PaneRects(layout_, clientW, clientH, ptzWidth);
    const bool enlarged = enlarged_ >= 0 && enlarged_ < g.count;
    // The enlarged pane takes the one-pane rectangle; the others are hidden meanwhile.
    if (enlarged) g.rects[enlarged_] = PaneRects(1, clientW, clientH, ptzWidth).rects[0];
    for (int i = 0; i < 4; ++i) {
        VideoPaneWidget* w = widgets_[i];
        if (!w) continue;
        if (i < g.count && (!enlarged || i == enlarged_)) {
            w->setGeometry(g.rects[i]);
            w->show();
            w->update();
        } else {
            w->hide();
        }
    }
}

void VideoPanes::HideAll() {
    for (VideoPaneWidget* w : widgets_)
        if (w) w->hide();
}

int VideoPanes::OpenNetworkDevice(const transport::LoginInfo& info, int streamSelector) {
    bool busy[4];
    for (int i = 0; i < 4; ++i) busy[i] = streams_[i]->HasSession();
    current_ = ChoosePane(current_, busy, layout_);
    return OpenInPane(current_, info, streamSelector);
}

int VideoPanes::OpenInPane(int p, const transport::LoginInfo& info, int streamSelector) {
    if (!ValidPane(p)) return wire::ORVEX_ERR_INVALID_ARG;
    CloseVideoPane(p);
    VideoPaneWidget* widget = widgets_[p];
    // The login may wait seconds on a camera that does not answer: the window goes on painting
    // and the other panes go on playing meanwhile.
    camera::LiveStream& stream = *streams_[p];
    const int rc = WaitOffUiThread([&] { return stream.Open(info, streamSelector, widget); });
    if (rc < 0) return rc;
    if (widget) widget->SetAttachment(&backend_, streams_[p]->DecoderPort());
    SelectVideoPane(p);
    return 0;
}

void VideoPanes::CloseVideoPane(int i) {
    if (!ValidPane(i)) return;
    lost_[i] = false;
    if (widgets_[i]) widgets_[i]->SetDisconnected(false);
    if (streams_[i]->Close() && widgets_[i]) {
        widgets_[i]->SetAttachment(nullptr, -1);
        widgets_[i]->ClearPicture();
    }
}

void VideoPanes::ClosePanesOfLayout() {
    const int n = PaneCount(layout_);
    for (int i = 0; i < n; ++i) CloseVideoPane(i);
}

void VideoPanes::CloseAll() {
    for (int i = 0; i < 4; ++i) CloseVideoPane(i);
}

void VideoPanes::SelectVideoPane(int i) {
    if (!ValidPane(i)) return;
    current_ = i;
    emit bordersChanged();
    const VideoPane& pane = Pane(i);
    emit selected(pane.session, QString::fromUtf8(pane.address), pane.port);
}

void VideoPanes::DrawBorders(QPainter& painter) const {
    const int n = PaneCount(layout_);
    QRect rects[4];
    if (enlarged_ >= 0 && enlarged_ < n) {
        // Only the enlarged pane is on show.
        if (widgets_[enlarged_]) rects[0] = widgets_[enlarged_]->geometry();
        DrawPaneBorders(painter, rects, 1, current_ == enlarged_ ? 0 : -1);
        return;
    }
    for (int i = 0; i < n; ++i)
        if (widgets_[i]) rects[i] = widgets_[i]->geometry();
    DrawPaneBorders(painter, rects, n, current_);
}

}  // namespace velmora::ui
