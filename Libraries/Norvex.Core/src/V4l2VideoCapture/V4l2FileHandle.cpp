#include "V4l2VideoCapture/V4l2FileHandle.h"

#include <Norvex/Core/Exception.h>
#include <Norvex/Core/StringHelpers.h>

#include <sys/mman.h>

#include <cerrno>

namespace Norvex::Core::V4l2VideoCapture
{

V4l2FileHandle::V4l2FileHandle(KernelInterface& kernel, const std::string& path, int flags)
    : kernel(kernel), path(path), fd(kernel.Open(path, flags))
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

void V4l2FileHandle::Require(unsigned long request, void* argument, const char* /*requestName*/,
                             const char* function, std::source_location where) const
{
    if (Ioctl(request, argument) != 0)
    {
        ThrowErrno(errno, function, ToWideString(where.file_name()).c_str(), static_cast<int>(where.line()));
    }
}

void* V4l2FileHandle::Map(std::size_t length, std::uint32_t offset, const char* function) const
{
    void* address = kernel.Mmap(length, PROT_READ | PROT_WRITE, MAP_SHARED, fd, offset);
    if (address == MAP_FAILED)
    {
        ThrowErrno(errno, function, NORVEX_SOURCE_FILE, __LINE__);
    }
    return address;
}

void V4l2FileHandle::Unmap(void* address, std::size_t length) const noexcept
{
    kernel.Munmap(address, length);
}

} // namespace Norvex::Core::V4l2VideoCapture
