#include <Norvex/Core/GStreamerVideoCapture/GStreamerVideoCapture.h>
#include <Norvex/Core/VideoCapture/VideoCapture.h>

namespace Norvex::Core::VideoCapture
{

std::vector<std::shared_ptr<Device>> EnumerateDevices(CaptureApiFamily family, bool skipErrorDevice,
                                                      bool skipDuplicatedFrameFormat)
{
    switch (family)
    {
    // The back-ends join here as they are built; until then their families are refused openly.
    case CaptureApiFamily::V4l2:
        throw Exception(E_NOTIMPL, "VideoCapture", NORVEX_SOURCE_FILE, __LINE__);
    case CaptureApiFamily::GStreamer:
        return GStreamerVideoCapture::EnumerateDevices(skipErrorDevice, skipDuplicatedFrameFormat);
    }
    throw Exception(E_UNEXPECTED, "VideoCapture", NORVEX_SOURCE_FILE, __LINE__);
}

} // namespace Norvex::Core::VideoCapture
