// The video panes over a recording backend: geometry, the choice of the pane, the order of the
// calls when a pane opens and closes, failures, clicks, borders and the pane widget's picture.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include <QImage>
#include <QPainter>
#include <QSignalSpy>
#include <QTest>
#include <QWidget>

#include "platform/decoder/xplay.h"
#include "ui/main/video_panes.h"
#include "ui/ui_test_support.h"

namespace velmora::ui {
namespace {

class RecordingBackend : public PaneBackend {
public:
    int Login(const LoginInfo& info) override {
        calls.push_back(std::string("Login ") + info.address);
        return loginResult >= 0 ? nextSession++ : loginResult;
    }
    int LastError() override { return lastError; }
    int StartRealPlay(int session, int stream, ORVEX_RealDataCallback cb, void* user) override {
        calls.push_back("StartRealPlay " + std::to_string(session) + " " + std::to_string(stream));
        callback = cb;
        lastUser = user;
        return realPlayResult >= 0 ? nextRealPlay++ : realPlayResult;
    }
    int StopRealPlay(int handle) override {
        calls.push_back("StopRealPlay " + std::to_string(handle));
        return 0;
    }
    int LogOut(int session) override {
        calls.push_back("LogOut " + std::to_string(session));
        return 0;
    }
    int OpenStream() override {
        calls.push_back("OpenStream");
        return openResult >= 0 ? nextPort++ : openResult;
    }
    int PlayEx(int port, FrameSink* sink) override {
        calls.push_back("PlayEx " + std::to_string(port) + (sink ? " sink" : " none"));
        return 0;
    }
    int VideoClose(int port) override {
        calls.push_back("VideoClose " + std::to_string(port));
        return 0;
    }

