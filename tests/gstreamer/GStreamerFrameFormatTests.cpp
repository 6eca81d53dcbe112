#include "GStreamerVideoCapture/GStreamerCapsExpansion.h"
#include "GStreamerVideoCapture/GStreamerFrameFormat.h"

#include <Norvex/Core/GStreamerInitializer.h>
#include <Norvex/Core/VideoCapture/VideoSubtype.h>

#include <gst/gst.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

using namespace Norvex::Core;
using namespace Norvex::Core::GStreamerVideoCapture;

namespace
{

class GStreamerFrameFormatTest : public testing::Test
{
protected:
    std::shared_ptr<GStreamerInitializer> gstreamer = std::make_shared<GStreamerInitializer>();

    static GStreamerFrameFormat Make(const char* caps)
    {
        return GStreamerFrameFormat(Own(gst_caps_from_string(caps)));
    }
};

TEST_F(GStreamerFrameFormatTest, NamesFollowTheOtherPlatformsTable)
{
    EXPECT_EQ(Make("video/x-raw, format=YUY2, width=640, height=480, framerate=30/1").GetName(),
              L"YUY2 640x480 (30fps)");
    EXPECT_EQ(Make("image/jpeg, width=1920, height=1080, framerate=30000/1001").GetName(),
              L"MJPG 1920x1080 (29.97fps)");
    EXPECT_EQ(Make("video/x-raw, format=NV12, width=640, height=480, framerate=15/2").GetName(),
              L"NV12 640x480 (7.5fps)");
    EXPECT_EQ(Make("video/x-raw, format=BGRx, width=2, height=2, framerate=30/1").GetName(),
              L"RGB32 2x2 (30fps)");
    EXPECT_EQ(Make("video/x-raw, format=BGRA, width=2, height=2, framerate=30/1").GetName(),
              L"ARGB32 2x2 (30fps)");
    EXPECT_EQ(Make("video/x-raw, format=BGR, width=2, height=2, framerate=30/1").GetName(),
              L"RGB24 2x2 (30fps)");
    EXPECT_EQ(Make("video/x-h264, width=2, height=2, framerate=30/1").GetName(), L"H264 2x2 (30fps)");
    // Layouts the table does not name are told apart by the camera's own strings.
    EXPECT_EQ(Make("video/x-raw, format=I420, width=640, height=480, framerate=30/1").GetName(),
              L"I420 640x480 (30fps)");
    EXPECT_EQ(Make("video/x-raw, format=GRAY8, width=640, height=480, framerate=30/1").GetName(),
              L"GRAY8 640x480 (30fps)");
    EXPECT_EQ(Make("video/x-bayer, format=rggb, width=2, height=2, framerate=30/1").GetName(),
              L"rggb 2x2 (30fps)");
    EXPECT_EQ(Make("video/x-vp8, width=2, height=2, framerate=30/1").GetName(), L"video/x-vp8 2x2 (30fps)");
}

TEST_F(GStreamerFrameFormatTest, FieldsComeFromTheCaps)
{
    const auto yuy2 = Make("video/x-raw, format=YUY2, width=640, height=480, framerate=30/1");
    EXPECT_EQ(yuy2.subtype, VideoCapture::MakeVideoSubtype(VideoCapture::MakeFourcc('Y', 'U', 'Y', '2')));
    EXPECT_EQ(yuy2.width, 640);
    EXPECT_EQ(yuy2.height, 480);
    EXPECT_EQ(yuy2.stride, 2560); // frames reach the consumer as top-down BGRA
    EXPECT_EQ(yuy2.frameRate, 30.0);
    EXPECT_EQ(Make("image/jpeg, width=640, height=480, framerate=30/1").subtype,
              (GUID{0x47504A4D, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}}));
    // A rate the device does not state is named like a format without a frame interval.
    EXPECT_EQ(Make("video/x-raw, format=YUY2, width=640, height=480, framerate=0/1").GetName(),
              L"YUY2 640x480 (1fps)");
    EXPECT_EQ(Make("video/x-raw, format=YUY2, width=640, height=480").frameRate, 1.0);
    // Two layouts missing from the table are still different subtypes, so neither hides the other.
    EXPECT_NE(Make("video/x-raw, format=GRAY16_LE, width=2, height=2").subtype,
              Make("video/x-raw, format=GRAY16_BE, width=2, height=2").subtype);
}

TEST_F(GStreamerFrameFormatTest, ChangesReachTheCapsAndClonesAreIndependent)
{
    auto format = Make("video/x-raw, format=YUY2, width=640, height=480, framerate=30/1");
    format.width = 320;
    format.height = 240;
    format.OnSizeChanged();
    EXPECT_EQ(format.stride, 1280);
    format.frameRate = 15;
    format.OnFrameRateChanged();
    const auto clone = format.Clone();
    EXPECT_EQ(clone->GetName(), L"YUY2 320x240 (15fps)");
    EXPECT_NE(static_cast<GStreamerFrameFormat&>(*clone).GetCaps(), format.GetCaps());

    // A field changed without telling the format is not in the clone: the caps are what counts.
    format.width = 100;
    EXPECT_EQ(format.Clone()->width, 320);
    clone->width = 160;
    clone->OnSizeChanged();
    EXPECT_EQ(format.Clone()->width, 320);
}

} // namespace

TEST_F(GStreamerFrameFormatTest, CapsExpandToEveryListedFormatInOrderAndSkipOtherMemory)
{
    // Two layouts, a width range, a list of rates; a rate range gives its two ends; structures in
    // DMA-BUF memory would never reach the appsink as plain bytes.
    const auto caps = Own(gst_caps_from_string(
        "video/x-raw, format={ YUY2, NV12 }, width=[ 320, 640 ], height=240, framerate={ 30/1, 15/1 }; "
        "video/x-raw(memory:DMABuf), format=NV12, width=1920, height=1080, framerate=30/1; "
        "image/jpeg, width=1280, height=720, framerate=[ 5/1, 30/1 ]"));
    ASSERT_TRUE(caps);
    std::vector<std::wstring> names;
    for (auto& combination : GStreamerCapsExpansion::Expand(caps.get()))
    {
        ASSERT_TRUE(gst_caps_is_fixed(combination.get()));
        names.push_back(GStreamerFrameFormat(std::move(combination)).GetName());
    }
    const std::vector<std::wstring> expected = {
        L"YUY2 320x240 (30fps)", L"YUY2 320x240 (15fps)",  L"YUY2 640x240 (30fps)", L"YUY2 640x240 (15fps)",
        L"NV12 320x240 (30fps)", L"NV12 320x240 (15fps)",  L"NV12 640x240 (30fps)", L"NV12 640x240 (15fps)",
        L"MJPG 1280x720 (5fps)", L"MJPG 1280x720 (30fps)",
    };
    EXPECT_EQ(names, expected);
}
