#include "V4l2VideoCapture/V4l2FrameConverter.h"

#include <Norvex/Core/Exception.h>

#include <libyuv/planar_functions.h>
#include <linux/videodev2.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iterator>

namespace Norvex::Core::V4l2VideoCapture
{
namespace
{

using VideoCapture::ColourEncoding;
using VideoCapture::PixelLayout;

struct RawLayout
{
    std::uint32_t pixelFormat;
    PixelLayout layout;
    std::size_t memoryPlanes = 1; // each picture plane in a memory plane of its own when more
};

constexpr RawLayout rawLayouts[] = {
    {V4L2_PIX_FMT_BGR32, PixelLayout::Bgrx},
    {V4L2_PIX_FMT_XBGR32, PixelLayout::Bgrx},
    {V4L2_PIX_FMT_ABGR32, PixelLayout::Bgrx},
    {V4L2_PIX_FMT_YUYV, PixelLayout::Yuyv},
    {V4L2_PIX_FMT_YVYU, PixelLayout::Yvyu},
    {V4L2_PIX_FMT_UYVY, PixelLayout::Uyvy},
    {V4L2_PIX_FMT_NV12, PixelLayout::Nv12},
    {V4L2_PIX_FMT_NV21, PixelLayout::Nv21},
    {V4L2_PIX_FMT_NV16, PixelLayout::Nv16},
    {V4L2_PIX_FMT_YUV420, PixelLayout::I420},
    {V4L2_PIX_FMT_YVU420, PixelLayout::Yv12},
    {V4L2_PIX_FMT_YUV422P, PixelLayout::I422},
    {V4L2_PIX_FMT_GREY, PixelLayout::Grey},
    {V4L2_PIX_FMT_Y16, PixelLayout::Grey16},
    {V4L2_PIX_FMT_RGB24, PixelLayout::Rgb24},
    {V4L2_PIX_FMT_BGR24, PixelLayout::Bgr24},
    {V4L2_PIX_FMT_RGB565, PixelLayout::Rgb565},
    {V4L2_PIX_FMT_RGB555, PixelLayout::Rgb555},
    {V4L2_PIX_FMT_SBGGR8, PixelLayout::BayerBggr},
    {V4L2_PIX_FMT_SGBRG8, PixelLayout::BayerGbrg},
    {V4L2_PIX_FMT_SGRBG8, PixelLayout::BayerGrbg},
    {V4L2_PIX_FMT_SRGGB8, PixelLayout::BayerRggb},
    // Multi-planar devices' layouts with a memory plane per picture plane.
    {V4L2_PIX_FMT_NV12M, PixelLayout::Nv12, 2},
    {V4L2_PIX_FMT_NV21M, PixelLayout::Nv21, 2},
    {V4L2_PIX_FMT_NV16M, PixelLayout::Nv16, 2},
    {V4L2_PIX_FMT_YUV420M, PixelLayout::I420, 3},
    {V4L2_PIX_FMT_YVU420M, PixelLayout::Yv12, 3},
    {V4L2_PIX_FMT_YUV422M, PixelLayout::I422, 3},
    {V4L2_PIX_FMT_YUV444M, PixelLayout::I444, 3},
};

const RawLayout* FindRawLayout(std::uint32_t pixelFormat) noexcept
{
    const auto found = std::find_if(std::begin(rawLayouts), std::end(rawLayouts),
                                    [&](const RawLayout& entry) { return entry.pixelFormat == pixelFormat; });
    return found == std::end(rawLayouts) ? nullptr : found;
}

// The colour encoding the driver states, its defaults filled in as V4L2 defines them (a UVC
// camera states sRGB: BT.601, limited range).
ColourEncoding EncodingOf(const v4l2_pix_format& format) noexcept
{
    ColourEncoding encoding;
    const auto colorspace = static_cast<v4l2_colorspace>(format.colorspace);
    std::uint32_t matrix = format.ycbcr_enc;
    if (matrix == V4L2_YCBCR_ENC_DEFAULT)
    {
        matrix = V4L2_MAP_YCBCR_ENC_DEFAULT(colorspace);
    }
    switch (matrix)
    {
    case V4L2_YCBCR_ENC_709:
    case V4L2_YCBCR_ENC_XV709:
        encoding.matrix = ColourEncoding::Matrix::Bt709;
        break;
    case V4L2_YCBCR_ENC_SMPTE240M:
        encoding.matrix = ColourEncoding::Matrix::Smpte240m;
        break;
    case V4L2_YCBCR_ENC_BT2020:
    case V4L2_YCBCR_ENC_BT2020_CONST_LUM:
        encoding.matrix = ColourEncoding::Matrix::Bt2020;
        break;
    default:
        encoding.matrix = ColourEncoding::Matrix::Bt601;
        break;
    }
    std::uint32_t quantization = format.quantization;
    if (quantization == V4L2_QUANTIZATION_DEFAULT)
    {
        quantization =
            V4L2_MAP_QUANTIZATION_DEFAULT(false, colorspace, static_cast<v4l2_ycbcr_encoding>(matrix));
    }
    encoding.fullRange = quantization == V4L2_QUANTIZATION_FULL_RANGE;
    return encoding;
}

// Whether a layout carries R'G'B' samples (Bayer photosites among them), whose range V4L2 states
// apart from Y'CbCr's.
bool IsRgb(PixelLayout layout) noexcept
{
    switch (layout)
    {
    case PixelLayout::Bgrx:
    case PixelLayout::Rgb24:
    case PixelLayout::Bgr24:
    case PixelLayout::Rgb565:
    case PixelLayout::Rgb555:
    case PixelLayout::BayerBggr:
    case PixelLayout::BayerGbrg:
    case PixelLayout::BayerGrbg:
    case PixelLayout::BayerRggb:
        return true;
    default:
        return false;
    }
}

// Whether the driver states R'G'B' in 16-235 (an HDMI receiver passing a CE signal's levels on).
// Unstated, R'G'B' is full range.
bool IsLimitedRgb(PixelLayout layout, const v4l2_pix_format& format) noexcept
{
    const std::uint32_t quantization = format.quantization != V4L2_QUANTIZATION_DEFAULT
                                           ? format.quantization
                                           : static_cast<std::uint32_t>(V4L2_MAP_QUANTIZATION_DEFAULT(
                                                 true, format.colorspace, format.ycbcr_enc));
    return IsRgb(layout) && quantization == V4L2_QUANTIZATION_LIM_RANGE;
}

// The rows and the tight line length in bytes of one plane of a planar or semi-planar Y'CbCr
// layout (plane 0: luma; 1 and 2: chroma, U before V).
std::pair<std::size_t, std::size_t> PlaneExtent(PixelLayout layout, std::size_t plane, std::int32_t width,
                                                std::int32_t height) noexcept
{
    const auto rows = static_cast<std::size_t>(height);
    const auto halfRows = static_cast<std::size_t>((height + 1) / 2);
    const auto columns = static_cast<std::size_t>(width);
    const auto halfColumns = static_cast<std::size_t>((width + 1) / 2);
    if (plane == 0)
    {
        return {rows, columns};
    }
    switch (layout)
    {
    case PixelLayout::Nv12:
    case PixelLayout::Nv21:
        return {halfRows, halfColumns * 2};
    case PixelLayout::Nv16:
        return {rows, halfColumns * 2};
    case PixelLayout::I420:
    case PixelLayout::Yv12:
        return {halfRows, halfColumns};
    case PixelLayout::I422:
        return {rows, halfColumns};
    default:
        return {rows, columns};
    }
}

} // namespace

V4l2FrameConverter::V4l2FrameConverter(const V4l2FrameFormat& format)
    : width(format.width), height(format.height)
{
    if (width <= 0 || height <= 0)
    {
        throw Exception(invalidMediaTypeStatus, "Prepare", NORVEX_SOURCE_FILE, __LINE__);
    }
    const std::uint32_t pixelFormat = format.GetPixelFormat().pixelformat;
    switch (pixelFormat)
    {
    case V4L2_PIX_FMT_MJPEG:
    case V4L2_PIX_FMT_JPEG:
        OpenJpeg();
        return;
    case V4L2_PIX_FMT_H264:
    case V4L2_PIX_FMT_HEVC:
        OpenDecoder(pixelFormat == V4L2_PIX_FMT_H264);
        return;
    default:
        break;
    }
    const RawLayout* raw = FindRawLayout(pixelFormat);
    if (!raw)
    {
        throw Exception(invalidMediaTypeStatus, "Prepare", NORVEX_SOURCE_FILE, __LINE__);
    }
    // The fourth byte of BGRX layouts is padding or a camera's alpha: "copied", with alpha set.
    path = raw->layout == PixelLayout::Bgrx ? Path::Copy : Path::Convert;
    layout = raw->layout;
    memoryPlanes = raw->memoryPlanes;
    converter = std::make_unique<VideoCapture::FrameConverter>(layout, width, height);
    geometry = VideoCapture::FrameConverter::GetContiguousGeometry(layout, width, height, 0);
}

V4l2FrameConverter::~V4l2FrameConverter() = default;

bool V4l2FrameConverter::CanConvert(std::uint32_t pixelFormat) noexcept
{
    switch (pixelFormat)
    {
    case V4L2_PIX_FMT_MJPEG:
    case V4L2_PIX_FMT_JPEG:
        return true;
    case V4L2_PIX_FMT_H264:
    case V4L2_PIX_FMT_HEVC:
    {
        const auto* codecs = FfmpegLibraries::FindCodecs();
        return codecs &&
               codecs->avcodec_find_decoder(pixelFormat == V4L2_PIX_FMT_H264 ? AV_CODEC_ID_H264
                                                                             : AV_CODEC_ID_HEVC) != nullptr;
    }
    default:
        return FindRawLayout(pixelFormat) != nullptr;
    }
}

std::uint32_t V4l2FrameConverter::GetLineLength(std::uint32_t pixelFormat, std::int32_t width) noexcept
{
    const RawLayout* raw = FindRawLayout(pixelFormat);
    return raw ? static_cast<std::uint32_t>(VideoCapture::FrameConverter::GetLineLength(raw->layout, width))
               : 0;
}

void V4l2FrameConverter::SetLayout(const v4l2_format& settled, std::size_t bufferSize)
{
    const v4l2_pix_format described = V4l2FrameFormat::Describe(settled);
    switch (path)
    {
    case Path::Copy:
    case Path::Convert:
    {
        // V4L2 gives the first plane's line length; in one memory plane the other planes keep
        // their proportion to it.
        const int firstStride = static_cast<int>(std::min<std::uint32_t>(described.bytesperline, 0x7FFFFFFF));
        geometry = VideoCapture::FrameConverter::GetContiguousGeometry(layout, width, height, firstStride);
        if (memoryPlanes > 1)
        {
            // A memory plane per picture plane, each with the line length the driver states;
            // the offsets within the buffer become offsets within each plane: 0.
            if (settled.type != V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE ||
                settled.fmt.pix_mp.num_planes != memoryPlanes)
            {
                throw Exception(invalidMediaTypeStatus, "Start", NORVEX_SOURCE_FILE, __LINE__);
            }
            for (std::size_t plane = 0; plane < memoryPlanes; ++plane)
            {
                const auto [rows, tightLine] = PlaneExtent(layout, plane, width, height);
                const int stated = static_cast<int>(
                    std::min<std::uint32_t>(settled.fmt.pix_mp.plane_fmt[plane].bytesperline, 0x7FFFFFFF));
                geometry.offset[plane] = 0;
                geometry.stride[plane] = std::max(stated, static_cast<int>(tightLine));
                // The last line need not be padded.
                leastPlaneSize[plane] =
                    (rows - 1) * static_cast<std::size_t>(geometry.stride[plane]) + tightLine;
            }
        }
        // Made again for the colour encoding the driver states (most say sRGB: BT.601, limited).
        converter =
            std::make_unique<VideoCapture::FrameConverter>(layout, width, height, EncodingOf(described));
        expandsRange = IsLimitedRgb(layout, described);
        if (expandsRange)
        {
            // 16-235 stretched to 0-255, beyond clipped; alpha kept.
            for (int level = 0; level < 256; ++level)
            {
                const int expanded = std::clamp(((level - 16) * 255 * 2 + 219) / (219 * 2), 0, 255);
                for (int channel = 0; channel < 3; ++channel)
                {
                    rangeTable[static_cast<std::size_t>(level) * 4 + static_cast<std::size_t>(channel)] =
                        static_cast<std::uint8_t>(expanded);
                }
                rangeTable[static_cast<std::size_t>(level) * 4 + 3] = static_cast<std::uint8_t>(level);
            }
        }
        return;
    }
    case Path::Decode:
        if (packetBuffer.size() < bufferSize + AV_INPUT_BUFFER_PADDING_SIZE)
        {
            packetBuffer.resize(bufferSize + AV_INPUT_BUFFER_PADDING_SIZE);
        }
        return;
    case Path::Jpeg:
        return;
    }
}

bool V4l2FrameConverter::Load(const V4l2BufferSet::Planes& planes)
{
    loaded = planes;
    const unsigned char* data = planes.count ? planes.data[0] : nullptr;
    const std::size_t size = planes.count ? planes.size[0] : 0;
    loadedData = data;
    loadedSize = size;
    switch (path)
    {
    case Path::Copy:
    case Path::Convert:
    {
        bool whole = planes.count >= memoryPlanes;
        for (std::size_t plane = 0; whole && plane < memoryPlanes; ++plane)
        {
            whole = planes.size[plane] >= (memoryPlanes > 1 ? leastPlaneSize[plane] : geometry.size);
        }
        if (!whole)
        {
            throw Exception(HRESULT_FROM_WIN32(ENODATA), path == Path::Copy ? "OnSample" : "OnRawSample",
                            NORVEX_SOURCE_FILE, __LINE__);
        }
        return true;
    }
    case Path::Jpeg:
        return LoadJpeg(data, size);
    case Path::Decode:
        return LoadEncoded(data, size);
    }
    return false;
}

void V4l2FrameConverter::WriteTo(Image<Pixel<unsigned char>>& target, std::uint8_t* jpegPlanes)
{
    if (target.width != width || target.height != height || !target.data)
    {
        ThrowUnexpected("OnFrame", NORVEX_SOURCE_FILE, __LINE__);
    }
    source = {};
    switch (path)
    {
    case Path::Copy:
    case Path::Convert:
        WriteConverted(target, jpegPlanes);
        return;
    case Path::Decode:
        WriteDecoded(target);
        return;
    case Path::Jpeg:
        WriteJpeg(target);
        return;
    }
}

void V4l2FrameConverter::WriteConverted(Image<Pixel<unsigned char>>& target, std::uint8_t* jpegPlanes)
{
    VideoCapture::SourcePlanes planes;
    for (int plane = 0; plane < 3; ++plane)
    {
        // One memory plane holds every picture plane, or each has its own (YVU420M: V first).
        const unsigned char* base = loaded.data[0];
        if (memoryPlanes > 1 && plane > 0)
        {
            base =
                loaded
                    .data[layout == VideoCapture::PixelLayout::Yv12 && memoryPlanes > 2 ? 3 - plane : plane];
        }
        planes.data[plane] = geometry.stride[plane] ? base + geometry.offset[plane] : nullptr;
        planes.stride[plane] = geometry.stride[plane];
    }
    converter->Convert(planes, reinterpret_cast<std::uint8_t*>(target.data), target.stride, jpegPlanes);
    if (expandsRange)
    {
        libyuv::ARGBColorTable(reinterpret_cast<std::uint8_t*>(target.data), target.stride, rangeTable.data(),
                               0, 0, width, height);
    }
    source = {converter.get(), planes};
}

} // namespace Norvex::Core::V4l2VideoCapture
