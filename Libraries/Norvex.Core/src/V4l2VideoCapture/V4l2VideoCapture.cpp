#include "V4l2VideoCapture/V4l2Device.h"
#include "V4l2VideoCapture/V4l2FileHandle.h"
#include <Norvex/Core/V4l2VideoCapture/V4l2VideoCapture.h>

#include <fcntl.h>
#include <linux/videodev2.h>

#include <cerrno>
#include <cstring>
#include <set>
#include <string>
#include <utility>

namespace Norvex::Core::V4l2VideoCapture
{
namespace
{

std::string Text(const std::uint8_t* field, std::size_t size)
{
    const auto* text = reinterpret_cast<const char*>(field);
    return std::string(text, strnlen(text, size));
}

} // namespace

void EnumerateDevices(bool skipErrorDevice, bool skipDuplicatedFrameFormat,
                      std::vector<std::shared_ptr<VideoCapture::Device>>& devices, KernelInterface& kernel)
{
    // A camera some drivers (and libcamera's compatibility layer) offer under several capture
    // nodes: the same card on the same bus is listed once, by its first node.
    std::set<std::pair<std::string, std::string>> cameras;
    for (const auto& node : kernel.ListNodes())
    {
        try
        {
            std::pair<std::string, std::string> camera;
            {
                const V4l2FileHandle handle(kernel, node, O_RDWR | O_NONBLOCK);
                v4l2_capability capability{};
                handle.Require(VIDIOC_QUERYCAP, &capability, "VIDIOC_QUERYCAP", "EnumerateDevices");
                if (V4l2Device::CaptureBufferType(capability) == 0)
                {
                    continue;
                }
                camera = {Text(capability.card, sizeof capability.card),
                          Text(capability.bus_info, sizeof capability.bus_info)};
            }
            if (!camera.second.empty() && cameras.count(camera))
            {
                continue;
            }
            devices.push_back(std::make_shared<V4l2Device>(kernel, node, skipDuplicatedFrameFormat));
            cameras.insert(camera);
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
