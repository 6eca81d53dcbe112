#pragma once

#include "GStreamerVideoCapture/GStreamerHandle.h"

#include <Norvex/Core/GStreamerInitializer.h>
#include <Norvex/Core/VideoCapture/DeviceWatcher.h>

#include <memory>
#include <thread>

namespace Norvex::Core::GStreamerVideoCapture
{

// GStreamer's device monitor on "Video/Source", started, with a thread of its own that takes
// DEVICE_ADDED and DEVICE_REMOVED off the monitor's bus: each is one call of `changed`. The
// providers' own hot-plug sources (udev for v4l2src, PipeWire's registry) stand behind it.
//
// A provider tells only the monitor that added a filter for it last: while a watcher lives, the
// listing uses its monitor (GetLiveMonitor) instead of making one. One watcher at a time.
class GStreamerDeviceWatcher final : public VideoCapture::DeviceWatcher
{
public:
    explicit GStreamerDeviceWatcher(Changed changed);
    ~GStreamerDeviceWatcher() override;

    // A reference to the started monitor of the live watcher, or null; any thread.
    static GStreamerHandle<GstDeviceMonitor> GetLiveMonitor();

private:
    void Run();

    std::shared_ptr<GStreamerInitializer> gstreamer;
    Changed changed;
    GStreamerHandle<GstDeviceMonitor> monitor;
    GStreamerHandle<GstBus> bus;
    bool started = false;
    std::thread thread;
};

} // namespace Norvex::Core::GStreamerVideoCapture
