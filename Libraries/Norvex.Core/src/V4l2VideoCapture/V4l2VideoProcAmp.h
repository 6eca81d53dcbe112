#pragma once

#include "V4l2VideoCapture/V4l2ControlObject.h"
#include <Norvex/Core/VideoCapture/VideoProcAmp.h>

namespace Norvex::Core::V4l2VideoCapture
{

// Brightness, contrast, hue, saturation, sharpness, gamma, white balance, backlight
// compensation and gain on a video node's V4L2 controls.
class V4l2VideoProcAmp final : public V4l2ControlObject<VideoCapture::VideoProcAmp>
{
public:
    explicit V4l2VideoProcAmp(std::shared_ptr<const V4l2FileHandle> handle);
};

} // namespace Norvex::Core::V4l2VideoCapture
