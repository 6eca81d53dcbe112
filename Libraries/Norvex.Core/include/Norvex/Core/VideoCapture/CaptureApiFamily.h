#pragma once

#include <cstdint>

namespace Norvex::Core::VideoCapture
{

// Which back-end lists and drives the devices; the value of the INI key "CaptureApiFamily".
enum CaptureApiFamily : std::int32_t
{
    V4l2 = 0,
    GStreamer = 1,
};

} // namespace Norvex::Core::VideoCapture
