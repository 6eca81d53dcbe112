#pragma once

#include <unistd.h>

#include <cerrno>
#include <utility>

namespace Norvex::Core
{

// Owns an open file descriptor (a file, a pipe's end, an eventfd) and closes it when it goes;
// -1 holds nothing. The one owner of descriptors in the program.
class FileDescriptor
{
public:
    FileDescriptor() noexcept = default;
    explicit FileDescriptor(int fd) noexcept : fd(fd) {}
    FileDescriptor(FileDescriptor&& other) noexcept : fd(other.Release()) {}
    FileDescriptor& operator=(FileDescriptor&& other) noexcept
    {
        Reset(other.Release());
        return *this;
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor() { Reset(); }

    int Get() const noexcept { return fd; }
    bool IsOpen() const noexcept { return fd >= 0; }
    // Gives the descriptor up, to a library that closes it itself; holds nothing afterwards.
    int Release() noexcept { return std::exchange(fd, -1); }
    // Closes what is held, ignoring a failure, and holds `other` instead.
    void Reset(int other = -1) noexcept
    {
        if (const int old = std::exchange(fd, other); old >= 0)
        {
            ::close(old);
        }
    }
    // Closes what is held and returns 0 or close(2)'s errno, for a writer whose last data may
    // only fail there; holds nothing afterwards, even on failure (Linux frees the descriptor).
    int Close() noexcept
    {
        const int old = Release();
        return old < 0 || ::close(old) == 0 ? 0 : errno;
    }

private:
    int fd = -1;
};

} // namespace Norvex::Core