    std::vector<std::string> calls;
    int loginResult = 0, realPlayResult = 0, openResult = 0, lastError = 0;
    int nextSession = 10, nextRealPlay = 20, nextPort = 30;
    ORVEX_RealDataCallback callback = nullptr;
    void* lastUser = nullptr;
};

LoginInfo Info(const char* address, uint16_t port = 36666) {
    LoginInfo info{};
    std::snprintf(info.address, sizeof info.address, "%s", address);
    info.port = port;
    return info;
}

using Calls = std::vector<std::string>;

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

TEST(PaneGeometryTest, RectsOfBothLayouts) {
    // x0 = 205, y0 = 2, w = 785, h = 588, w2 = 392, h2 = 294.
    PaneGeometry four = PaneRects(2, 1000, 600, 200);
    EXPECT_EQ(four.count, 4);
    EXPECT_EQ(four.rects[0], QRect(205, 2, 392, 294));
    EXPECT_EQ(four.rects[1], QRect(602, 2, 392, 294));
    EXPECT_EQ(four.rects[2], QRect(205, 301, 392, 294));
    EXPECT_EQ(four.rects[3], QRect(602, 301, 392, 294));

    PaneGeometry one = PaneRects(1, 1000, 600, 200);
    EXPECT_EQ(one.count, 1);
    EXPECT_EQ(one.rects[0], QRect(205, 2, 785, 588));

    // A hand-edited layout counts as four panes; a client narrower than the PTZ pane gives
    // negative sizes that halve toward zero.
    EXPECT_EQ(PaneRects(7, 1000, 600, 200).count, 4);
    EXPECT_EQ(PaneCount(0), 4);
    PaneGeometry narrow = PaneRects(2, 200, 11, 200);  // w = -15, h = -1
    EXPECT_EQ(narrow.rects[1].x(), 205 - 7 + 5);
    EXPECT_EQ(narrow.rects[2].y(), 2 + 0 + 5);
}

TEST(PaneGeometryTest, ChoosePane) {
    const bool twoBusy[4] = {true, true, false, false};
    EXPECT_EQ(ChoosePane(0, twoBusy, 2), 2);
    EXPECT_EQ(ChoosePane(2, twoBusy, 2), 2);
    const bool allBusy[4] = {true, true, true, true};
    EXPECT_EQ(ChoosePane(3, allBusy, 2), 3);
    const bool firstBusy[4] = {true, false, false, false};
    EXPECT_EQ(ChoosePane(0, firstBusy, 1), 0);  // one pane: replaced
    EXPECT_EQ(ChoosePane(0, firstBusy, 2), 1);
    const bool lastBusy[4] = {false, false, false, true};
    EXPECT_EQ(ChoosePane(3, lastBusy, 2), 0);
}

TEST_F(VideoPanesTest, OpenAndCloseInOrder) {
    QSignalSpy selected(&panes_, &VideoPanes::selected);
    ASSERT_EQ(panes_.OpenNetworkDevice(Info("127.0.0.2", 36666), 0), 0);
    EXPECT_EQ(backend_.calls,
              (Calls{"Login 127.0.0.2", "StartRealPlay 10 0", "OpenStream", "PlayEx 30 sink"}));
    const VideoPane& p0 = panes_.Pane(0);
    EXPECT_EQ(p0.session, 10);
    EXPECT_EQ(p0.realPlay, 20);
    EXPECT_EQ(p0.decoderPort.load(), 30);
    EXPECT_STREQ(p0.address, "127.0.0.2");
    EXPECT_EQ(p0.port, 36666);
    EXPECT_EQ(backend_.lastUser, &p0);
    ASSERT_EQ(selected.count(), 1);
    EXPECT_EQ(selected[0][0].toInt(), 10);
    EXPECT_EQ(selected[0][1].toString(), "127.0.0.2");
    EXPECT_EQ(selected[0][2].toInt(), 36666);

    // The next camera goes to the first free pane; the same camera again gets its own session.
    ASSERT_EQ(panes_.OpenNetworkDevice(Info("127.0.0.2"), 0), 0);
    EXPECT_EQ(panes_.CurrentPane(), 1);
    EXPECT_EQ(panes_.Pane(1).session, 11);

    backend_.calls.clear();
    panes_.CloseVideoPane(0);
    EXPECT_EQ(backend_.calls, (Calls{"VideoClose 30", "StopRealPlay 20", "LogOut 10"}));
    EXPECT_EQ(p0.session, -1);
    EXPECT_EQ(p0.realPlay, -1);
    EXPECT_EQ(p0.decoderPort.load(), -1);
    EXPECT_STREQ(p0.address, "127.0.0.2");  // kept
    backend_.calls.clear();
    panes_.CloseVideoPane(0);  // empty: nothing to release
    panes_.CloseVideoPane(9);  // no such pane
    EXPECT_TRUE(backend_.calls.empty());

    // All four busy, current pane 3: the camera in pane 3 is replaced (closed first).
    ASSERT_EQ(panes_.OpenNetworkDevice(Info("127.0.0.3"), 0), 0);  // pane 1 busy -> pane 0
    EXPECT_EQ(panes_.CurrentPane(), 0);
    ASSERT_EQ(panes_.OpenNetworkDevice(Info("127.0.0.4"), 0), 0);
    ASSERT_EQ(panes_.OpenNetworkDevice(Info("127.0.0.5"), 0), 0);
    EXPECT_EQ(panes_.CurrentPane(), 3);
    const int oldSession = panes_.Pane(3).session;
    backend_.calls.clear();
    ASSERT_EQ(panes_.OpenNetworkDevice(Info("127.0.0.6"), 0), 0);
    EXPECT_EQ(panes_.CurrentPane(), 3);
    ASSERT_GE(backend_.calls.size(), 4u);
    EXPECT_EQ(backend_.calls[2], "LogOut " + std::to_string(oldSession));
    EXPECT_EQ(backend_.calls[3], "Login 127.0.0.6");

    // The destructor closes every pane.
    backend_.calls.clear();
    {
        QWidget other;
        VideoPanes temporary(&other, backend_);
        temporary.OpenNetworkDevice(Info("127.0.0.7"), 0);
        backend_.calls.clear();
    }
    EXPECT_EQ(backend_.calls, (Calls{"VideoClose 36", "StopRealPlay 26", "LogOut 16"}));
}

TEST_F(VideoPanesTest, FailuresLeaveThePaneAsDocumented) {
    QSignalSpy selected(&panes_, &VideoPanes::selected);
    backend_.loginResult = -1008;
    backend_.lastError = -1008;
    EXPECT_EQ(panes_.OpenNetworkDevice(Info("127.0.0.2"), 0), -1008);
    EXPECT_EQ(messages_.shown, (std::vector<std::string>{"登录失败 错误码为-1008"}));
    EXPECT_EQ(panes_.Pane(0).session, -1);
    EXPECT_EQ(backend_.calls, (Calls{"Login 127.0.0.2"}));

    // Real play refused: the session stays open until the pane is closed.
    messages_.shown.clear();
    backend_.loginResult = 0;
    backend_.realPlayResult = -1014;
    backend_.lastError = -1014;
    EXPECT_EQ(panes_.OpenNetworkDevice(Info("127.0.0.2"), 0), -1014);
    EXPECT_EQ(messages_.shown, (std::vector<std::string>{"请求主码流失败! 错误码为: -1014\n"}));
    EXPECT_EQ(panes_.Pane(0).session, 10);
    EXPECT_EQ(panes_.Pane(0).realPlay, -1);
    EXPECT_EQ(panes_.Pane(0).decoderPort.load(), -1);

    // The logged-in pane counts as busy; the decoder cannot open: no message, session and real
    // play held, address not stored, pane not selected.
    messages_.shown.clear();
    backend_.realPlayResult = 0;
    backend_.openResult = -3;
    EXPECT_EQ(panes_.OpenNetworkDevice(Info("127.0.0.9", 4000), 0), -3);
    EXPECT_TRUE(messages_.shown.empty());
    const VideoPane& p1 = panes_.Pane(1);
    EXPECT_EQ(p1.session, 11);
    EXPECT_EQ(p1.realPlay, 20);
    EXPECT_EQ(p1.decoderPort.load(), -1);
    EXPECT_STREQ(p1.address, "");
    EXPECT_EQ(p1.port, 0);
    EXPECT_EQ(selected.count(), 0);
    EXPECT_EQ(panes_.CurrentPane(), 1);  // chosen, but not selected

    backend_.calls.clear();
    panes_.CloseAll();
    EXPECT_EQ(backend_.calls, (Calls{"LogOut 10", "StopRealPlay 20", "LogOut 11"}));
}

TEST_F(VideoPanesTest, ClicksLayoutsAndClosingTheLayout) {
    QSignalSpy selected(&panes_, &VideoPanes::selected);
    QSignalSpy borders(&panes_, &VideoPanes::bordersChanged);
    VideoPaneWidget* w2 = panes_.Widget(2);
    // Wired as the main window wires it.
    QObject::connect(w2, &VideoPaneWidget::clicked, &panes_, [this] { panes_.SelectVideoPane(2); });
    EXPECT_EQ(w2->objectName(), "video2");
    EXPECT_EQ(w2->accessibleName(), "video2");
    EXPECT_EQ(w2->ControlId(), 1454);
    EXPECT_EQ(w2->geometry(), QRect(205, 301, 392, 294));

    QTest::mouseClick(w2, Qt::RightButton);
    EXPECT_EQ(selected.count(), 0);
    QTest::mouseClick(w2, Qt::LeftButton);
    EXPECT_EQ(panes_.CurrentPane(), 2);
    ASSERT_EQ(selected.count(), 1);
    EXPECT_EQ(selected[0][0].toInt(), -1);
    EXPECT_EQ(selected[0][1].toString(), "");
    EXPECT_EQ(borders.count(), 1);

    // One-pane layout: pane 0 fills the area, the others hide; closing the layout's panes closes
    // pane 0 only, and running panes survive a layout switch.
    panes_.SelectVideoPane(0);
    panes_.OpenNetworkDevice(Info("127.0.0.2"), 0);
    panes_.OpenNetworkDevice(Info("127.0.0.3"), 0);
    panes_.SetLayout(1);
    panes_.Place(1000, 600, 200);
    EXPECT_FALSE(panes_.Widget(1)->isVisibleTo(&client_));
    EXPECT_TRUE(panes_.Widget(0)->isVisibleTo(&client_));
    EXPECT_EQ(panes_.Widget(0)->geometry(), QRect(205, 2, 785, 588));
    panes_.ClosePanesOfLayout();
    EXPECT_EQ(panes_.Pane(0).session, -1);
    EXPECT_EQ(panes_.Pane(1).session, 11);
    panes_.HideAll();
    EXPECT_FALSE(panes_.Widget(0)->isVisibleTo(&client_));
}

// Colour of the pixel at (x, y) of an image.
QRgb At(const QImage& image, int x, int y) { return image.pixel(x, y) & 0xffffff; }

TEST_F(VideoPanesTest, BordersLieJustOutsideThePanes) {
    panes_.SelectVideoPane(1);
    QImage image(1000, 600, QImage::Format_RGB32);
    image.fill(Qt::white);
    QPainter painter(&image);
    const QPen before(Qt::green, 5);
    painter.setPen(before);
    panes_.DrawBorders(painter);
    EXPECT_EQ(painter.pen(), before);
    painter.end();

    const QRect r0 = panes_.Widget(0)->geometry();  // (205, 2, 392, 294)
    const QRect r1 = panes_.Widget(1)->geometry();  // (602, 2, 392, 294)
    const QRgb red = 0xff0000, black = 0x000000, white = 0xffffff;
    // Two pixels on each side of pane 0, in black; its inside untouched.
    const int mid0 = r0.center().y();
    EXPECT_EQ(At(image, r0.left() - 1, mid0), black);
    EXPECT_EQ(At(image, r0.left() - 2, mid0), black);
    EXPECT_EQ(At(image, r0.left() - 3, mid0), white);
    EXPECT_EQ(At(image, r0.left(), mid0), white);
    EXPECT_EQ(At(image, r0.right(), mid0), white);
    EXPECT_EQ(At(image, r0.right() + 1, mid0), black);
    EXPECT_EQ(At(image, r0.right() + 2, mid0), black);
    EXPECT_EQ(At(image, r0.right() + 3, mid0), white);
    EXPECT_EQ(At(image, r0.center().x(), r0.bottom() + 1), black);
    EXPECT_EQ(At(image, r0.center().x(), r0.bottom()), white);
    // The current pane in red, also at its corners.
    EXPECT_EQ(At(image, r1.left() - 1, r1.center().y()), red);
    EXPECT_EQ(At(image, r1.center().x(), r1.top() - 1), red);
    EXPECT_EQ(At(image, r1.right() + 2, r1.bottom() + 2), red);
    EXPECT_EQ(At(image, r1.left() - 2, r1.bottom() + 1), red);
    EXPECT_EQ(At(image, r1.center().x(), r1.center().y()), white);

    // One-pane layout: only pane 0 is outlined.
    panes_.SetLayout(1);
    panes_.Place(1000, 600, 200);
    image.fill(Qt::white);
    QPainter again(&image);
    panes_.DrawBorders(again);
    again.end();
    EXPECT_EQ(At(image, 204, 300), black);
    EXPECT_EQ(At(image, 991, 300), black);
    EXPECT_EQ(At(image, 600, 300), white);
}

TEST(VideoPaneWidgetTest, FitKeepsTheAspectRatio) {
    EXPECT_EQ(VideoPaneWidget::FitRect({1920, 1080}, {400, 300}), QRect(0, 37, 400, 225));
    EXPECT_EQ(VideoPaneWidget::FitRect({640, 480}, {400, 150}), QRect(100, 0, 200, 150));
    EXPECT_EQ(VideoPaneWidget::FitRect({392, 294}, {392, 294}), QRect(0, 0, 392, 294));
    EXPECT_EQ(VideoPaneWidget::FitRect({1920, 1080}, {1000, 1}), QRect(499, 0, 2, 1));
    EXPECT_TRUE(VideoPaneWidget::FitRect({0, 0}, {400, 300}).isEmpty());
    EXPECT_TRUE(VideoPaneWidget::FitRect({640, 480}, {0, 300}).isEmpty());
}

// Calls the sink the way the decoder's presenting thread does, with a picture of one colour
// at the size the sink asks for (or w x h when it asks for the picture's own size).
QSize Present(VideoPaneWidget& sink, int w, int h, QRgb colour) {
    QSize delivered;
    std::thread presenter([&] {
        int tw = 0, th = 0;
        sink.TargetSize(&tw, &th);
        if (tw <= 0) tw = w;
        if (th <= 0) th = h;
        QImage picture(tw, th, QImage::Format_RGB32);
        picture.fill(colour);
        sink.OnFrame(picture.constBits(), tw, th, static_cast<int>(picture.bytesPerLine()));
        delivered = QSize(tw, th);
    });
    presenter.join();
    return delivered;
}

TEST(VideoPaneWidgetTest, ShowsTheLatestPictureFittedIntoTheWidget) {
    VideoPaneWidget pane(0);
    pane.resize(400, 300);
    pane.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&pane));
    QCoreApplication::processEvents();
    const uint64_t paintedBefore = pane.PicturesPainted();

