#include "ui/main/video_pane.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <utility>

#include <QMetaObject>
#include <QMouseEvent>
#include <QPainter>
#include <QResizeEvent>


namespace velmora::ui {

namespace {

class OrvexXPlayBackend final : public ui::PaneBackend, public camera::OrvexXPlayCalls {
public:
    explicit OrvexXPlayBackend(camera::StreamLogins& logins) : logins_(logins) {}
    int LogIn(const transport::LoginInfo& info, std::shared_ptr<camera::NetCamera>& camera) override { return logins_.LogIn(info, camera); }
    void LogOut(const camera::NetCamera& camera) override { logins_.LogOut(camera); }

private:
    camera::StreamLogins& logins_;
};

// Every this many pictures one is asked for at its own size, to notice a camera that changed its
// picture size (four seconds at 25 pictures per second).
constexpr int kProbeInterval = 100;

}  // namespace

std::unique_ptr<PaneBackend> MakePaneBackend(camera::StreamLogins& logins) {
    return std::make_unique<OrvexXPlayBackend>(logins);
}

PaneBackend& DefaultPaneBackend() {
    static camera::NetStreamLogins logins;
    static OrvexXPlayBackend backend(logins);
    return backend;
}

VideoPaneWidget::VideoPaneWidget(int index, QWidget* parent)
    : QWidget(parent), index_(std::clamp(index, 0, 3)) {
    const QString name = QStringLiteral("video%1").arg(index_);
    setObjectName(name);
    setAccessibleName(name);
    // Every paint covers the whole widget.
    setAttribute(Qt::WA_OpaquePaintEvent);
    QPalette p = palette();
    p.setColor(QPalette::Window, Qt::black);
    setPalette(p);
    boxWidth_.store(width());
    boxHeight_.store(height());
}

VideoPaneWidget::~VideoPaneWidget() {
    // Waits for a call in progress; the decoder never calls this widget again.
    if (backend_ && port_ >= 0) backend_->PlayEx(port_, nullptr);
}

void VideoPaneWidget::SetAttachment(PaneBackend* backend, int port) {
    backend_ = port >= 0 ? backend : nullptr;
    port_ = backend_ ? port : -1;
}

QRect VideoPaneWidget::FitRect(QSize picture, QSize box) {
    if (picture.isEmpty() || box.isEmpty()) return {};
    int64_t w = box.width();
    int64_t h = (w * picture.height() + picture.width() / 2) / picture.width();
    if (h > box.height()) {
        h = box.height();
        w = (h * picture.width() + picture.height() / 2) / picture.height();
    }
    w = std::clamp<int64_t>(w, 1, box.width());
    h = std::clamp<int64_t>(h, 1, box.height());
    return QRect(static_cast<int>((box.width() - w) / 2), static_cast<int>((box.height() - h) / 2),
                 static_cast<int>(w), static_cast<int>(h));
}

QSize VideoPaneWidget::EvenFit(QSize picture, QSize box) {
    const QSize fit = FitRect(picture, box).size();
    if (fit.isEmpty()) return fit;
    return QSize(fit.width() > 1 ? fit.width() & ~1 : 1, fit.height() > 1 ? fit.height() & ~1 : 1);
}

void VideoPaneWidget::TargetSizeFor(int sourceWidth, int sourceHeight, int* w, int* h) {
    const QSize box(boxWidth_.load(), boxHeight_.load());
    const QSize source(sourceWidth, sourceHeight);
    std::lock_guard<std::mutex> lock(mu_);
    sourceSize_ = source;
    askedNative_ = false;
    const QSize fit = EvenFit(source, box);
    if (fit.isEmpty()) return;  // no room: the picture's own size
    *w = fit.width();
    *h = fit.height();
}

uint8_t* VideoPaneWidget::FrameBuffer(int w, int h, int* stride) {
    std::lock_guard<std::mutex> lock(mu_);
    if (writing_.width() != w || writing_.height() != h) {
        // Rows of a multiple of 64 bytes and one spare row behind the last: what the scaler's
        // SIMD writers want.
        const qsizetype line = (static_cast<qsizetype>(w) * 4 + 63) & ~qsizetype{63};
        void* memory = std::aligned_alloc(64, static_cast<size_t>(line) * static_cast<size_t>(h + 1));
        if (!memory) {
            writing_ = QImage();
            return nullptr;  // the decoder converts into its own buffer, OnFrame copies
        }
        writing_ = QImage(static_cast<uchar*>(memory), w, h, line, QImage::Format_RGB32,
                          [](void* p) { std::free(p); }, memory);
    }
    *stride = static_cast<int>(writing_.bytesPerLine());
    return writing_.bits();
}

void VideoPaneWidget::TargetSize(int* w, int* h) {
    const QSize box(boxWidth_.load(), boxHeight_.load());
    std::lock_guard<std::mutex> lock(mu_);
    askedNative_ = sourceSize_.isEmpty() || sinceProbe_ >= kProbeInterval || box.isEmpty();
    if (askedNative_) return;  // 0 x 0: the picture's own size
    const QRect fit = FitRect(sourceSize_, box);
    *w = fit.width();
    *h = fit.height();
}

void VideoPaneWidget::OnFrame(const uint8_t* pixels, int width, int height, int stride) {
    if (!pixels || width <= 0 || height <= 0 || stride < 4 * width) return;
    {
        std::lock_guard<std::mutex> lock(mu_);
        if (askedNative_) {
            sourceSize_ = QSize(width, height);
            sinceProbe_ = 0;
        } else {
            ++sinceProbe_;
        }
        if (!writing_.isNull() && pixels == writing_.constBits() && writing_.width() == width &&
            writing_.height() == height) {
            // Converted into the buffer lent by FrameBuffer: it becomes the latest picture.
            std::swap(writing_, pending_);
        } else {
            if (pending_.width() != width || pending_.height() != height)
                pending_ = QImage(width, height, QImage::Format_RGB32);
            if (pending_.isNull()) return;  // out of memory: skip this picture
            const size_t rowBytes = static_cast<size_t>(width) * 4;
            for (int y = 0; y < height; ++y)
                std::memcpy(pending_.scanLine(y), pixels + static_cast<ptrdiff_t>(y) * stride, rowBytes);
        }
        if (hasNew_) superseded_.fetch_add(1);
        hasNew_ = true;
    }
    received_.fetch_add(1);
    hasPicture_.store(true);
    // The call travels entirely inside Qt's event queue, which is thread-safe; by member pointer,
    // so no method is looked up by name for every picture.
    if (!updatePosted_.exchange(true))
        QMetaObject::invokeMethod(this, &VideoPaneWidget::PictureArrived, Qt::QueuedConnection);
}

void VideoPaneWidget::PictureArrived() {
    // Cleared before looking, so a picture arriving from now on queues again.
    updatePosted_.store(false);
    bool waiting = false;
    QSize size;
    {
        std::lock_guard<std::mutex> lock(mu_);
        waiting = hasNew_;
        size = pending_.size();
    }
    if (!waiting) return;
    // A picture of the size on screen, already scaled to the pane, replaces just the old one's
    // pixels: the bars around it stay as they are (the pane paints opaquely, so Qt keeps them).
    const QRect at = ScaledPictureRect(size);
    if (size == shown_.size() && !at.isEmpty() && !disconnected_)
        update(at);
    else
        update();
}

QRect VideoPaneWidget::ScaledPictureRect(QSize picture) const {
    const QRect target = FitRect(picture, size());
    if (target.isEmpty() || (target.size() != picture && picture != EvenFit(target.size(), size()))) return {};
    return QRect(QPoint((width() - picture.width()) / 2, (height() - picture.height()) / 2), picture);
}

void VideoPaneWidget::ClearPicture() {
    {
        std::lock_guard<std::mutex> lock(mu_);
        pending_ = QImage();
        writing_ = QImage();
        hasNew_ = false;
        sourceSize_ = QSize();
        sinceProbe_ = 0;
    }
    shown_ = QImage();
    hasPicture_.store(false);
    disconnected_ = false;
    update();
}

void VideoPaneWidget::SetDisconnected(bool disconnected) {
    disconnected_ = disconnected;
    update();
}

QImage VideoPaneWidget::Picture() {
    std::lock_guard<std::mutex> lock(mu_);
    return (hasNew_ ? pending_ : shown_).copy();
}

void VideoPaneWidget::paintEvent(QPaintEvent* e) {
    bool fresh = false;
    const QSize before = shown_.size();
    {
        std::lock_guard<std::mutex> lock(mu_);
        if (hasNew_) {
            // The picture shown until now becomes the spare the presenting thread writes into
            // after its current one.
            std::swap(pending_, shown_);
            hasNew_ = false;
            fresh = true;
        }
    }
    // Asked to repaint just the old picture's pixels, but a picture of another size came in
    // meanwhile: the rest of the pane follows at once.
    if (fresh && shown_.size() != before && e->rect() != rect()) update();
    QPainter painter(this);
    const QRect target = FitRect(shown_.size(), size());
    const QRect at = ScaledPictureRect(shown_.size());
    if (target.isEmpty()) {
        painter.fillRect(rect(), Qt::black);
    } else if (!at.isEmpty() && at.contains(e->rect())) {
        // Just the picture's pixels are asked for (see PictureArrived).
        painter.drawImage(at.topLeft(), shown_);
    } else {
        // Black bars around the picture only.
        const QRegion bars = QRegion(rect()).subtracted(QRegion(target));
        for (const QRect& r : bars) painter.fillRect(r, Qt::black);
        if (!at.isEmpty()) {
            // Already scaled to the pane (exactly, or rounded down to even sizes): centred as is.
            for (const QRect& r : QRegion(target).subtracted(QRegion(at))) painter.fillRect(r, Qt::black);
            painter.drawImage(at.topLeft(), shown_);
        } else {
            // A picture of another size: the first one, one probing the camera's size, or the
            // last one after the pane was resized.
            painter.setRenderHint(QPainter::SmoothPixmapTransform);
            painter.drawImage(target, shown_);
        }
    }
    if (disconnected_) {
        // The last picture stays, greyed, with the reason over it.
        painter.fillRect(rect(), QColor(64, 64, 64, 160));
        QFont font = painter.font();
        font.setPointSize(std::max(font.pointSize(), 14));
        font.setBold(true);
        painter.setFont(font);
        painter.setPen(Qt::white);
        painter.drawText(rect(), Qt::AlignCenter, tr("连接已断开"));
    }
    if (fresh) painted_.fetch_add(1);
}

void VideoPaneWidget::resizeEvent(QResizeEvent* e) {
    boxWidth_.store(e->size().width());
    boxHeight_.store(e->size().height());
    QWidget::resizeEvent(e);
}

void VideoPaneWidget::mousePressEvent(QMouseEvent* e) {
    if (e->button() == Qt::LeftButton) {
        e->accept();
        emit clicked();
        return;
    }
    QWidget::mousePressEvent(e);
}

void VideoPaneWidget::mouseDoubleClickEvent(QMouseEvent* e) {
    if (e->button() == Qt::LeftButton) {
        e->accept();
        emit doubleClicked();
        return;
    }
    QWidget::mouseDoubleClickEvent(e);
}

}  // namespace velmora::ui
