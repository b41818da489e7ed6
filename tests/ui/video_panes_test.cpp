// The video panes over a recording backend: geometry, the choice of the pane, the order of the
// calls when a pane opens and closes, failures, clicks, borders and the pane widget's picture.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include <QPainter>
#include <QScreen>
#include <QSignalSpy>
#include <QTest>

#include "ui/main/video_panes.h"
#include "ui/ui_test_support.h"

namespace velmora::ui {
namespace {

using Calls = std::vector<std::string>;

// Records every call as text; handles count up from 10 (sessions), 20 (real play) and 30
// (decoder ports) unless a result is forced negative.
class RecordingBackend : public PaneBackend {
public:
    int LogIn(const transport::LoginInfo& info, std::shared_ptr<velmora::camera::NetCamera>& camera) override {
        const int s = Log("Login " + std::string(info.address), login, session);
        if (s < 0) return s;
        camera = std::make_shared<velmora::camera::NetCamera>(s, std::string(info.address), info.port);
        return 0;
    }
    int LastError() override { return lastError; }
    int StartRealPlay(int s, int stream, transport::ORVEX_RealDataCallback, void* u) override {
        user = u;
        return Log("StartRealPlay " + std::to_string(s) + " " + std::to_string(stream), realPlay, play);
    }
    int StopRealPlay(int h) override { return Log("StopRealPlay " + std::to_string(h), 0, unused); }
    void LogOut(const velmora::camera::NetCamera& camera) override {
        Log("LogOut " + std::to_string(camera.session()), 0, unused);
    }
    int OpenStream() override { return Log("OpenStream", open, port); }
    int PlayEx(int p, platform::FrameSink* sink) override {
        return Log("PlayEx " + std::to_string(p) + (sink ? "" : " none"), 0, unused);
    }
    int VideoClose(int p) override { return Log("VideoClose " + std::to_string(p), 0, unused); }
    int RealPlayState(int h) override { return h == endedHandle ? endedReason : 0; }
    int endedHandle = -1, endedReason = 0;

