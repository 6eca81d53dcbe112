#include <Norvex/Core/CaptureBackends/CaptureBackends.h>

#include "GStreamerVideoCapture/GStreamerVideoCapture.h"

#include <Norvex/Core/V4l2VideoCapture/V4l2VideoCapture.h>

namespace Norvex::Core::VideoCapture
{

std::vector<std::shared_ptr<Device>> EnumerateDevices(CaptureApiFamily family, bool skipErrorDevice,
                                                      bool skipDuplicatedFrameFormat)
{
    switch (family)
    {
    case CaptureApiFamily::V4l2:
    {
        std::vector<std::shared_ptr<Device>> devices;
        V4l2VideoCapture::EnumerateDevices(skipErrorDevice, skipDuplicatedFrameFormat, devices);
        return devices;
    }
    case CaptureApiFamily::GStreamer:
        return GStreamerVideoCapture::EnumerateDevices(skipErrorDevice, skipDuplicatedFrameFormat);
    }
    throw Exception(E_UNEXPECTED, "VideoCapture", NORVEX_SOURCE_FILE, __LINE__);
}

} // namespace Norvex::Core::VideoCapture
