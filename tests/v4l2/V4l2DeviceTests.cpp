#include "FakeV4l2Kernel.h"

#include "V4l2VideoCapture/V4l2Device.h"
#include "V4l2VideoCapture/V4l2FrameFormat.h"

#include <gtest/gtest.h>

extern "C"
{
#include <libavcodec/avcodec.h>
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <tuple>

using namespace Norvex::Core;
using namespace Norvex::Core::V4l2VideoCapture;
using Norvex::Core::VideoCapture::CameraControl;
using Norvex::Core::VideoCapture::VideoProcAmp;
using Norvex::Testing::FakeV4l2Camera;
using Norvex::Testing::FakeV4l2Control;
using Norvex::Testing::FakeV4l2Fault;
using Norvex::Testing::FakeV4l2Format;
using Norvex::Testing::FakeV4l2Kernel;

namespace
{

using namespace std::chrono_literals;

constexpr const char* node = "/dev/video0";
// Format indices of the fake UVC camera.
constexpr int yuyv64 = 0, yuyv64At15 = 1, mjpg64 = 4, mjpg160 = 5, bgrx160 = 6;

// Collects what a device delivers; waits for it with a generous timeout (sanitizers are slow).
class Sink
{
public:
    void Attach(VideoCapture::Device& device)
    {
        device.SetFrameCallback(
            [this](VideoCapture::Device*, const Image<Pixel<unsigned char>>& frame)
            {
                std::lock_guard lock(mutex);
                ++frames;
                last = frame;
                changed.notify_all();
            });
        device.SetExceptionCallback([this](VideoCapture::Device*, const Exception& exception)
                                    { Record(exception); });
    }

    bool WaitForFrames(int count)
    {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, 10s, [&] { return frames >= count; });
    }
    bool WaitForExceptions(std::size_t count, std::chrono::milliseconds timeout = 10s)
    {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, timeout, [&] { return exceptions.size() >= count; });
    }
    void Record(const Exception& exception)
    {
        std::lock_guard lock(mutex);
        exceptions.push_back(exception);
        changed.notify_all();
    }
    int Frames()
    {
        std::lock_guard lock(mutex);
        return frames;
    }
    std::vector<Exception> Exceptions()
    {
        std::lock_guard lock(mutex);
        return exceptions;
    }
    Image<Pixel<unsigned char>> Last()
    {
        std::lock_guard lock(mutex);
        return last;
    }

private:
    std::mutex mutex;
    std::condition_variable changed;
    int frames = 0;
    Image<Pixel<unsigned char>> last;
    std::vector<Exception> exceptions;
};

// For states the device reaches on its capture thread.
template <typename Condition> bool WaitUntil(Condition condition)
{
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!condition())
    {
        if (std::chrono::steady_clock::now() > deadline)
        {
            return false;
        }
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

// The model's way of choosing another format.
void Select(VideoCapture::Device& device, int index)
{
    device.Stop();
    device.Unprepare();
    device.frameFormatIndex = index;
    device.Prepare();
}

// Every pixel in the middle row of each band is the band's colour within `tolerance`; alpha 255.
void ExpectReferencePicture(const Image<Pixel<unsigned char>>& frame, int tolerance)
{
    ASSERT_NE(frame.data, nullptr);
    for (int band = 0; band < 4; ++band)
    {
        const int y = (2 * band + 1) * frame.height / 8;
        const auto& color = FakeV4l2Kernel::bandColors[band];
        for (int x = 0; x < frame.width; ++x)
        {
            const auto& pixel = frame.At(x, y);
            ASSERT_LE(std::abs(pixel.blue - color[0]), tolerance) << "band " << band << " x " << x;
            ASSERT_LE(std::abs(pixel.green - color[1]), tolerance) << "band " << band << " x " << x;
            ASSERT_LE(std::abs(pixel.red - color[2]), tolerance) << "band " << band << " x " << x;
            ASSERT_EQ(pixel.alpha, 255);
        }
    }
}

class V4l2DeviceTest : public ::testing::Test
{
protected:
    void SetUp() override { kernel.AddCamera(camera); }

    std::unique_ptr<V4l2Device> MakeDevice(int index = yuyv64, const char* path = node)
    {
        auto device = std::make_unique<V4l2Device>(kernel, path, true);
        if (index != 0)
        {
            Select(*device, index);
        }
        sink.Attach(*device);
        return device;
    }

    FakeV4l2Camera camera = FakeV4l2Kernel::UvcCamera(node, "Desk Camera");
    FakeV4l2Kernel kernel;
    Sink sink;
};

struct PathCase
{
    const char* name;
    int format;
    int tolerance;
    bool stripHuffmanTables;
    std::uint32_t linePadding;
};

class V4l2PathTest : public V4l2DeviceTest, public ::testing::WithParamInterface<PathCase>
{
protected:
    void SetUp() override
    {
        camera.stripHuffmanTables = GetParam().stripHuffmanTables;
        camera.linePadding = GetParam().linePadding;
        V4l2DeviceTest::SetUp();
    }
};

} // namespace

TEST_P(V4l2PathTest, DeliversTheCamerasPictureTopRowFirst)
{
    const auto device = MakeDevice(GetParam().format);
    const auto& format = *device->frameFormats[static_cast<std::size_t>(GetParam().format)];
    device->Start();
    ASSERT_TRUE(sink.WaitForFrames(3));
    device->Stop();
    const auto frame = sink.Last();
    EXPECT_EQ(frame.width, format.width);
    EXPECT_EQ(frame.height, format.height);
    ExpectReferencePicture(frame, GetParam().tolerance);
    EXPECT_TRUE(sink.Exceptions().empty());
}

// Lossless paths exactly or nearly; the JPEG path within what quality 95 loses in flat bands.
INSTANTIATE_TEST_SUITE_P(Paths, V4l2PathTest,
                         ::testing::Values(PathCase{"Bgrx", bgrx160, 0, false, 0},
                                           PathCase{"BgrxPaddedLines", bgrx160, 0, false, 64},
                                           PathCase{"Yuyv", yuyv64, 3, false, 0},
                                           PathCase{"YuyvPaddedLines", yuyv64, 3, false, 32},
                                           PathCase{"Mjpg", mjpg64, 10, false, 0},
                                           PathCase{"MjpgWithoutHuffmanTables", mjpg160, 10, true, 0}),
                         [](const auto& info) { return std::string(info.param.name); });