    int Log(std::string call, int forced, int& counter) {
        calls.push_back(std::move(call));
        return forced < 0 ? forced : counter++;
    }
    Calls calls;
    int login = 0, realPlay = 0, open = 0, lastError = 0;
    int session = 10, play = 20, port = 30, unused = 0;
    void* user = nullptr;
};

transport::LoginInfo Info(const char* address, uint16_t port = 36666) {
    transport::LoginInfo info{};
    std::snprintf(info.address, sizeof info.address, "%s", address);
    info.port = port;
    return info;
}

class VideoPanesTest : public ::testing::Test {
protected:
    VideoPanesTest() : panes_(&client_, backend_) {
        client_.resize(1000, 600);
        client_.show();
        panes_.SetLayout(2);
        panes_.Place(1000, 600, 200);
    }
    test::RecordingMessages messages_;
    RecordingBackend backend_;
    QWidget client_;
    VideoPanes panes_;
};

TEST(PaneGeometryTest, RectsAndChoiceOfPane) {
    // x0 = 205, y0 = 2, w = 785, h = 588, w2 = 392, h2 = 294.
    const PaneGeometry four = PaneRects(2, 1000, 600, 200);
    EXPECT_EQ(four.count, 4);
    EXPECT_EQ(four.rects[1], QRect(602, 2, 392, 294));
    EXPECT_EQ(four.rects[2], QRect(205, 301, 392, 294));
    EXPECT_EQ(PaneRects(1, 1000, 600, 200).rects[0], QRect(205, 2, 785, 588));
    EXPECT_EQ(PaneRects(1, 1000, 600, 200).count, 1);
    EXPECT_EQ(PaneRects(7, 1000, 600, 200).count, 4);  // a hand-edited layout: four panes
    // A client narrower than the PTZ pane: w = -15 halves toward zero to -7.
    EXPECT_EQ(PaneRects(2, 200, 11, 200).rects[1].x(), 205 - 7 + 5);

    const bool twoBusy[4] = {true, true, false, false};
    const bool allBusy[4] = {true, true, true, true};
    const bool firstBusy[4] = {true, false, false, false};
    EXPECT_EQ(ChoosePane(0, twoBusy, 2), 2);
    EXPECT_EQ(ChoosePane(3, allBusy, 2), 3);
    EXPECT_EQ(ChoosePane(0, firstBusy, 1), 0);
    EXPECT_EQ(ChoosePane(0, firstBusy, 2), 1);
}

TEST_F(VideoPanesTest, OpenAndCloseInOrder) {
    QSignalSpy selected(&panes_, &VideoPanes::selected);
    ASSERT_EQ(panes_.OpenNetworkDevice(Info("127.0.0.2"), 0), 0);
    EXPECT_EQ(backend_.calls, (Calls{"Login 127.0.0.2", "StartRealPlay 10 0", "OpenStream", "PlayEx 30"}));
    const VideoPane& p0 = panes_.Pane(0);
    EXPECT_EQ(backend_.user, &p0);
    EXPECT_EQ(p0.decoderPort.load(), 30);
    ASSERT_EQ(selected.count(), 1);
    EXPECT_EQ(selected[0], (QList<QVariant>{10, "127.0.0.2", 36666}));

    // The same camera again goes to the next free pane with a session of its own.
    ASSERT_EQ(panes_.OpenNetworkDevice(Info("127.0.0.2"), 0), 0);
    EXPECT_EQ(panes_.CurrentPane(), 1);
    EXPECT_EQ(panes_.Pane(1).session, 11);

    backend_.calls.clear();
    panes_.CloseVideoPane(0);
    panes_.CloseVideoPane(0);  // nothing left to release
    panes_.CloseVideoPane(9);  // no such pane
    EXPECT_EQ(backend_.calls, (Calls{"VideoClose 30", "StopRealPlay 20", "LogOut 10"}));
    EXPECT_EQ(p0.session + p0.realPlay + p0.decoderPort.load(), -3);
    EXPECT_STREQ(p0.address, "127.0.0.2");  // kept

    // The destructor closes every pane.
    backend_.calls.clear();
    {
        QWidget other;
        VideoPanes temporary(&other, backend_);
        temporary.OpenNetworkDevice(Info("127.0.0.7"), 0);
        backend_.calls.clear();
    }
    EXPECT_EQ(backend_.calls, (Calls{"VideoClose 32", "StopRealPlay 22", "LogOut 12"}));
}

TEST_F(VideoPanesTest, FailuresLeaveThePaneAsDocumented) {
    QSignalSpy selected(&panes_, &VideoPanes::selected);
    backend_.login = backend_.lastError = -1008;
    EXPECT_EQ(panes_.OpenNetworkDevice(Info("127.0.0.2"), 0), -1008);
    EXPECT_EQ(panes_.Pane(0).session, -1);

    // Real play refused: the session stays until the pane is closed.
    backend_.login = 0;
    backend_.realPlay = backend_.lastError = -1014;
    EXPECT_EQ(panes_.OpenNetworkDevice(Info("127.0.0.2"), 0), -1014);
    EXPECT_EQ(messages_.shown, (Calls{"登录失败 错误码为-1008（用户名或密码错误）", "请求主码流失败! 错误码为: -1014\n"}));
    EXPECT_EQ(panes_.Pane(0).session, 10);
    EXPECT_EQ(panes_.Pane(0).realPlay, -1);

    // No decoder port: no message; session and real play held, address not stored, not selected.
    backend_.realPlay = 0;
    backend_.open = -3;
    EXPECT_EQ(panes_.OpenNetworkDevice(Info("127.0.0.9", 4000), 0), -3);
    const VideoPane& p1 = panes_.Pane(1);
    EXPECT_EQ(messages_.shown.size(), 2u);
    EXPECT_EQ(p1.session, 11);
    EXPECT_EQ(p1.realPlay, 20);
    EXPECT_EQ(p1.decoderPort.load(), -1);
    EXPECT_STREQ(p1.address, "");
    EXPECT_EQ(selected.count(), 0);

    backend_.calls.clear();
    panes_.CloseAll();
    EXPECT_EQ(backend_.calls, (Calls{"LogOut 10", "StopRealPlay 20", "LogOut 11"}));
}

TEST_F(VideoPanesTest, ClicksLayoutsAndBorders) {
    QSignalSpy selected(&panes_, &VideoPanes::selected);
    VideoPaneWidget* w2 = panes_.Widget(2);
    EXPECT_EQ(w2->accessibleName(), "video2");
    // Wired as the main window wires it.
    QObject::connect(w2, &VideoPaneWidget::clicked, &panes_, [this] { panes_.SelectVideoPane(2); });
    QTest::mouseClick(w2, Qt::RightButton);
    EXPECT_EQ(selected.count(), 0);
    QTest::mouseClick(w2, Qt::LeftButton);
    EXPECT_EQ(panes_.CurrentPane(), 2);
    ASSERT_EQ(selected.count(), 1);
    EXPECT_EQ(selected[0], (QList<QVariant>{-1, "", 0}));

    // Borders: two pixels just outside each pane, red around the current one; pen restored.
    QImage image(1000, 600, QImage::Format_RGB32);
    image.fill(Qt::white);
    QPainter painter(&image);
    const QPen before(Qt::green, 5);
    painter.setPen(before);
    panes_.DrawBorders(painter);
    EXPECT_EQ(painter.pen(), before);
    painter.end();
    const auto at = [&](int x, int y) { return image.pixel(x, y) & 0xffffffu; };
    const QRect r0 = panes_.Widget(0)->geometry(), r2 = w2->geometry();
    const int y = r0.center().y();
    std::vector<unsigned> across;  // from three pixels left of pane 0 to three right of it
    for (int x : {r0.left() - 3, r0.left() - 2, r0.left() - 1, r0.left(), r0.right(), r0.right() + 1,
                  r0.right() + 2, r0.right() + 3})
        across.push_back(at(x, y));
    const unsigned white = 0xffffff;
    EXPECT_EQ(across, (std::vector<unsigned>{white, 0, 0, white, white, 0, 0, white}));
    EXPECT_EQ(at(r2.right() + 2, r2.bottom() + 2), 0xff0000u);  // corner
    EXPECT_EQ(at(r2.center().x(), r2.top() - 1), 0xff0000u);

    // One pane: pane 0 fills the area, the others hide; closing the layout's panes closes pane 0
    // only, and running panes survive the layout switch.
    panes_.SelectVideoPane(0);
    panes_.OpenNetworkDevice(Info("127.0.0.2"), 0);
    panes_.OpenNetworkDevice(Info("127.0.0.3"), 0);
    panes_.SetLayout(1);
    panes_.Place(1000, 600, 200);
    EXPECT_FALSE(panes_.Widget(1)->isVisibleTo(&client_));
    EXPECT_EQ(panes_.Widget(0)->geometry(), QRect(205, 2, 785, 588));
    panes_.ClosePanesOfLayout();
    EXPECT_EQ(panes_.Pane(0).session, -1);
    EXPECT_EQ(panes_.Pane(1).session, 11);
}

// Calls the sink as the decoder's presenting thread does, with a picture of one colour at the
// size the sink asks for (w x h when it asks for the picture's own size).
QSize Present(VideoPaneWidget& sink, int w, int h, QRgb colour) {
    QSize delivered;
    std::thread presenter([&] {
        int tw = 0, th = 0;
        sink.TargetSize(&tw, &th);
        delivered = QSize(tw > 0 ? tw : w, th > 0 ? th : h);
        QImage picture(delivered, QImage::Format_RGB32);
        picture.fill(colour);
        sink.OnFrame(picture.constBits(), picture.width(), picture.height(), picture.bytesPerLine());
    });
    presenter.join();
    return delivered;
}

TEST(VideoPaneWidgetTest, ShowsTheLatestPictureFittedIntoTheWidget) {
    EXPECT_EQ(VideoPaneWidget::FitRect({640, 480}, {400, 150}), QRect(100, 0, 200, 150));
    EXPECT_EQ(VideoPaneWidget::FitRect({1920, 1080}, {1000, 1}), QRect(499, 0, 2, 1));
    EXPECT_TRUE(VideoPaneWidget::FitRect({0, 0}, {400, 300}).isEmpty());

    VideoPaneWidget pane(0);
    pane.resize(400, 300);
    pane.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&pane));
    // The first picture comes at its own size, the next ones fitted to 400 x 225.
    EXPECT_EQ(Present(pane, 1920, 1080, qRgb(0, 0, 255)), QSize(1920, 1080));
    EXPECT_EQ(Present(pane, 1920, 1080, qRgb(0, 0, 255)), QSize(400, 225));
    EXPECT_EQ(Present(pane, 1920, 1080, qRgb(255, 0, 0)), QSize(400, 225));
    // Three pictures, one repaint with the latest.
    ASSERT_TRUE(QTest::qWaitFor([&] { return pane.PicturesPainted() > 0; }, 5000));
    QCoreApplication::processEvents();
    EXPECT_EQ(pane.PicturesPainted(), 1u);
    EXPECT_EQ(pane.PicturesReceived(), 3u);
    const QImage shot = pane.grab().toImage();
    EXPECT_EQ(shot.pixel(200, 38) & 0xffffffu, 0xff0000u);
    EXPECT_EQ(shot.pixel(200, 36) & 0xffffffu, 0u);  // black bar above
    EXPECT_EQ(shot.pixel(200, 262) & 0xffffffu, 0u);  // and below

