#include "V4l2VideoCapture/V4l2FrameFormat.h"

#include "V4l2VideoCapture/V4l2Subtype.h"

#include <Norvex/Core/Exception.h>

#include <Norvex/Core/VideoCapture/VideoSubtype.h>

#include <algorithm>
#include <cwchar>

namespace Norvex::Core::V4l2VideoCapture
{

V4l2FrameFormat::V4l2FrameFormat(const v4l2_pix_format& pixelFormat, const v4l2_fract& frameInterval)
    : pixelFormat(pixelFormat), frameInterval(frameInterval)
{
    const auto known = V4l2Subtype::FromPixelFormat(pixelFormat.pixelformat);
    if (!known)
    {
        ThrowUnexpected("V4l2FrameFormat", NORVEX_SOURCE_FILE, __LINE__);
    }
    subtype = *known;
    // The code in Data1 (NV21 for NV21M too), trailing blanks dropped.
    for (int shift = 0; shift < 32; shift += 8)
    {
        codeName.push_back(static_cast<wchar_t>((subtype.Data1 >> shift) & 0xFF));
    }
    codeName.erase(codeName.find_last_not_of(L' ') + 1);
    width = static_cast<std::int32_t>(pixelFormat.width);
    height = static_cast<std::int32_t>(pixelFormat.height);
    stride = static_cast<std::int32_t>(pixelFormat.bytesperline);
    SetFrameInterval(frameInterval);
}

void V4l2FrameFormat::SetFrameInterval(const v4l2_fract& interval) noexcept
{
    frameInterval = interval;
    // Seconds per frame, turned over. The enumeration leaves out zero intervals; a zero here
    // (from a caller's own description) gives rate 0, never an infinity or NaN.
    frameRate = IsValid(interval) ? static_cast<double>(interval.denominator) / interval.numerator : 0.0;
}

std::shared_ptr<VideoCapture::FrameFormat> V4l2FrameFormat::Clone() const
{
    return std::make_shared<V4l2FrameFormat>(pixelFormat, frameInterval);
}

const wchar_t* V4l2FrameFormat::GetSubtypeName() const
{
    const wchar_t* name = V4l2Subtype::GetName(subtype);
    // "Unknown" for every layout the table lacks would leave them indistinguishable in a list.
    return std::wcscmp(name, VideoCapture::unknownSubtypeName) == 0 ? codeName.c_str() : name;
}

void V4l2FrameFormat::OnSizeChanged()
{
    pixelFormat.width = static_cast<std::uint32_t>(width > 0 ? width : 0);
    pixelFormat.height = static_cast<std::uint32_t>(height > 0 ? height : 0);
    // A bottom-up stride does not exist on V4L2; 0 lets the driver choose.
    pixelFormat.bytesperline = static_cast<std::uint32_t>(stride > 0 ? stride : 0);
}

void V4l2FrameFormat::OnFrameRateChanged()
{
    const v4l2_fract rate = ToRatio(frameRate);
    // The interval is the rate turned over; a rate of 0 leaves the driver's choice.
    frameInterval = rate.numerator != 0 ? v4l2_fract{rate.denominator, rate.numerator} : v4l2_fract{0, 0};
}

v4l2_format V4l2FrameFormat::ToNative(std::uint32_t bufferType) const noexcept
{
    v4l2_format native{};
    native.type = bufferType;
    if (bufferType == V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE)
    {
        native.fmt.pix_mp.width = pixelFormat.width;
        native.fmt.pix_mp.height = pixelFormat.height;
        native.fmt.pix_mp.pixelformat = pixelFormat.pixelformat;
        native.fmt.pix_mp.field = V4L2_FIELD_NONE;
        return native;
    }
    native.fmt.pix = pixelFormat;
    native.fmt.pix.field = V4L2_FIELD_NONE;
    return native;
}

v4l2_pix_format V4l2FrameFormat::Describe(const v4l2_format& native) noexcept
{
    if (native.type != V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE)
    {
        return native.fmt.pix;
    }
    const auto& planar = native.fmt.pix_mp;
    v4l2_pix_format described{};
    described.width = planar.width;
    described.height = planar.height;
    described.pixelformat = planar.pixelformat;
    described.field = planar.field;
    described.colorspace = planar.colorspace;
    described.ycbcr_enc = planar.ycbcr_enc;
    described.quantization = planar.quantization;
    described.xfer_func = planar.xfer_func;
    described.bytesperline = planar.plane_fmt[0].bytesperline;
    for (std::uint32_t plane = 0; plane < std::min<std::uint32_t>(planar.num_planes, VIDEO_MAX_PLANES);
         ++plane)
    {
        described.sizeimage += planar.plane_fmt[plane].sizeimage;
    }
    return described;
}

v4l2_fract V4l2FrameFormat::ToRatio(double rate) noexcept
{
    constexpr double tolerance = 1.0 / (1 << 23);
    if (!(rate > 0.0) || rate >= 4294967296.0)
    {
        return {0, 1};
    }
    std::uint32_t denominator = 1;
    auto numerator = static_cast<std::uint32_t>(static_cast<std::uint64_t>(rate));
    // Power-of-two denominators up to 2^31 (the loop ends there at the latest).
    while (rate - static_cast<double>(numerator) / denominator > tolerance && denominator < (1u << 31))
    {
        denominator *= 2;
        numerator = static_cast<std::uint32_t>(static_cast<std::uint64_t>(rate * denominator));
    }
    return {numerator, denominator};
}

} // namespace Norvex::Core::V4l2VideoCapture
