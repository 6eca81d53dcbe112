#include "V4l2VideoCapture/V4l2FormatList.h"

#include "V4l2VideoCapture/V4l2FrameConverter.h"
#include "V4l2VideoCapture/V4l2FrameFormat.h"
#include "V4l2VideoCapture/V4l2Subtype.h"

#include <linux/videodev2.h>

#include <algorithm>
#include <cmath>

namespace Norvex::Core::V4l2VideoCapture
{
namespace
{

struct Size
{
    std::uint32_t width;
    std::uint32_t height;
};

// Offered from a stepwise or continuous size range: the common sizes that lie on its grid.
constexpr Size commonSizes[] = {
    {160, 120},   {176, 144},   {320, 180},   {320, 240},   {352, 288},   {640, 360},
    {640, 480},   {800, 600},   {960, 540},   {1024, 768},  {1280, 720},  {1280, 960},
    {1280, 1024}, {1600, 1200}, {1920, 1080}, {2560, 1440}, {3840, 2160},
};

// Offered from a stepwise or continuous interval range, fastest first: the common rates that lie
// on its grid, as seconds per frame.
constexpr v4l2_fract commonIntervals[] = {
    {1, 240}, {1, 120}, {1, 60}, {1, 50}, {1, 30}, {1, 25},
    {1, 24},  {1, 20},  {1, 15}, {1, 10}, {2, 15}, {1, 5},
};

bool OnGrid(std::uint32_t value, std::uint32_t minimum, std::uint32_t maximum, std::uint32_t step) noexcept
{
    return value >= minimum && value <= maximum && (value - minimum) % std::max<std::uint32_t>(step, 1) == 0;
}

std::vector<Size> ReduceSizes(const v4l2_frmsize_stepwise& range, bool continuous)
{
    const std::uint32_t stepWidth = continuous ? 1 : range.step_width;
    const std::uint32_t stepHeight = continuous ? 1 : range.step_height;
    std::vector<Size> sizes;
    for (const auto& size : commonSizes)
    {
        if (OnGrid(size.width, range.min_width, range.max_width, stepWidth) &&
            OnGrid(size.height, range.min_height, range.max_height, stepHeight))
        {
            sizes.push_back(size);
        }
    }
    if (sizes.empty() && range.min_width > 0 && range.min_height > 0)
    {
        sizes.push_back({range.min_width, range.min_height});
    }
    if (range.max_width > 0 && range.max_height > 0 &&
        std::none_of(sizes.begin(), sizes.end(),
                     [&](const Size& size)
                     { return size.width == range.max_width && size.height == range.max_height; }))
    {
        sizes.push_back({range.max_width, range.max_height});
    }
    return sizes;
}

double Seconds(const v4l2_fract& interval) noexcept
{
    return static_cast<double>(interval.numerator) / interval.denominator;
}

// Whether the range's grid has a point within 0.1 per cent of `interval`. Exact fractions would
// miss: uvcvideo counts in 100 ns units and simplifies min and step apart, so a camera running
// at 333333, 666666, ... units is listed as from 1/30 in steps of 1/10000000 or 333333/10000000,
// and no common rate but the first lies exactly on either grid.
bool NearGrid(const v4l2_fract& interval, const v4l2_fract& minimum, const v4l2_fract& step) noexcept
{
    const double wanted = Seconds(interval);
    const double steps = std::round((wanted - Seconds(minimum)) / Seconds(step));
    const double nearest = Seconds(minimum) + steps * Seconds(step);
    return std::abs(nearest - wanted) <= wanted * 1e-3;
}

std::vector<v4l2_fract> ReduceIntervals(const v4l2_frmival_stepwise& range, bool continuous)
{
    std::vector<v4l2_fract> intervals;
    if (!V4l2FrameFormat::IsValid(range.min) || !V4l2FrameFormat::IsValid(range.max) ||
        V4l2FrameFormat::Compare(range.min, range.max) > 0)
    {
        return intervals;
    }
    intervals.push_back(range.min); // the fastest the camera can go
    for (const auto& interval : commonIntervals)
    {
        if (V4l2FrameFormat::Compare(interval, range.min) <= 0 ||
            V4l2FrameFormat::Compare(interval, range.max) > 0)
        {
            continue;
        }
        if (!continuous && V4l2FrameFormat::IsValid(range.step) && !NearGrid(interval, range.min, range.step))
        {
            continue;
        }
        intervals.push_back(interval);
    }
    return intervals;
}

} // namespace

V4l2FormatList::V4l2FormatList(const V4l2FileHandle& opened, std::uint32_t bufferType,
                               bool skipDuplicatedFrameFormat)
{
    for (std::uint32_t index = 0;; ++index)
    {
        v4l2_fmtdesc description{};
        description.index = index;
        description.type = bufferType;
        if (opened.Ioctl(VIDIOC_ENUM_FMT, &description) != 0)
        {
            break; // EINVAL past the last format
        }
        const std::uint32_t pixelFormat = description.pixelformat;
        // Only formats a path can stream: a camera whose first format is one no path has (DV,
        // say) is still listed with the others.
        if (!V4l2Subtype::FromPixelFormat(pixelFormat) || !V4l2FrameConverter::CanConvert(pixelFormat))
        {
            continue;
        }

        std::vector<Size> sizes;
        v4l2_frmsizeenum size{};
        size.pixel_format = pixelFormat;
        if (opened.Ioctl(VIDIOC_ENUM_FRAMESIZES, &size) == 0)
        {
            if (size.type == V4L2_FRMSIZE_TYPE_DISCRETE)
            {
                do
                {
                    sizes.push_back({size.discrete.width, size.discrete.height});
                    ++size.index;
                } while (opened.Ioctl(VIDIOC_ENUM_FRAMESIZES, &size) == 0 &&
                         size.type == V4L2_FRMSIZE_TYPE_DISCRETE);
            }
            else
            {
                sizes = ReduceSizes(size.stepwise, size.type == V4L2_FRMSIZE_TYPE_CONTINUOUS);
            }
        }
        else
        {
            // A driver that cannot list sizes: the size it settles on for this format.
            v4l2_format format{};
            format.type = bufferType;
            if (opened.Ioctl(VIDIOC_G_FMT, &format) == 0)
            {
                (bufferType == V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE ? format.fmt.pix_mp.pixelformat
                                                                  : format.fmt.pix.pixelformat) = pixelFormat;
                if (opened.Ioctl(VIDIOC_TRY_FMT, &format) == 0)
                {
                    if (const auto tried = V4l2FrameFormat::Describe(format);
                        tried.pixelformat == pixelFormat)
                    {
                        sizes.push_back({tried.width, tried.height});
                    }
                }
            }
        }

        for (const auto& [width, height] : sizes)
        {
            if (width == 0 || height == 0 || width > 0x7FFFFFFF || height > 0x7FFFFFFF)
            {
                continue;
            }
            std::vector<v4l2_fract> intervals;
            v4l2_frmivalenum interval{};
            interval.pixel_format = pixelFormat;
            interval.width = width;
            interval.height = height;
            if (opened.Ioctl(VIDIOC_ENUM_FRAMEINTERVALS, &interval) == 0)
            {
                if (interval.type == V4L2_FRMIVAL_TYPE_DISCRETE)
                {
                    do
                    {
                        intervals.push_back(interval.discrete);
                        ++interval.index;
                    } while (opened.Ioctl(VIDIOC_ENUM_FRAMEINTERVALS, &interval) == 0 &&
                             interval.type == V4L2_FRMIVAL_TYPE_DISCRETE);
                }
                else
                {
                    intervals =
                        ReduceIntervals(interval.stepwise, interval.type == V4L2_FRMIVAL_TYPE_CONTINUOUS);
                }
            }
            else
            {
                // A driver that cannot list intervals: the one it runs at now, if it says; else
                // the format runs at the driver's rate (0: not asked for, measured while streaming).
                v4l2_streamparm parameters{};
                parameters.type = bufferType;
                const bool told = opened.Ioctl(VIDIOC_G_PARM, &parameters) == 0 &&
                                  V4l2FrameFormat::IsValid(parameters.parm.capture.timeperframe);
                intervals.push_back(told ? parameters.parm.capture.timeperframe : v4l2_fract{0, 0});
            }
            for (const auto& frameInterval : intervals)
            {
                // A listed zero interval has no rate; such a format is left out rather than named "inf".
                if (!V4l2FrameFormat::IsValid(frameInterval) &&
                    frameInterval.numerator + frameInterval.denominator)
                {
                    continue;
                }
                v4l2_pix_format native{};
                native.width = width;
                native.height = height;
                native.pixelformat = pixelFormat;
                native.field = V4L2_FIELD_NONE;
                native.bytesperline =
                    V4l2FrameConverter::GetLineLength(pixelFormat, static_cast<std::int32_t>(width));
                Add(std::make_shared<V4l2FrameFormat>(native, frameInterval), skipDuplicatedFrameFormat);
            }
        }
    }
    FindCurrent(opened, bufferType);
}

void V4l2FormatList::FindCurrent(const V4l2FileHandle& opened, std::uint32_t bufferType)
{
    v4l2_format native{};
    native.type = bufferType;
    if (opened.Ioctl(VIDIOC_G_FMT, &native) != 0)
    {
        return;
    }
    const auto current = V4l2FrameFormat::Describe(native);
    v4l2_streamparm parameters{};
    parameters.type = bufferType;
    const bool haveInterval = opened.Ioctl(VIDIOC_G_PARM, &parameters) == 0;
    for (std::size_t index = 0; index < formats.size(); ++index)
    {
        const auto& format = static_cast<const V4l2FrameFormat&>(*formats[index]);
        const auto& listed = format.GetPixelFormat();
        if (listed.pixelformat != current.pixelformat || listed.width != current.width ||
            listed.height != current.height)
        {
            continue;
        }
        // The first of its size, or the one at the rate the driver runs now.
        if (currentIndex < 0)
        {
            currentIndex = static_cast<std::int32_t>(index);
        }
        if (haveInterval &&
            V4l2FrameFormat::Compare(format.GetFrameInterval(), parameters.parm.capture.timeperframe) == 0)
        {
            currentIndex = static_cast<std::int32_t>(index);
            return;
        }
    }
}

void V4l2FormatList::Add(std::shared_ptr<VideoCapture::FrameFormat> format, bool skipDuplicatedFrameFormat)
{
    // Of duplicates the first stays: V4L2 formats carry nothing beyond what makes them equal.
    if (skipDuplicatedFrameFormat &&
        std::any_of(formats.begin(), formats.end(),
                    [&](const std::shared_ptr<VideoCapture::FrameFormat>& existing)
                    { return existing->IsDuplicateOf(*format); }))
    {
        return;
    }
    formats.push_back(std::move(format));
}

} // namespace Norvex::Core::V4l2VideoCapture
