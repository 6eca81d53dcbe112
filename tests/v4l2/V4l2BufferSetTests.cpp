#include "FakeV4l2Kernel.h"

#include "V4l2VideoCapture/V4l2BufferSet.h"

#include <Norvex/Core/Exception.h>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>

#include <cstring>

using namespace Norvex::Core;
using namespace Norvex::Core::V4l2VideoCapture;
using Norvex::Testing::FakeV4l2Camera;
using Norvex::Testing::FakeV4l2Kernel;

namespace
{

constexpr const char* node = "/dev/video0";

class V4l2BufferSetTest : public ::testing::Test
{
protected:
    // The camera as set up so far, opened.
    void Open()
    {
        kernel.AddCamera(camera);
        handle = std::make_shared<V4l2FileHandle>(kernel, node, O_RDWR | O_NONBLOCK);
    }

    // Whether the driver's buffers are freed: the format can be set again only then.
    bool DriverBuffersFreed()
    {
        v4l2_format format{};
        format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        format.fmt.pix = FakeV4l2Kernel::SettledFormat(V4L2_PIX_FMT_YUYV, 32, 24);
        return handle->Ioctl(VIDIOC_S_FMT, &format) == 0;
    }

    FakeV4l2Camera camera =
        FakeV4l2Kernel::OneFormatCamera(node, V4L2_PIX_FMT_YUYV, 32, 24, std::chrono::microseconds(0));
    FakeV4l2Kernel kernel;
    std::shared_ptr<V4l2FileHandle> handle;
};

} // namespace

TEST_F(V4l2BufferSetTest, TheDriversBuffersAreMappedQueuedFilledAndAllGiveBackWithTheSet)
{
    camera.bufferLimit = 3;
    Open();
    {
        V4l2BufferSet buffers(handle, V4L2_BUF_TYPE_VIDEO_CAPTURE, 4);
        ASSERT_EQ(buffers.Count(), 3u) << "the driver gives fewer than asked";
        EXPECT_EQ(kernel.MappedCount(), 3u);
        EXPECT_FALSE(DriverBuffersFreed());

        int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        ASSERT_EQ(handle->Ioctl(VIDIOC_STREAMON, &type), 0) << "every buffer was queued";
        pollfd ready{handle->Get(), POLLIN, 0};
        ASSERT_EQ(kernel.Poll(&ready, 1, 10000), 1);
        v4l2_buffer buffer{};
        ASSERT_TRUE(buffers.Dequeue(buffer));
        V4l2BufferSet::Planes planes;
        ASSERT_TRUE(buffers.GetPlanes(buffer, planes));
        const auto settled = FakeV4l2Kernel::SettledFormat(V4L2_PIX_FMT_YUYV, 32, 24);
        const auto expected =
            FakeV4l2Kernel::Encode(FakeV4l2Kernel::ReferencePicture(32, 24), settled, false);
        ASSERT_EQ(planes.count, 1u);
        ASSERT_EQ(planes.size[0], expected.size());
        EXPECT_EQ(std::memcmp(planes.data[0], expected.data(), expected.size()), 0);
        EXPECT_TRUE(buffers.Queue(buffer));
        v4l2_buffer foreign = buffer;
        foreign.index = 3;
        EXPECT_FALSE(buffers.GetPlanes(foreign, planes)) << "an index the set lacks gives no memory";
        ASSERT_EQ(handle->Ioctl(VIDIOC_STREAMOFF, &type), 0);
    }
    EXPECT_EQ(kernel.MappedCount(), 0u);
    EXPECT_TRUE(DriverBuffersFreed());
}

TEST_F(V4l2BufferSetTest, AFailureHalfwayLeavesNothingMappedOrRequested)
{
    camera.mapLimit = 2;
    Open();
    try
    {
        V4l2BufferSet buffers(handle, V4L2_BUF_TYPE_VIDEO_CAPTURE, 4);
        FAIL() << "the third mapping fails";
    }
    catch (const Exception& exception)
    {
        EXPECT_EQ(exception.GetErrorCode(), HRESULT_FROM_WIN32(ENOMEM));
    }
    EXPECT_EQ(kernel.MappedCount(), 0u);
    EXPECT_TRUE(DriverBuffersFreed());
}
