#include "V4l2VideoCapture/V4l2VideoProcAmp.h"

#include <linux/videodev2.h>

namespace Norvex::Core::V4l2VideoCapture
{
namespace
{

// Indexed by VideoProcAmp::Property.
constexpr V4l2ControlSet::Mapping procAmpMappings[] = {
    {V4L2_CID_BRIGHTNESS, 0, 1, 0},
    {V4L2_CID_CONTRAST, 0, 1, 0},
    {V4L2_CID_HUE, V4L2_CID_HUE_AUTO, 1, 0},
    {V4L2_CID_SATURATION, 0, 1, 0},
    {V4L2_CID_SHARPNESS, 0, 1, 0},
    {V4L2_CID_GAMMA, 0, 1, 0},
    {0, 0, 1, 0}, // colour enable: V4L2 has no such control
    {V4L2_CID_WHITE_BALANCE_TEMPERATURE, V4L2_CID_AUTO_WHITE_BALANCE, 1, 0},
    {V4L2_CID_BACKLIGHT_COMPENSATION, 0, 1, 0},
    {V4L2_CID_GAIN, V4L2_CID_AUTOGAIN, 1, 0},
};

} // namespace

V4l2VideoProcAmp::V4l2VideoProcAmp(std::shared_ptr<const V4l2FileHandle> handle)
    : V4l2ControlObject(std::move(handle), procAmpMappings)
{
}

} // namespace Norvex::Core::V4l2VideoCapture
