#include "V4l2VideoCapture/V4l2CameraControl.h"

#include <linux/videodev2.h>

namespace Norvex::Core::V4l2VideoCapture
{
namespace
{

// Indexed by CameraControl::Property. Values are the camera's own units (exposure in 100 us).
constexpr V4l2ControlSet::Mapping cameraMappings[] = {
    {V4L2_CID_PAN_ABSOLUTE, 0, 1, 0},
    {V4L2_CID_TILT_ABSOLUTE, 0, 1, 0},
    {0, 0, 1, 0}, // roll: V4L2 has no such control
    {V4L2_CID_ZOOM_ABSOLUTE, 0, 1, 0},
    {V4L2_CID_EXPOSURE_ABSOLUTE, V4L2_CID_EXPOSURE_AUTO, V4L2_EXPOSURE_APERTURE_PRIORITY,
     V4L2_EXPOSURE_MANUAL},
    {V4L2_CID_IRIS_ABSOLUTE, 0, 1, 0},
    {V4L2_CID_FOCUS_ABSOLUTE, V4L2_CID_FOCUS_AUTO, 1, 0},
};

} // namespace

V4l2CameraControl::V4l2CameraControl(std::shared_ptr<const V4l2FileHandle> handle)
    : V4l2ControlObject(std::move(handle), cameraMappings)
{
}

} // namespace Norvex::Core::V4l2VideoCapture
