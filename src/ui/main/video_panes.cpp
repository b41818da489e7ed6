#include "ui/main/video_panes.h"

#include <cstring>

#include <QPainter>
#include <QPen>
#include <QPointF>
#include <QWidget>

#include "platform/decoder/xplay.h"
#include "platform/user_messages.h"

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
        auto* w = new VideoPaneWidget(i, client);
        w->hide();
        widgets_[i] = w;
    }
}

VideoPanes::~VideoPanes() { CloseAll(); }

VideoPaneWidget* VideoPanes::Widget(int i) const { return ValidPane(i) ? widgets_[i].data() : nullptr; }

const VideoPane& VideoPanes::Pane(int i) const { return panes_[ValidPane(i) ? i : 0]; }

void VideoPanes::Place(int clientW, int clientH, int ptzWidth) {
    const PaneGeometry g = PaneRects(layout_, clientW, clientH, ptzWidth);
    for (int i = 0; i < 4; ++i) {
        VideoPaneWidget* w = widgets_[i];
        if (!w) continue;
        if (i < g.count) {
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

int VideoPanes::OpenNetworkDevice(const LoginInfo& info, int streamSelector) {
    bool busy[4];
    for (int i = 0; i < 4; ++i) busy[i] = panes_[i].session >= 0;
    current_ = ChoosePane(current_, busy, layout_);
    const int p = current_;
    VideoPane& pane = panes_[p];
    CloseVideoPane(p);

    const int session = backend_.Login(info);
    if (session < 0) {
        pane.session = -1;
        Messages().Information(Format("登录失败 错误码为%d", backend_.LastError()));
        return session;
    }
    pane.session = session;

    const int realPlay = backend_.StartRealPlay(session, streamSelector, &VideoPanes::OnRealData, &pane);
    if (realPlay < 0) {
        Messages().Information(Format("请求主码流失败! 错误码为: %d\n", backend_.LastError()));
        pane.decoderPort.store(-1);
        return realPlay;
    }
    pane.realPlay = realPlay;

    // Data that arrives before the port is stored is dropped; the decoder starts at the next key
    // frame anyway.
    const int port = backend_.OpenStream();
    if (port < 0) return port;
    backend_.PlayEx(port, widgets_[p]);
    if (widgets_[p]) widgets_[p]->SetAttachment(&backend_, port);
    pane.decoderPort.store(port);

    const size_t len = strnlen(info.address, sizeof info.address);
    const size_t keep = len < sizeof pane.address ? len : sizeof pane.address - 1;
    std::memcpy(pane.address, info.address, keep);
    pane.address[keep] = '\0';
    pane.port = info.port;

    SelectVideoPane(p);
    return 0;
}

void VideoPanes::CloseVideoPane(int i) {
    if (!ValidPane(i)) return;
    VideoPane& pane = panes_[i];
    // The callback reads the port afresh for every packet: from here on it drops the data, and a
    // packet already on its way to the decoder meets a closing port and is refused there.
    const int port = pane.decoderPort.exchange(-1);
    if (port >= 0) {
        backend_.VideoClose(port);
        if (widgets_[i]) {
            widgets_[i]->SetAttachment(nullptr, -1);
            widgets_[i]->ClearPicture();
        }
    }
    if (pane.realPlay >= 0) {
        backend_.StopRealPlay(pane.realPlay);
        pane.realPlay = -1;
    }
    if (pane.session >= 0) {
        backend_.LogOut(pane.session);
        pane.session = -1;
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
    const VideoPane& pane = panes_[i];
    emit selected(pane.session, QString::fromUtf8(pane.address), pane.port);
}

void VideoPanes::DrawBorders(QPainter& painter) const {
    const int n = PaneCount(layout_);
    QRect rects[4];
    for (int i = 0; i < n; ++i)
        if (widgets_[i]) rects[i] = widgets_[i]->geometry();
    DrawPaneBorders(painter, rects, n, current_);
}

void VideoPanes::OnRealData(int, const unsigned char* data, int length, int, void* user) {
    auto* pane = static_cast<VideoPane*>(user);
    if (!pane) return;
    const int port = pane->decoderPort.load();
    if (port >= 0) X_VideoInputData(port, data, length);
}

}  // namespace velmora::ui