    pane.resize(300, 300);
    EXPECT_EQ(Present(pane, 1920, 1080, qRgb(0, 255, 0)), QSize(300, 169));
    pane.ClearPicture();
    EXPECT_FALSE(pane.HasPicture());
    EXPECT_EQ(Present(pane, 640, 480, qRgb(0, 255, 0)), QSize(640, 480));  // size learnt afresh
    EXPECT_TRUE(pane.HasPicture());

    // Destroyed while still attached, a widget detaches itself.
    RecordingBackend backend;
    {
        VideoPaneWidget attached(1);
        attached.SetAttachment(&backend, 42);
    }
    EXPECT_EQ(backend.calls, (Calls{"PlayEx 42 none"}));
}

// The decoder's way into a pane: it asks the size for its picture (fitted, rounded down to even
// sizes for the scaler's fast path), converts into the buffer the pane lends and hands that very
// buffer over. A picture not painted before a newer one comes is counted as superseded.
TEST(VideoPaneWidgetTest, PicturesComeInThePanesOwnBufferAtEvenSizes) {
    VideoPaneWidget pane(0);
    pane.resize(323, 300);
    pane.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&pane));
    QSize asked;
    const auto deliver = [&](QRgb colour) {
        std::thread presenter([&] {
            int w = 0, h = 0;
            pane.TargetSizeFor(1920, 1080, &w, &h);
            asked = QSize(w, h);
            int stride = 0;
            uint8_t* buffer = pane.FrameBuffer(w, h, &stride);
            if (!buffer || stride % 64 != 0) return;
            for (int y = 0; y < h; ++y) std::fill_n(reinterpret_cast<QRgb*>(buffer + y * stride), w, colour);
            pane.OnFrame(buffer, w, h, stride);
        });
        presenter.join();
    };
    deliver(qRgb(255, 0, 0));
    deliver(qRgb(0, 255, 0));
    EXPECT_EQ(asked, QSize(322, 182));  // 323 x 182 fitted
    ASSERT_TRUE(QTest::qWaitFor([&] { return pane.PicturesPainted() > 0; }, 5000));
    QCoreApplication::processEvents();
    EXPECT_EQ(pane.PicturesReceived(), 2u);
    EXPECT_EQ(pane.PicturesPainted(), 1u);
    EXPECT_EQ(pane.PicturesSuperseded(), 1u);
    // Drawn as it is, centred: black above row 59 and below row 240, and in the last column.
    const QImage shot = pane.grab().toImage();
    const auto at = [&](int x, int y) { return shot.pixel(x, y) & 0xffffffu; };
    EXPECT_EQ(at(161, 58), 0u);
    EXPECT_EQ(at(161, 59), 0x00ff00u);
    EXPECT_EQ(at(0, 240), 0x00ff00u);
    EXPECT_EQ(at(161, 241), 0u);
    EXPECT_EQ(at(322, 150), 0u);
}

