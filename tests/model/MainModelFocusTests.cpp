#include "ModelTestSupport.h"

#include "FakeV4l2Kernel.h"

#include <linux/videodev2.h>

using namespace VistelTest;
using Norvex::Testing::FakeV4l2Kernel;

namespace
{

class FocusTest : public ModelTest
{
protected:
    void SetUp() override
    {
        ModelTest::SetUp();
        kernel.AddCamera(FakeV4l2Kernel::UvcCamera("/dev/video0", "Bench Camera"));
        Norvex::Core::V4l2VideoCapture::KernelInterface::ReplaceSystem(&kernel);
    }
    void TearDown() override
    {
        model.reset();
        Norvex::Core::V4l2VideoCapture::KernelInterface::ReplaceSystem(nullptr);
    }

    FakeV4l2Kernel kernel;
};

} // namespace

TEST_F(FocusTest, FocusIsReadOnStartClampedAndWrittenToTheCamera)
{
    auto& model = MakeModel(0);
    EXPECT_FALSE(model.GetFocusInformation().available) << "V4L2 controls exist only while streaming";
    Announcements listener;
    model.AddListener(&listener);
    listener.Take();

    model.StartCapture();
    const auto focus = model.GetFocusInformation();
    ASSERT_TRUE(focus.available);
    EXPECT_LT(focus.minimum, focus.maximum);
    auto received = listener.Take();
    EXPECT_NE(std::find(received.begin(), received.end(), MainModelProperty::FocusRange), received.end());

    model.SetFocusAuto(false);
    model.SetFocusPosition(focus.maximum + 1000);
    EXPECT_EQ(model.GetFocusInformation().position, focus.maximum);
    EXPECT_EQ(kernel.ControlValue("/dev/video0", V4L2_CID_FOCUS_ABSOLUTE), focus.maximum);
    model.SetFocusPosition(focus.minimum - 1000);
    EXPECT_EQ(kernel.ControlValue("/dev/video0", V4L2_CID_FOCUS_ABSOLUTE), focus.minimum);
    model.SetFocusAuto(true);
    EXPECT_TRUE(model.GetFocusInformation().isAuto);
    EXPECT_EQ(kernel.ControlValue("/dev/video0", V4L2_CID_FOCUS_AUTO), 1);

    model.StopCapture();
    EXPECT_FALSE(model.GetFocusInformation().available);
    listener.Take();
    model.SetFocusPosition(5);
    model.SetFocusAuto(false);
    EXPECT_TRUE(listener.Take().empty()) << "no focus: nothing changes, nothing is announced";
    model.RemoveListener(&listener);
}

TEST_F(ModelTest, WithTheGStreamerFamilyFocusIsRefreshedOnDeviceSwitchesOnly)
{
    auto& model = MakeModel(1);
    Announcements listener;
    model.AddListener(&listener);
    listener.Take();
    model.StartCapture();
    model.StopCapture();
    EXPECT_EQ(listener.Count(MainModelProperty::FocusRange), 0u);
    listener.Take();
    model.SelectDevice(1);
    listener.Take();
    EXPECT_EQ(listener.Count(MainModelProperty::FocusRange), 0u);
    QCoreApplication::processEvents();
    model.SelectDevice(0);
    const auto received = listener.Take();
    EXPECT_EQ(std::count(received.begin(), received.end(), MainModelProperty::FocusRange), 1);
    model.RemoveListener(&listener);
}
