#include "GStreamerVideoCapture/GStreamerDeviceWatcher.h"

#include <mutex>

namespace Norvex::Core::GStreamerVideoCapture
{
namespace
{

std::mutex liveSection;                  // leaf lock
GstDeviceMonitor* liveMonitor = nullptr; // guarded by liveSection; the watcher holds the reference

} // namespace

GStreamerHandle<GstDeviceMonitor> GStreamerDeviceWatcher::GetLiveMonitor()
{
    std::lock_guard lock(liveSection);
    return Own(liveMonitor ? static_cast<GstDeviceMonitor*>(gst_object_ref(liveMonitor)) : nullptr);
}

GStreamerDeviceWatcher::GStreamerDeviceWatcher(Changed changed)
    : gstreamer(std::make_shared<GStreamerInitializer>()), changed(std::move(changed)),
      monitor(Own(gst_device_monitor_new()))
{
    gst_device_monitor_add_filter(monitor.get(), "Video/Source", nullptr);
    bus = Own(gst_device_monitor_get_bus(monitor.get()));
    // Without a provider that can watch, the monitor does not start: cameras are then seen only
    // at start-up, as before.
    started = gst_device_monitor_start(monitor.get());
    if (started)
    {
        {
            std::lock_guard lock(liveSection);
            liveMonitor = monitor.get();
        }
        thread = std::thread(&GStreamerDeviceWatcher::Run, this);
    }
}

GStreamerDeviceWatcher::~GStreamerDeviceWatcher()
{
    if (started)
    {
        {
            std::lock_guard lock(liveSection);
            liveMonitor = nullptr;
        }
        // Wakes the thread out of its wait; it ends at this message.
        gst_bus_post(bus.get(), gst_message_new_application(nullptr, gst_structure_new_empty("stop")));
        thread.join();
        gst_device_monitor_stop(monitor.get());
    }
}

void GStreamerDeviceWatcher::Run()
{
    for (;;)
    {
        const auto message = Own(gst_bus_timed_pop_filtered(
            bus.get(), GST_CLOCK_TIME_NONE,
            static_cast<GstMessageType>(GST_MESSAGE_DEVICE_ADDED | GST_MESSAGE_DEVICE_REMOVED |
                                        GST_MESSAGE_APPLICATION)));
        if (!message || GST_MESSAGE_TYPE(message.get()) == GST_MESSAGE_APPLICATION)
        {
            return;
        }
        try
        {
            changed();
        }
        catch (...)
        {
            // The receiver's failure; the next change calls it again.
        }
    }
}

} // namespace Norvex::Core::GStreamerVideoCapture
