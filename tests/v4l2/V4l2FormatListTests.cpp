#include "FakeV4l2Kernel.h"

#include "V4l2VideoCapture/V4l2FormatList.h"

#include <gtest/gtest.h>

#include <fcntl.h>

using namespace Norvex::Core;
using namespace Norvex::Core::V4l2VideoCapture;
using Norvex::Testing::FakeV4l2Camera;
using Norvex::Testing::FakeV4l2Format;
using Norvex::Testing::FakeV4l2Kernel;

namespace
{

// The names of the formats a node lists.
std::vector<std::wstring> Listed(FakeV4l2Kernel& kernel, const std::string& node, bool skipDuplicates = true)
{
    const V4l2FileHandle handle(kernel, node, O_RDWR | O_NONBLOCK);
    V4l2FormatList list(handle, V4L2_BUF_TYPE_VIDEO_CAPTURE, skipDuplicates);
    std::vector<std::wstring> names;
    for (const auto& format : list.Formats())
    {
        names.push_back(format->GetName());
    }
    return names;
}

FakeV4l2Camera SingleFormatCamera(const std::string& node, FakeV4l2Format format)
{
    FakeV4l2Camera camera;
    camera.node = node;
    camera.formats.push_back(std::move(format));
    return camera;
}

FakeV4l2Format Yuyv64x48(std::vector<v4l2_fract> intervals)
{
    FakeV4l2Format format;
    format.pixelFormat = V4L2_PIX_FMT_YUYV;
    format.sizes = {{64, 48}};
    format.intervals = std::move(intervals);
    return format;
}

} // namespace

TEST(V4l2FormatList, IntervalRangesBecomeCommonRatesAndZeroIntervalsAreLeftOut)
{
    FakeV4l2Kernel kernel;
    auto continuous = Yuyv64x48({});
    continuous.intervalRange = v4l2_frmival_stepwise{{1, 60}, {1, 1}, {1, 1}};
    continuous.continuousIntervals = true;
    kernel.AddCamera(SingleFormatCamera("/dev/video0", continuous));
    auto stepwise = Yuyv64x48({});
    stepwise.intervalRange = v4l2_frmival_stepwise{{1, 30}, {1, 5}, {1, 30}};
    kernel.AddCamera(SingleFormatCamera("/dev/video1", stepwise));
    kernel.AddCamera(SingleFormatCamera("/dev/video2", Yuyv64x48({{0, 30}, {1, 0}, {1, 25}})));
    // As uvcvideo lists a camera's continuous range, and one in steps of 1/30 s, in 100 ns units.
    auto uvcContinuous = Yuyv64x48({});
    uvcContinuous.uvcIntervalRange = {333333, 10000000, 1};
    kernel.AddCamera(SingleFormatCamera("/dev/video3", uvcContinuous));
    auto uvcStepwise = Yuyv64x48({});
    uvcStepwise.uvcIntervalRange = {333333, 2000000, 333333};
    kernel.AddCamera(SingleFormatCamera("/dev/video4", uvcStepwise));

    EXPECT_EQ(Listed(kernel, "/dev/video0"),
              (std::vector<std::wstring>{L"YUY2 64x48 (60fps)", L"YUY2 64x48 (50fps)", L"YUY2 64x48 (30fps)",
                                         L"YUY2 64x48 (25fps)", L"YUY2 64x48 (24fps)", L"YUY2 64x48 (20fps)",
                                         L"YUY2 64x48 (15fps)", L"YUY2 64x48 (10fps)", L"YUY2 64x48 (7.5fps)",
                                         L"YUY2 64x48 (5fps)"}));
    // Only the rates whose interval lies on the 1/30 s grid.
    EXPECT_EQ(Listed(kernel, "/dev/video1"),
              (std::vector<std::wstring>{L"YUY2 64x48 (30fps)", L"YUY2 64x48 (15fps)", L"YUY2 64x48 (10fps)",
                                         L"YUY2 64x48 (7.5fps)", L"YUY2 64x48 (5fps)"}));
    EXPECT_EQ(Listed(kernel, "/dev/video2"), std::vector<std::wstring>{L"YUY2 64x48 (25fps)"});
    EXPECT_EQ(Listed(kernel, "/dev/video3"),
              (std::vector<std::wstring>{L"YUY2 64x48 (30fps)", L"YUY2 64x48 (25fps)", L"YUY2 64x48 (24fps)",
                                         L"YUY2 64x48 (20fps)", L"YUY2 64x48 (15fps)", L"YUY2 64x48 (10fps)",
                                         L"YUY2 64x48 (7.5fps)", L"YUY2 64x48 (5fps)"}));
    EXPECT_EQ(Listed(kernel, "/dev/video4"), Listed(kernel, "/dev/video1"));
}

