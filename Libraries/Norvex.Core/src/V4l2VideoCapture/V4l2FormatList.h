#pragma once

#include "V4l2VideoCapture/V4l2FileHandle.h"

#include <Norvex/Core/VideoCapture/FrameFormat.h>

#include <cstdint>
#include <memory>
#include <vector>

namespace Norvex::Core::V4l2VideoCapture
{

// The frame formats an open video node lists (VIDIOC_ENUM_FMT, then each size, then each
// interval), as the formats the back-end offers: every discrete size and interval is one format,
// ranges are reduced to the common sizes and rates on their grid, formats no path can stream are
// left out. A size the driver names no interval for is offered once at the driver's rate
// (interval 0/0, frame rate 0): VIDIOC_S_PARM is not asked, and the rate is measured while
// streaming.
class V4l2FormatList
{
public:
    // Reads the list of a node that streams `bufferType` (single- or multi-planar capture);
    // duplicates (same subtype, size and rate) keep the first when asked to.
    V4l2FormatList(const V4l2FileHandle& handle, std::uint32_t bufferType, bool skipDuplicatedFrameFormat);

    std::vector<std::shared_ptr<VideoCapture::FrameFormat>>& Formats() noexcept { return formats; }
    // The format the driver is set to now (VIDIOC_G_FMT, at the rate VIDIOC_G_PARM names if
    // listed), so a camera nobody chose a format for starts the way it is set up; -1 when that
    // format is not in the list.
    std::int32_t CurrentIndex() const noexcept { return currentIndex; }

private:
    void Add(std::shared_ptr<VideoCapture::FrameFormat> format, bool skipDuplicatedFrameFormat);
    void FindCurrent(const V4l2FileHandle& handle, std::uint32_t bufferType);

    std::vector<std::shared_ptr<VideoCapture::FrameFormat>> formats;
    std::int32_t currentIndex = -1;
};

} // namespace Norvex::Core::V4l2VideoCapture
