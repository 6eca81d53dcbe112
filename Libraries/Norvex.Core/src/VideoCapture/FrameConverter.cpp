#include "FrameConverter.h"

#include "JpegPlaneConverter.h"
#include "YcbcrConverter.h"

#include <Norvex/Core/Exception.h>
#include <Norvex/Core/VideoCapture/JpegPlaneLayout.h>

extern "C"
{
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}
#include <libyuv/convert_argb.h>
#include <libyuv/planar_functions.h>

#include <algorithm>
#include <cstring>

namespace Norvex::Core::VideoCapture
{
namespace
{

// The media type cannot be converted (the other platform's MF_E_INVALIDMEDIATYPE).
constexpr HRESULT invalidMediaTypeStatus = MakeStatus(0xC00D36B4u);

AVPixelFormat SwscaleFormat(PixelLayout layout) noexcept
{
    switch (layout)
    {
    case PixelLayout::Bgrx:
        return AV_PIX_FMT_BGR0;
    case PixelLayout::Rgb24:
        return AV_PIX_FMT_RGB24;
    case PixelLayout::Bgr24:
        return AV_PIX_FMT_BGR24;
    case PixelLayout::Rgb565:
        return AV_PIX_FMT_RGB565LE;
    case PixelLayout::Rgb555:
        return AV_PIX_FMT_RGB555LE;
    case PixelLayout::Yuyv:
        return AV_PIX_FMT_YUYV422;
    case PixelLayout::Yvyu:
        return AV_PIX_FMT_YVYU422;
    case PixelLayout::Uyvy:
        return AV_PIX_FMT_UYVY422;
    case PixelLayout::Nv12:
        return AV_PIX_FMT_NV12;
    case PixelLayout::Nv21:
        return AV_PIX_FMT_NV21;
    case PixelLayout::Nv16:
        return AV_PIX_FMT_NV16;
    case PixelLayout::I420:
    case PixelLayout::Yv12:
        return AV_PIX_FMT_YUV420P;
    case PixelLayout::I422:
        return AV_PIX_FMT_YUV422P;
    case PixelLayout::I444:
        return AV_PIX_FMT_YUV444P;
    case PixelLayout::Grey:
        return AV_PIX_FMT_GRAY8;
    case PixelLayout::Grey16:
        return AV_PIX_FMT_GRAY16LE;
    case PixelLayout::BayerBggr:
        return AV_PIX_FMT_BAYER_BGGR8;
    case PixelLayout::BayerGbrg:
        return AV_PIX_FMT_BAYER_GBRG8;
    case PixelLayout::BayerGrbg:
        return AV_PIX_FMT_BAYER_GRBG8;
    case PixelLayout::BayerRggb:
        return AV_PIX_FMT_BAYER_RGGB8;
    }
    return AV_PIX_FMT_NONE;
}

const YuvConstants* LibyuvConstants(const ColourEncoding& encoding) noexcept
{
    switch (encoding.matrix)
    {
    case ColourEncoding::Matrix::Bt709:
        return encoding.fullRange ? &libyuv::kYuvF709Constants : &libyuv::kYuvH709Constants;
    case ColourEncoding::Matrix::Bt2020:
        return encoding.fullRange ? &libyuv::kYuvV2020Constants : &libyuv::kYuv2020Constants;
    case ColourEncoding::Matrix::Smpte240m: // libyuv has none: LibyuvIsExact sends it to libswscale
    case ColourEncoding::Matrix::Bt601:
        break;
    }
    return encoding.fullRange ? &libyuv::kYuvJPEGConstants : &libyuv::kYuvI601Constants;
}

int SwscaleColourSpace(ColourEncoding::Matrix matrix) noexcept
{
    switch (matrix)
    {
    case ColourEncoding::Matrix::Bt709:
        return SWS_CS_ITU709;
    case ColourEncoding::Matrix::Bt2020:
        return SWS_CS_BT2020;
    case ColourEncoding::Matrix::Smpte240m:
        return SWS_CS_SMPTE240M;
    case ColourEncoding::Matrix::Bt601:
        break;
    }
    return SWS_CS_ITU601;
}

// Y'CbCr: the layouts with halved chroma, and 4:4:4.
bool IsYuv(PixelLayout layout) noexcept
{
    return YcbcrConverter::Handles(layout) || layout == PixelLayout::I444;
}

// libyuv multiplies Cb by at most 2.0 for blue (its SIMD code keeps the factor in a signed byte
// of 64ths). BT.709's and BT.2020's limited ranges need 2.112 and 2.142: saturated blues and
// yellows would be off by up to 12 levels. libswscale converts those exactly, and SMPTE 240M,
// for which libyuv has no matrix.
bool LibyuvIsExact(PixelLayout layout, const ColourEncoding& encoding) noexcept
{
    return !IsYuv(layout) || (encoding.matrix != ColourEncoding::Matrix::Smpte240m &&
                              (encoding.fullRange || encoding.matrix == ColourEncoding::Matrix::Bt601));
}

// The fourth byte of BGRX is no opacity: one pass copies and makes every pixel opaque (a plain
// loop the compiler vectorises).
void CopyOpaque(const std::uint8_t* source, int sourceStride, std::uint8_t* target, int targetStride,
                std::int32_t width, std::int32_t height) noexcept
{
    for (std::int32_t y = 0; y < height; ++y)
    {
        const std::uint8_t* from = source + static_cast<std::ptrdiff_t>(y) * sourceStride;
        std::uint8_t* to = target + static_cast<std::ptrdiff_t>(y) * targetStride;
        for (std::int32_t x = 0; x < width; ++x)
        {
            std::uint32_t pixel;
            std::memcpy(&pixel, from + 4 * x, 4);
            pixel |= 0xFF000000u; // the fourth byte in memory
            std::memcpy(to + 4 * x, &pixel, 4);
        }
    }
}

// libyuv turns RGB555's unused top bit into alpha; the picture is opaque all the same.
void MakeOpaque(std::uint8_t* target, int targetStride, std::int32_t width, std::int32_t height) noexcept
{
    for (std::int32_t y = 0; y < height; ++y)
    {
        std::uint8_t* row = target + static_cast<std::ptrdiff_t>(y) * targetStride;
        for (std::int32_t x = 0; x < width; ++x)
        {
            row[4 * x + 3] = 255;
        }
    }
}

// Whether libyuv has a conversion for this layout (else libswscale converts it).
bool IsLibyuvLayout(PixelLayout layout) noexcept
{
    switch (layout)
    {
    case PixelLayout::Grey16:
    case PixelLayout::BayerBggr:
    case PixelLayout::BayerGbrg:
    case PixelLayout::BayerGrbg:
    case PixelLayout::BayerRggb:
        return false;
    default:
        return true;
    }
}

} // namespace

void FrameConverter::ScalerDeleter::operator()(SwsContext* context) const noexcept
{
    sws_freeContext(context);
}

FrameConverter::FrameConverter(PixelLayout layout, std::int32_t width, std::int32_t height,
                               ColourEncoding encoding)
    : layout(layout), width(width), height(height), constants(LibyuvConstants(encoding))
{
    if (width <= 0 || height <= 0)
    {
        throw Exception(invalidMediaTypeStatus, "Prepare", NORVEX_SOURCE_FILE, __LINE__);
    }
    if (YcbcrConverter::Handles(layout))
    {
        ycbcr = std::make_unique<const YcbcrConverter>(layout, encoding);
        jpeg = std::make_unique<const JpegPlaneConverter>(layout, encoding);
        return;
    }
    if (IsLibyuvLayout(layout) && LibyuvIsExact(layout, encoding))
    {
        return;
    }
    scaler.reset(sws_getContext(width, height, SwscaleFormat(layout), width, height, AV_PIX_FMT_BGRA,
                                SWS_BILINEAR, nullptr, nullptr, nullptr));
    if (!scaler)
    {
        throw Exception(invalidMediaTypeStatus, "Prepare", NORVEX_SOURCE_FILE, __LINE__);
    }
    if (IsYuv(layout))
    {
        const int* coefficients = sws_getCoefficients(SwscaleColourSpace(encoding.matrix));
        sws_setColorspaceDetails(scaler.get(), coefficients, encoding.fullRange ? 1 : 0, coefficients, 1, 0,
                                 1 << 16, 1 << 16);
    }
}

FrameConverter::~FrameConverter() = default;

int FrameConverter::GetLineLength(PixelLayout layout, std::int32_t width) noexcept
{
    switch (layout)
    {
    case PixelLayout::Bgrx:
        return width * 4;
    case PixelLayout::Rgb24:
    case PixelLayout::Bgr24:
        return width * 3;
    case PixelLayout::Rgb565:
    case PixelLayout::Rgb555:
    case PixelLayout::Grey16:
        return width * 2;
    case PixelLayout::Yuyv:
    case PixelLayout::Yvyu:
    case PixelLayout::Uyvy:
        return (width + 1) / 2 * 4;
    default:
        return width; // planar Y'CbCr, grey and Bayer: one byte a pixel in the first plane
    }
}

ContiguousGeometry FrameConverter::GetContiguousGeometry(PixelLayout layout, std::int32_t width,
                                                         std::int32_t height, int firstStride) noexcept
{
    ContiguousGeometry geometry;
    const int tight = GetLineLength(layout, width);
    const int first = std::max(firstStride, tight);
    const auto rows = static_cast<std::size_t>(height);
    const auto halfRows = static_cast<std::size_t>((height + 1) / 2);
    geometry.stride[0] = first;
    std::size_t planeRows[3] = {rows, 0, 0};
    switch (layout)
    {
    case PixelLayout::Nv12:
    case PixelLayout::Nv21:
        geometry.stride[1] = first;
        planeRows[1] = halfRows;
        break;
    case PixelLayout::Nv16:
        geometry.stride[1] = first;
        planeRows[1] = rows;
        break;
    case PixelLayout::I420:
    case PixelLayout::Yv12:
        geometry.stride[1] = geometry.stride[2] = (first + 1) / 2;
        planeRows[1] = planeRows[2] = halfRows;
        break;
    case PixelLayout::I422:
        geometry.stride[1] = geometry.stride[2] = (first + 1) / 2;
        planeRows[1] = planeRows[2] = rows;
        break;
    case PixelLayout::I444:
        geometry.stride[1] = geometry.stride[2] = first;
        planeRows[1] = planeRows[2] = rows;
        break;
    default:
        break;
    }
    std::size_t offset = 0;
    for (int plane = 0; plane < 3; ++plane)
    {
        geometry.offset[plane] = offset;
        offset += static_cast<std::size_t>(geometry.stride[plane]) * planeRows[plane];
    }
    // The last line of the last plane need not be padded.
    const int lastPlane = planeRows[2] ? 2 : planeRows[1] ? 1 : 0;
    const std::size_t lastTight =
        lastPlane == 0 ? static_cast<std::size_t>(tight)
        : layout == PixelLayout::Nv12 || layout == PixelLayout::Nv21 || layout == PixelLayout::Nv16
            ? static_cast<std::size_t>((width + 1) / 2 * 2)
        : layout == PixelLayout::I444 ? static_cast<std::size_t>(width)
                                      : static_cast<std::size_t>((width + 1) / 2);
    geometry.size = offset - static_cast<std::size_t>(geometry.stride[lastPlane]) + lastTight;
    // Yv12 keeps V first in memory: the caller's plane 1 is always U.
    if (layout == PixelLayout::Yv12)
    {
        std::swap(geometry.offset[1], geometry.offset[2]);
    }
    return geometry;
}

namespace
{

JpegPlaneConverter::Target JpegTarget(std::int32_t width, std::int32_t height, std::uint8_t* jpegPlanes,
                                      std::int32_t fromRow) noexcept
{
    const JpegPlaneLayout layout(width, height);
    JpegPlaneConverter::Target target;
    layout.Planes(jpegPlanes, target.data);
    layout.Strides(target.stride);
    for (int plane = 0; plane < 3; ++plane)
    {
        target.data[plane] +=
            static_cast<std::ptrdiff_t>(plane == 0 ? fromRow : fromRow / 2) * target.stride[plane];
    }
    return target;
}

} // namespace

void FrameConverter::ConvertToJpegPlanes(const SourcePlanes& source, std::uint8_t* jpegPlanes) const
{
    jpeg->Convert(source, width, height, JpegTarget(width, height, jpegPlanes, 0));
}

void FrameConverter::Convert(const SourcePlanes& source, std::uint8_t* target, int targetStride,
                             std::uint8_t* jpegPlanes) const
{
    if (!jpegPlanes || !jpeg)
    {
        Convert(source, target, targetStride);
        return;
    }
    // A band of 1080p YUYV is 60 KB: still in the first- or second-level cache for its second pass.
    constexpr std::int32_t bandRows = 16;
    const bool halfHeightChroma = YcbcrConverter::HalfHeightChroma(layout);
    for (std::int32_t row = 0; row < height; row += bandRows)
    {
        const std::int32_t rows = std::min(bandRows, height - row);
        SourcePlanes band = source;
        for (int plane = 0; plane < 3; ++plane)
        {
            const std::int32_t planeRow = plane > 0 && halfHeightChroma ? row / 2 : row;
            if (band.data[plane])
            {
                band.data[plane] += static_cast<std::ptrdiff_t>(planeRow) * band.stride[plane];
            }
        }
        ycbcr->Convert(band, width, rows, target + static_cast<std::ptrdiff_t>(row) * targetStride,
                       targetStride);
        jpeg->Convert(band, width, rows, JpegTarget(width, height, jpegPlanes, row));
    }
}

void FrameConverter::Convert(const SourcePlanes& source, std::uint8_t* target, int targetStride) const
{
    if (ycbcr)
    {
        ycbcr->Convert(source, width, height, target, targetStride);
    }
    else if (scaler)
    {
        ConvertWithSwscale(source, target, targetStride);
    }
    else
    {
        ConvertWithLibyuv(source, target, targetStride);
    }
}

void FrameConverter::ConvertWithLibyuv(const SourcePlanes& source, std::uint8_t* target,
                                       int targetStride) const
{
    const auto* const* planes = source.data;
    const int* strides = source.stride;
    int status = 0;
    switch (layout)
    {
    case PixelLayout::Bgrx:
        CopyOpaque(planes[0], strides[0], target, targetStride, width, height);
        break;
    case PixelLayout::Rgb24:
        status = libyuv::RAWToARGB(planes[0], strides[0], target, targetStride, width, height);
        break;
    case PixelLayout::Bgr24:
        status = libyuv::RGB24ToARGB(planes[0], strides[0], target, targetStride, width, height);
        break;
    case PixelLayout::Rgb565:
        status = libyuv::RGB565ToARGB(planes[0], strides[0], target, targetStride, width, height);
        break;
    case PixelLayout::Rgb555:
        status = libyuv::ARGB1555ToARGB(planes[0], strides[0], target, targetStride, width, height);
        MakeOpaque(target, targetStride, width, height);
        break;
    case PixelLayout::I444:
        status = libyuv::I444ToARGBMatrix(planes[0], strides[0], planes[1], strides[1], planes[2], strides[2],
                                          target, targetStride, constants, width, height);
        break;
    case PixelLayout::Grey:
        status = libyuv::J400ToARGB(planes[0], strides[0], target, targetStride, width, height);
        break;
    default:
        status = -1; // the constructor sends every other layout to YcbcrConverter or libswscale
        break;
    }
    if (status != 0)
    {
        throw Exception(E_FAIL, "OnRawSample", NORVEX_SOURCE_FILE, __LINE__);
    }
}

void FrameConverter::ConvertWithSwscale(const SourcePlanes& source, std::uint8_t* target,
                                        int targetStride) const
{
    std::lock_guard lock(scalerMutex);
    const std::uint8_t* planes[4] = {source.data[0], source.data[1], source.data[2], nullptr};
    const int strides[4] = {source.stride[0], source.stride[1], source.stride[2], 0};
    std::uint8_t* destination[4] = {target, nullptr, nullptr, nullptr};
    const int destinationStrides[4] = {targetStride, 0, 0, 0};
    if (sws_scale(scaler.get(), planes, strides, 0, height, destination, destinationStrides) != height)
    {
        throw Exception(E_FAIL, "OnRawSample", NORVEX_SOURCE_FILE, __LINE__);
    }
}

} // namespace Norvex::Core::VideoCapture
