#pragma once

#include "V4l2VideoCapture/V4l2ControlObject.h"
#include <Norvex/Core/VideoCapture/CameraControl.h>

namespace Norvex::Core::V4l2VideoCapture
{

// Pan, tilt, zoom, exposure, iris and focus on a video node's V4L2 controls.
class V4l2CameraControl final : public V4l2ControlObject<VideoCapture::CameraControl>
{
public:
    explicit V4l2CameraControl(std::shared_ptr<const V4l2FileHandle> handle);
};

} // namespace Norvex::Core::V4l2VideoCapture
