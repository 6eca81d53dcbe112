#include <Norvex/Core/CaptureBackends/CaptureBackends.h>

#include "GStreamerVideoCapture/GStreamerDeviceWatcher.h"
#include "GStreamerVideoCapture/GStreamerVideoCapture.h"
#include "V4l2VideoCapture/V4l2DeviceWatcher.h"

#include <Norvex/Core/V4l2VideoCapture/V4l2VideoCapture.h>

#include <fcntl.h>

#include <cerrno>

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

std::unique_ptr<DeviceWatcher> WatchDevices(CaptureApiFamily family, DeviceWatcher::Changed changed)
{
    switch (family)
    {
    case CaptureApiFamily::V4l2:
        return std::make_unique<V4l2VideoCapture::V4l2DeviceWatcher>(
            V4l2VideoCapture::KernelInterface::System(), std::move(changed));
    case CaptureApiFamily::GStreamer:
        return std::make_unique<GStreamerVideoCapture::GStreamerDeviceWatcher>(std::move(changed));
    }
    throw Exception(E_UNEXPECTED, "VideoCapture", NORVEX_SOURCE_FILE, __LINE__);
}

bool CamerasRefuseAccess()
{
    auto& kernel = V4l2VideoCapture::KernelInterface::System();
    const auto nodes = kernel.ListNodes();
    for (const auto& node : nodes)
    {
        const int fd = kernel.Open(node, O_RDWR | O_NONBLOCK);
        if (fd >= 0)
        {
            kernel.Close(fd);
            return false;
        }
        if (errno != EACCES && errno != EPERM)
        {
            return false;
        }
    }
    return !nodes.empty();
}

} // namespace Norvex::Core::VideoCapture
