#include <Norvex/Core/Exception.h>
#include <Norvex/Core/V4l2VideoCapture/V4l2FileHandle.h>

#include <cerrno>

namespace Norvex::Core::V4l2VideoCapture
{

V4l2FileHandle::V4l2FileHandle(KernelInterface& kernel, const std::string& path, int flags)
    : kernel(kernel), fd(kernel.Open(path, flags))
{
    if (fd < 0)
    {
        ThrowErrno(errno, "Open", NORVEX_SOURCE_FILE, __LINE__);
    }
}

V4l2FileHandle::~V4l2FileHandle()
{
    kernel.Close(fd);
}

int V4l2FileHandle::Ioctl(unsigned long request, void* argument) const
{
    int result;
    do
    {
        result = kernel.Ioctl(fd, request, argument);
    } while (result < 0 && errno == EINTR);
    return result;
}

} // namespace Norvex::Core::V4l2VideoCapture