TEST(V4l2FormatList, ContinuousSizesBecomeCommonSizesUpToTheLargest)
{
    FakeV4l2Kernel kernel;
    FakeV4l2Format format;
    format.pixelFormat = V4L2_PIX_FMT_YUYV;
    format.sizeRange = v4l2_frmsize_stepwise{2, 1000, 1, 2, 700, 1};
    format.continuousSizes = true;
    format.intervals = {{1, 30}};
    kernel.AddCamera(SingleFormatCamera("/dev/video0", format));
    EXPECT_EQ(
        Listed(kernel, "/dev/video0"),
        (std::vector<std::wstring>{L"YUY2 160x120 (30fps)", L"YUY2 176x144 (30fps)", L"YUY2 320x180 (30fps)",
                                   L"YUY2 320x240 (30fps)", L"YUY2 352x288 (30fps)", L"YUY2 640x360 (30fps)",
                                   L"YUY2 640x480 (30fps)", L"YUY2 800x600 (30fps)", L"YUY2 960x540 (30fps)",
                                   L"YUY2 1000x700 (30fps)"}));
}

TEST(V4l2FormatList, DuplicatesAreListedOnceOnlyWhenAskedTo)
{
    FakeV4l2Kernel kernel;
    auto camera = SingleFormatCamera("/dev/video0", Yuyv64x48({{1, 30}, {2, 60}, {1, 15}}));
    FakeV4l2Format mjpg;
    mjpg.pixelFormat = V4L2_PIX_FMT_MJPEG;
    mjpg.sizes = {{64, 48}};
    mjpg.intervals = {{1, 30}};
    camera.formats.push_back(mjpg);
    mjpg.pixelFormat = V4L2_PIX_FMT_JPEG; // the same layout under the other code
    camera.formats.push_back(mjpg);
    kernel.AddCamera(camera);

    EXPECT_EQ(
        Listed(kernel, "/dev/video0", true),
        (std::vector<std::wstring>{L"YUY2 64x48 (30fps)", L"YUY2 64x48 (15fps)", L"MJPG 64x48 (30fps)"}));
    EXPECT_EQ(Listed(kernel, "/dev/video0", false),
              (std::vector<std::wstring>{L"YUY2 64x48 (30fps)", L"YUY2 64x48 (30fps)", L"YUY2 64x48 (15fps)",
                                         L"MJPG 64x48 (30fps)", L"MJPG 64x48 (30fps)"}));
}

// A driver without frame-rate control (no interval list, no G_PARM) still offers its sizes, at
// its own rate; the one it is set to is found among several.
TEST(V4l2FormatList, SizesWithoutIntervalsRunAtTheDriversRate)
{
    FakeV4l2Kernel kernel;
    auto camera = SingleFormatCamera("/dev/video0", Yuyv64x48({}));
    camera.formats[0].sizes = {{64, 48}, {32, 24}};
    camera.noRateControl = true;
    v4l2_pix_format current{};
    current.pixelformat = V4L2_PIX_FMT_YUYV;
    current.width = 32;
    current.height = 24;
    camera.current = current;
    kernel.AddCamera(camera);
    EXPECT_EQ(Listed(kernel, "/dev/video0"),
              (std::vector<std::wstring>{L"YUY2 64x48 (0fps)", L"YUY2 32x24 (0fps)"}));
    const V4l2FileHandle handle(kernel, "/dev/video0", O_RDWR | O_NONBLOCK);
    EXPECT_EQ(V4l2FormatList(handle, V4L2_BUF_TYPE_VIDEO_CAPTURE, true).CurrentIndex(), 1);
}
