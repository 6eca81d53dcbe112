#pragma once

#include <Norvex/Core/VideoCapture/Device.h>

#include <functional>
#include <memory>
#include <vector>

namespace Norvex::Core::VideoCapture
{

// Tells that cameras of one back-end may have come or gone, from the moment it is made until it
// is destroyed. What changed is found by listing the devices again (MergeDevices): the events
// themselves are only a nudge, so one lost or merged with another changes nothing.
//
// Threads: `changed` runs on the watcher's own thread; the destructor stops that thread and waits
// for a `changed` in progress, so it must not run from inside `changed`.
class DeviceWatcher
{
public:
    using Changed = std::function<void()>;

    DeviceWatcher(const DeviceWatcher&) = delete;
    DeviceWatcher& operator=(const DeviceWatcher&) = delete;
    virtual ~DeviceWatcher() = default;

protected:
    DeviceWatcher() = default;
};

// The devices of a fresh listing, in its order, with every device already known by its device path
// (its persistent identity) kept as the object it was: its selected format, its stream and what
// holds it stay. Devices without a path are always the fresh ones.
std::vector<std::shared_ptr<Device>> MergeDevices(const std::vector<std::shared_ptr<Device>>& known,
                                                  std::vector<std::shared_ptr<Device>> found);

} // namespace Norvex::Core::VideoCapture
