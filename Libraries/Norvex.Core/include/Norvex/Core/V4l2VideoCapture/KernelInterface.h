#pragma once

#include <poll.h>
#include <sys/types.h>

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

namespace Norvex::Core::V4l2VideoCapture
{

// Everything the V4L2 code asks of the kernel, so that tests can stand a fake camera in for it.
// Calls return what the system calls return and set errno the same way.
class KernelInterface
{
public:
    virtual ~KernelInterface() = default;

    virtual int Open(const std::string& path, int flags) = 0;
    virtual int Close(int fd) = 0;
    virtual int Ioctl(int fd, unsigned long request, void* argument) = 0;
    virtual void* Mmap(std::size_t length, int protection, int flags, int fd, off_t offset) = 0;
    virtual int Munmap(void* address, std::size_t length) = 0;
    virtual int Poll(pollfd* fds, nfds_t count, int timeoutMilliseconds) = 0;
    // The video nodes (/dev/video*) in number order.
    virtual std::vector<std::string> ListNodes() = 0;
    // A path that names the same physical device after a reboot: the /dev/v4l/by-id (else
    // by-path) link that points at the node, else the node itself.
    virtual std::string GetPersistentPath(const std::string& node) = 0;

    // Video nodes coming and going, as udev announces them once their links and permissions are in
    // place: the descriptor polls readable after a change, and Drain takes what it holds.
    class NodeEvents
    {
    public:
        virtual ~NodeEvents() = default;
        virtual int GetDescriptor() const = 0;
        virtual void Drain() = 0;
    };
    // Null when the system cannot tell (no udev): cameras are then seen only at start-up.
    virtual std::unique_ptr<NodeEvents> WatchNodes() = 0;

    // The real kernel, or the stand-in a test installed.
    static KernelInterface& System();
    // For tests of the layers above the back-end: makes System() return kernel (null: the real
    // one again). The caller keeps kernel alive while it is installed.
    static void ReplaceSystem(KernelInterface* kernel);
};

} // namespace Norvex::Core::V4l2VideoCapture
