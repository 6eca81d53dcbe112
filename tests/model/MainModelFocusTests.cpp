#include "ModelTestSupport.h"

#include "FakeV4l2Kernel.h"

#include <linux/videodev2.h>

#include <cerrno>
#include <chrono>

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

// A camera pulled out while streaming: the windows hear that capture stopped, and pressing the
// button again works once it is back, under whatever node it got.
TEST_F(FocusTest, AStreamThatEndsByItselfIsAnnouncedAndStartsAgain)
{
    auto& model = MakeModel(0);
    Announcements listener;
    model.AddListener(&listener);
    model.StartCapture();
    listener.Take();
    kernel.Unplug("/dev/video0");
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (listener.Count(MainModelProperty::IsCapturing) == 0 && std::chrono::steady_clock::now() < deadline)
    {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    EXPECT_GE(listener.Count(MainModelProperty::IsCapturing), 1u);
    EXPECT_EQ(listener.Count(MainModelProperty::DebugMessage), 1u);
    EXPECT_FALSE(model.IsCapturing());
    // The model releases what was left of the stream, so the old node is closed.
    while (kernel.OpenCount("/dev/video0") != 0 && std::chrono::steady_clock::now() < deadline)
    {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    EXPECT_EQ(model.GetCaptureEndReason()->GetErrorCode(), Norvex::Core::HRESULT_FROM_WIN32(ENODEV));

    EXPECT_EQ(kernel.Replug("/dev/video0"), "/dev/video0") << "nothing kept the old node open";
    model.StartCapture();
    EXPECT_TRUE(model.IsCapturing());
    EXPECT_FALSE(model.GetCaptureEndReason());
    model.StopCapture();
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
