#include "V4l2VideoCapture/V4l2Device.h"
#include "V4l2VideoCapture/V4l2FileHandle.h"
#include <Norvex/Core/V4l2VideoCapture/V4l2VideoCapture.h>

#include <fcntl.h>
#include <linux/videodev2.h>

#include <cerrno>

namespace Norvex::Core::V4l2VideoCapture
{
namespace
{

// Single-planar capture with streaming I/O, as the node itself (not the whole driver) offers.
bool IsCaptureNode(const V4l2FileHandle& handle)
{
    v4l2_capability capability{};
    if (handle.Ioctl(VIDIOC_QUERYCAP, &capability) != 0)
    {
        ThrowErrno(errno, "EnumerateDevices", NORVEX_SOURCE_FILE, __LINE__);
    }
    const std::uint32_t caps =
        capability.capabilities & V4L2_CAP_DEVICE_CAPS ? capability.device_caps : capability.capabilities;
    return (caps & V4L2_CAP_VIDEO_CAPTURE) && (caps & V4L2_CAP_STREAMING);
}

} // namespace

void EnumerateDevices(bool skipErrorDevice, bool skipDuplicatedFrameFormat,
                      std::vector<std::shared_ptr<VideoCapture::Device>>& devices, KernelInterface& kernel)
{
    for (const auto& node : kernel.ListNodes())
    {
        try
        {
            {
                const V4l2FileHandle handle(kernel, node, O_RDWR | O_NONBLOCK);
                if (!IsCaptureNode(handle))
                {
                    continue;
                }
            }
            devices.push_back(std::make_shared<V4l2Device>(kernel, node, skipDuplicatedFrameFormat));
        }
        catch (...)
        {
            if (!skipErrorDevice)
            {
                throw;
            }
        }
    }
}

} // namespace Norvex::Core::V4l2VideoCapture
