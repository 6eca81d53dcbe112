#include "V4l2VideoCapture/V4l2Subtype.h"
#include <Norvex/Core/VideoCapture/VideoSubtype.h>

#include <linux/videodev2.h>

namespace Norvex::Core::V4l2VideoCapture
{
namespace
{

using VideoCapture::MakeVideoSubtype;
using VideoCapture::NamedSubtype;
constexpr auto Fourcc = VideoCapture::MakeFourccSubtype;

// Searched in order. The first 56 rows are the other platform's table; the rows after them are
// layouts that Linux cameras deliver and that table lacks (grey, Bayer).
constexpr NamedSubtype subtypeRows[] = {
    {MakeVideoSubtype(0), L"Base"},
    {MakeVideoSubtype(22), L"RGB32"},
    {MakeVideoSubtype(21), L"ARGB32"},
    {MakeVideoSubtype(20), L"RGB24"},
    {MakeVideoSubtype(24), L"RGB555"},
    {MakeVideoSubtype(23), L"RGB565"},
    {MakeVideoSubtype(41), L"RGB8"},
    {Fourcc("AI44"), L"AI44"},
    {Fourcc("AYUV"), L"AYUV"},
    {Fourcc("YUY2"), L"YUY2"},
    {Fourcc("YVYU"), L"YVYU"},
    {Fourcc("YVU9"), L"YVU9"},
    {Fourcc("UYVY"), L"UYVY"},
    {Fourcc("NV11"), L"NV11"},
    {Fourcc("NV12"), L"NV12"},
    {Fourcc("YV12"), L"YV12"},
    {Fourcc("I420"), L"I420"},
    {Fourcc("IYUV"), L"IYUV"},
    {Fourcc("Y210"), L"Y210"},
    {Fourcc("Y216"), L"Y216"},
    {Fourcc("Y410"), L"Y410"},
    {Fourcc("Y416"), L"Y416"},
    {Fourcc("Y41P"), L"Y41P"},
    {Fourcc("Y41T"), L"Y41T"},
    {Fourcc("Y42T"), L"Y42T"},
    {Fourcc("P210"), L"P210"},
    {Fourcc("P216"), L"P216"},
    {Fourcc("P010"), L"P010"},
    {Fourcc("P016"), L"P016"},
    {Fourcc("v210"), L"v210"},
    {Fourcc("v216"), L"v216"},
    {Fourcc("v410"), L"v410"},
    {Fourcc("MP43"), L"MP43"},
    {Fourcc("MP4S"), L"MP4S"},
    {Fourcc("M4S2"), L"M4S2"},
    {Fourcc("MP4V"), L"MP4V"},
    {Fourcc("WMV1"), L"WMV1"},
    {Fourcc("WMV2"), L"WMV2"},
    {Fourcc("WMV3"), L"WMV3"},
    {Fourcc("WVC1"), L"WVC1"},
    {Fourcc("MSS1"), L"MSS1"},
    {Fourcc("MSS2"), L"MSS2"},
    {Fourcc("MPG1"), L"MPG1"},
    {Fourcc("dvsl"), L"DVSL"},
    {Fourcc("dvsd"), L"DVSD"},
    {Fourcc("dvhd"), L"DVHD"},
    {Fourcc("dv25"), L"DV25"},
    {Fourcc("dv50"), L"DV50"},
    {Fourcc("dvh1"), L"DVH1"},
    {Fourcc("dvc "), L"DVC"},
    {Fourcc("H264"), L"H264"},
    {Fourcc("MJPG"), L"MJPG"},
    {Fourcc("420O"), L"420O"},
    {Fourcc("HEVC"), L"HEVC"},
    {Fourcc("HEVS"), L"HEVC_ES"},
    {Fourcc("H263"), L"H263"},
    // Added for Linux cameras.
    {Fourcc("GREY"), L"GREY"},
    {Fourcc("BA81"), L"BA81"},
    {Fourcc("GBRG"), L"GBRG"},
    {Fourcc("GRBG"), L"GRBG"},
    {Fourcc("RGGB"), L"RGGB"},
};

struct PixelFormatRow
{
    std::uint32_t pixelFormat;
    GUID subtype;
};

// V4L2 formats whose layout has a row under another code.
constexpr PixelFormatRow pixelFormatRows[] = {
    {V4L2_PIX_FMT_YUYV, Fourcc("YUY2")},
    {V4L2_PIX_FMT_YUV420, Fourcc("I420")},
    {V4L2_PIX_FMT_BGR32, MakeVideoSubtype(22)},  // B, G, R, X in memory
    {V4L2_PIX_FMT_XBGR32, MakeVideoSubtype(22)}, // B, G, R, X
    {V4L2_PIX_FMT_ABGR32, MakeVideoSubtype(21)}, // B, G, R, A
    {V4L2_PIX_FMT_BGR24, MakeVideoSubtype(20)},  // B, G, R
    {V4L2_PIX_FMT_RGB555, MakeVideoSubtype(24)},
    {V4L2_PIX_FMT_RGB565, MakeVideoSubtype(23)},
    {V4L2_PIX_FMT_JPEG, Fourcc("MJPG")},
    {V4L2_PIX_FMT_DV, Fourcc("dvsd")},
    // The same pictures with a memory plane per picture plane (multi-planar devices).
    {V4L2_PIX_FMT_NV12M, Fourcc("NV12")},
    {V4L2_PIX_FMT_YUV420M, Fourcc("I420")},
    {V4L2_PIX_FMT_YVU420M, Fourcc("YV12")},
    {V4L2_PIX_FMT_NV21M, MakeVideoSubtype(V4L2_PIX_FMT_NV21)},
    {V4L2_PIX_FMT_NV16M, MakeVideoSubtype(V4L2_PIX_FMT_NV16)},
    {V4L2_PIX_FMT_YUV422M, MakeVideoSubtype(V4L2_PIX_FMT_YUV422P)},
};

// V4L2 codes that equal a row's code but not its layout.
constexpr std::uint32_t foreignLayouts[] = {
    V4L2_PIX_FMT_AYUV32, // A, Y, U, V against the row's V, U, Y, A
};

} // namespace

std::optional<GUID> V4l2Subtype::FromPixelFormat(std::uint32_t pixelFormat) noexcept
{
    for (const auto& row : pixelFormatRows)
    {
        if (row.pixelFormat == pixelFormat)
        {
            return row.subtype;
        }
    }
    for (const auto code : foreignLayouts)
    {
        if (code == pixelFormat)
        {
            return std::nullopt;
        }
    }
    return MakeVideoSubtype(pixelFormat);
}

const wchar_t* V4l2Subtype::GetName(const GUID& subtype) noexcept
{
    return VideoCapture::FindSubtypeName(subtypeRows, subtype);
}

} // namespace Norvex::Core::V4l2VideoCapture
