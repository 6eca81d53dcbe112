#pragma once

#include "V4l2VideoCapture/V4l2Device.h"

#include <Norvex/Core/Exception.h>
#include <Norvex/Core/FileDescriptor.h>

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace Norvex::Core::V4l2VideoCapture
{

// The eventfd that wakes the capture thread out of its poll.
class V4l2Device::EventDescriptor
{
public:
    EventDescriptor() : fd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
    {
        if (!fd.IsOpen())
        {
            ThrowErrno(errno, "Start", NORVEX_SOURCE_FILE, __LINE__);
        }
    }

    int Get() const noexcept { return fd.Get(); }
    void Signal() const noexcept
    {
        const std::uint64_t one = 1;
        // Cannot fail short of a counter overflow, which a second signal would not change.
        [[maybe_unused]] const auto written = ::write(fd.Get(), &one, sizeof one);
    }

private:
    FileDescriptor fd;
};

} // namespace Norvex::Core::V4l2VideoCapture
