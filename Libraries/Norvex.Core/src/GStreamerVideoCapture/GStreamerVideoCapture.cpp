#include "GStreamerVideoCapture/GStreamerVideoCapture.h"

#include "GStreamerVideoCapture/GStreamerDevice.h"
#include "GStreamerVideoCapture/GStreamerDeviceWatcher.h"

#include <Norvex/Core/GStreamerInitializer.h>

#include <algorithm>

namespace Norvex::Core::GStreamerVideoCapture
{

std::vector<std::shared_ptr<VideoCapture::Device>> EnumerateDevices(bool skipErrorDevice,
                                                                    bool skipDuplicatedFrameFormat)
{
    const auto gstreamer = std::make_shared<GStreamerInitializer>();
    // While a watcher runs, its monitor lists: a second monitor would take the providers' events
    // away from it (a provider reports to the monitor that added a filter for it last).
    auto monitor = GStreamerDeviceWatcher::GetLiveMonitor();
    if (!monitor)
    {
        monitor = Own(gst_device_monitor_new());
        gst_device_monitor_add_filter(monitor.get(), "Video/Source", nullptr);
    }
    // Probing without starting the monitor asks each provider once, so nothing arrives twice
    // through DEVICE_ADDED; two providers can still report one node, hence the path check.
    const auto found = Own(gst_device_monitor_get_devices(monitor.get()));

    std::vector<std::shared_ptr<VideoCapture::Device>> devices;
    std::vector<std::wstring> paths;
    for (GList* item = found.get(); item; item = item->next)
    {
        auto* device = static_cast<GstDevice*>(item->data);
        const std::wstring path = GStreamerDevice::GetDevicePath(device);
        if (!path.empty() && std::find(paths.begin(), paths.end(), path) != paths.end())
        {
            continue;
        }
        try
        {
            devices.push_back(std::make_shared<GStreamerDevice>(device, skipDuplicatedFrameFormat));
            paths.push_back(path);
        }
        catch (...)
        {
            if (!skipErrorDevice)
            {
                throw;
            }
        }
    }
    return devices;
}

} // namespace Norvex::Core::GStreamerVideoCapture
