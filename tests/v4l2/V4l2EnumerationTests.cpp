#include "FakeV4l2Kernel.h"
#include "TemporaryFolder.h"

#include "V4l2VideoCapture/V4l2Device.h"
#include "V4l2VideoCapture/V4l2FrameFormat.h"
#include "V4l2VideoCapture/V4l2Subtype.h"
#include <Norvex/Core/CaptureBackends/CaptureBackends.h>
#include <Norvex/Core/StringHelpers.h>
#include <Norvex/Core/V4l2VideoCapture/V4l2VideoCapture.h>
#include <Norvex/Core/VideoCapture/VideoSubtype.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>
#include <filesystem>
#include <fstream>

using namespace Norvex::Core;
using namespace Norvex::Core::V4l2VideoCapture;
using Norvex::Core::VideoCapture::MakeFourcc;
using Norvex::Core::VideoCapture::MakeVideoSubtype;
using Norvex::Testing::FakeV4l2Camera;
using Norvex::Testing::FakeV4l2Format;
using Norvex::Testing::FakeV4l2Kernel;

namespace
{

constexpr HRESULT invalidMediaType = MakeStatus(0xC00D36B4u);

std::vector<std::shared_ptr<VideoCapture::Device>>
Enumerate(FakeV4l2Kernel& kernel, bool skipErrorDevice = true, bool skipDuplicates = true)
{
    std::vector<std::shared_ptr<VideoCapture::Device>> devices;
    EnumerateDevices(skipErrorDevice, skipDuplicates, devices, kernel);
    return devices;
}

std::vector<std::wstring> Names(const VideoCapture::Device& device)
{
    std::vector<std::wstring> names;
    for (const auto& format : device.frameFormats)
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

} // namespace

TEST(V4l2Enumeration, ListsCaptureNodesWithNamesPathsAndFormats)
{
    FakeV4l2Kernel kernel;
    kernel.AddCamera(FakeV4l2Kernel::UvcCamera("/dev/video0", "Desk Camera"));
    kernel.AddCamera(FakeV4l2Kernel::MetadataNode("/dev/video1", "Desk Camera"));
    auto second = FakeV4l2Kernel::UvcCamera("/dev/video2", "Second Camera");
    second.persistentPath.clear();
    kernel.AddCamera(second);
    kernel.AddCamera(FakeV4l2Kernel::MultiplanarCamera("/dev/video3", "Planar Camera"));

    const auto devices = Enumerate(kernel);
    ASSERT_EQ(devices.size(), 3u) << "the metadata node is no capture device";
    EXPECT_EQ(devices[0]->friendlyName, L"Desk Camera");
    EXPECT_EQ(devices[0]->devicePath, L"/dev/v4l/by-id/usb-Desk Camera-video-index0");
    EXPECT_EQ(devices[1]->friendlyName, L"Second Camera");
    EXPECT_EQ(devices[1]->devicePath, L"/dev/video2")
        << "without a persistent link the node names the device";

    // Discrete sizes and intervals each make a format; the BGRX range is reduced to the common
    // sizes on its 16 x 8 grid.
    const std::vector<std::wstring> expected = {
        L"YUY2 64x48 (30fps)",    L"YUY2 64x48 (15fps)",    L"YUY2 32x24 (30fps)",
        L"YUY2 32x24 (15fps)",    L"MJPG 64x48 (30fps)",    L"MJPG 160x120 (30fps)",
        L"RGB32 160x120 (30fps)", L"RGB32 176x144 (30fps)", L"RGB32 320x240 (30fps)",
    };
    EXPECT_EQ(Names(*devices[0]), expected);
    const auto& yuyv = *devices[0]->frameFormats[0];
    EXPECT_EQ(yuyv.subtype, MakeVideoSubtype(MakeFourcc('Y', 'U', 'Y', '2')));
    EXPECT_EQ(yuyv.stride, 128);
    EXPECT_EQ(devices[0]->frameFormats[4]->stride, 0) << "compressed";
    EXPECT_EQ(devices[0]->frameFormats[6]->stride, 640);
    EXPECT_EQ(devices[0]->frameFormats[6]->subtype, MakeVideoSubtype(22));
    EXPECT_EQ(devices[0]->frameFormatIndex, 0);
    EXPECT_EQ(devices[0]->LockFrame()->width, 64) << "left prepared with format 0";
    EXPECT_FALSE(devices[0]->IsStarted());
    EXPECT_EQ(kernel.OpenCount("/dev/video0"), 0) << "the camera is free until Start";
    // A multi-planar node is a camera too; NV12M and YUV420M are the NV12 and I420 pictures.
    EXPECT_EQ(Names(*devices[2]), (std::vector<std::wstring>{L"NV12 64x48 (30fps)", L"I420 64x48 (30fps)",
                                                             L"YUY2 64x48 (30fps)"}));
}

// What users have besides single UVC cameras: nodes that only a media-controller pipeline feeds,
// a camera answering under two nodes, udev's links, a camera left set up in another format.
TEST(V4l2Enumeration, CamerasAreListedOnceByWhatNamesThemAndStartAsTheyAreSetUp)
{
    Norvex::Testing::TemporaryFolder folder;
    const auto node = (folder / "video0").string();
    std::ofstream(node).put('\0');
    std::filesystem::create_directory(folder / "by-id");
    const auto link = folder / "by-id" / "usb-Desk_Camera-video-index0";
    std::filesystem::create_symlink(node, link);

    FakeV4l2Kernel kernel;
    auto desk = FakeV4l2Kernel::UvcCamera(node, "Desk Camera");
    desk.persistentPath = link.string();
    desk.busInfo = "usb-0000:00:14.0-1";
    v4l2_pix_format current{};
    current.pixelformat = V4L2_PIX_FMT_YUYV;
    current.width = 32;
    current.height = 24;
    desk.current = current;
    desk.currentInterval = {1, 15};
    kernel.AddCamera(desk);
    auto twin = FakeV4l2Kernel::UvcCamera("/dev/video1", "Desk Camera"); // the same camera again
    twin.busInfo = desk.busInfo;
    kernel.AddCamera(twin);
    auto raw = FakeV4l2Kernel::UvcCamera("/dev/video2", "unicam");
    raw.deviceCaps |= V4L2_CAP_IO_MC;
    kernel.AddCamera(raw);
    auto other = FakeV4l2Kernel::UvcCamera("/dev/video3", "Desk Camera"); // same model, other port
    other.busInfo = "usb-0000:00:14.0-2";
    kernel.AddCamera(other);

    const auto devices = Enumerate(kernel);
    ASSERT_EQ(devices.size(), 2u);
    EXPECT_EQ(devices[1]->devicePath, L"/dev/v4l/by-id/usb-Desk Camera-video-index0");
    const auto& first = *devices[0];
    EXPECT_TRUE(first.IsNamedBy(ToWideString(node))) << "the node its link points at";
    EXPECT_TRUE(first.IsNamedBy(link.wstring()));
    EXPECT_TRUE(first.IsNamedBy((folder / "by-id" / ".." / "video0").wstring()));
    EXPECT_FALSE(devices[1]->IsNamedBy(ToWideString(node)));
    EXPECT_FALSE(first.IsNamedBy((folder / "video9").wstring()));

    EXPECT_EQ(first.frameFormats[static_cast<std::size_t>(first.frameFormatIndex)]->GetName(),
              L"YUY2 32x24 (15fps)")
        << "the format the driver is set to";
    EXPECT_EQ(first.LockFrame()->width, 32) << "and prepared";
    EXPECT_EQ(devices[1]->frameFormatIndex, 0);
}

TEST(V4l2Enumeration, FailingDevicesAreSkippedOrPropagated)
{
    FakeV4l2Kernel kernel;
    kernel.AddCamera(FakeV4l2Kernel::UvcCamera("/dev/video0", "First"));
    auto locked = FakeV4l2Kernel::UvcCamera("/dev/video1", "Locked");
    locked.openError = EACCES;
    kernel.AddCamera(locked);
    auto broken = FakeV4l2Kernel::UvcCamera("/dev/video2", "Broken");
    broken.queryCapError = EIO;
    kernel.AddCamera(broken);
    FakeV4l2Format dv; // no path can stream it
    dv.pixelFormat = V4L2_PIX_FMT_DV;
    dv.sizes = {{720, 576}};
    dv.intervals = {{1, 25}};
    auto unstreamable = SingleFormatCamera("/dev/video3", dv);
    kernel.AddCamera(unstreamable);
    // Listed all the same, with the formats that work, when DV is only its first.
    auto dvFirst = FakeV4l2Kernel::UvcCamera("/dev/video4", "Last");
    dvFirst.formats.insert(dvFirst.formats.begin(), dv);
    kernel.AddCamera(dvFirst);

    const auto devices = Enumerate(kernel, true);
    ASSERT_EQ(devices.size(), 2u);
    EXPECT_EQ(devices[0]->friendlyName, L"First");
    EXPECT_EQ(devices[1]->friendlyName, L"Last");
    EXPECT_EQ(Names(*devices[1]), Names(*devices[0]));

    try
    {
        Enumerate(kernel, false);
        FAIL() << "expected the locked node's failure";
    }
    catch (const Exception& exception)
    {
        EXPECT_EQ(exception.GetErrorCode(), HRESULT_FROM_WIN32(EACCES));
    }

    FakeV4l2Kernel only;
    only.AddCamera(unstreamable);
    try
    {
        Enumerate(only, false);
        FAIL() << "expected the unstreamable format to fail";
    }
    catch (const Exception& exception)
    {
        EXPECT_EQ(exception.GetErrorCode(), invalidMediaType);
        EXPECT_EQ(exception.GetFunctionName(), L"Prepare");
    }
    EXPECT_EQ(only.OpenCount("/dev/video3"), 0);
}

TEST(V4l2Enumeration, EveryFamilyZeroListingSucceedsWithoutCameras)
{
    FakeV4l2Kernel kernel;
    kernel.AddCamera(FakeV4l2Kernel::MetadataNode("/dev/video0", "Meta only"));
    EXPECT_TRUE(Enumerate(kernel, false).empty());
    // The real kernel: whatever this machine has, listing must not fail with the switches on.
    EXPECT_NO_THROW(VideoCapture::EnumerateDevices(VideoCapture::CaptureApiFamily::V4l2, true, true));
}

TEST(V4l2Subtypes, FourccsMapToTheRowOfTheSameLayout)
{
    const auto subtype = [](std::uint32_t pixelFormat)
    {
        return V4l2Subtype::FromPixelFormat(pixelFormat);
    };
    EXPECT_EQ(subtype(V4L2_PIX_FMT_YUYV), MakeVideoSubtype(MakeFourcc('Y', 'U', 'Y', '2')));
    EXPECT_EQ(subtype(V4L2_PIX_FMT_YUV420), MakeVideoSubtype(MakeFourcc('I', '4', '2', '0')));
    EXPECT_EQ(subtype(V4L2_PIX_FMT_YVU420), MakeVideoSubtype(MakeFourcc('Y', 'V', '1', '2')));
    EXPECT_EQ(subtype(V4L2_PIX_FMT_XBGR32), MakeVideoSubtype(22));
    EXPECT_EQ(subtype(V4L2_PIX_FMT_ABGR32), MakeVideoSubtype(21));
    EXPECT_EQ(subtype(V4L2_PIX_FMT_BGR24), MakeVideoSubtype(20));
    EXPECT_EQ(subtype(V4L2_PIX_FMT_MJPEG), subtype(V4L2_PIX_FMT_JPEG));
    EXPECT_EQ(subtype(V4L2_PIX_FMT_AYUV32), std::nullopt) << "AYUV's row has the opposite byte order";
    // R, G, B has no row: it keeps its own code and is named "Unknown", yet it can be streamed.
    EXPECT_EQ(subtype(V4L2_PIX_FMT_RGB24), MakeVideoSubtype(V4L2_PIX_FMT_RGB24));

    EXPECT_STREQ(V4l2Subtype::GetName(*subtype(V4L2_PIX_FMT_RGB24)), L"Unknown");
    EXPECT_STREQ(V4l2Subtype::GetName(MakeVideoSubtype(MakeFourcc('H', 'E', 'V', 'S'))), L"HEVC_ES");
    EXPECT_STREQ(V4l2Subtype::GetName(MakeVideoSubtype(MakeFourcc('d', 'v', 'c', ' '))), L"DVC");
    EXPECT_STREQ(V4l2Subtype::GetName(*subtype(V4L2_PIX_FMT_DV)), L"DVSD");
    EXPECT_STREQ(V4l2Subtype::GetName(*subtype(V4L2_PIX_FMT_GREY)), L"GREY");
    EXPECT_STREQ(V4l2Subtype::GetName(*subtype(V4L2_PIX_FMT_SBGGR8)), L"BA81");
    EXPECT_STREQ(V4l2Subtype::GetName(MakeVideoSubtype(0)), L"Base");
}

TEST(V4l2FrameFormats, RateAndSizeGoBackIntoTheNativeDescription)
{
    v4l2_pix_format native{};
    native.pixelformat = V4L2_PIX_FMT_YUYV;
    native.width = 640;
    native.height = 480;
    native.bytesperline = 1280;
    V4l2FrameFormat format(native, {1, 30});
    EXPECT_EQ(format.GetName(), L"YUY2 640x480 (30fps)");
    // Layouts without a name of their own go by their code, not all by one "Unknown".
    native.pixelformat = V4L2_PIX_FMT_RGB24;
    EXPECT_EQ(V4l2FrameFormat(native, {1, 30}).GetName(), L"RGB3 640x480 (30fps)");
    native.pixelformat = V4L2_PIX_FMT_NV21M;
    EXPECT_EQ(V4l2FrameFormat(native, {1, 30}).GetName(), L"NV21 640x480 (30fps)");
    native.pixelformat = V4L2_PIX_FMT_YUYV;

    const auto interval = [&](double rate)
    {
        format.frameRate = rate;
        format.OnFrameRateChanged();
        return std::make_pair(format.GetFrameInterval().numerator, format.GetFrameInterval().denominator);
    };
    EXPECT_EQ(interval(30), std::make_pair(1u, 30u));
    EXPECT_EQ(interval(7.5), std::make_pair(2u, 15u));
    EXPECT_EQ(interval(0.5), std::make_pair(2u, 1u));
    EXPECT_EQ(interval(29.97), std::make_pair(8388608u, 251406581u));
    EXPECT_EQ(interval(60000.0 / 1001), std::make_pair(4194304u, 251406833u));
    EXPECT_EQ(interval(0), std::make_pair(0u, 0u)) << "no rate: the driver keeps its own";
    EXPECT_EQ(interval(std::nan("")), std::make_pair(0u, 0u));

    const auto clone = format.Clone();
    format.width = 320;
    format.height = 240;
    format.stride = 640;
    format.OnSizeChanged();
    EXPECT_EQ(format.GetPixelFormat().width, 320u);
    EXPECT_EQ(format.GetPixelFormat().bytesperline, 640u);
    EXPECT_EQ(clone->width, 640) << "a clone is independent";
    EXPECT_EQ(static_cast<const V4l2FrameFormat&>(*clone).GetPixelFormat().width, 640u);

    EXPECT_EQ(V4l2FrameFormat(native, {0, 30}).frameRate, 0.0) << "never infinite";
}
