#include "V4l2VideoCapture/V4l2FileHandle.h"

#include <Norvex/Core/Exception.h>
#include <Norvex/Core/StringHelpers.h>

#include <sys/mman.h>

#include <cerrno>

namespace Norvex::Core::V4l2VideoCapture
{
namespace
{

[[noreturn]] void RaiseOn(HRESULT status, const std::string& what, const char* function,
                          const std::source_location& where, const std::wstring& text = {})
{
    throw Exception(status, ToWideString(what) + L": " + (text.empty() ? FormatStatusMessage(status) : text),
                    function, ToWideString(where.file_name()).c_str(), static_cast<int>(where.line()));
}

HRESULT ErrnoStatus(int error) noexcept
{
    const HRESULT status = HRESULT_FROM_WIN32(error);
    return FAILED(status) ? status : E_FAIL;
}

} // namespace

V4l2FileHandle::V4l2FileHandle(KernelInterface& kernel, const std::string& path, int flags)
    : kernel(kernel), path(path), fd(kernel.Open(path, flags))
{
    if (fd < 0)
    {
        RaiseOn(ErrnoStatus(errno), "open " + path, "Open", std::source_location::current());
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

void V4l2FileHandle::Require(unsigned long request, void* argument, const char* requestName,
                             const char* function, std::source_location where) const
{
    if (Ioctl(request, argument) != 0)
    {
        Raise(ErrnoStatus(errno), requestName, function, where);
    }
}

void V4l2FileHandle::Raise(HRESULT status, const char* step, const char* function,
                           std::source_location where) const
{
    RaiseOn(status, std::string(step) + " on " + path, function, where);
}

void V4l2FileHandle::Raise(HRESULT status, const char* step, const char* function, const std::wstring& text,
                           std::source_location where) const
{
    RaiseOn(status, std::string(step) + " on " + path, function, where, text);
}

void* V4l2FileHandle::Map(std::size_t length, std::uint32_t offset, const char* function) const
{
    void* address = kernel.Mmap(length, PROT_READ | PROT_WRITE, MAP_SHARED, fd, offset);
    if (address == MAP_FAILED)
    {
        Raise(ErrnoStatus(errno), "mmap", function);
    }
    return address;
}

void V4l2FileHandle::Unmap(void* address, std::size_t length) const noexcept
{
    kernel.Munmap(address, length);
}

} // namespace Norvex::Core::V4l2VideoCapture
