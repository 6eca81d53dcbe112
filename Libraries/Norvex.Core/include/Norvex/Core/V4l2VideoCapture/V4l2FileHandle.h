#pragma once

#include <Norvex/Core/V4l2VideoCapture/KernelInterface.h>

#include <memory>
#include <string>

namespace Norvex::Core::V4l2VideoCapture
{

// An open video node, closed through the kernel interface when the last owner lets go. Shared,
// so that a control object handed out to a plug-in can never ioctl a descriptor number that has
// been closed and reused.
class V4l2FileHandle
{
public:
    // Raises the system's reason when the node cannot be opened; "Open" is the function named.
    V4l2FileHandle(KernelInterface& kernel, const std::string& path, int flags);
    V4l2FileHandle(const V4l2FileHandle&) = delete;
    V4l2FileHandle& operator=(const V4l2FileHandle&) = delete;
    ~V4l2FileHandle();

    int Get() const noexcept { return fd; }
    KernelInterface& Kernel() const noexcept { return kernel; }
    // ioctl, retried on EINTR.
    int Ioctl(unsigned long request, void* argument) const;

private:
    KernelInterface& kernel;
    int fd;
};

} // namespace Norvex::Core::V4l2VideoCapture