// A picture of the size on screen repaints just its own pixels; one of another size repaints the
// whole pane, so nothing of the larger picture before it stays beside it. What reaches the screen
// is checked, not a fresh rendering of the widget.
TEST(VideoPaneWidgetTest, OnlyThePicturesPixelsAreRepaintedWhileItsSizeStays) {
    VideoPaneWidget pane(0);
    pane.resize(323, 300);
    pane.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&pane));
    const auto deliver = [&](QRgb colour) {
        std::thread presenter([&] {
            int w = 0, h = 0;
            pane.TargetSizeFor(1920, 1080, &w, &h);
            int stride = 0;
            uint8_t* buffer = pane.FrameBuffer(w, h, &stride);
            if (!buffer) return;
            for (int y = 0; y < h; ++y) std::fill_n(reinterpret_cast<QRgb*>(buffer + y * stride), w, colour);
            pane.OnFrame(buffer, w, h, stride);
        });
        presenter.join();
    };
    const auto painted = [&](uint64_t n) {
        return QTest::qWaitFor([&] { return pane.PicturesPainted() >= n; }, 5000);
    };
    const auto screen = [&] {
        QCoreApplication::processEvents();
        return pane.screen()->grabWindow(pane.winId()).toImage();
    };
    deliver(qRgb(255, 0, 0));
    ASSERT_TRUE(painted(1));
    deliver(qRgb(0, 255, 0));
    ASSERT_TRUE(painted(2));
    QImage shot = screen();
    const auto at = [&](int x, int y) { return shot.pixel(x, y) & 0xffffffu; };
    EXPECT_EQ(at(161, 59), 0x00ff00u);
    EXPECT_EQ(at(161, 58), 0u);
    EXPECT_EQ(at(322, 150), 0u);

    // Pixels of the decoder's own, 320 x 240 (scaled into 323 x 242, rows 29 to 270), taken by a
    // repaint of the old picture's pixels only: the rest of the pane follows.
    std::vector<QRgb> own(320 * 240, qRgb(0, 0, 255));
    std::thread presenter([&] { pane.OnFrame(reinterpret_cast<const uint8_t*>(own.data()), 320, 240, 1280); });
    presenter.join();
    pane.repaint(QRect(0, 59, 323, 182));
    ASSERT_TRUE(painted(3));
    EXPECT_TRUE(QTest::qWaitFor([&] {
        shot = screen();
        return (at(161, 40) & 0xff) == 0xffu;
    }, 5000));
    EXPECT_EQ(at(161, 150) & 0xff, 0xffu);
    EXPECT_EQ(at(161, 26), 0u);
}

}  // namespace
}  // namespace velmora::ui