    // The first picture comes at its own size; the next ones already fitted to 400 x 225.
    EXPECT_EQ(Present(pane, 1920, 1080, qRgb(0, 0, 255)), QSize(1920, 1080));
    EXPECT_EQ(Present(pane, 1920, 1080, qRgb(0, 0, 255)), QSize(400, 225));
    EXPECT_EQ(Present(pane, 1920, 1080, qRgb(255, 0, 0)), QSize(400, 225));
    EXPECT_EQ(pane.PicturesReceived(), 3u);
    EXPECT_TRUE(pane.HasPicture());
    // Three pictures, one repaint: only the latest reaches the screen.
    ASSERT_TRUE(QTest::qWaitFor([&] { return pane.PicturesPainted() > paintedBefore; }, 5000));
    QCoreApplication::processEvents();
    EXPECT_EQ(pane.PicturesPainted(), paintedBefore + 1);

    const QImage shot = pane.grab().toImage();
    EXPECT_EQ(At(shot, 200, 150), 0xff0000u);
    EXPECT_EQ(At(shot, 200, 10), 0u);    // black bar above
    EXPECT_EQ(At(shot, 200, 290), 0u);   // and below
    EXPECT_EQ(At(shot, 200, 38), 0xff0000u);

    // Resized: the next picture is fitted to the new size (4:3 box, bars at the sides).
    pane.resize(300, 300);
    QCoreApplication::processEvents();
    EXPECT_EQ(Present(pane, 1920, 1080, qRgb(0, 255, 0)), QSize(300, 169));

    pane.ClearPicture();
    EXPECT_FALSE(pane.HasPicture());
    EXPECT_EQ(Present(pane, 640, 480, qRgb(0, 255, 0)), QSize(640, 480));  // size learnt afresh
    // Bad pictures are ignored.
    pane.OnFrame(nullptr, 10, 10, 40);
    std::vector<uint8_t> row(16);
    pane.OnFrame(row.data(), 4, 1, 8);
    EXPECT_EQ(pane.PicturesReceived(), 5u);
}

TEST(VideoPaneWidgetTest, DetachesItselfWhenDestroyedWhileAttached) {
    RecordingBackend backend;
    {
        VideoPaneWidget pane(1);
        pane.SetAttachment(&backend, 42);
    }
    EXPECT_EQ(backend.calls, (Calls{"PlayEx 42 none"}));
}

}  // namespace
}  // namespace velmora::ui
