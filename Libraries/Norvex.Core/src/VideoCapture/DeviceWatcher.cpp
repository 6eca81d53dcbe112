#include <Norvex/Core/VideoCapture/DeviceWatcher.h>

#include <algorithm>

namespace Norvex::Core::VideoCapture
{

std::vector<std::shared_ptr<Device>> MergeDevices(const std::vector<std::shared_ptr<Device>>& known,
                                                  std::vector<std::shared_ptr<Device>> found)
{
    for (auto& device : found)
    {
        if (device->devicePath.empty())
        {
            continue;
        }
        const auto same =
            std::find_if(known.begin(), known.end(),
                         [&](const auto& old) { return old->devicePath == device->devicePath; });
        if (same != known.end())
        {
            device = *same;
        }
    }
    return found;
}

} // namespace Norvex::Core::VideoCapture
