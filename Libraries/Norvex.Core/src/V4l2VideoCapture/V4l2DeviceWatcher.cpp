#include "V4l2VideoCapture/V4l2DeviceWatcher.h"

#include <Norvex/Core/Exception.h>

#include <poll.h>
#include <sys/eventfd.h>

#include <cerrno>
#include <cstdint>

namespace Norvex::Core::V4l2VideoCapture
{

V4l2DeviceWatcher::V4l2DeviceWatcher(KernelInterface& kernel, Changed changed)
    : events(kernel.WatchNodes()), changed(std::move(changed)),
      stopEvent(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
{
    if (!stopEvent.IsOpen())
    {
        ThrowErrno(errno, "V4l2DeviceWatcher", NORVEX_SOURCE_FILE, __LINE__);
    }
    if (events)
    {
        thread = std::thread(&V4l2DeviceWatcher::Run, this);
    }
}

V4l2DeviceWatcher::~V4l2DeviceWatcher()
{
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto written = ::write(stopEvent.Get(), &one, sizeof one);
    if (thread.joinable())
    {
        thread.join();
    }
}

void V4l2DeviceWatcher::Run()
{
    pollfd descriptors[2] = {{events->GetDescriptor(), POLLIN, 0}, {stopEvent.Get(), POLLIN, 0}};
    for (;;)
    {
        if (::poll(descriptors, 2, -1) < 0)
        {
            if (errno == EINTR)
            {
                continue;
            }
            return; // nothing to watch with; cameras are seen at the next start
        }
        if (descriptors[1].revents != 0 || (descriptors[0].revents & (POLLERR | POLLHUP | POLLNVAL)))
        {
            return;
        }
        if (descriptors[0].revents != 0)
        {
            events->Drain();
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
}

} // namespace Norvex::Core::V4l2VideoCapture