namespace velmora::ui {
namespace {

// A stream that ends (or whose connection breaks) greys its pane with "连接已断开" once, is
// logged and told; a close clears the mark; nothing reconnects by itself. An unknown handle (the
// library's answer while a pane closes) is not taken for a lost connection.
TEST_F(VideoPanesTest, AnEndedStreamMarksItsPaneUntilItIsClosedOrOpenedAgain) {
    panes_.SetCheckInterval(0);  // the test looks itself
    QSignalSpy lost(&panes_, &VideoPanes::lost);
    ASSERT_EQ(panes_.OpenNetworkDevice(Info("127.0.0.2"), 0), 0);
    ASSERT_EQ(panes_.OpenNetworkDevice(Info("127.0.0.3"), 0), 0);
    panes_.CheckStreams();
    EXPECT_FALSE(panes_.Lost(0));

    backend_.endedHandle = panes_.Pane(1).realPlay;
    backend_.endedReason = wire::ORVEX_ERR_INVALID_HANDLE;
    panes_.CheckStreams();
    EXPECT_FALSE(panes_.Lost(1));
    backend_.endedReason = wire::ORVEX_ERR_DISCONNECTED;
    panes_.CheckStreams();
    panes_.CheckStreams();
    EXPECT_TRUE(panes_.Lost(1));
    EXPECT_FALSE(panes_.Lost(0));
    EXPECT_TRUE(panes_.Widget(1)->Disconnected());
    ASSERT_EQ(lost.count(), 1);
    EXPECT_EQ(lost.at(0).at(0).toInt(), 1);
    EXPECT_EQ(lost.at(0).at(1).toInt(), wire::ORVEX_ERR_DISCONNECTED);
    // The pane keeps its session and its last picture; nothing was opened again.
    EXPECT_GE(panes_.Pane(1).session, 0);
    EXPECT_EQ(std::count(backend_.calls.begin(), backend_.calls.end(), "Login 127.0.0.3"), 1);

    // Opening the camera again in that pane clears the mark.
    backend_.endedHandle = -1;
    ASSERT_EQ(panes_.OpenInPane(1, Info("127.0.0.3"), 0), 0);
    EXPECT_FALSE(panes_.Lost(1));
    EXPECT_FALSE(panes_.Widget(1)->Disconnected());
    EXPECT_EQ(panes_.CurrentPane(), 1);
    EXPECT_STREQ(panes_.Pane(0).address, "127.0.0.2");  // the other pane untouched
}

// A double-click enlarges a pane to the one-pane rectangle with the others hidden, and back; the
// layout stays, and a layout change returns it to its place.
TEST_F(VideoPanesTest, APaneEnlargesToTheWholeVideoAreaAndBack) {
    const QRect whole = PaneRects(1, 1000, 600, 200).rects[0];
    const QRect third = PaneRects(2, 1000, 600, 200).rects[2];
    QSignalSpy doubled(panes_.Widget(2), &VideoPaneWidget::doubleClicked);
    QTest::mouseDClick(panes_.Widget(2), Qt::LeftButton);
    EXPECT_EQ(doubled.count(), 1);
    panes_.ToggleEnlarged(2);
    panes_.Place(1000, 600, 200);
    EXPECT_EQ(panes_.Layout(), 2);
    EXPECT_EQ(panes_.Widget(2)->geometry(), whole);
    for (int i : {0, 1, 3}) EXPECT_TRUE(panes_.Widget(i)->isHidden()) << i;
    panes_.ToggleEnlarged(2);
    panes_.Place(1000, 600, 200);
    EXPECT_EQ(panes_.Widget(2)->geometry(), third);
    for (int i = 0; i < 4; ++i) EXPECT_FALSE(panes_.Widget(i)->isHidden()) << i;

    panes_.ToggleEnlarged(3);
    panes_.SetLayout(1);
    EXPECT_EQ(panes_.EnlargedPane(), -1);
    panes_.ToggleEnlarged(3);  // not a pane of the one-pane layout
    EXPECT_EQ(panes_.EnlargedPane(), -1);
}

}  // namespace
}  // namespace velmora::ui
