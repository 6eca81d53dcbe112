#include <Norvex/Mfc/SliderControl.h>

#include <QApplication>
#include <QSignalSpy>
#include <QTest>
#include <QWheelEvent>

#include <gtest/gtest.h>

#include <memory>

using Norvex::Mfc::SliderControl;

namespace
{

class SliderTest : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        static int argc = 1;
        static char name[] = "SliderControlTests";
        static char* argv[] = {name, nullptr};
        application = std::make_unique<QApplication>(argc, argv);
    }
    static void TearDownTestSuite() { application.reset(); }

    // One wheel event of delta over the slider; returns what the owner was told.
    static QList<QList<QVariant>> Wheel(SliderControl& slider, int delta)
    {
        QSignalSpy spy(&slider, &SliderControl::Scrolled);
        QWheelEvent event(QPointF(5, 5), slider.mapToGlobal(QPointF(5, 5)), QPoint(), QPoint(0, delta),
                          Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
        QApplication::sendEvent(&slider, &event);
        EXPECT_TRUE(event.isAccepted()) << "the wheel must not scroll what lies behind the slider";
        return spy;
    }

    static inline std::unique_ptr<QApplication> application;
};

} // namespace

TEST_F(SliderTest, AWheelNotchMovesAFiftiethOfTheRangeAndTellsTheOwnerOnceAsAThumbMove)
{
    SliderControl slider;
    slider.setRange(-100, 100);
    slider.setValue(0);

    auto told = Wheel(slider, 120);
    EXPECT_EQ(slider.value(), 4);
    ASSERT_EQ(told.size(), 1) << "exactly one notification per wheel event";
    EXPECT_EQ(told[0][0].value<SliderControl::Request>(), SliderControl::Request::ThumbPosition);
    EXPECT_EQ(told[0][1].toInt(), 4);

    slider.setValue(0);
    told = Wheel(slider, -120);
    EXPECT_EQ(slider.value(), -4) << "downwards decreases, and a negative position arrives intact";
    ASSERT_EQ(told.size(), 1);
    EXPECT_EQ(told[0][1].toInt(), -4);

    slider.setValue(0);
    Wheel(slider, 30);
    EXPECT_EQ(slider.value(), 1) << "a high-resolution quarter notch moves a quarter of the step";

    slider.setValue(100);
    told = Wheel(slider, 120);
    EXPECT_EQ(slider.value(), 100) << "clamped at the maximum";
    ASSERT_EQ(told.size(), 1);
    EXPECT_EQ(told[0][1].toInt(), 100);
    slider.setValue(-99);
    Wheel(slider, -240);
    EXPECT_EQ(slider.value(), -100) << "clamped at the minimum";

    slider.setRange(100, 20000);
    slider.setValue(100);
    Wheel(slider, 120);
    EXPECT_EQ(slider.value(), 498) << "(20000 - 100) / 50 a notch";
    EXPECT_EQ(SliderControl::WheelPosition(0, 5, 0, 120), 0) << "0.1 rounds to nothing";
    EXPECT_EQ(SliderControl::WheelPosition(-50, 0, 0, -60), -1) << "-0.5 rounds away from zero";
    EXPECT_EQ(SliderControl::WheelPosition(0, 50, 0, 60), 1) << "0.5 rounds away from zero";
}

TEST_F(SliderTest, KeysMoveOneStepAndProgramChangesAreNotAnnounced)
{
    SliderControl slider;
    slider.setRange(-100, 100);
    QSignalSpy spy(&slider, &SliderControl::Scrolled);
    slider.setValue(30);
    slider.setRange(-10, 10);
    EXPECT_TRUE(spy.isEmpty()) << "a value set from the model must never be written back to it";

    slider.setRange(-100, 100);
    slider.setValue(0);
    QTest::keyClick(&slider, Qt::Key_Right);
    ASSERT_EQ(spy.size(), 1);
    EXPECT_EQ(spy[0][0].value<SliderControl::Request>(), SliderControl::Request::LineDown);
    EXPECT_EQ(spy[0][1].toInt(), 1) << "a key press moves one line, not two";
    EXPECT_EQ(slider.value(), 1);
    QTest::keyClick(&slider, Qt::Key_PageDown);
    EXPECT_EQ(slider.value(), -9) << "a page is 10";
    QTest::keyClick(&slider, Qt::Key_End);
    EXPECT_EQ(slider.value(), 100);
    ASSERT_EQ(spy.size(), 3);
    EXPECT_EQ(spy[2][1].toInt(), 100);
}
