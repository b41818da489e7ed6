// The picture page with a recording host and a fake clock: record -> controls, controls ->
// requests, the slider throttle (drags, releases, keyboard steps, sharing), the edit-box rule,
// failures, keys that must not close the host, and the page's look.
#include <QApplication>
#include <QDialog>
#include <QFocusEvent>
#include <QLabel>
#include <QLineEdit>
#include <QSlider>
#include <QTest>
#include <QWheelEvent>
#include <gtest/gtest.h>

#include "protocol/video_param.h"
#include "ui/params/picture_page.h"
#include "ui/recording_host.h"
#include "ui_test_support.h"

using namespace velmora::protocol;

namespace velmora::ui {
namespace {

using namespace picture_ids;
using Sent = std::vector<std::string>;

class PicturePageTest : public ::testing::Test {
protected:
    PicturePageTest() {
        page.SetHost(&host, false);
        page.SetStepScheduler([this](uint32_t ms, std::function<void()> fn) {
            deferred.push_back({ms, std::move(fn)});
        });
    }

    // A mouse drag: press, positions at the given times, optional release.
    void DragTo(int sliderId, int position) { page.Slider(sliderId)->setSliderPosition(position); }
    void Press(int sliderId) { page.Slider(sliderId)->setSliderDown(true); }
    void Release(int sliderId) { page.Slider(sliderId)->setSliderDown(false); }

    void LeaveEdit(int sliderId, const QString& text) {
        QLineEdit* edit = page.Edit(sliderId);
        edit->setText(text);
        QFocusEvent out(QEvent::FocusOut, Qt::TabFocusReason);
        QApplication::sendEvent(edit, &out);
    }

    void Fill(std::initializer_list<uint8_t> bytes) {
        VideoParam record;
        size_t i = kPictureSlice;
        for (uint8_t b : bytes) record.bytes[i++] = b;
        page.FillFromRecord(record.bytes);
    }

