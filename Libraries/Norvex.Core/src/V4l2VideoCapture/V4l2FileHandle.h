#pragma once

#include <Norvex/Core/Com.h>
#include <Norvex/Core/V4l2VideoCapture/KernelInterface.h>

#include <cstddef>
#include <memory>
#include <source_location>
#include <string>

namespace Norvex::Core::V4l2VideoCapture
{

// An open video node, closed through the kernel interface when the last owner lets go. Shared,
// so that a control object handed out to a plug-in can never ioctl a descriptor number that has
// been closed and reused.
class V4l2FileHandle
{
public:
    // Raises the system's reason when the node cannot be opened ("open /dev/video2: ..."); "Open"
    // is the function named.
    V4l2FileHandle(KernelInterface& kernel, const std::string& path, int flags);
    V4l2FileHandle(const V4l2FileHandle&) = delete;
    V4l2FileHandle& operator=(const V4l2FileHandle&) = delete;
    ~V4l2FileHandle();

    int Get() const noexcept { return fd; }
    const std::string& GetPath() const noexcept { return path; }
    // ioctl, retried on EINTR.
    int Ioctl(unsigned long request, void* argument) const;
    // Ioctl that raises the system's reason when it fails, for `function`, naming the request and
    // the node ("VIDIOC_STREAMON on /dev/video2: Invalid argument").
    void Require(unsigned long request, void* argument, const char* requestName, const char* function,
                 std::source_location where = std::source_location::current()) const;
    // Raises `status` for `function` with its text after the step and the node.
    [[noreturn]] void Raise(HRESULT status, const char* step, const char* function,
                            std::source_location where = std::source_location::current()) const;
    // The same with a text of the caller's instead of the status code's.
    [[noreturn]] void Raise(HRESULT status, const char* step, const char* function, const std::wstring& text,
                            std::source_location where = std::source_location::current()) const;
    // A shared read-write mapping of the node's memory at `offset`; raises for `function`.
    void* Map(std::size_t length, std::uint32_t offset, const char* function) const;
    void Unmap(void* address, std::size_t length) const noexcept;

private:
    KernelInterface& kernel;
    std::string path;
    int fd;
};

} // namespace Norvex::Core::V4l2VideoCapture
