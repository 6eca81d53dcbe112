#pragma once

#include <Norvex/Core/VideoCapture/FrameFormat.h>

#include <linux/videodev2.h>

#include <cstdint>
#include <memory>
#include <string>

namespace Norvex::Core::V4l2VideoCapture
{

// A frame format of a V4L2 node: the pixel format, size and line length handed to VIDIOC_S_FMT
// and the frame interval handed to VIDIOC_S_PARM.
class V4l2FrameFormat final : public VideoCapture::FrameFormat
{
public:
    // The native description; `subtype`, `width`, `height`, `stride` and `frameRate` are read from
    // it. Raises E_UNEXPECTED ("V4l2FrameFormat") for a pixel format without a subtype of its own.
    V4l2FrameFormat(const v4l2_pix_format& pixelFormat, const v4l2_fract& frameInterval);

    std::shared_ptr<VideoCapture::FrameFormat> Clone() const override;
    const wchar_t* GetSubtypeName() const override;
    void OnSizeChanged() override;
    void OnFrameRateChanged() override;

    const v4l2_pix_format& GetPixelFormat() const noexcept { return pixelFormat; }
    // Seconds per frame.
    const v4l2_fract& GetFrameInterval() const noexcept { return frameInterval; }
    // The interval and `frameRate` both, exactly; a zero interval gives rate 0.
    void SetFrameInterval(const v4l2_fract& interval) noexcept;

    // The frame rate as numerator / denominator, the denominator a power of two.
    static v4l2_fract ToRatio(double rate) noexcept;
    // The format for VIDIOC_S_FMT or VIDIOC_TRY_FMT on a node of `bufferType` (single- or
    // multi-planar capture), progressive; the driver fills in the line lengths it wants.
    v4l2_format ToNative(std::uint32_t bufferType) const noexcept;
    // What the driver answered, in single-planar terms: the first plane's line length, the
    // image size of all planes together, the colour encoding.
    static v4l2_pix_format Describe(const v4l2_format& native) noexcept;

    // Whether an interval has a rate: neither numerator nor denominator is zero.
    static bool IsValid(const v4l2_fract& interval) noexcept
    {
        return interval.numerator != 0 && interval.denominator != 0;
    }
    // a/b against c/d, exactly: negative, zero or positive.
    static int Compare(const v4l2_fract& a, const v4l2_fract& b) noexcept
    {
        const auto left = static_cast<unsigned __int128>(a.numerator) * b.denominator;
        const auto right = static_cast<unsigned __int128>(b.numerator) * a.denominator;
        return left < right ? -1 : left > right ? 1 : 0;
    }

private:
    v4l2_pix_format pixelFormat;
    v4l2_fract frameInterval;
    // The subtype's own four characters, the name of a layout the subtype table has no row for.
    std::wstring codeName;
};

} // namespace Norvex::Core::V4l2VideoCapture