namespace
{

struct LayoutCase
{
    const char* name;
    std::uint32_t pixelFormat;
    int tolerance; // -1: a grey layout, whose levels come through unchanged
    bool multiplanar = false;
    // R'G'B' in 16-235, stated as such (a capture card at a CE signal): shown in full range.
    bool limitedRange = false;
};

// Each raw layout a camera may send, tight and with padded lines (the chroma planes' lines then
// padded in proportion, as V4L2 lays them out); the multi-planar API's layouts with a memory
// plane per picture plane, and single-plane ones through that API, with the picture 128 bytes
// into the first plane as vivid puts it.
class V4l2LayoutTest : public V4l2DeviceTest,
                       public ::testing::WithParamInterface<std::tuple<LayoutCase, std::uint32_t>>
{
protected:
    void SetUp() override
    {
        FakeV4l2Format format;
        format.pixelFormat = std::get<0>(GetParam()).pixelFormat;
        format.sizes = {{64, 48}};
        format.intervals = {{1, 30}};
        camera.formats = {format};
        camera.linePadding = std::get<1>(GetParam());
        if (std::get<0>(GetParam()).limitedRange)
        {
            camera.quantization = V4L2_QUANTIZATION_LIM_RANGE;
        }
        if (std::get<0>(GetParam()).multiplanar)
        {
            camera.deviceCaps = V4L2_CAP_VIDEO_CAPTURE_MPLANE | V4L2_CAP_STREAMING;
            camera.multiplanar = true;
            camera.dataOffset = 128;
        }
        V4l2DeviceTest::SetUp();
    }
};

} // namespace

