#pragma once

#include <unistd.h>

namespace Norvex::Core
{

// Owns an open file descriptor and closes it when it goes; -1 holds nothing.
class FileDescriptor
{
public:
    explicit FileDescriptor(int fd) noexcept : fd(fd) {}
    ~FileDescriptor()
    {
        if (fd >= 0)
        {
            ::close(fd);
        }
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;

    int Get() const noexcept { return fd; }

private:
    int fd;
};

} // namespace Norvex::Core
