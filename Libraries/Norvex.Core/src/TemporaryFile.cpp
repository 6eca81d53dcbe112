#include <Norvex/Core/TemporaryFile.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <utility>

namespace Norvex::Core
{

TemporaryFile::~TemporaryFile()
{
    if (fd >= 0)
    {
        ::close(fd);
    }
    if (!path.empty() && !moved)
    {
        ::unlink(path.c_str());
    }
}

int TemporaryFile::Create(const std::string& target, mode_t mode)
{
    std::string name = target + ".XXXXXX";
    const int created = ::mkstemp(name.data());
    if (created < 0)
    {
        return errno;
    }
    fd = created;
    path = std::move(name);
    return ::fchmod(fd, mode) == 0 ? 0 : errno;
}

int TemporaryFile::Write(const void* data, std::size_t size)
{
    const auto* bytes = static_cast<const unsigned char*>(data);
    while (size > 0)
    {
        const ssize_t written = ::write(fd, bytes, size);
        if (written < 0)
        {
            if (errno == EINTR)
            {
                continue;
            }
            return errno;
        }
        bytes += written;
        size -= static_cast<std::size_t>(written);
    }
    return 0;
}

int TemporaryFile::Sync()
{
    return ::fsync(fd) == 0 ? 0 : errno;
}

int TemporaryFile::Close()
{
    return fd < 0 || ::close(std::exchange(fd, -1)) == 0 ? 0 : errno;
}

int TemporaryFile::Release() noexcept
{
    return std::exchange(fd, -1);
}

int TemporaryFile::Replace(const std::string& target)
{
    if (const int error = Close())
    {
        return error;
    }
    if (::rename(path.c_str(), target.c_str()) != 0)
    {
        return errno;
    }
    moved = true;
    return 0;
}

int TemporaryFile::PlaceNew(const std::string& name)
{
    if (const int error = Close())
    {
        return error;
    }
    // link never replaces; the temporary name goes with the destructor.
    return ::link(path.c_str(), name.c_str()) == 0 ? 0 : errno;
}

} // namespace Norvex::Core