// Y'CbCr within what limited-range 8-bit coding loses, RGB exactly or within its own quantisation
// (5 bits a channel), Bayer interpolated inside flat bands, grey levels as sent.
TEST_P(V4l2LayoutTest, DeliversTheCamerasColours)
{
    const auto& layout = std::get<0>(GetParam());
    const auto device = MakeDevice(0);
    device->Start();
    ASSERT_TRUE(sink.WaitForFrames(3));
    device->Stop();
    EXPECT_TRUE(sink.Exceptions().empty());
    const auto frame = sink.Last();
    ASSERT_EQ(frame.width, 64);
    ASSERT_EQ(frame.height, 48);
    if (layout.tolerance >= 0)
    {
        ExpectReferencePicture(frame, layout.tolerance);
        return;
    }
    for (int band = 0; band < 4; ++band)
    {
        const int y = (2 * band + 1) * frame.height / 8;
        const auto& color = FakeV4l2Kernel::bandColors[band];
        const double level = 16 + (65.481 * color[2] + 128.553 * color[1] + 24.966 * color[0]) / 255;
        for (int x = 0; x < frame.width; ++x)
        {
            const auto& pixel = frame.At(x, y);
            ASSERT_NEAR(pixel.blue, level, 1) << "band " << band << " x " << x;
            ASSERT_EQ(pixel.green, pixel.blue);
            ASSERT_EQ(pixel.red, pixel.blue);
            ASSERT_EQ(pixel.alpha, 255);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, V4l2LayoutTest,
    ::testing::Combine(
        ::testing::Values(
            LayoutCase{"Yuyv", V4L2_PIX_FMT_YUYV, 3}, LayoutCase{"Yvyu", V4L2_PIX_FMT_YVYU, 3},
            LayoutCase{"Uyvy", V4L2_PIX_FMT_UYVY, 3}, LayoutCase{"Nv12", V4L2_PIX_FMT_NV12, 3},
            LayoutCase{"Nv21", V4L2_PIX_FMT_NV21, 3}, LayoutCase{"Nv16", V4L2_PIX_FMT_NV16, 3},
            LayoutCase{"Yu12", V4L2_PIX_FMT_YUV420, 3}, LayoutCase{"Yv12", V4L2_PIX_FMT_YVU420, 3},
            LayoutCase{"Yuv422p", V4L2_PIX_FMT_YUV422P, 3}, LayoutCase{"Rgb24", V4L2_PIX_FMT_RGB24, 0},
            LayoutCase{"Bgr24", V4L2_PIX_FMT_BGR24, 0}, LayoutCase{"Rgb565", V4L2_PIX_FMT_RGB565, 7},
            LayoutCase{"Rgb555", V4L2_PIX_FMT_RGB555, 7}, LayoutCase{"Bgrx", V4L2_PIX_FMT_XBGR32, 0},
            LayoutCase{"Grey", V4L2_PIX_FMT_GREY, -1}, LayoutCase{"Y16", V4L2_PIX_FMT_Y16, -1},
            LayoutCase{"BayerBggr", V4L2_PIX_FMT_SBGGR8, 3}, LayoutCase{"BayerGbrg", V4L2_PIX_FMT_SGBRG8, 3},
            LayoutCase{"BayerGrbg", V4L2_PIX_FMT_SGRBG8, 3}, LayoutCase{"BayerRggb", V4L2_PIX_FMT_SRGGB8, 3},
            LayoutCase{"Nv12m", V4L2_PIX_FMT_NV12M, 3, true},
            LayoutCase{"Nv21m", V4L2_PIX_FMT_NV21M, 3, true},
            LayoutCase{"Nv16m", V4L2_PIX_FMT_NV16M, 3, true},
            LayoutCase{"Yu12m", V4L2_PIX_FMT_YUV420M, 3, true},
            LayoutCase{"Yv12m", V4L2_PIX_FMT_YVU420M, 3, true},
            LayoutCase{"Yuv422m", V4L2_PIX_FMT_YUV422M, 3, true},
            LayoutCase{"YuyvMultiplanar", V4L2_PIX_FMT_YUYV, 3, true},
            LayoutCase{"Nv12Multiplanar", V4L2_PIX_FMT_NV12, 3, true},
            LayoutCase{"BgrxLimitedRange", V4L2_PIX_FMT_XBGR32, 1, false, true},
            LayoutCase{"Bgr24LimitedRange", V4L2_PIX_FMT_BGR24, 1, false, true},
            LayoutCase{"BayerRggbLimitedRange", V4L2_PIX_FMT_SRGGB8, 3, false, true}),
        ::testing::Values(0u, 32u)),
    [](const auto& info)
    { return std::string(std::get<0>(info.param).name) + (std::get<1>(info.param) ? "Padded" : "Tight"); });

TEST(V4l2FakeCamera, HuffmanLessFramesReallyLackTheTables)
{
    v4l2_pix_format format{};
    format.pixelformat = V4L2_PIX_FMT_MJPEG;
    format.width = 64;
    format.height = 48;
    const auto picture = FakeV4l2Kernel::ReferencePicture(64, 48);
    const auto whole = FakeV4l2Kernel::Encode(picture, format, false);
    const auto stripped = FakeV4l2Kernel::Encode(picture, format, true);
    const auto hasTables = [](const std::vector<unsigned char>& jpeg)
    {
        for (std::size_t i = 0; i + 1 < jpeg.size() && !(jpeg[i] == 0xFF && jpeg[i + 1] == 0xDA); ++i)
        {
            if (jpeg[i] == 0xFF && jpeg[i + 1] == 0xC4)
            {
                return true;
            }
        }
        return false;
    };
    EXPECT_TRUE(hasTables(whole));
    EXPECT_FALSE(hasTables(stripped));
    EXPECT_LT(stripped.size(), whole.size());
}

TEST_F(V4l2DeviceTest, StartAndStopTwiceAndTheCameraIsBusyOnlyWhileStarted)
{
    const auto device = MakeDevice();
    EXPECT_EQ(kernel.OpenCount(node), 0);
    EXPECT_FALSE(device->GetCameraControl());
    device->Start();
    device->Start();
    EXPECT_TRUE(device->IsStarted());
    EXPECT_EQ(kernel.OpenCount(node), 1);
    EXPECT_TRUE(kernel.IsStreaming(node));
    EXPECT_TRUE(device->GetCameraControl());
    EXPECT_TRUE(device->GetVideoProcAmp());
    ASSERT_TRUE(sink.WaitForFrames(2));

    device->Stop();
    device->Stop();
    EXPECT_FALSE(device->IsStarted());
    EXPECT_FALSE(device->GetCameraControl());
    EXPECT_FALSE(device->GetVideoProcAmp());
    EXPECT_EQ(kernel.OpenCount(node), 0);
    EXPECT_EQ(kernel.MappedCount(), 0u);

    device->Start(); // again after a stop
    ASSERT_TRUE(sink.WaitForFrames(sink.Frames() + 2));
}

TEST_F(V4l2DeviceTest, TheChosenRateIsAskedOfTheDriverAndTheFormatShowsTheOneItSettledOn)
{
    const auto device = MakeDevice(yuyv64At15);
    device->Start();
    EXPECT_EQ(kernel.StreamInterval(node).numerator, 1u);
    EXPECT_EQ(kernel.StreamInterval(node).denominator, 15u);
    EXPECT_EQ(device->frameFormats[yuyv64At15]->GetName(), L"YUY2 64x48 (15fps)");

    // A camera whose firmware settles on 24 fps although it lists 30.
    camera.node = "/dev/video1";
    camera.persistentPath = "/dev/v4l/by-id/usb-Other_Camera-video-index0";
    camera.firmwareInterval = v4l2_fract{1, 24};
    kernel.AddCamera(camera);
    V4l2Device slower(kernel, "/dev/video1", true);
    ASSERT_EQ(slower.frameFormats[0]->GetName(), L"YUY2 64x48 (30fps)");
    slower.Start();
    EXPECT_EQ(slower.frameFormats[0]->GetName(), L"YUY2 64x48 (24fps)");
    EXPECT_EQ(slower.frameFormats[0]->frameRate, 24.0) << "what a recording is made at";
}

TEST_F(V4l2DeviceTest, NoFrameCallbackAfterStopReturns)
{
    camera.framePeriod = 0us;    // as fast as the device takes them
    camera.node = "/dev/video1"; // another camera
    camera.persistentPath = "/dev/v4l/by-id/usb-Other_Camera-video-index0";
    kernel.AddCamera(camera);
    const auto device = MakeDevice(yuyv64, "/dev/video1");
    for (int round = 0; round < 5; ++round)
    {
        device->Start();
        ASSERT_TRUE(sink.WaitForFrames(sink.Frames() + 3));
        device->Stop();
        const int stopped = sink.Frames();
        std::this_thread::sleep_for(20ms);
        EXPECT_EQ(sink.Frames(), stopped);
    }
}

TEST_F(V4l2DeviceTest, FormatSwitchesResizeTheFrame)
{
    const auto device = MakeDevice();
    device->Start();
    ASSERT_TRUE(sink.WaitForFrames(1));
    EXPECT_EQ(sink.Last().width, 64);

    Select(*device, mjpg160);
    EXPECT_EQ(device->LockFrame()->width, 160);
    EXPECT_EQ(device->LockFrame()->At(0, 0).red, 0) << "a new size starts black";
    device->Start();
    ASSERT_TRUE(sink.WaitForFrames(sink.Frames() + 2));
    ExpectReferencePicture(sink.Last(), 10);

    Select(*device, bgrx160);
    device->Start();
    ASSERT_TRUE(sink.WaitForFrames(sink.Frames() + 2));
    EXPECT_EQ(sink.Last().width, 160);
    ExpectReferencePicture(sink.Last(), 0);
    device->Stop();
    EXPECT_TRUE(sink.Exceptions().empty());
}

struct FaultCase
{
    const char* name;
    int format;
    FakeV4l2Fault fault;
    HRESULT code;
    const wchar_t* function;
};

class V4l2FaultTest : public V4l2DeviceTest, public ::testing::WithParamInterface<FaultCase>
{
};

TEST_P(V4l2FaultTest, IsReportedOnceAndStreamingGoesOn)
{
    const auto device = MakeDevice(GetParam().format);
    device->Start();
    ASSERT_TRUE(sink.WaitForFrames(2));
    kernel.InjectFault(node, GetParam().fault);
    ASSERT_TRUE(sink.WaitForExceptions(1));
    const int afterFault = sink.Frames();
    ASSERT_TRUE(sink.WaitForFrames(afterFault + 3)) << "the next frames are handled";
    device->Stop();
    const auto exceptions = sink.Exceptions();
    ASSERT_EQ(exceptions.size(), 1u);
    EXPECT_EQ(exceptions[0].GetErrorCode(), GetParam().code);
    EXPECT_EQ(exceptions[0].GetFunctionName(), GetParam().function);
    ExpectReferencePicture(sink.Last(), 10);
}

INSTANTIATE_TEST_SUITE_P(Faults, V4l2FaultTest,
                         ::testing::Values(FaultCase{"ShortRawBuffer", yuyv64, FakeV4l2Fault::ShortBuffer,
                                                     HRESULT_FROM_WIN32(ENODATA), L"OnRawSample"},
                                           FaultCase{"ShortBgrxBuffer", bgrx160, FakeV4l2Fault::ShortBuffer,
                                                     HRESULT_FROM_WIN32(ENODATA), L"OnSample"},
                                           FaultCase{"CorruptJpeg", mjpg64, FakeV4l2Fault::CorruptJpeg,
                                                     HRESULT_FROM_WIN32(EBADMSG), L"OnEncodedSample"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(V4l2DeviceTest, DroppedFramesAreCountedFromSequenceGapsSinceStart)
{
    const auto device = MakeDevice();
    device->Start();
    ASSERT_TRUE(sink.WaitForFrames(2));
    EXPECT_EQ(device->GetDroppedFrameCount(), 0u);
    kernel.InjectFault(node, FakeV4l2Fault::SequenceGap, 5);
    kernel.InjectFault(node, FakeV4l2Fault::DamagedFrame);
    const int before = sink.Frames();
    ASSERT_TRUE(sink.WaitForFrames(before + 4));
    EXPECT_EQ(device->GetDroppedFrameCount(), 6u) << "five skipped numbers and one damaged buffer";
    EXPECT_TRUE(sink.Exceptions().empty()) << "a dropped frame is no failure";

    device->Stop();
    EXPECT_EQ(device->GetDroppedFrameCount(), 6u) << "still readable after Stop";
    device->Start();
    EXPECT_EQ(device->GetDroppedFrameCount(), 0u);
}

// A queue error stays until STREAMOFF and a refused buffer is lost for good: either ends the
// stream with one report, the device is no longer started when the report comes, and the next
// Start works.
TEST_F(V4l2DeviceTest, AStreamThatCannotGoOnEndsWithOneReport)
{
    for (const auto fault : {FakeV4l2Fault::QueueError, FakeV4l2Fault::QueueBufferError})
    {
        const auto device = MakeDevice();
        std::atomic<int> reportsWhileStarted{0};
        device->SetExceptionCallback(
            [&](VideoCapture::Device* self, const Exception& exception)
            {
                reportsWhileStarted += self->IsStarted();
                sink.Record(exception);
            });
        device->Start();
        ASSERT_TRUE(sink.WaitForFrames(sink.Frames() + 2));
        const std::size_t before = sink.Exceptions().size();
        kernel.InjectFault(node, fault);
        ASSERT_TRUE(sink.WaitForExceptions(before + 1));
        ASSERT_TRUE(WaitUntil([&] { return !device->IsStarted(); }));
        device->Stop();
        const auto exceptions = sink.Exceptions();
        ASSERT_EQ(exceptions.size(), before + 1) << "one report, not one per wake-up";
        EXPECT_EQ(exceptions.back().GetErrorCode(),
                  HRESULT_FROM_WIN32(fault == FakeV4l2Fault::QueueError ? EIO : EINVAL));
        EXPECT_EQ(reportsWhileStarted, 0);
        EXPECT_EQ(device->GetDroppedFrameCount(), 0u);

        device->Start(); // a second Start without Stop in between works as well
        const int frames = sink.Frames();
        ASSERT_TRUE(sink.WaitForFrames(frames + 2));
        kernel.InjectFault(node, fault);
        ASSERT_TRUE(WaitUntil([&] { return !device->IsStarted(); }));
        device->Start();
        EXPECT_TRUE(device->IsStarted());
        ASSERT_TRUE(sink.WaitForFrames(sink.Frames() + 2));
        device->Stop();
        EXPECT_EQ(kernel.OpenCount(node), 0);
        EXPECT_EQ(kernel.MappedCount(), 0u);
    }
}

// A camera that stops sending gives no error at all; neither does one whose every buffer comes
// back damaged. Both are reported once as a stall, and capture picks up again by itself.
// A camera that falls silent is reported once and its stream started afresh; one that comes back
// goes on, one that stays silent (or keeps sending damaged buffers) ends the stream with a report.
TEST_F(V4l2DeviceTest, AStallIsReportedAndTheStreamStartedAfreshThenGivenUpIfNothingComes)
{
    const auto device = MakeDevice();
    device->SetStallThreshold(100ms);
    device->Start();
    ASSERT_TRUE(sink.WaitForFrames(2));

    kernel.SetFrameBudget(node, 0);
    ASSERT_TRUE(sink.WaitForExceptions(1));
    EXPECT_EQ(sink.Exceptions()[0].GetErrorCode(), HRESULT_FROM_WIN32(ETIMEDOUT));
    EXPECT_EQ(sink.Exceptions()[0].GetFunctionName(), L"OnFrame");
    ASSERT_TRUE(WaitUntil([&] { return kernel.StreamOnCount(node) == 2; })) << "started afresh";
    EXPECT_TRUE(device->IsStarted());
    kernel.SetFrameBudget(node, -1);
    ASSERT_TRUE(sink.WaitForFrames(sink.Frames() + 3));
    EXPECT_EQ(sink.Exceptions().size(), 1u);
    EXPECT_EQ(device->GetDroppedFrameCount(), 0u) << "a camera that sent nothing dropped nothing";

    kernel.SetEveryBufferDamaged(node, true);
    ASSERT_TRUE(sink.WaitForExceptions(2));
    EXPECT_EQ(sink.Exceptions()[1].GetErrorCode(), HRESULT_FROM_WIN32(ETIMEDOUT));
    ASSERT_TRUE(WaitUntil([&] { return kernel.StreamOnCount(node) == 3; }));
    // Damaged buffers are no pictures: after the fresh start's allowance the stream ends.
    ASSERT_TRUE(sink.WaitForExceptions(3));
    EXPECT_EQ(sink.Exceptions()[2].GetErrorCode(), HRESULT_FROM_WIN32(ETIMEDOUT));
    EXPECT_FALSE(device->IsStarted());
    EXPECT_EQ(kernel.StreamOnCount(node), 3u) << "started afresh once per silence";
    device->Stop();
    EXPECT_FALSE(kernel.IsStreaming(node));
}

// A camera that runs slower than its format says (low light): its buffers' timestamps tell.
TEST_F(V4l2DeviceTest, TheRealRateIsMeasuredFromTheBuffersTimestamps)
{
    camera.node = "/dev/video1";
    camera.persistentPath.clear();
    camera.realInterval = v4l2_fract{1, 20};
    kernel.AddCamera(camera);
    const auto device = MakeDevice(yuyv64, "/dev/video1");
    EXPECT_EQ(device->GetMeasuredFrameRate(), 0.0);
    device->Start();
    ASSERT_TRUE(sink.WaitForFrames(5));
    EXPECT_NEAR(device->GetMeasuredFrameRate(), 20.0, 0.01);
    EXPECT_EQ(device->frameFormats[yuyv64]->frameRate, 30.0) << "the format keeps what the driver said";
    device->Stop();
}

// A capture card: the signal's timings are set before the format, a source that changes is
// followed while its size stays, and no signal is said as such.
TEST_F(V4l2DeviceTest, ACaptureCardFollowsItsSignalAndSaysWhenThereIsNone)
{
    const char* card = "/dev/video1";
    camera.node = card;
    camera.persistentPath.clear();
    camera.dvTimings = true;
    camera.signalSize = std::pair{64u, 48u};
    kernel.AddCamera(camera);
    const auto device = MakeDevice(yuyv64, card);
    device->Start();
    ASSERT_TRUE(sink.WaitForFrames(2));
    EXPECT_EQ(kernel.TimingsSetCount(card), 1u);

    kernel.ChangeSource(card, std::pair{64u, 48u}); // other timings, the same size
    ASSERT_TRUE(WaitUntil([&] { return kernel.StreamOnCount(card) == 2; }));
    ASSERT_TRUE(sink.WaitForFrames(sink.Frames() + 3));
    EXPECT_EQ(kernel.TimingsSetCount(card), 2u);
    EXPECT_TRUE(sink.Exceptions().empty());

    // Another size the device lists in the same layout: the stream ends naming that format, for
    // the caller to choose it.
    kernel.ChangeSource(card, std::pair{32u, 24u});
    ASSERT_TRUE(sink.WaitForExceptions(1));
    EXPECT_FALSE(device->IsStarted());
    EXPECT_EQ(sink.Exceptions()[0].GetErrorCode(), Norvex::Core::VideoCapture::signalResizedStatus);
    EXPECT_EQ(sink.Exceptions()[0].GetMessage(),
              L"VIDIOC_QUERY_DV_TIMINGS on /dev/video1: 入力信号の解像度が 32x24 に変わりました。\n");
    const std::int32_t fitting = device->GetSignalFormatIndex();
    ASSERT_GE(fitting, 0);
    EXPECT_EQ(device->frameFormats[static_cast<std::size_t>(fitting)]->GetName(), L"YUY2 32x24 (30fps)");
    device->Stop();
    Select(*device, fitting);
    device->Start();
    ASSERT_TRUE(sink.WaitForFrames(sink.Frames() + 2));
    EXPECT_EQ(sink.Last().width, 32);

    // A size it does not list: the stream ends, saying what came.
    kernel.ChangeSource(card, std::pair{40u, 30u});
    ASSERT_TRUE(sink.WaitForExceptions(2));
    EXPECT_FALSE(device->IsStarted());
    EXPECT_EQ(device->GetSignalFormatIndex(), -1);
    EXPECT_EQ(sink.Exceptions()[1].GetMessage(),
              L"VIDIOC_QUERY_DV_TIMINGS on /dev/video1: 入力信号の解像度 40x30 はこの形式と違います。\n");
    device->Stop();

    kernel.ChangeSource(card, std::nullopt);
    try
    {
        device->Start();
        FAIL() << "no signal";
    }
    catch (const Exception& exception)
    {
        EXPECT_EQ(exception.GetErrorCode(), HRESULT_FROM_WIN32(ENOLINK));
        EXPECT_EQ(exception.GetMessage(),
                  L"VIDIOC_QUERY_DV_TIMINGS on /dev/video1: 入力信号がありません。\n");
    }
    EXPECT_EQ(kernel.OpenCount(card), 0);
}

TEST_F(V4l2DeviceTest, AnUnpluggedCameraEndsTheStreamOnceAndWorksWhenBack)
{
    const auto device = MakeDevice(mjpg64);
    device->Start();
    ASSERT_TRUE(sink.WaitForFrames(2));
    kernel.Unplug(node);
    ASSERT_TRUE(sink.WaitForExceptions(1));
    std::this_thread::sleep_for(30ms);
    const auto exceptions = sink.Exceptions();
    ASSERT_EQ(exceptions.size(), 1u);
    EXPECT_EQ(exceptions[0].GetErrorCode(), HRESULT_FROM_WIN32(ENODEV));
    EXPECT_FALSE(device->IsStarted()) << "the stream has ended";

    device->Stop();
    EXPECT_EQ(kernel.OpenCount(node), 0);
    EXPECT_EQ(kernel.MappedCount(), 0u);
    EXPECT_THROW(device->Start(), Exception);
    EXPECT_FALSE(device->IsStarted());

    kernel.Replug(node);
    const int before = sink.Frames();
    device->Start();
    ASSERT_TRUE(sink.WaitForFrames(before + 2));
    ExpectReferencePicture(sink.Last(), 10);
    EXPECT_EQ(sink.Exceptions().size(), 1u);
}

// Plugged in again while our descriptor of the old node is still open, the camera comes back
// as another /dev/videoN; the next Start finds it by its persistent path.
TEST_F(V4l2DeviceTest, ACameraRepluggedUnderANewNodeIsFoundByItsPersistentPath)
{
    const auto device = MakeDevice(mjpg64);
    const auto persistentPath = device->devicePath;
    device->Start();
    ASSERT_TRUE(sink.WaitForFrames(2));
    kernel.Unplug(node);
    ASSERT_TRUE(WaitUntil([&] { return !device->IsStarted(); }));
    const std::string fresh = kernel.Replug(node);
    ASSERT_NE(fresh, node) << "the old node is still held open";

    device->Start();
    EXPECT_EQ(device->GetNode(), fresh);
    EXPECT_EQ(device->devicePath, persistentPath);
    ASSERT_TRUE(sink.WaitForFrames(sink.Frames() + 2));
    ExpectReferencePicture(sink.Last(), 10);
    device->Stop();
    EXPECT_EQ(kernel.OpenCount(node), 0) << "the old node was let go";
    EXPECT_EQ(kernel.OpenCount(fresh), 0);
    EXPECT_EQ(sink.Exceptions().size(), 1u) << "only the unplugging";
}

// What cannot be decoded is reported once per run of such frames, not once per frame; a JPEG
// of another size than the format is refused rather than written past the frame.
TEST_F(V4l2DeviceTest, AJpegLargerThanTheFormatIsRefusedOncePerRunNotWrittenPastTheFrame)
{
    const auto larger = [](const v4l2_pix_format& format)
    {
        auto large = format;
        large.width = 160;
        large.height = 120;
        return FakeV4l2Kernel::Encode(FakeV4l2Kernel::ReferencePicture(160, 120), large, false);
    };
    kernel.SetContent(node, larger);
    const auto device = MakeDevice(mjpg64);
    device->Start();
    ASSERT_TRUE(sink.WaitForExceptions(1));
    EXPECT_EQ(sink.Exceptions()[0].GetErrorCode(), HRESULT_FROM_WIN32(EBADMSG));
    ASSERT_TRUE(WaitUntil([&] { return kernel.FramesHandedOut(node) >= 10; }));
    EXPECT_EQ(sink.Exceptions().size(), 1u);
    EXPECT_EQ(sink.Frames(), 0);

    kernel.SetContent(node, {}); // pictures come through again, then the next run fails
    ASSERT_TRUE(sink.WaitForFrames(2));
    kernel.SetContent(node, larger);
    ASSERT_TRUE(sink.WaitForExceptions(2));
    device->Stop();
}

// MJPEG damage as cameras produce it still shows what can be shown, without a report.
TEST_F(V4l2DeviceTest, DamagedJpegsShowWhatTheyHold)
{
    using Norvex::Testing::FakeJpegDamage;
    const auto device = MakeDevice(mjpg64);
    device->Start();
    for (const auto damage :
         {FakeJpegDamage::ZeroPadded, FakeJpegDamage::JunkBeforeStart, FakeJpegDamage::TallerPicture,
          FakeJpegDamage::Truncated, FakeJpegDamage::FlippedBytes})
    {
        kernel.SetContent(node, [=](const v4l2_pix_format& format)
                          { return FakeV4l2Kernel::DamagedJpeg(format, damage); });
        ASSERT_TRUE(sink.WaitForFrames(sink.Frames() + 3)) << static_cast<int>(damage);
        const auto frame = sink.Last();
        if (damage == FakeJpegDamage::Truncated || damage == FakeJpegDamage::FlippedBytes)
        {
            // The top of the picture, before the damage, is whole.
            const auto& red = FakeV4l2Kernel::bandColors[0];
            EXPECT_LE(std::abs(frame.At(frame.width / 2, frame.height / 8).red - red[2]), 10);
        }
        else
        {
            ExpectReferencePicture(frame, 10);
        }
    }
    device->Stop();
    EXPECT_TRUE(sink.Exceptions().empty());
}

TEST_F(V4l2DeviceTest, AFailingFrameCallbackIsReportedForEachFrame)
{
    const auto device = MakeDevice();
    int calls = 0;
    device->SetFrameCallback(
        [&](VideoCapture::Device*, const Image<Pixel<unsigned char>>&)
        {
            ++calls;
            throw std::runtime_error("processor failed");
        });
    device->Start();
    ASSERT_TRUE(sink.WaitForExceptions(3));
    device->Stop();
    const auto exceptions = sink.Exceptions();
    EXPECT_EQ(static_cast<int>(exceptions.size()), calls);
    EXPECT_EQ(exceptions[0].GetErrorCode(), E_UNEXPECTED);
    EXPECT_EQ(exceptions[0].GetFunctionName(), L"OnFrame");
}

TEST_F(V4l2DeviceTest, StopFromTheFrameCallbackIsRefusedInsteadOfDeadlocking)
{
    const auto device = MakeDevice();
    device->SetFrameCallback([&](VideoCapture::Device* self, const Image<Pixel<unsigned char>>&)
                             { self->Stop(); });
    device->Start();
    ASSERT_TRUE(sink.WaitForExceptions(1));
    device->Stop();
    EXPECT_EQ(sink.Exceptions()[0].GetErrorCode(), E_UNEXPECTED);
    EXPECT_EQ(sink.Exceptions()[0].GetFunctionName(), L"Stop");
}

TEST_F(V4l2DeviceTest, FormatsNoPathHandlesAreLeftOutAndFailPrepareClearly)
{
    FakeV4l2Format dv;
    dv.pixelFormat = V4L2_PIX_FMT_DV;
    dv.sizes = {{720, 576}};
    dv.intervals = {{1, 25}};
    camera.node = "/dev/video1"; // another camera
    camera.persistentPath = "/dev/v4l/by-id/usb-Other_Camera-video-index0";
    camera.formats.push_back(dv);
    kernel.AddCamera(camera);
    V4l2Device device(kernel, "/dev/video1", true);
    ASSERT_EQ(device.frameFormats.size(), V4l2Device(kernel, node, true).frameFormats.size())
        << "the formats of the camera without DV";
    for (const auto& format : device.frameFormats)
    {
        EXPECT_EQ(format->GetName().find(L"DVSD"), std::wstring::npos);
    }
    // A DV format described by a caller: Prepare says no path streams it.
    v4l2_pix_format native{};
    native.pixelformat = V4L2_PIX_FMT_DV;
    native.width = 720;
    native.height = 576;
    device.frameFormats.push_back(std::make_shared<V4l2FrameFormat>(native, v4l2_fract{1, 25}));
    try
    {
        Select(device, static_cast<int>(device.frameFormats.size()) - 1);
        FAIL() << "DV has no decoder here";
    }
    catch (const Exception& exception)
    {
        EXPECT_EQ(exception.GetErrorCode(), MakeStatus(0xC00D36B4u));
        EXPECT_EQ(exception.GetFunctionName(), L"Prepare");
    }
    EXPECT_THROW(device.Start(), Exception) << "unprepared";
    Select(device, 0);
    sink.Attach(device);
    device.Start();
    EXPECT_TRUE(sink.WaitForFrames(1));
}

TEST_F(V4l2DeviceTest, FewerBuffersThanAskedStillStream)
{
    camera.node = "/dev/video1"; // another camera
    camera.persistentPath = "/dev/v4l/by-id/usb-Other_Camera-video-index0";
    camera.bufferLimit = 2;
    kernel.AddCamera(camera);
    V4l2Device device(kernel, "/dev/video1", true);
    sink.Attach(device);
    device.Start();
    ASSERT_TRUE(sink.WaitForFrames(10)) << "each of the two buffers goes round again";
    device.Stop();
    EXPECT_EQ(kernel.MappedCount(), 0u);
    EXPECT_TRUE(sink.Exceptions().empty());
}

TEST_F(V4l2DeviceTest, DestroyingAStartedDeviceReleasesTheCamera)
{
    auto device = MakeDevice();
    device->Start();
    ASSERT_TRUE(sink.WaitForFrames(1));
    device.reset();
    EXPECT_EQ(kernel.OpenCount(node), 0);
    EXPECT_EQ(kernel.MappedCount(), 0u);
}

TEST_F(V4l2DeviceTest, FocusIsDrivenThroughTheCameraControl)
{
    const auto device = MakeDevice();
    device->Start();
    const auto control = device->GetCameraControl();
    ASSERT_TRUE(control);
    std::int32_t minimum, maximum, step, defaultValue, caps;
    ASSERT_EQ(control->GetRange(CameraControl::Focus, &minimum, &maximum, &step, &defaultValue, &caps), S_OK);
    EXPECT_EQ(std::make_tuple(minimum, maximum, step, defaultValue), std::make_tuple(0, 250, 5, 0));
    EXPECT_EQ(caps, CameraControl::Auto | CameraControl::Manual);

    std::int32_t value, flags;
    ASSERT_EQ(control->Get(CameraControl::Focus, &value, &flags), S_OK);
    EXPECT_EQ(flags, CameraControl::Auto);
    ASSERT_EQ(control->Set(CameraControl::Focus, 100, CameraControl::Manual), S_OK);
    EXPECT_EQ(kernel.ControlValue(node, V4L2_CID_FOCUS_AUTO), 0) << "manual turns automatic focus off";
    EXPECT_EQ(kernel.ControlValue(node, V4L2_CID_FOCUS_ABSOLUTE), 100);
    ASSERT_EQ(control->Get(CameraControl::Focus, &value, &flags), S_OK);
    EXPECT_EQ(std::make_pair(value, flags),
              std::make_pair(100, static_cast<std::int32_t>(CameraControl::Manual)));
    ASSERT_EQ(control->Set(CameraControl::Focus, 0, CameraControl::Auto), S_OK);
    EXPECT_EQ(kernel.ControlValue(node, V4L2_CID_FOCUS_AUTO), 1);
    EXPECT_EQ(kernel.ControlValue(node, V4L2_CID_FOCUS_ABSOLUTE), 100) << "the value is the camera's to pick";

    // The driver rounds to the step and clamps to the range, and succeeds.
    EXPECT_EQ(control->Set(CameraControl::Focus, 103, CameraControl::Manual), S_OK);
    EXPECT_EQ(kernel.ControlValue(node, V4L2_CID_FOCUS_ABSOLUTE), 105);
    EXPECT_EQ(control->Set(CameraControl::Focus, 300, CameraControl::Manual), S_OK);
    ASSERT_EQ(control->Get(CameraControl::Focus, &value, &flags), S_OK);
    EXPECT_EQ(value, 250);
    EXPECT_EQ(control->Set(CameraControl::Pan, 0, CameraControl::Manual), HRESULT_FROM_WIN32(EINVAL));
    EXPECT_EQ(control->Set(CameraControl::Roll, 0, CameraControl::Manual), HRESULT_FROM_WIN32(EINVAL));
    EXPECT_EQ(control->Get(CameraControl::Focus, nullptr, &flags), E_POINTER);

    const auto procAmp = device->GetVideoProcAmp();
    ASSERT_TRUE(procAmp);
    ASSERT_EQ(procAmp->GetRange(VideoProcAmp::Brightness, &minimum, &maximum, &step, &defaultValue, &caps),
              S_OK);
    EXPECT_EQ(std::make_tuple(minimum, maximum, caps),
              std::make_tuple(-64, 64, static_cast<std::int32_t>(VideoProcAmp::Manual)));
    EXPECT_EQ(procAmp->Set(VideoProcAmp::Brightness, -10, VideoProcAmp::Manual), S_OK);
    EXPECT_EQ(kernel.ControlValue(node, V4L2_CID_BRIGHTNESS), -10);
    EXPECT_EQ(procAmp->Set(VideoProcAmp::Gain, 1, VideoProcAmp::Auto), HRESULT_FROM_WIN32(EINVAL))
        << "no gain";

    // A control object a caller still holds keeps working on its own descriptor after Stop.
    device->Stop();
    EXPECT_EQ(control->Get(CameraControl::Focus, &value, &flags), S_OK);
}

// What uvcvideo and the camera accept: the automatic exposure entries the camera has, no manual
// value while the automatic mode runs, no writing to a read-only control, and a focus that
// cannot be read while autofocus runs.
TEST_F(V4l2DeviceTest, ControlsAskOnlyWhatTheCameraAccepts)
{
    const auto device = MakeDevice();
    device->Start();
    auto control = device->GetCameraControl();
    ASSERT_EQ(control->Set(CameraControl::Exposure, 0, CameraControl::Auto), S_OK);
    EXPECT_EQ(kernel.ControlValue(node, V4L2_CID_EXPOSURE_AUTO), V4L2_EXPOSURE_APERTURE_PRIORITY);
    ASSERT_EQ(control->Set(CameraControl::Exposure, 100, CameraControl::Manual), S_OK);
    EXPECT_EQ(kernel.ControlValue(node, V4L2_CID_EXPOSURE_ABSOLUTE), 100);
    EXPECT_EQ(kernel.ControlValue(node, V4L2_CID_EXPOSURE_AUTO), V4L2_EXPOSURE_MANUAL);
    device->Stop();

    // Another camera: automatic exposure only as entry 0, a read-only zoom, and a focus it
    // cannot read while autofocus runs.
    camera.node = "/dev/video1";
    camera.persistentPath = "/dev/v4l/by-id/usb-Other_Camera-video-index0";
    for (auto& setting : camera.controls)
    {
        if (setting.id == V4L2_CID_EXPOSURE_AUTO)
        {
            setting.menu = {V4L2_EXPOSURE_AUTO, V4L2_EXPOSURE_MANUAL};
            setting.value = V4L2_EXPOSURE_MANUAL;
        }
        setting.unreadableWhileAutomatic = setting.id == V4L2_CID_FOCUS_ABSOLUTE;
    }
    FakeV4l2Control zoom{V4L2_CID_ZOOM_ABSOLUTE, V4L2_CTRL_TYPE_INTEGER, 100, 500, 1, 100, 100};
    zoom.readOnly = true;
    camera.controls.push_back(zoom);
    kernel.AddCamera(camera);
    V4l2Device other(kernel, "/dev/video1", true);
    other.Start();
    control = other.GetCameraControl();
    EXPECT_EQ(control->Set(CameraControl::Exposure, 0, CameraControl::Auto), S_OK);
    EXPECT_EQ(kernel.ControlValue("/dev/video1", V4L2_CID_EXPOSURE_AUTO), V4L2_EXPOSURE_AUTO);

    std::int32_t value = -1, flags = 0;
    ASSERT_EQ(control->Get(CameraControl::Focus, &value, &flags), S_OK) << "autofocus runs";
    EXPECT_EQ(std::make_pair(value, flags),
              std::make_pair(0, static_cast<std::int32_t>(CameraControl::Auto)));

    std::int32_t minimum, maximum, step, defaultValue, caps;
    ASSERT_EQ(control->GetRange(CameraControl::Zoom, &minimum, &maximum, &step, &defaultValue, &caps), S_OK);
    EXPECT_EQ(caps, 0) << "a read-only control offers no mode to set";
    EXPECT_EQ(control->Set(CameraControl::Zoom, 200, CameraControl::Manual), HRESULT_FROM_WIN32(EACCES));
    EXPECT_EQ(kernel.ControlValue("/dev/video1", V4L2_CID_ZOOM_ABSOLUTE), 100);
}

TEST_F(V4l2DeviceTest, ACameraWithoutCameraControlsOffersNone)
{
    camera.node = "/dev/video1"; // another camera
    camera.persistentPath = "/dev/v4l/by-id/usb-Other_Camera-video-index0";
    camera.controls = {{V4L2_CID_BRIGHTNESS, V4L2_CTRL_TYPE_INTEGER, 0, 255, 1, 128, 128}};
    kernel.AddCamera(camera);
    V4l2Device device(kernel, "/dev/video1", true);
    device.Start();
    EXPECT_FALSE(device.GetCameraControl());
    EXPECT_TRUE(device.GetVideoProcAmp());
}

namespace
{

// One H.264 access unit with its parameter sets in band, as a UVC camera's H264 format sends a
// key frame: the reference picture, nearly lossless.
std::vector<unsigned char> EncodeH264(std::uint32_t width, std::uint32_t height,
                                      std::uint32_t codedHeight = 0)
{
    // Coded taller: the reference picture on top, black below, as an encoder pads to macroblocks
    // without saying where the picture ends.
    const std::uint32_t pictureHeight = height;
    height = std::max(height, codedHeight);
    const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
    if (!codec)
    {
        return {};
    }
    AVCodecContext* encoder = avcodec_alloc_context3(codec);
    encoder->width = static_cast<int>(width);
    encoder->height = static_cast<int>(height);
    encoder->pix_fmt = AV_PIX_FMT_YUV420P;
    encoder->time_base = {1, 30};
    encoder->gop_size = 1;
    av_opt_set(encoder->priv_data, "preset", "ultrafast", 0);
    av_opt_set(encoder->priv_data, "tune", "zerolatency", 0);
    av_opt_set(encoder->priv_data, "qp", "4", 0);
    std::vector<unsigned char> bytes;
    if (avcodec_open2(encoder, codec, nullptr) == 0)
    {
        AVFrame* picture = av_frame_alloc();
        picture->format = AV_PIX_FMT_YUV420P;
        picture->width = encoder->width;
        picture->height = encoder->height;
        av_frame_get_buffer(picture, 0);
        auto bgra = FakeV4l2Kernel::ReferencePicture(width, pictureHeight);
        bgra.resize(static_cast<std::size_t>(width) * height * 4, 0);
        SwsContext* converter =
            sws_getContext(encoder->width, encoder->height, AV_PIX_FMT_BGRA, encoder->width, encoder->height,
                           AV_PIX_FMT_YUV420P, SWS_BILINEAR, nullptr, nullptr, nullptr);
        const std::uint8_t* source[4] = {bgra.data()};
        const int sourceStride[4] = {static_cast<int>(width * 4)};
        sws_scale(converter, source, sourceStride, 0, encoder->height, picture->data, picture->linesize);
        sws_freeContext(converter);
        AVPacket* packet = av_packet_alloc();
        avcodec_send_frame(encoder, picture);
        avcodec_send_frame(encoder, nullptr);
        if (avcodec_receive_packet(encoder, packet) == 0)
        {
            bytes.assign(packet->data, packet->data + packet->size);
        }
        av_packet_free(&packet);
        av_frame_free(&picture);
    }
    avcodec_free_context(&encoder);
    return bytes;
}

} // namespace

TEST_F(V4l2DeviceTest, H264IsDecodedByLibavcodecThenConverted)
{
    const auto accessUnit = EncodeH264(64, 48);
    if (accessUnit.empty())
    {
        GTEST_SKIP() << "libavcodec has no H.264 encoder here";
    }
    FakeV4l2Format h264;
    h264.pixelFormat = V4L2_PIX_FMT_H264;
    h264.sizes = {{64, 48}};
    h264.intervals = {{1, 30}};
    camera.node = "/dev/video1"; // another camera
    camera.persistentPath = "/dev/v4l/by-id/usb-Other_Camera-video-index0";
    camera.formats = {h264};
    kernel.AddCamera(camera);
    kernel.SetContent("/dev/video1", [&](const v4l2_pix_format&) { return accessUnit; });
    V4l2Device device(kernel, "/dev/video1", true);
    EXPECT_EQ(device.frameFormats[0]->GetName(), L"H264 64x48 (30fps)");
    sink.Attach(device);
    device.Start();
    ASSERT_TRUE(sink.WaitForFrames(3));
    device.Stop();
    EXPECT_TRUE(sink.Exceptions().empty());
    ExpectReferencePicture(sink.Last(), 12);

    // Coded in whole macroblocks, 8 rows more than the format, as MJPEG may be: cropped.
    const auto taller = EncodeH264(64, 48, 56);
    kernel.SetContent("/dev/video1", [&](const v4l2_pix_format&) { return taller; });
    device.Start();
    ASSERT_TRUE(sink.WaitForFrames(sink.Frames() + 3));
    device.Stop();
    EXPECT_TRUE(sink.Exceptions().empty());
    ExpectReferencePicture(sink.Last(), 12);

    // Damaged data is reported, and the stream goes on.
    kernel.SetContent("/dev/video1",
                      [&](const v4l2_pix_format&)
                      {
                          auto damaged = accessUnit;
                          std::fill(damaged.begin(), damaged.end(), 0xFF);
                          return damaged;
                      });
    device.Start();
    ASSERT_TRUE(sink.WaitForExceptions(1));
    device.Stop();
    EXPECT_EQ(sink.Exceptions()[0].GetFunctionName(), L"OnEncodedSample");
}
