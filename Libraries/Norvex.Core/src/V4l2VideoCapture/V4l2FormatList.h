#pragma once

#include "V4l2VideoCapture/V4l2FileHandle.h"

#include <Norvex/Core/VideoCapture/FrameFormat.h>

#include <memory>
#include <vector>

namespace Norvex::Core::V4l2VideoCapture
{

// The frame formats an open video node lists (VIDIOC_ENUM_FMT, then each size, then each
// interval), as the formats the back-end offers: every discrete size and interval is one format,
// ranges are reduced to the common sizes and rates on their grid, formats no path can stream are
// left out.
class V4l2FormatList
{
public:
    // Reads the list; duplicates (same subtype, size and rate) keep the first when asked to.
    V4l2FormatList(const V4l2FileHandle& handle, bool skipDuplicatedFrameFormat);

    std::vector<std::shared_ptr<VideoCapture::FrameFormat>>& Formats() noexcept { return formats; }

private:
    void Add(std::shared_ptr<VideoCapture::FrameFormat> format, bool skipDuplicatedFrameFormat);

    std::vector<std::shared_ptr<VideoCapture::FrameFormat>> formats;
};

} // namespace Norvex::Core::V4l2VideoCapture