    struct Deferred {
        uint32_t ms;
        std::function<void()> fn;
    };
    test::RecordingMessages messages;
    test::FakeClock clock;
    RecordingHost host;
    PictureTab page;
    std::vector<Deferred> deferred;
};

TEST_F(PicturePageTest, RecordFillsControlsWithoutSending) {
    Fill({128, 1, 2, 3, 100});
    EXPECT_EQ(page.Slider(kBrightnessSlider)->value(), 100);  // at its end
    EXPECT_EQ(page.Edit(kBrightnessSlider)->text(), "128");
    EXPECT_EQ(page.Value(kBrightnessSlider), 128);
    EXPECT_EQ(page.Edit(kContrastSlider)->text(), "1");
    EXPECT_EQ(page.Slider(kSaturationSlider)->value(), 2);
    EXPECT_EQ(page.Edit(kHueSlider)->text(), "3");
    EXPECT_EQ(page.Slider(kSharpnessSlider)->value(), 100);
    EXPECT_TRUE(host.sent.empty());
    EXPECT_TRUE(deferred.empty());

    // A click on a slider that shows its page value sends nothing; on a slider standing at the
    // end of its range below an out-of-range value, the release sends the position it shows.
    Press(kContrastSlider);
    Release(kContrastSlider);
    EXPECT_TRUE(host.sent.empty());
    Press(kBrightnessSlider);
    Release(kBrightnessSlider);
    EXPECT_EQ(host.sent, (Sent{"\"Luminance\":100"}));
}

TEST_F(PicturePageTest, EachRowSendsItsOwnMember) {
    // Hue travels as ucHue and sharpness as Hue.
    const std::pair<int, const char*> rows[] = {{kBrightnessSlider, "\"Luminance\":11"},
                                                {kContrastSlider, "\"Contrast\":12"},
                                                {kSaturationSlider, "\"Saturation\":13"},
                                                {kHueSlider, "\"ucHue\":14"},
                                                {kSharpnessSlider, "\"Hue\":15"}};
    int position = 11;
    Sent expected;
    for (const auto& [slider, text] : rows) {
        Press(slider);
        DragTo(slider, position++);
        Release(slider);
        expected.emplace_back(text);
    }
    EXPECT_EQ(host.sent, expected);
    EXPECT_EQ(page.Edit(kSharpnessSlider)->text(), "15");
}

TEST_F(PicturePageTest, LongDragSendsTwicePerSecondAndOnRelease) {
    // 1.2 s of continuous movement, a new position every 100 ms.
    Press(kBrightnessSlider);
    for (int step = 0; step <= 12; ++step) {
        DragTo(kBrightnessSlider, 10 + step);
        clock.Advance(100);
    }
    EXPECT_EQ(host.sent, (Sent{"\"Luminance\":10", "\"Luminance\":15", "\"Luminance\":20"}));
    EXPECT_EQ(page.Edit(kBrightnessSlider)->text(), "20");  // held-back positions are not shown
    Release(kBrightnessSlider);
    EXPECT_EQ(host.sent.back(), "\"Luminance\":22");
    EXPECT_EQ(host.sent.size(), 4u);
    EXPECT_EQ(page.Edit(kBrightnessSlider)->text(), "22");

    // A release at the position the last throttled send carried sends nothing.
    clock.Advance(1000);
    Press(kBrightnessSlider);
    DragTo(kBrightnessSlider, 40);
    clock.Advance(100);
    DragTo(kBrightnessSlider, 41);
    DragTo(kBrightnessSlider, 40);
    Release(kBrightnessSlider);
    EXPECT_EQ(host.sent.size(), 5u);
    EXPECT_EQ(host.sent.back(), "\"Luminance\":40");
}

TEST_F(PicturePageTest, ThrottleIsPerSliderAndSharedBetweenHosts) {
    // Two sliders dragged in turn within 500 ms both send.
    Press(kSaturationSlider);
    DragTo(kSaturationSlider, 40);
    Release(kSaturationSlider);
    clock.Advance(100);
    Press(kContrastSlider);
    DragTo(kContrastSlider, 60);
    Release(kContrastSlider);
    EXPECT_EQ(host.sent, (Sent{"\"Saturation\":40", "\"Contrast\":60"}));

    // The same slider on a page of the other host is still inside its window.
    RecordingHost mainHost;
    PictureTab other;
    other.SetHost(&mainHost, true);
    clock.Advance(100);
    other.Slider(kSaturationSlider)->setSliderDown(true);
    other.Slider(kSaturationSlider)->setSliderPosition(70);
    EXPECT_TRUE(mainHost.sent.empty());
    clock.Advance(300);  // 500 ms after the first page's send
    other.Slider(kSaturationSlider)->setSliderPosition(71);
    EXPECT_EQ(mainHost.sent, (Sent{"\"Saturation\":71"}));
    EXPECT_EQ(host.sent.size(), 2u);
}

TEST_F(PicturePageTest, KeyboardStepsAreThrottledAndTheLastOneIsSentLater) {
    QSlider* slider = page.Slider(kHueSlider);
    QTest::keyClick(slider, Qt::Key_Right);
    EXPECT_EQ(host.sent, (Sent{"\"ucHue\":1"}));
    clock.Advance(100);
    QTest::keyClick(slider, Qt::Key_Right);
    clock.Advance(100);
    QTest::keyClick(slider, Qt::Key_PageUp);  // 2 + 10
    ASSERT_EQ(deferred.size(), 1u);           // one deferred send for all held-back steps
    EXPECT_EQ(deferred[0].ms, 400u);
    EXPECT_EQ(host.sent.size(), 1u);
    clock.Advance(300);
    deferred[0].fn();
    EXPECT_EQ(host.sent, (Sent{"\"ucHue\":1", "\"ucHue\":12"}));
    EXPECT_EQ(page.Edit(kHueSlider)->text(), "12");

    // A step held back and then overtaken by a record fill is dropped.
    clock.Advance(100);
    QTest::keyClick(slider, Qt::Key_Left);
    ASSERT_EQ(deferred.size(), 2u);
    Fill({0, 0, 0, 150, 0});
    clock.Advance(1000);
    deferred[1].fn();
    EXPECT_EQ(host.sent.size(), 2u);
    EXPECT_EQ(page.Edit(kHueSlider)->text(), "150");

    // A wheel turn is a step too.
    QSlider* contrast = page.Slider(kContrastSlider);
    QWheelEvent wheel(QPointF(5, 5), QPointF(5, 5), QPoint(), QPoint(0, 120), Qt::NoButton,
                      Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(contrast, &wheel);
    ASSERT_NE(contrast->value(), 0);
    EXPECT_EQ(host.sent.back(), "\"Contrast\":" + std::to_string(contrast->value()));
}

TEST_F(PicturePageTest, LeavingAnEditBoxSendsTheTypedNumberClampedToTheRange) {
    // Beyond the range the camera would store the value cut to its byte (300 as 44, -5 as 251):
    // the end of the range is sent and shown instead.
    LeaveEdit(kBrightnessSlider, "300");
    EXPECT_EQ(host.sent, (Sent{"\"Luminance\":100"}));
    EXPECT_EQ(page.Slider(kBrightnessSlider)->value(), 100);
    EXPECT_EQ(page.Value(kBrightnessSlider), 100);
    EXPECT_EQ(page.Edit(kBrightnessSlider)->text(), "100");
    LeaveEdit(kBrightnessSlider, "-5");
    EXPECT_EQ(host.sent.back(), "\"Luminance\":0");
    EXPECT_EQ(page.Edit(kBrightnessSlider)->text(), "0");
    host.sent.erase(host.sent.begin());

    LeaveEdit(kSharpnessSlider, "0");
    EXPECT_EQ(host.sent.back(), "\"Hue\":0");

    // The slider moved by the edit box does not send a second time.
    LeaveEdit(kContrastSlider, " 33 ");
    EXPECT_EQ(host.sent.back(), "\"Contrast\":33");
    EXPECT_EQ(page.Slider(kContrastSlider)->value(), 33);
    EXPECT_EQ(host.sent.size(), 3u);
    EXPECT_TRUE(messages.shown.empty());
}

TEST_F(PicturePageTest, NonIntegerTextIsRefusedAndTheOldValueSent) {
    page.show();
    QApplication::setActiveWindow(&page);
    LeaveEdit(kContrastSlider, "44");
    LeaveEdit(kContrastSlider, "4x");
    EXPECT_EQ(messages.shown, (std::vector<std::string>{"请输入一个整数。"}));
    EXPECT_EQ(host.sent, (Sent{"\"Contrast\":44", "\"Contrast\":44"}));
    EXPECT_EQ(page.Value(kContrastSlider), 44);
    EXPECT_EQ(QApplication::focusWidget(), page.Edit(kContrastSlider));

    // Only the box holding the bad text complains; edits of the other boxes go through.
    messages.shown.clear();
    page.Edit(kContrastSlider)->setText("4x");
    LeaveEdit(kSaturationSlider, "61");
    EXPECT_TRUE(messages.shown.empty());
    EXPECT_EQ(host.sent.back(), "\"Saturation\":61");
    EXPECT_EQ(page.Value(kContrastSlider), 44);
}

TEST_F(PicturePageTest, FailedSetIsReportedAndTheNewValueKept) {
    host.setResult = -302;
    Press(kSaturationSlider);
    DragTo(kSaturationSlider, 60);
    Release(kSaturationSlider);
    EXPECT_EQ(messages.shown, (std::vector<std::string>{"设置失败！"}));
    EXPECT_EQ(page.Edit(kSaturationSlider)->text(), "60");
    EXPECT_EQ(page.Value(kSaturationSlider), 60);

    host.setResult = 0;
    messages.shown.clear();
    LeaveEdit(kSaturationSlider, "61");
    EXPECT_TRUE(messages.shown.empty());
}

TEST_F(PicturePageTest, EnterCommitsOnceAndNeitherEnterNorEscCloseTheDialog) {
    QDialog dialog;
    PictureTab hosted(&dialog);
    hosted.SetHost(&host, false);
    dialog.show();
    QApplication::setActiveWindow(&dialog);
    QLineEdit* edit = hosted.Edit(kBrightnessSlider);
    edit->setFocus();
    edit->setText("77");
    QTest::keyClick(edit, Qt::Key_Return);
    EXPECT_EQ(host.sent, (Sent{"\"Luminance\":77"}));
    EXPECT_EQ(hosted.Slider(kBrightnessSlider)->value(), 77);
    EXPECT_TRUE(dialog.isVisible());

    edit->setFocus();
    edit->setText("78");
    QTest::keyClick(edit, Qt::Key_Escape);
    EXPECT_EQ(host.sent.size(), 1u);  // Esc does not commit
    EXPECT_TRUE(dialog.isVisible());

    // Moving on to a slider leaves the box; Enter and Esc there do nothing more.
    hosted.Slider(kContrastSlider)->setFocus();
    EXPECT_EQ(host.sent, (Sent{"\"Luminance\":77", "\"Luminance\":78"}));
    QTest::keyClick(hosted.Slider(kContrastSlider), Qt::Key_Escape);
    QTest::keyClick(hosted.Slider(kContrastSlider), Qt::Key_Enter);
    EXPECT_TRUE(dialog.isVisible());
    EXPECT_EQ(dialog.result(), 0);
    EXPECT_EQ(host.sent.size(), 2u);
}

TEST_F(PicturePageTest, LooksAndNames) {
    EXPECT_EQ(page.objectName(), "图像调节");
    EXPECT_EQ(page.accessibleName(), "图像调节");
    EXPECT_FALSE(page.TitleLabel()->isVisibleTo(&page));
    page.SetHost(&host, true);
    EXPECT_TRUE(page.TitleLabel()->isVisibleTo(&page));
    EXPECT_EQ(page.TitleLabel()->text(), "图像调节");
    EXPECT_EQ(page.TitleLabel()->font().pointSize(), 18);
    EXPECT_TRUE(page.TitleLabel()->font().families().contains("WenQuanYi Micro Hei"));

    const std::pair<int, const char*> names[] = {{kBrightnessSlider, "亮度"},
                                                 {kContrastSlider, "对比度"},
                                                 {kSaturationSlider, "饱和度"},
                                                 {kHueSlider, "色度"},
                                                 {kSharpnessSlider, "锐度"}};
    const QRect area = page.rect();
    for (const auto& [id, name] : names) {
        QSlider* slider = page.Slider(id);
        EXPECT_EQ(slider->accessibleName(), QString::fromUtf8(name));
        EXPECT_EQ(page.Edit(id)->accessibleName(), QString::fromUtf8(name));
        EXPECT_EQ(page.Label(id)->buddy(), slider);
        EXPECT_EQ(slider->tickPosition(), QSlider::NoTicks);
        EXPECT_EQ(slider->minimum(), 0);
        EXPECT_EQ(slider->maximum(), 100);
        // Nothing is clipped: every control lies inside the page and every label's text fits.
        for (QWidget* w : {static_cast<QWidget*>(slider), static_cast<QWidget*>(page.Edit(id)),
                           static_cast<QWidget*>(page.Label(id))}) {
            EXPECT_TRUE(area.contains(w->geometry())) << name;
        }
        EXPECT_LE(page.Label(id)->sizeHint().width(), page.Label(id)->width()) << name;
        EXPECT_LE(page.Label(id)->geometry().right(), slider->geometry().left()) << name;
        EXPECT_LE(slider->geometry().right(), page.Edit(id)->geometry().left()) << name;
    }
    EXPECT_LE(page.TitleLabel()->sizeHint().width(), page.TitleLabel()->width());
    EXPECT_LE(page.TitleLabel()->geometry().bottom(), page.Slider(kBrightnessSlider)->geometry().top());
}

}  // namespace
}  // namespace velmora::ui
